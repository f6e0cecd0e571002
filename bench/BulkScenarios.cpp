#include "BulkScenarios.h"

#include <SQLiteCpp/SQLiteCpp.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "litedb/LiteDatabase.h"

namespace {

constexpr int kBulkRows = 100000;
constexpr int kBulkLookups = 10000;
// Each statement's text as a literal (what the literal-SQL contenders pass, as the board
// does) and as a std::string made once (what the others pass).
constexpr char kBulkInsertLiteral[] = "insert into bulk (name, score, weight) values (?, ?, ?)";
constexpr char kBulkScanLiteral[] = "select id, name, score, weight from bulk";
constexpr char kBulkSelectLiteral[] = "select name, score from bulk where id = ?";
constexpr char kBulkUpdateLiteral[] = "update bulk set score = ? where id = ?";
const std::string kBulkInsertSql = kBulkInsertLiteral;
const std::string kBulkScanSql = kBulkScanLiteral;
const std::string kBulkSelectSql = kBulkSelectLiteral;
const std::string kBulkUpdateSql = kBulkUpdateLiteral;

struct BulkRow {
  std::string name;
  int score;
  double weight;
};

const std::vector<BulkRow>& bulkRows() {
  static const std::vector<BulkRow> rows = [] {
    std::vector<BulkRow> out;
    out.reserve(kBulkRows);
    for (int i = 0; i < kBulkRows; ++i) {
      out.push_back({"sound effect " + std::to_string(i), i % 1000, i * 0.25});
    }
    return out;
  }();
  return rows;
}

// The same scattered row ids for every contender.
const std::vector<int>& lookupIds() {
  static const std::vector<int> ids = [] {
    std::vector<int> out;
    unsigned state = 12345;
    for (int i = 0; i < kBulkLookups; ++i) {
      state = state * 1103515245u + 12345u;
      out.push_back(static_cast<int>((state >> 8) % kBulkRows) + 1);
    }
    return out;
  }();
  return ids;
}

// The raw C API's inserts, also used to fill the table.
bool insertAll(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  bool ok = sqlite3_exec(db, "begin", nullptr, nullptr, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, kBulkInsertSql.c_str(), -1, &stmt, nullptr) == SQLITE_OK;
  for (const BulkRow& row : bulkRows()) {
    if (!ok) break;
    sqlite3_bind_text(stmt, 1, row.name.data(), static_cast<int>(row.name.size()), SQLITE_STATIC);
    sqlite3_bind_int(stmt, 2, row.score);
    sqlite3_bind_double(stmt, 3, row.weight);
    ok = sqlite3_step(stmt) == SQLITE_DONE && sqlite3_reset(stmt) == SQLITE_OK;
  }
  sqlite3_finalize(stmt);
  return ok && sqlite3_exec(db, "commit", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void emptyBulk(sqlite3* db) { sqlite3_exec(db, "delete from bulk", nullptr, nullptr, nullptr); }

// A scratch file with the table `bulk`, filled with bulkRows() when asked.
class BulkLibrary {
 public:
  explicit BulkLibrary(bool filled) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "cueboard-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    _dir = pattern;
    _path = (std::filesystem::path(_dir) / "bulk.sqlite").string();
    sqlite3* db = nullptr;
    _ok = sqlite3_open(_path.c_str(), &db) == SQLITE_OK &&
          sqlite3_exec(db,
                       "create table bulk (id INTEGER PRIMARY KEY, name TEXT, score INTEGER, "
                       "weight REAL)",
                       nullptr, nullptr, nullptr) == SQLITE_OK;
    if (_ok && filled) _ok = insertAll(db);
    sqlite3_close(db);
  }
  ~BulkLibrary() {
    std::error_code ignored;
    if (!_dir.empty()) std::filesystem::remove_all(_dir, ignored);
  }
  BulkLibrary(const BulkLibrary&) = delete;
  BulkLibrary& operator=(const BulkLibrary&) = delete;

  bool ok() const { return _ok; }
  const std::string& path() const { return _path; }

 private:
  std::string _dir;
  std::string _path;
  bool _ok = false;
};

// What a scan adds up, so that no contender can skip its reads.
struct ScanTotals {
  long long nameBytes = 0;
  long long scores = 0;
  double weights = 0;
  bool matches() const {
    static const ScanTotals expected = [] {
      ScanTotals t;
      for (const BulkRow& row : bulkRows()) {
        t.nameBytes += static_cast<long long>(row.name.size());
        t.scores += row.score;
        t.weights += row.weight;
      }
      return t;
    }();
    return nameBytes == expected.nameBytes && scores == expected.scores &&
           weights == expected.weights;
  }
};

// The score of row id is (id - 1) % 1000; the point selects add them up.
long long expectedScoreSum() {
  static const long long sum = [] {
    long long total = 0;
    for (int id : lookupIds()) total += (id - 1) % 1000;
    return total;
  }();
  return sum;
}

// --- litedb -------------------------------------------------------------------------

// What the contenders share: the scratch library (filled for every scenario but the
// inserts), the dispatch of a run to the scenario's work, and emptying the table after
// inserts.
class ScenarioContender : public BulkContender {
 public:
  bool run() final {
    switch (_scenario) {
      case BulkScenario::Insert:
        return insert();
      case BulkScenario::Scan:
        return scan();
      case BulkScenario::PointSelect:
        return pointSelect();
      case BulkScenario::Update:
        return update();
    }
    return false;
  }

  void tidy() final {
    if (_scenario == BulkScenario::Insert) emptyBulk(handle());
  }

 protected:
  explicit ScenarioContender(BulkScenario scenario)
      : _scenario(scenario), _library(scenario != BulkScenario::Insert) {}

  virtual bool insert() = 0;
  virtual bool scan() = 0;
  virtual bool pointSelect() = 0;
  virtual bool update() = 0;
  virtual sqlite3* handle() = 0;

  BulkScenario _scenario;
  BulkLibrary _library;
};

class LitedbContender : public ScenarioContender {
 public:
  LitedbContender(BulkScenario scenario, bool cache, bool literalSql)
      : ScenarioContender(scenario), _literalSql(literalSql) {
    _db = LiteDatabase::databaseWithPath(_library.path());
    _ok = _library.ok() && _db->open();
    if (!_ok) return;
    _db->setShouldCacheStatements(cache);
    if (_scenario == BulkScenario::PointSelect) _db->beginDeferredTransaction();
  }

  bool ok() const override { return _ok; }

  sqlite3* handle() override { return _db->sqliteHandle(); }

  void finish() override {
    if (_scenario == BulkScenario::PointSelect) _db->commit();
  }

 private:
  // Each scenario is written once, for either form of its SQL text; the form is chosen
  // outside the loop, so that the loop itself is what it would be in a caller's code.
  bool insert() override {
    return _literalSql ? insertWith(kBulkInsertLiteral) : insertWith(kBulkInsertSql);
  }
  bool scan() override { return _literalSql ? scanWith(kBulkScanLiteral) : scanWith(kBulkScanSql); }
  bool pointSelect() override {
    return _literalSql ? pointSelectWith(kBulkSelectLiteral) : pointSelectWith(kBulkSelectSql);
  }
  bool update() override {
    return _literalSql ? updateWith(kBulkUpdateLiteral) : updateWith(kBulkUpdateSql);
  }

  template <class Sql>
  bool insertWith(const Sql& sql) {
    bool ok = _db->beginTransaction();
    for (const BulkRow& row : bulkRows()) {
      if (!ok) break;
      ok = _db->executeUpdate(sql, row.name, row.score, row.weight);
    }
    return ok && _db->commit();
  }

  template <class Sql>
  bool scanWith(const Sql& sql) {
    ScanTotals totals;
    auto rs = _db->executeQuery(sql);
    if (!rs) return false;
    while (rs->next()) {
      const char* name = rs->UTF8StringForColumn("name");
      totals.nameBytes += name ? static_cast<long long>(std::strlen(name)) : 0;
      totals.scores += rs->intForColumn("score");
      totals.weights += rs->doubleForColumn("weight");
    }
    return totals.matches();
  }

  template <class Sql>
  bool pointSelectWith(const Sql& sql) {
    long long sum = 0;
    for (int id : lookupIds()) {
      auto rs = _db->executeQuery(sql, id);
      if (!rs || !rs->next()) return false;
      sum += rs->intForColumnIndex(1);
      rs->close();
    }
    return sum == expectedScoreSum();
  }

  template <class Sql>
  bool updateWith(const Sql& sql) {
    bool ok = _db->beginTransaction();
    for (int id : lookupIds()) {
      if (!ok) break;
      ok = _db->executeUpdate(sql, ++_score, id);
    }
    return ok && _db->commit();
  }

  std::shared_ptr<LiteDatabase> _db;
  bool _literalSql;
  bool _ok = false;
  int _score = 0;
};

// --- The sqlite3 C API -------------------------------------------------------------------

class CApiContender : public ScenarioContender {
 public:
  explicit CApiContender(BulkScenario scenario) : ScenarioContender(scenario) {
    _ok = _library.ok() && sqlite3_open(_library.path().c_str(), &_db) == SQLITE_OK;
    if (!_ok) return;
    // Inserts prepare their statement on each run (see insertAll); the others once here.
    const std::string* sql = _scenario == BulkScenario::Scan          ? &kBulkScanSql
                             : _scenario == BulkScenario::PointSelect ? &kBulkSelectSql
                             : _scenario == BulkScenario::Update      ? &kBulkUpdateSql
                                                                      : nullptr;
    if (sql) _ok = sqlite3_prepare_v2(_db, sql->c_str(), -1, &_stmt, nullptr) == SQLITE_OK;
    if (_ok && _scenario == BulkScenario::PointSelect) {
      sqlite3_exec(_db, "begin", nullptr, nullptr, nullptr);
    }
  }
  ~CApiContender() override {
    sqlite3_finalize(_stmt);
    sqlite3_close(_db);
  }
  CApiContender(const CApiContender&) = delete;
  CApiContender& operator=(const CApiContender&) = delete;

  bool ok() const override { return _ok; }

  sqlite3* handle() override { return _db; }

  void finish() override {
    if (_scenario == BulkScenario::PointSelect) {
      sqlite3_exec(_db, "commit", nullptr, nullptr, nullptr);
    }
  }

 private:
  bool insert() override { return insertAll(_db); }

  // By name, as a C programmer does it: look the index up once, before the rows.
  int indexOf(const char* name) const {
    for (int i = 0; i < sqlite3_column_count(_stmt); ++i) {
      if (sqlite3_stricmp(sqlite3_column_name(_stmt, i), name) == 0) return i;
    }
    return -1;
  }

  bool scan() override {
    ScanTotals totals;
    const int nameIdx = indexOf("name");
    const int scoreIdx = indexOf("score");
    const int weightIdx = indexOf("weight");
    while (sqlite3_step(_stmt) == SQLITE_ROW) {
      const unsigned char* name = sqlite3_column_text(_stmt, nameIdx);
      totals.nameBytes += name ? sqlite3_column_bytes(_stmt, nameIdx) : 0;
      totals.scores += sqlite3_column_int(_stmt, scoreIdx);
      totals.weights += sqlite3_column_double(_stmt, weightIdx);
    }
    sqlite3_reset(_stmt);
    return totals.matches();
  }

  bool pointSelect() override {
    long long sum = 0;
    for (int id : lookupIds()) {
      sqlite3_bind_int(_stmt, 1, id);
      if (sqlite3_step(_stmt) != SQLITE_ROW) break;
      sum += sqlite3_column_int(_stmt, 1);
      sqlite3_reset(_stmt);
    }
    return sum == expectedScoreSum();
  }

  bool update() override {
    bool ok = sqlite3_exec(_db, "begin exclusive", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (int id : lookupIds()) {
      if (!ok) break;
      sqlite3_bind_int(_stmt, 1, ++_score);
      sqlite3_bind_int(_stmt, 2, id);
      ok = sqlite3_step(_stmt) == SQLITE_DONE && sqlite3_reset(_stmt) == SQLITE_OK;
    }
    return ok && sqlite3_exec(_db, "commit", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  sqlite3* _db = nullptr;
  sqlite3_stmt* _stmt = nullptr;
  bool _ok = false;
  int _score = 0;
};

// --- SQLiteCpp ----------------------------------------------------------------------------

class SQLiteCppContender : public ScenarioContender {
 public:
  explicit SQLiteCppContender(BulkScenario scenario) : ScenarioContender(scenario) {
    if (!_library.ok()) return;
    _db.emplace(_library.path(), SQLite::OPEN_READWRITE);
    const std::string& sql = _scenario == BulkScenario::Insert        ? kBulkInsertSql
                             : _scenario == BulkScenario::Scan        ? kBulkScanSql
                             : _scenario == BulkScenario::PointSelect ? kBulkSelectSql
                                                                      : kBulkUpdateSql;
    _statement.emplace(*_db, sql);
    if (_scenario == BulkScenario::PointSelect) _transaction.emplace(*_db);
  }

  bool ok() const override { return _db.has_value(); }

  sqlite3* handle() override { return _db->getHandle(); }

  void finish() override {
    if (_transaction) _transaction->commit();
  }

 private:
  bool insert() override {
    SQLite::Statement& insert = *_statement;
    SQLite::Transaction transaction(*_db);
    for (const BulkRow& row : bulkRows()) {
      insert.bind(1, row.name);
      insert.bind(2, row.score);
      insert.bind(3, row.weight);
      insert.exec();
      insert.reset();
    }
    transaction.commit();
    return true;
  }

  bool scan() override {
    SQLite::Statement& query = *_statement;
    ScanTotals totals;
    while (query.executeStep()) {
      const SQLite::Column name = query.getColumn("name");
      totals.nameBytes += name.getBytes();
      totals.scores += query.getColumn("score").getInt();
      totals.weights += query.getColumn("weight").getDouble();
    }
    query.reset();
    return totals.matches();
  }

  bool pointSelect() override {
    SQLite::Statement& query = *_statement;
    long long sum = 0;
    for (int id : lookupIds()) {
      query.bind(1, id);
      if (!query.executeStep()) break;
      sum += query.getColumn(1).getInt();
      query.reset();
    }
    return sum == expectedScoreSum();
  }

  bool update() override {
    SQLite::Statement& update = *_statement;
    SQLite::Transaction transaction(*_db, SQLite::TransactionBehavior::EXCLUSIVE);
    for (int id : lookupIds()) {
      update.bind(1, ++_score);
      update.bind(2, id);
      update.exec();
      update.reset();
    }
    transaction.commit();
    return true;
  }

  // Declared in this order so that they go in the reverse one.
  std::optional<SQLite::Database> _db;
  std::optional<SQLite::Statement> _statement;
  std::optional<SQLite::Transaction> _transaction;
  int _score = 0;
};

constexpr BulkScenario kScenarios[] = {BulkScenario::Insert, BulkScenario::Scan,
                                       BulkScenario::PointSelect, BulkScenario::Update};
constexpr BulkContenderKind kContenders[] = {BulkContenderKind::CApi,
                                             BulkContenderKind::LitedbCacheOn,
                                             BulkContenderKind::LitedbCacheOff,
                                             BulkContenderKind::SQLiteCpp,
                                             BulkContenderKind::LitedbCacheOnLiteral,
                                             BulkContenderKind::LitedbCacheOffLiteral};

}  // namespace

int bulkOperationsPerRun(BulkScenario scenario) {
  return scenario == BulkScenario::Insert || scenario == BulkScenario::Scan ? kBulkRows
                                                                            : kBulkLookups;
}

// By the enumerators' order.
std::string_view bulkScenarioName(BulkScenario scenario) {
  static constexpr std::string_view kNames[] = {"BulkInsert", "ScanByName", "PointSelect",
                                                "UpdateRows"};
  return kNames[static_cast<std::size_t>(scenario)];
}

std::string_view bulkContenderName(BulkContenderKind kind) {
  static constexpr std::string_view kNames[] = {
      "sqlite3",   "litedb/cacheOn",         "litedb/cacheOff",
      "SQLiteCpp", "litedb/cacheOn/literal", "litedb/cacheOff/literal"};
  return kNames[static_cast<std::size_t>(kind)];
}

namespace {

// The one of `all` whose name is `name`, into *found; false when there is none.
template <class T, std::size_t N, class NameOf>
bool findNamed(std::string_view name, const T (&all)[N], NameOf nameOf, T* found) {
  for (T candidate : all) {
    if (nameOf(candidate) == name) {
      *found = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

bool bulkScenarioNamed(std::string_view name, BulkScenario* scenario) {
  return findNamed(name, kScenarios, bulkScenarioName, scenario);
}

bool bulkContenderNamed(std::string_view name, BulkContenderKind* kind) {
  return findNamed(name, kContenders, bulkContenderName, kind);
}

std::unique_ptr<BulkContender> makeBulkContender(BulkScenario scenario, BulkContenderKind kind) {
  switch (kind) {
    case BulkContenderKind::CApi:
      return std::make_unique<CApiContender>(scenario);
    case BulkContenderKind::LitedbCacheOn:
      return std::make_unique<LitedbContender>(scenario, true, false);
    case BulkContenderKind::LitedbCacheOff:
      return std::make_unique<LitedbContender>(scenario, false, false);
    case BulkContenderKind::LitedbCacheOnLiteral:
      return std::make_unique<LitedbContender>(scenario, true, true);
    case BulkContenderKind::LitedbCacheOffLiteral:
      return std::make_unique<LitedbContender>(scenario, false, true);
    case BulkContenderKind::SQLiteCpp:
      return std::make_unique<SQLiteCppContender>(scenario);
  }
  return nullptr;
}
