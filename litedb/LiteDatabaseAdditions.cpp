// LiteDatabase's further operations: single-value queries, schema and pragmas, the
// compile check, custom SQL functions, dates as text, keys, versions and health.
#include "litedb/LiteDatabaseAdditions.h"

#include <sqlite3.h>

#include <cstring>
#include <exception>

#include "litedb/LiteDatabase.h"
#include "litedb/LiteInternal.h"
#include "litedb/LiteLog.h"

using litedb_internal::format;

// --- Single-value queries ------------------------------------------------------------

namespace {

// Runs the query and reads column 0 of its first row with `read`; the rest of the rows
// are never stepped. `fallback` when there is no row or no result set.
template <class T, class Read>
T valueForQuery(LiteDatabase& db, std::string_view sql, const LiteVAList& args, T fallback,
                Read read) {
  std::shared_ptr<LiteResultSet> rs = db.executeQueryWithVAList(sql, args);
  if (!rs || !rs->next()) return fallback;  // a false next closed the result set already
  T value = read(*rs);
  rs->close();
  rs->setParentDB(nullptr);
  return value;
}

}  // namespace

std::optional<std::string> LiteDatabase::stringForQueryWithVAList(std::string_view sql,
                                                                  const LiteVAList& args) {
  return valueForQuery<std::optional<std::string>>(
      *this, sql, args, std::nullopt, [](LiteResultSet& rs) { return rs.stringForColumnIndex(0); });
}

int LiteDatabase::intForQueryWithVAList(std::string_view sql, const LiteVAList& args) {
  return valueForQuery<int>(*this, sql, args, 0,
                            [](LiteResultSet& rs) { return rs.intForColumnIndex(0); });
}

std::int64_t LiteDatabase::longForQueryWithVAList(std::string_view sql, const LiteVAList& args) {
  return valueForQuery<std::int64_t>(*this, sql, args, 0,
                                     [](LiteResultSet& rs) { return rs.longForColumnIndex(0); });
}

bool LiteDatabase::boolForQueryWithVAList(std::string_view sql, const LiteVAList& args) {
  return valueForQuery<bool>(*this, sql, args, false,
                             [](LiteResultSet& rs) { return rs.boolForColumnIndex(0); });
}

double LiteDatabase::doubleForQueryWithVAList(std::string_view sql, const LiteVAList& args) {
  return valueForQuery<double>(*this, sql, args, 0.0,
                               [](LiteResultSet& rs) { return rs.doubleForColumnIndex(0); });
}

std::optional<LiteData> LiteDatabase::dataForQueryWithVAList(std::string_view sql,
                                                             const LiteVAList& args) {
  return valueForQuery<std::optional<LiteData>>(
      *this, sql, args, std::nullopt, [](LiteResultSet& rs) { return rs.dataForColumnIndex(0); });
}

std::optional<LiteDate> LiteDatabase::dateForQueryWithVAList(std::string_view sql,
                                                             const LiteVAList& args) {
  return valueForQuery<std::optional<LiteDate>>(
      *this, sql, args, std::nullopt, [](LiteResultSet& rs) { return rs.dateForColumnIndex(0); });
}

// --- Schema and pragmas --------------------------------------------------------------

bool LiteDatabase::tableExists(const std::string& tableName) {
  // The engine's lower() changes ASCII letters only; lower-casing the name any further
  // would miss a table whose name has other capitals.
  std::shared_ptr<LiteResultSet> rs =
      executeQuery("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ?",
                   litedb_internal::asciiLowercase(tableName));
  if (!rs) return false;
  const bool returnBool = rs->next();
  rs->close();
  return returnBool;
}

std::shared_ptr<LiteResultSet> LiteDatabase::getSchema() {
  return executeQuery(
      "SELECT type, name, tbl_name, rootpage, sql FROM (SELECT * FROM sqlite_master UNION ALL "
      "SELECT * FROM sqlite_temp_master) WHERE type != 'meta' AND name NOT LIKE 'sqlite_%' ORDER "
      "BY tbl_name, type DESC, name");
}

std::shared_ptr<LiteResultSet> LiteDatabase::getTableSchema(const std::string& tableName) {
  // The name sits between single quotes: doubled, a quote in it stays part of the name.
  return executeQuery("pragma table_info('" + litedb_internal::escapeQuotes(tableName) + "')");
}

bool LiteDatabase::columnExistsInTableWithName(const std::string& columnName,
                                               const std::string& tableName) {
  const std::string lowerColumn = litedb_internal::asciiLowercase(columnName);
  std::shared_ptr<LiteResultSet> rs = getTableSchema(litedb_internal::asciiLowercase(tableName));
  if (!rs) return false;
  bool returnBool = false;
  while (rs->next()) {
    const std::optional<std::string> name = rs->stringForColumn("name");
    if (name && litedb_internal::asciiLowercase(*name) == lowerColumn) {
      returnBool = true;
      break;
    }
  }
  rs->close();
  return returnBool;
}

bool LiteDatabase::columnExistsColumnName(const std::string& tableName,
                                          const std::string& columnName) {
  return columnExistsInTableWithName(columnName, tableName);
}

namespace {

std::uint32_t headerValue(LiteDatabase& db, const char* pragma) {
  std::uint32_t value = 0;
  std::shared_ptr<LiteResultSet> rs = db.executeQuery(pragma);
  if (!rs) return 0;
  if (rs->next()) value = static_cast<std::uint32_t>(rs->longLongIntForColumnIndex(0));
  rs->close();
  return value;
}

void setHeaderValue(LiteDatabase& db, const std::string& pragma, std::uint32_t value) {
  // As a signed 32-bit number: the engine keeps the same 32 bits.
  std::shared_ptr<LiteResultSet> rs =
      db.executeQuery(pragma + std::to_string(static_cast<std::int32_t>(value)));
  if (!rs) return;
  rs->next();
  rs->close();
}

bool isPrintableASCII(unsigned char c) { return c >= 0x20 && c < 0x7F; }

}  // namespace

std::uint32_t LiteDatabase::applicationID() { return headerValue(*this, "pragma application_id"); }

void LiteDatabase::setApplicationID(std::uint32_t appID) {
  setHeaderValue(*this, "pragma application_id=", appID);
}

std::string LiteDatabase::applicationIDString() {
  const std::uint32_t appID = applicationID();
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto c = static_cast<unsigned char>((appID >> shift) & 0xFF);
    if (!isPrintableASCII(c)) return "";
    text += static_cast<char>(c);
  }
  return text;
}

void LiteDatabase::setApplicationIDString(const std::string& string) {
  // Characters, not bytes: decode the UTF-8 text into code points.
  std::vector<char32_t> characters;
  for (std::size_t i = 0; i < string.size();) {
    const auto lead = static_cast<unsigned char>(string[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : 4;
    if (i + length > string.size()) length = string.size() - i;
    char32_t cp = lead;
    if (length > 1) {
      cp = lead & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(string[i + k]) & 0x3F);
      }
    }
    characters.push_back(cp);
    i += length;
  }
  if (characters.size() != 4) {
    liteLog(format("setApplicationIDString: string passed is not exactly 4 chars long. (was %ld)",
                   static_cast<long>(characters.size())));
  }
  std::uint32_t appID = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    char32_t c = k < characters.size() ? characters[k] : U' ';
    if (c > 0xFF) c = U'?';
    appID = (appID << 8) | static_cast<std::uint32_t>(c);
  }
  setApplicationID(appID);
}

std::uint32_t LiteDatabase::userVersion() { return headerValue(*this, "pragma user_version"); }

void LiteDatabase::setUserVersion(std::uint32_t version) {
  setHeaderValue(*this, "pragma user_version = ", version);
}

bool LiteDatabase::validateSQLError(std::string_view sql, std::optional<LiteError>* error) {
  // Never hand the engine a missing handle, nor one left by a failed open.
  if (!_isOpen || !_db) {
    if (error) *error = LiteError{LITE_GENERAL_ERROR_DOMAIN, SQLITE_MISUSE, lastErrorMessage()};
    return false;
  }
  sqlite3_stmt* pStmt = nullptr;
  bool validationSucceeded = true;
  const int rc =
      sqlite3_prepare_v2(_db, sql.data(), litedb_internal::engineLength(sql), &pStmt, nullptr);
  if (rc != SQLITE_OK) {
    validationSucceeded = false;
    if (error) *error = LiteError{LITE_GENERAL_ERROR_DOMAIN, lastErrorCode(), lastErrorMessage()};
  }
  sqlite3_finalize(pStmt);
  return validationSucceeded;
}

// --- Custom SQL functions ------------------------------------------------------------

namespace {

void liteBlockSQLiteCallBackFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
  auto* block = static_cast<LiteSQLiteFunctionBlock*>(sqlite3_user_data(context));
  if (!block || !*block) return;
  // An exception must not unwind through the engine's C frames.
  try {
    (*block)(context, argc, argv);
  } catch (const std::exception& e) {
    sqlite3_result_error(context, e.what(), -1);
  } catch (...) {
    sqlite3_result_error(context, "unknown exception in a custom SQL function", -1);
  }
}

}  // namespace

void LiteDatabase::makeFunctionNamedArgumentsBlock(const std::string& name, int arguments,
                                                   LiteSQLiteFunctionBlock block) {
  if (!_isOpen || !_db) return;
  _openFunctions.push_back(std::make_unique<LiteSQLiteFunctionBlock>(std::move(block)));
  sqlite3_create_function(_db, name.c_str(), arguments, SQLITE_UTF8, _openFunctions.back().get(),
                          &liteBlockSQLiteCallBackFunction, nullptr, nullptr);
}

void LiteDatabase::makeFunctionNamedMaximumArgumentsWithBlock(const std::string& name,
                                                              int maximumArguments,
                                                              LiteSQLiteFunctionBlock block) {
  makeFunctionNamedArgumentsBlock(name, maximumArguments, std::move(block));
}

int LiteDatabase::valueType(sqlite3_value* value) { return sqlite3_value_type(value); }

int LiteDatabase::valueInt(sqlite3_value* value) { return sqlite3_value_int(value); }

std::int64_t LiteDatabase::valueLong(sqlite3_value* value) { return sqlite3_value_int64(value); }

double LiteDatabase::valueDouble(sqlite3_value* value) { return sqlite3_value_double(value); }

std::optional<LiteData> LiteDatabase::valueData(sqlite3_value* value) {
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_value_blob(value));
  if (!bytes) return std::nullopt;
  return LiteData(bytes, bytes + sqlite3_value_bytes(value));
}

std::optional<std::string> LiteDatabase::valueString(sqlite3_value* value) {
  const unsigned char* text = sqlite3_value_text(value);
  if (!text) return std::nullopt;
  // By its byte count, so text with NUL characters arrives whole.
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_value_bytes(value)));
}

void LiteDatabase::resultNullInContext(sqlite3_context* context) { sqlite3_result_null(context); }

void LiteDatabase::resultIntContext(int value, sqlite3_context* context) {
  sqlite3_result_int(context, value);
}

void LiteDatabase::resultLongContext(std::int64_t value, sqlite3_context* context) {
  sqlite3_result_int64(context, value);
}

void LiteDatabase::resultDoubleContext(double value, sqlite3_context* context) {
  sqlite3_result_double(context, value);
}

void LiteDatabase::resultDataContext(const LiteData& data, sqlite3_context* context) {
  // 64-bit length: an int would wrap for buffers of 2 GiB and more. An empty buffer
  // has no byte pointer; hand "" so the result is a zero-length blob, not NULL.
  const void* bytes = data.empty() ? static_cast<const void*>("") : data.data();
  sqlite3_result_blob64(context, bytes, data.size(), SQLITE_TRANSIENT);
}

void LiteDatabase::resultStringContext(const std::string& value, sqlite3_context* context) {
  sqlite3_result_text64(context, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void LiteDatabase::resultErrorContext(const std::string& error, sqlite3_context* context) {
  sqlite3_result_error(context, error.c_str(), -1);
}

void LiteDatabase::resultErrorCodeContext(int errorCode, sqlite3_context* context) {
  sqlite3_result_error_code(context, errorCode);
}

void LiteDatabase::resultErrorNoMemoryInContext(sqlite3_context* context) {
  sqlite3_result_error_nomem(context);
}

void LiteDatabase::resultErrorTooBigInContext(sqlite3_context* context) {
  sqlite3_result_error_toobig(context);
}

// --- Dates stored as text ------------------------------------------------------------

std::shared_ptr<LiteDateFormatter> LiteDatabase::storeableDateFormat(const std::string& format) {
  return LiteDateFormatter::formatterWithPattern(format, "GMT", "en_US");
}

std::optional<LiteDate> LiteDatabase::dateFromString(const std::string& s) const {
  if (!_dateFormat) return std::nullopt;
  return _dateFormat->dateFromString(s);
}

std::optional<std::string> LiteDatabase::stringFromDate(const LiteDate& date) const {
  if (!_dateFormat) return std::nullopt;
  return _dateFormat->stringFromDate(date);
}

// --- Keys ----------------------------------------------------------------------------

namespace {

// The key's UTF-8 bytes up to its first NUL.
LiteData keyBytes(const std::string& key) {
  const std::size_t length = std::strlen(key.c_str());
  return LiteData(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace

bool LiteDatabase::setKey(const std::string& key) { return setKeyWithData(keyBytes(key)); }

bool LiteDatabase::setKeyWithData(const LiteData&) { return false; }

bool LiteDatabase::rekey(const std::string& key) { return rekeyWithData(keyBytes(key)); }

bool LiteDatabase::rekeyWithData(const LiteData&) { return false; }

// --- Versions and health -------------------------------------------------------------

std::string LiteDatabase::LiteDBUserVersion() { return LITE_DB_USER_VERSION; }

int LiteDatabase::LiteDBVersion() {
  static const int version = [] {
    std::string s = LiteDBUserVersion();
    int parts = 1;
    for (char c : s) parts += c == '.' ? 1 : 0;
    if (parts < 3) s += ".0";
    std::string digits;
    for (char c : s) {
      if (c != '.') digits += c;
    }
    return static_cast<int>(std::stoul(digits, nullptr, 16));
  }();
  return version;
}

std::string LiteDatabase::sqliteLibVersion() { return sqlite3_libversion(); }

bool LiteDatabase::isSQLiteThreadSafe() { return sqlite3_threadsafe() != 0; }

bool LiteDatabase::goodConnection() {
  if (!_isOpen) return false;
  std::shared_ptr<LiteResultSet> rs =
      executeQuery("select name from sqlite_master where type='table'");
  if (!rs) return false;
  rs->close();
  return true;
}

int LiteDatabase::busyRetryTimeout() {
  liteLog(format("%s:%d", "-[LiteDatabase busyRetryTimeout]", 329));
  liteLog("LiteDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval");
  return -1;
}

void LiteDatabase::setBusyRetryTimeout(int) {
  liteLog(format("%s:%d", "-[LiteDatabase setBusyRetryTimeout:]", 336));
  liteLog("LiteDB: setBusyRetryTimeout does nothing, please use setMaxBusyRetryTimeInterval:");
}
