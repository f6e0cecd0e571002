// The diagnostic log: one process-wide sink that receives one line per message.
//
// litedb writes its failures and warnings here; the rest of the program uses it for
// the same kind of diagnostics. By default each message becomes one line on standard
// error, prefixed with the local time (millisecond precision), the program name and
// the process id, and is flushed at once. Tests install a capturing sink, which
// receives the bare message, and compare exact lines.
//
// Thread-safety: liteLog and setLiteLogSink may be called from any thread. Calls to
// the sink are serialised, so a sink needs no locking of its own; a sink must not
// call liteLog or setLiteLogSink itself.
#pragma once

#include <functional>
#include <string>

using LiteLogSink = std::function<void(const std::string& line)>;

// Writes one message as one line.
void liteLog(const std::string& message);

// Replaces the process-wide sink; nullptr restores the default one.
void setLiteLogSink(LiteLogSink sink);
