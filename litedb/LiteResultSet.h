// LiteResultSet: the cursor a query returns.
//
// It steps its prepared statement one row at a time, reads the current row's columns
// by index or by name (names without regard to letter case; a duplicated name means
// the last such column), closes itself at the end of the rows or on an error, and
// tells its connection when it closes.
//
// Ownership: a result set holds its statement and its connection until it closes;
// closing (explicitly, by reaching the end, by its connection closing, or by
// destruction) drops both. Getters on a closed result set, or when no row is current,
// yield 0, false or none.
//
// Thread-safety: it belongs to the thread that uses its connection.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "litedb/LiteStatement.h"
#include "litedb/LiteValue.h"

class LiteDatabase;
class LiteStatement;
struct sqlite3_stmt;

// What kvcMagic fills: an object that takes values by key.
class LiteKeyValueCoding {
 public:
  virtual ~LiteKeyValueCoding() = default;
  virtual void setValueForKey(const std::string& value, const std::string& key) = 0;
};

class LiteResultSet {
 public:
  // Marks the statement in use until the result set closes.
  static std::shared_ptr<LiteResultSet> resultSetWithStatementUsingParentDatabase(
      std::shared_ptr<LiteStatement> statement, std::shared_ptr<LiteDatabase> parentDB);
  LiteResultSet() = default;
  // What resultSetForQuery makes: only the result set itself can make the tag.
  class ForQuery {
    friend class LiteResultSet;
    ForQuery() = default;
  };
  LiteResultSet(ForQuery, const std::shared_ptr<LiteStatement>& statement,
                std::shared_ptr<LiteDatabase>&& parentDB,
                const std::shared_ptr<const std::string>& query);
  ~LiteResultSet();
  LiteResultSet(const LiteResultSet&) = delete;
  LiteResultSet& operator=(const LiteResultSet&) = delete;

  // --- Stepping ---------------------------------------------------------------------
  // True when a row is current; false closes the result set.
  bool next() { return nextWithError(nullptr); }
  bool nextWithError(std::optional<LiteError>* error);
  bool hasAnotherRow() const;
  void close();  // closing twice is harmless

  // --- Properties -------------------------------------------------------------------
  const std::shared_ptr<LiteDatabase>& parentDB() const { return _parentDB; }
  void setParentDB(std::shared_ptr<LiteDatabase> parentDB) { _parentDB = std::move(parentDB); }
  const std::string& query() const { return _query ? *_query : litedb_internal::noText(); }
  void setQuery(std::string query) {
    _query = std::make_shared<const std::string>(std::move(query));
  }
  const std::shared_ptr<LiteStatement>& statement() const { return _statement; }
  void setStatement(std::shared_ptr<LiteStatement> statement) { _statement = std::move(statement); }

  // --- Columns ----------------------------------------------------------------------
  int columnCount() const;
  int columnIndexForName(const std::string& columnName);  // -1, with a warning, when absent
  std::optional<std::string> columnNameForIndex(int columnIdx) const;  // as the engine names it
  // Lower-cased column name to index; built on first use.
  const std::map<std::string, int>& columnNameToIndexMap();

  // --- Typed getters, by index and by name ----------------------------------------
  int intForColumnIndex(int columnIdx) const;
  int intForColumn(const std::string& columnName);
  std::int64_t longForColumnIndex(int columnIdx) const;
  std::int64_t longForColumn(const std::string& columnName);
  long long longLongIntForColumnIndex(int columnIdx) const;
  long long longLongIntForColumn(const std::string& columnName);
  unsigned long long unsignedLongLongIntForColumnIndex(int columnIdx) const;
  unsigned long long unsignedLongLongIntForColumn(const std::string& columnName);
  bool boolForColumnIndex(int columnIdx) const;
  bool boolForColumn(const std::string& columnName);
  double doubleForColumnIndex(int columnIdx) const;
  double doubleForColumn(const std::string& columnName);
  std::optional<std::string> stringForColumnIndex(int columnIdx) const;
  std::optional<std::string> stringForColumn(const std::string& columnName);
  // The engine's own text: valid until the next step, reset or close; nullptr for none.
  const char* UTF8StringForColumnIndex(int columnIdx) const;
  const char* UTF8StringForColumn(const std::string& columnName);
  const char* UTF8StringForColumnName(const std::string& columnName);
  // A copy of the bytes; none for NULL, out of range and zero-length values.
  std::optional<LiteData> dataForColumnIndex(int columnIdx) const;
  std::optional<LiteData> dataForColumn(const std::string& columnName);
  // The engine's own bytes: valid until the next step, reset or close; a zero-length
  // value is an empty span, NULL or out of range none.
  std::optional<std::span<const std::uint8_t>> dataNoCopyForColumnIndex(int columnIdx) const;
  std::optional<std::span<const std::uint8_t>> dataNoCopyForColumn(const std::string& columnName);
  // Parsed from the column's text when the connection has a date formatter, else the
  // column's number as seconds since 1970; none for NULL or text that does not parse.
  std::optional<LiteDate> dateForColumnIndex(int columnIdx) const;
  std::optional<LiteDate> dateForColumn(const std::string& columnName);
  bool columnIndexIsNull(int columnIdx) const;
  bool columnIsNull(const std::string& columnName);
  // Integer columns as 64-bit numbers ("q"), reals as doubles, blobs as bytes, the rest
  // as text; NULL and zero-length blobs as the null marker; out of range absent.
  LiteValue objectForColumnIndex(int columnIdx) const;
  LiteValue objectForColumn(const std::string& columnName);
  LiteValue objectForColumnName(const std::string& columnName);
  LiteValue objectAtIndexedSubscript(int columnIdx) const;
  LiteValue objectForKeyedSubscript(const std::string& columnName);
  LiteValue operator[](int columnIdx) const { return objectAtIndexedSubscript(columnIdx); }
  LiteValue operator[](const std::string& columnName) {
    return objectForKeyedSubscript(columnName);
  }

  // --- Whole rows -------------------------------------------------------------------
  // Keyed by the engine's column names; none (with a warning) when no row is current.
  std::optional<LiteDictionary> resultDictionary() const;
  // Keyed by the lower-cased column names.
  std::optional<LiteDictionary> resultDict();
  // Hands every non-NULL column to the target as text, keyed by the column's name.
  void kvcMagic(LiteKeyValueCoding& object) const;

 private:
  friend class LiteDatabase;
  // resultSetWithStatementUsingParentDatabase with the query text too; the statement and
  // the text are shared straight into the new result set.
  static std::shared_ptr<LiteResultSet> resultSetForQuery(
      const std::shared_ptr<LiteStatement>& statement, std::shared_ptr<LiteDatabase>&& parentDB,
      const std::shared_ptr<const std::string>& query);

  // A step that gave neither a row nor the end: logged, handed over, and closes.
  void failStep(int rc, std::optional<LiteError>* error);

  // The engine statement when a row is current, else nullptr.
  sqlite3_stmt* rowStatement(int columnIdx) const;

  sqlite3_stmt* statementWithCurrentRow() const;
  // The columns' names, built on the first lookup by name (most result sets are read
  // by index only): lower-cased name to index, and the same lower-cased names by index,
  // for lookups without building a lower-cased copy.
  struct ColumnNames {
    std::map<std::string, int> indexByName;
    std::vector<std::string> lowercaseNames;
  };
  std::unique_ptr<ColumnNames> _columnNames;
  std::shared_ptr<LiteDatabase> _parentDB;

  // Shared with the statement when it holds the same text, so no copy per query.
  std::shared_ptr<const std::string> _query;
  std::shared_ptr<LiteStatement> _statement;

  // Set while the connection that made us lists us among its open result sets (see
  // LiteDatabase::registerOpenResultSet); that connection unlists us before it goes.
  LiteDatabase* _openIn = nullptr;
  LiteResultSet* _olderOpen = nullptr;
  LiteResultSet* _newerOpen = nullptr;
};
