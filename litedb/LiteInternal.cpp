#include "litedb/LiteInternal.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace litedb_internal {

std::string objectDescription(const char* className, const void* object) {
  return format("<%s: %p>", className, object);
}

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string out;
  out.reserve(size);
  for (std::string_view piece : pieces) out.append(piece);
  return out;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), fmt, again);
    out.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(again);
  return out;
}

}  // namespace litedb_internal

#include <locale.h>

#include <algorithm>
#include <clocale>
#include <cwctype>

namespace litedb_internal {

namespace {

// Decodes one UTF-8 sequence at text[i]; invalid bytes come back as themselves
// (length 1, flagged invalid) so they pass through unchanged.
char32_t decode(const std::string& text, std::size_t i, std::size_t& length, bool& valid) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  valid = true;
  length = 1;
  if (lead < 0x80) return lead;
  std::size_t extra = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    valid = false;
    return lead;
  }
  if (i + extra >= text.size()) {
    valid = false;
    return lead;
  }
  for (std::size_t k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      valid = false;
      return lead;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  length = extra + 1;
  return cp;
}

void encode(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A fixed UTF-8 locale, so the process's own locale never changes the result.
locale_t unicodeLocale() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

}  // namespace

std::string lowercase(const std::string& text) {
  // Every by-name column read comes through here, and column names are nearly always
  // plain ASCII: lower-case those in place, without decoding them character by character.
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    std::string out = text;
    for (char& c : out) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
  }
  std::string out;
  out.reserve(text.size());
  const locale_t locale = unicodeLocale();
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 1;
    bool valid = true;
    const char32_t cp = decode(text, i, length, valid);
    if (!valid) {
      out += text[i];
    } else if (cp < 0x80) {
      out += (cp >= 'A' && cp <= 'Z') ? static_cast<char>(cp - 'A' + 'a') : static_cast<char>(cp);
    } else if (locale) {
      encode(static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), locale)), out);
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  return out;
}

}  // namespace litedb_internal

namespace litedb_internal {

std::string asciiLowercase(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string escapeQuotes(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    escaped += c;
    if (c == '\'') escaped += '\'';
  }
  return escaped;
}

}  // namespace litedb_internal

namespace litedb_internal {

std::optional<std::string> pathFromFileURL(const std::optional<std::string>& url) {
  if (!url) return std::nullopt;
  std::string rest = *url;
  const std::string scheme = "file://";
  if (rest.compare(0, scheme.size(), scheme) == 0) rest.erase(0, scheme.size());
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() &&
        std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      path += static_cast<char>(std::stoi(rest.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return path;
}

}  // namespace litedb_internal

namespace litedb_internal {

namespace {

bool beginTransactionOfKind(LiteDatabase& db, int transaction) {
  switch (transaction) {
    case LiteTransactionExclusive:
      return db.beginTransaction();
    case LiteTransactionDeferred:
      return db.beginDeferredTransaction();
    case LiteTransactionImmediate:
      return db.beginImmediateTransaction();
    default:
      return false;
  }
}

}  // namespace

bool runBlockInTransaction(LiteDatabase* db, int transaction,
                           const LiteDatabaseTransactionBlock& block) {
  bool shouldRollback = false;
  // Outside a transaction each of the block's statements would commit on its own, and
  // neither a rollback nor a failure halfway could undo the rest: give it no connection.
  if (!db || !beginTransactionOfKind(*db, transaction)) {
    if (block) block(nullptr, &shouldRollback);
    return false;
  }
  if (block) block(db, &shouldRollback);
  if (shouldRollback) return db->rollback();
  if (db->commit()) return true;
  // Left open, the transaction would swallow whatever the connection runs next.
  db->rollback();
  return false;
}

std::optional<LiteError> runBlockInSavePoint(LiteDatabase* db, const std::string& name,
                                             const LiteDatabaseTransactionBlock& block,
                                             const LiteError& noConnection) {
  bool shouldRollback = false;
  if (!db) {
    if (block) block(nullptr, &shouldRollback);
    return noConnection;
  }
  // The update core's guards fail without an error object; name such a failure too.
  const auto failure = [db](std::optional<LiteError>& err) { return err ? *err : db->lastError(); };

  std::optional<LiteError> err;
  if (!db->startSavePointWithNameError(name, &err)) return failure(err);
  if (block) block(db, &shouldRollback);
  std::optional<LiteError> lastFailure;
  if (shouldRollback) {
    err.reset();
    if (!db->rollbackToSavePointWithNameError(name, &err)) lastFailure = failure(err);
  }
  err.reset();
  if (!db->releaseSavePointWithNameError(name, &err)) lastFailure = failure(err);
  return lastFailure;
}

}  // namespace litedb_internal
