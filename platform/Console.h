// The program's printed lines: the few diagnostics that go to standard output (the
// library's seeding lines, playback failures). Each is one whole line, flushed at
// once so that it is seen (and can be read by a parent process) while we run.
//
// Thread-safety: lines from several threads never interleave.
#pragma once

#include <functional>
#include <string>

void consolePrint(const std::string& line);
// Sends every later line to `sink` instead of standard output; nullptr restores it.
void setConsoleSinkForTesting(std::function<void(const std::string&)> sink);
