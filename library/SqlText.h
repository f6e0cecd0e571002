// Quoting of the values the library's statements are built from. The board and the
// library commands write titles, file names and ids straight into their statement
// texts between single quotes; every such value passes through quotedSqlText first, so
// that a crafted value is stored as typed and can never end the literal and run SQL of
// its own.
//
// Thread-safety: pure function.
#pragma once

#include <string>

// The text to put between single quotes: each quote doubled. A NUL character, which
// would end the statement text inside the literal, is dropped.
std::string quotedSqlText(const std::string& text);

// The text as the engine's lower() folds it: ASCII letters only, so that a value folded
// here matches a column folded there.
std::string sqlLowercased(std::string text);
