#include "litedb/LiteResultSet.h"

#include <sqlite3.h>

#include <cstring>
#include <new>
#include <utility>

#include "litedb/LiteDatabase.h"
#include "litedb/LiteInternal.h"
#include "litedb/LiteLog.h"
#include "litedb/LiteResultSetAllocation.h"
#include "litedb/LiteStatement.h"

using litedb_internal::format;

std::shared_ptr<LiteResultSet> LiteResultSet::resultSetWithStatementUsingParentDatabase(
    std::shared_ptr<LiteStatement> statement, std::shared_ptr<LiteDatabase> parentDB) {
  return resultSetForQuery(statement, std::move(parentDB), nullptr);
}

LiteResultSet::~LiteResultSet() {
  if (_statement || _parentDB || _openIn) close();
}

// --- Stepping ----------------------------------------------------------------------

bool LiteResultSet::nextWithError(std::optional<LiteError>* error) {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  // A closed result set has no statement to step; the engine would answer misuse.
  const int rc = pStmt ? sqlite3_step(pStmt) : SQLITE_MISUSE;
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) {
    close();
    return false;
  }
  failStep(rc, error);
  return false;
}

[[gnu::cold]] void LiteResultSet::failStep(int rc, std::optional<LiteError>* error) {
  sqlite3* handle = _parentDB ? _parentDB->sqliteHandle() : nullptr;
  // sqlite3_errmsg of no handle says "out of memory"; name the code instead.
  const std::string engineMessage = handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
  std::optional<LiteError> parentError;
  if (_parentDB) parentError = _parentDB->lastError();

  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    liteLog(format("%s:%d Database busy (%s)", "-[LiteResultSet nextWithError:]", 168,
                   _parentDB ? _parentDB->databasePath().value_or("(null)").c_str() : "(null)"));
    liteLog("Database busy");
  } else if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE) {
    liteLog(format("Error calling sqlite3_step (%d: %s) rs", rc, engineMessage.c_str()));
    if (rc == SQLITE_MISUSE && !parentError) {
      parentError = LiteError{"LiteDatabase", SQLITE_MISUSE, "parentDB does not exist"};
    }
  } else {
    liteLog(format("Unknown error calling sqlite3_step (%d: %s) rs", rc, engineMessage.c_str()));
  }
  if (error) {
    *error = parentError ? *parentError : LiteError{"LiteDatabase", rc, engineMessage};
  }
  close();
}

bool LiteResultSet::hasAnotherRow() const {
  if (!_parentDB || !_parentDB->sqliteHandle()) return false;
  return sqlite3_errcode(_parentDB->sqliteHandle()) == SQLITE_ROW;
}

void LiteResultSet::close() {
  if (_statement) {
    // As LiteStatement::reset, here where every query's result set passes.
    if (sqlite3_stmt* pStmt = _statement->statement()) sqlite3_reset(pStmt);
    _statement->setInUse(false);
    _statement.reset();
  }
  // Unlisted first, while our reference keeps the connection alive: dropping the
  // reference may destroy it.
  if (_openIn) _openIn->resultSetDidClose(this);
  _parentDB.reset();
}

// --- Columns -----------------------------------------------------------------------

int LiteResultSet::columnCount() const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  return pStmt ? sqlite3_column_count(pStmt) : 0;
}

const std::map<std::string, int>& LiteResultSet::columnNameToIndexMap() {
  if (!_columnNames) {
    _columnNames = std::make_unique<ColumnNames>();
    sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
    const int columnCount = pStmt ? sqlite3_column_count(pStmt) : 0;
    for (int columnIdx = 0; columnIdx < columnCount; ++columnIdx) {
      const char* name = sqlite3_column_name(pStmt, columnIdx);
      if (!name) continue;
      // Later columns win, so a duplicated name means its last column.
      std::string lowerName = litedb_internal::lowercase(name);
      _columnNames->indexByName[lowerName] = columnIdx;
      _columnNames->lowercaseNames.resize(static_cast<std::size_t>(columnIdx) + 1);
      _columnNames->lowercaseNames[static_cast<std::size_t>(columnIdx)] = std::move(lowerName);
    }
  }
  return _columnNames->indexByName;
}

namespace {

bool isASCII(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Whether `name`, lower-cased in ASCII, is `lowerKey` (of the same length). A name with
// a byte beyond ASCII never matches here, so a match is always exact.
bool isASCIILowercaseOf(const std::string& lowerKey, const std::string& name) {
  for (std::size_t k = 0; k < name.size(); ++k) {
    char c = name[k];
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerKey[k]) return false;
  }
  return true;
}

}  // namespace

int LiteResultSet::columnIndexForName(const std::string& columnName) {
  // A closed result set has no columns, whatever the map remembers.
  if (_statement && _statement->statement()) {
    if (!_columnNames) columnNameToIndexMap();
    const std::vector<std::string>& lowercaseNames = _columnNames->lowercaseNames;
    // Every by-name getter comes through here, once per column per row: for the usual
    // short ASCII names and few columns, compare in place (lengths first) rather than
    // build a lower-cased copy and search the map. Later columns win, as in the map.
    constexpr std::size_t kScanLimit = 16;
    bool searchMap = lowercaseNames.size() > kScanLimit;
    if (!searchMap) {
      for (std::size_t i = lowercaseNames.size(); i-- > 0;) {
        const std::string& lowerName = lowercaseNames[i];
        if (lowerName.size() != columnName.size()) continue;
        // Names are often asked for already in lower case; lower-casing leaves such a
        // name as it is, so an exact match is the map's answer too.
        if (std::memcmp(lowerName.data(), columnName.data(), columnName.size()) == 0 ||
            isASCIILowercaseOf(lowerName, columnName)) {
          return static_cast<int>(i);
        }
      }
      // Lower-casing beyond ASCII may change a name's length or bytes: ask the map.
      searchMap = !isASCII(columnName);
    }
    if (searchMap) {
      const std::map<std::string, int>& map = _columnNames->indexByName;
      const auto found = map.find(litedb_internal::lowercase(columnName));
      if (found != map.end()) return found->second;
    }
  }
  const std::string lowerName = litedb_internal::lowercase(columnName);
  liteLog("Warning: I could not find the column named '" + lowerName + "'.");
  return -1;
}

std::optional<std::string> LiteResultSet::columnNameForIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  if (!pStmt || columnIdx < 0 || columnIdx >= sqlite3_column_count(pStmt)) return std::nullopt;
  const char* name = sqlite3_column_name(pStmt, columnIdx);
  if (!name) return std::nullopt;
  return std::string(name);
}

sqlite3_stmt* LiteResultSet::rowStatement(int columnIdx) const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  if (!pStmt) return nullptr;
  // Reading with no current row would leave SQLITE_RANGE as the connection's last
  // error; answer "nothing there" ourselves instead. With a row current the data
  // count is the column count, so one call checks both.
  if (columnIdx < 0 || columnIdx >= sqlite3_data_count(pStmt)) return nullptr;
  return pStmt;
}

// --- Typed getters -----------------------------------------------------------------

int LiteResultSet::intForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  return pStmt ? sqlite3_column_int(pStmt, columnIdx) : 0;
}

int LiteResultSet::intForColumn(const std::string& columnName) {
  return intForColumnIndex(columnIndexForName(columnName));
}

std::int64_t LiteResultSet::longForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  return pStmt ? sqlite3_column_int64(pStmt, columnIdx) : 0;
}

std::int64_t LiteResultSet::longForColumn(const std::string& columnName) {
  return longForColumnIndex(columnIndexForName(columnName));
}

long long LiteResultSet::longLongIntForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  return pStmt ? sqlite3_column_int64(pStmt, columnIdx) : 0;
}

long long LiteResultSet::longLongIntForColumn(const std::string& columnName) {
  return longLongIntForColumnIndex(columnIndexForName(columnName));
}

unsigned long long LiteResultSet::unsignedLongLongIntForColumnIndex(int columnIdx) const {
  return static_cast<unsigned long long>(longLongIntForColumnIndex(columnIdx));
}

unsigned long long LiteResultSet::unsignedLongLongIntForColumn(const std::string& columnName) {
  return unsignedLongLongIntForColumnIndex(columnIndexForName(columnName));
}

bool LiteResultSet::boolForColumnIndex(int columnIdx) const {
  return intForColumnIndex(columnIdx) != 0;
}

bool LiteResultSet::boolForColumn(const std::string& columnName) {
  return boolForColumnIndex(columnIndexForName(columnName));
}

double LiteResultSet::doubleForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  return pStmt ? sqlite3_column_double(pStmt, columnIdx) : 0.0;
}

double LiteResultSet::doubleForColumn(const std::string& columnName) {
  return doubleForColumnIndex(columnIndexForName(columnName));
}

std::optional<std::string> LiteResultSet::stringForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  if (!pStmt) return std::nullopt;
  // The engine gives NULL as a null pointer, so asking for the type first (another
  // call under the connection's lock, for every string read) would tell us nothing.
  const unsigned char* text = sqlite3_column_text(pStmt, columnIdx);
  if (!text) return std::nullopt;
  // The byte count keeps text that holds NUL characters whole.
  const int length = sqlite3_column_bytes(pStmt, columnIdx);
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

std::optional<std::string> LiteResultSet::stringForColumn(const std::string& columnName) {
  return stringForColumnIndex(columnIndexForName(columnName));
}

const char* LiteResultSet::UTF8StringForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  // The engine gives NULL as a null pointer, so no need to ask for the type first.
  return pStmt ? reinterpret_cast<const char*>(sqlite3_column_text(pStmt, columnIdx)) : nullptr;
}

const char* LiteResultSet::UTF8StringForColumn(const std::string& columnName) {
  return UTF8StringForColumnIndex(columnIndexForName(columnName));
}

const char* LiteResultSet::UTF8StringForColumnName(const std::string& columnName) {
  return UTF8StringForColumn(columnName);
}

std::optional<LiteData> LiteResultSet::dataForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(pStmt, columnIdx));
  const int dataSize = sqlite3_column_bytes(pStmt, columnIdx);
  if (!bytes) return std::nullopt;
  return LiteData(bytes, bytes + dataSize);
}

std::optional<LiteData> LiteResultSet::dataForColumn(const std::string& columnName) {
  return dataForColumnIndex(columnIndexForName(columnName));
}

std::optional<std::span<const std::uint8_t>> LiteResultSet::dataNoCopyForColumnIndex(
    int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(pStmt, columnIdx));
  const int dataSize = sqlite3_column_bytes(pStmt, columnIdx);
  if (!bytes || dataSize <= 0) return std::span<const std::uint8_t>();
  return std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(dataSize));
}

std::optional<std::span<const std::uint8_t>> LiteResultSet::dataNoCopyForColumn(
    const std::string& columnName) {
  return dataNoCopyForColumnIndex(columnIndexForName(columnName));
}

std::optional<LiteDate> LiteResultSet::dateForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  if (!pStmt || sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL) return std::nullopt;
  if (_parentDB && _parentDB->hasDateFormatter()) {
    const std::optional<std::string> text = stringForColumnIndex(columnIdx);
    return text ? _parentDB->dateFromString(*text) : std::nullopt;
  }
  return liteDateWithTimeIntervalSince1970(doubleForColumnIndex(columnIdx));
}

std::optional<LiteDate> LiteResultSet::dateForColumn(const std::string& columnName) {
  return dateForColumnIndex(columnIndexForName(columnName));
}

bool LiteResultSet::columnIndexIsNull(int columnIdx) const {
  sqlite3_stmt* pStmt = rowStatement(columnIdx);
  return pStmt && sqlite3_column_type(pStmt, columnIdx) == SQLITE_NULL;
}

bool LiteResultSet::columnIsNull(const std::string& columnName) {
  return columnIndexIsNull(columnIndexForName(columnName));
}

LiteValue LiteResultSet::objectForColumnIndex(int columnIdx) const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  if (!pStmt || columnIdx < 0 || columnIdx >= sqlite3_column_count(pStmt)) return LiteValue();
  std::optional<LiteValue> value;
  if (sqlite3_data_count(pStmt) > 0) {
    switch (sqlite3_column_type(pStmt, columnIdx)) {
      case SQLITE_INTEGER:
        value = LiteValue(longLongIntForColumnIndex(columnIdx));
        break;
      case SQLITE_FLOAT:
        value = LiteValue(doubleForColumnIndex(columnIdx));
        break;
      case SQLITE_BLOB:
        if (auto data = dataForColumnIndex(columnIdx)) value = LiteValue(std::move(*data));
        break;
      default:
        if (auto text = stringForColumnIndex(columnIdx)) value = LiteValue(std::move(*text));
        break;
    }
  }
  return value ? *value : LiteValue::null();
}

LiteValue LiteResultSet::objectForColumn(const std::string& columnName) {
  return objectForColumnIndex(columnIndexForName(columnName));
}

LiteValue LiteResultSet::objectForColumnName(const std::string& columnName) {
  return objectForColumn(columnName);
}

LiteValue LiteResultSet::objectAtIndexedSubscript(int columnIdx) const {
  return objectForColumnIndex(columnIdx);
}

LiteValue LiteResultSet::objectForKeyedSubscript(const std::string& columnName) {
  return objectForColumn(columnName);
}

// --- Whole rows --------------------------------------------------------------------

// The statement when a row with columns is current; otherwise logs the warning both
// whole-row readers give and returns nullptr.
sqlite3_stmt* LiteResultSet::statementWithCurrentRow() const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  if (!pStmt || sqlite3_data_count(pStmt) <= 0) {
    liteLog("Warning: There seem to be no columns in this set.");
    return nullptr;
  }
  return pStmt;
}

std::optional<LiteDictionary> LiteResultSet::resultDictionary() const {
  sqlite3_stmt* pStmt = statementWithCurrentRow();
  if (!pStmt) return std::nullopt;
  LiteDictionary dict;
  const int columnCount = sqlite3_column_count(pStmt);
  for (int columnIdx = 0; columnIdx < columnCount; ++columnIdx) {
    const char* name = sqlite3_column_name(pStmt, columnIdx);
    if (!name) continue;
    dict[name] = objectForColumnIndex(columnIdx);
  }
  return dict;
}

std::optional<LiteDictionary> LiteResultSet::resultDict() {
  if (!statementWithCurrentRow()) return std::nullopt;
  // Keyed by the lower-cased names; a duplicate name already maps to its last column.
  LiteDictionary dict;
  for (const auto& [columnName, columnIdx] : columnNameToIndexMap()) {
    dict[columnName] = objectForColumnIndex(columnIdx);
  }
  return dict;
}

void LiteResultSet::kvcMagic(LiteKeyValueCoding& object) const {
  sqlite3_stmt* pStmt = _statement ? _statement->statement() : nullptr;
  if (!pStmt || sqlite3_data_count(pStmt) == 0) return;
  const int columnCount = sqlite3_column_count(pStmt);
  for (int columnIdx = 0; columnIdx < columnCount; ++columnIdx) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(pStmt, columnIdx));
    if (!text) continue;
    const int length = sqlite3_column_bytes(pStmt, columnIdx);
    const char* name = sqlite3_column_name(pStmt, columnIdx);
    object.setValueForKey(std::string(text, static_cast<std::size_t>(length)), name ? name : "");
  }
}
