// Small helpers shared by litedb's sources; not part of its interface.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace litedb_internal {

// The pieces joined into one string (std::string has no + for a view).
std::string concat(std::initializer_list<std::string_view> pieces);

// A text's length as the engine's int byte count. One longer than an int can say is
// given as the largest int, which is beyond the engine's statement length limit, so
// the engine refuses it as too big rather than reading a shorter text.
inline int engineLength(std::string_view text) {
  constexpr std::size_t kLargest = 0x7fffffff;
  return static_cast<int>(text.size() > kLargest ? kLargest : text.size());
}

// An object as printed for "%@" in messages: "<ClassName: 0x55d0c8a3b2c0>".
std::string objectDescription(const char* className, const void* object);

// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace litedb_internal

namespace litedb_internal {

// Locale-independent lower-casing of UTF-8 text (column names).
std::string lowercase(const std::string& text);

}  // namespace litedb_internal

namespace litedb_internal {

// Lower-cases only the ASCII letters, as the engine does when it compares names.
std::string asciiLowercase(const std::string& text);

// Doubles every single quote, for text written between single quotes in SQL.
std::string escapeQuotes(const std::string& text);

}  // namespace litedb_internal

namespace litedb_internal {

// The file path of a "file://" URL, percent-decoded; text without the scheme is taken
// as a path. None stays none.
std::optional<std::string> pathFromFileURL(const std::optional<std::string>& url);

}  // namespace litedb_internal

#include "litedb/LiteDatabase.h"

namespace litedb_internal {

// What the serial queue's and the pool's transaction and savepoint operations do with
// the connection they have for the block (nullptr: none). Documented at those operations.
bool runBlockInTransaction(LiteDatabase* db, int transaction,
                           const LiteDatabaseTransactionBlock& block);
std::optional<LiteError> runBlockInSavePoint(LiteDatabase* db, const std::string& name,
                                             const LiteDatabaseTransactionBlock& block,
                                             const LiteError& noConnection);

}  // namespace litedb_internal
