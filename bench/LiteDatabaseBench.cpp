// What litedb costs on the board's hot paths, against the same work done straight
// through the sqlite3 C API and through SQLiteCpp, in one run.
//
// Every scenario has three benchmarks side by side: <Scenario>_litedb,
// <Scenario>_sqlite3 and <Scenario>_SQLiteCpp. Each run gets its own library file in
// a fresh temporary directory: table tb_Button with an index on ClassId, 5 categories
// of 40 buttons, Chinese titles, every fourth hotkey NULL. All three prepare each
// statement afresh, as litedb does with its statement cache off (the program never
// turns it on), so the difference is the layer's own work.
//
// CategoryLoad   the board showing a category: " select *   from  tb_Button  where
//                classId ='<id>'" on an open connection, each row's buttonId, buttonNo,
//                title, musicSrc and hotkey copied out (litedb and SQLiteCpp by column
//                name, the C API by index). Items are rows.
// UpdateTitle    one UPDATE of Title by ButtonId with bound arguments, committed on its
//                own (the engine syncs the file each time). Items are updates.
// InsertInTransaction/N
//                BEGIN, N INSERTs of a whole row with bound arguments, COMMIT. Items are
//                rows.
// ExecuteStatements
//                one text of "begin;", three UPDATEs and "commit;" run as a batch.
//                Items are batches.
// ColdStart      opening a connection, loading the first category, closing. Items are
//                starts.
//
// Times and rates are wall-clock: the writes wait for the disk, and that wait is what a
// click costs.
//
// The bulk scenarios (BulkInsert, ScanByName, PointSelect, UpdateRows; see
// BulkScenarios.h) come after these, six benchmarks each: litedb with its statement
// cache off and on (each with its SQL text in a std::string and as a literal), the C
// API and SQLiteCpp, all reusing their statements. Items are
// inserts, rows, selects and updates. bench/instruction-counts counts the instructions
// of the same work.
//
// Run from a Release build:
//   build/bench/bench/LiteDatabaseBench --benchmark_repetitions=3
//       --benchmark_report_aggregates_only=true
#include <SQLiteCpp/SQLiteCpp.h>
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BulkScenarios.h"
#include "litedb/LiteDatabase.h"

namespace {

constexpr int kCategories = 5;
constexpr int kButtonsPerCategory = 40;
// 1 + 2 + ... + 40: what one category's button numbers add up to.
constexpr long long kButtonNoSum = kButtonsPerCategory * (kButtonsPerCategory + 1) / 2;

// One row as the board keeps it.
struct Button {
  std::string buttonId;
  int buttonNo = 0;
  std::string title;
  std::string musicSrc;
  std::string hotkey;
};

std::string classIdFor(int category) {
  char id[64];
  std::snprintf(id, sizeof id, "0C1A55E5-0000-4000-8000-%012d", category + 1);
  return id;
}

std::string buttonIdFor(int category, int buttonNo) {
  char id[64];
  std::snprintf(id, sizeof id, "B0770A00-%04d-4000-8000-%012d", category + 1, buttonNo);
  return id;
}

std::string categoryQuerySql(int category) {
  return " select *   from  tb_Button  where classId ='" + classIdFor(category) + "'";
}

const std::string kUpdateTitleSql = "update tb_Button set Title = ? where ButtonId = ?";
const std::string kInsertSql =
    "insert into tb_Button (ClassId, ButtonId, ButtonNo, Title, MusicSrc, Hotkey) "
    "values (?, ?, ?, ?, ?, ?)";

std::string titleFor(long long n) { return "掌声音效 " + std::to_string(n); }

// A scratch directory holding a freshly seeded library file; removed afterwards.
class BenchLibrary {
 public:
  BenchLibrary() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "cueboard-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    _dir = pattern;
    _path = (std::filesystem::path(_dir) / "data.sqlite").string();
    _ok = seed();
  }
  ~BenchLibrary() {
    std::error_code ignored;
    if (!_dir.empty()) std::filesystem::remove_all(_dir, ignored);
  }
  BenchLibrary(const BenchLibrary&) = delete;
  BenchLibrary& operator=(const BenchLibrary&) = delete;

  bool ok() const { return _ok; }
  const std::string& path() const { return _path; }

 private:
  bool seed() {
    sqlite3* db = nullptr;
    if (sqlite3_open(_path.c_str(), &db) != SQLITE_OK) {
      sqlite3_close(db);
      return false;
    }
    bool ok = sqlite3_exec(db,
                           "create table tb_Button (ButtonId TEXT PRIMARY KEY, ClassId TEXT, "
                           "ButtonNo INTEGER, Title TEXT, MusicSrc TEXT, Hotkey TEXT DEFAULT NULL);"
                           "create index idx_tb_Button_ClassId on tb_Button (ClassId);"
                           "begin;",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_stmt* insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db, kInsertSql.c_str(), -1, &insert, nullptr) == SQLITE_OK;
    for (int category = 0; ok && category < kCategories; ++category) {
      for (int n = 1; ok && n <= kButtonsPerCategory; ++n) {
        const std::string classId = classIdFor(category);
        const std::string buttonId = buttonIdFor(category, n);
        const std::string title = titleFor(category * 100 + n);
        const std::string musicSrc =
            "sound-" + std::to_string(category) + "-" + std::to_string(n) + ".mp3";
        const std::string hotkey = "Ctrl+F" + std::to_string(n % 12 + 1);
        sqlite3_bind_text(insert, 1, classId.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, buttonId.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 3, n);
        sqlite3_bind_text(insert, 4, title.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, musicSrc.c_str(), -1, SQLITE_TRANSIENT);
        if (n % 4 == 0) {
          sqlite3_bind_null(insert, 6);
        } else {
          sqlite3_bind_text(insert, 6, hotkey.c_str(), -1, SQLITE_TRANSIENT);
        }
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_reset(insert) == SQLITE_OK;
      }
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "commit;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
  }

  std::string _dir;
  std::string _path;
  bool _ok = false;
};

std::array<std::string, kCategories> categoryQueries() {
  std::array<std::string, kCategories> queries;
  for (int category = 0; category < kCategories; ++category) {
    queries[static_cast<std::size_t>(category)] = categoryQuerySql(category);
  }
  return queries;
}

// A load is right when it found the whole category: 40 rows numbered 1 to 40.
bool isWholeCategory(const std::vector<Button>& buttons) {
  long long sum = 0;
  for (const Button& button : buttons) sum += button.buttonNo;
  return buttons.size() == static_cast<std::size_t>(kButtonsPerCategory) && sum == kButtonNoSum;
}

// --- The three ways of reading a category ---------------------------------------------

bool loadCategory(LiteDatabase& db, const std::string& sql, std::vector<Button>& buttons) {
  buttons.clear();
  auto rs = db.executeQueryWithArgumentsInArray(sql, {});
  if (!rs) return false;
  while (rs->next()) {
    Button& button = buttons.emplace_back();
    button.buttonNo = rs->intForColumn("buttonNo");
    button.buttonId = rs->stringForColumn("buttonId").value_or("");
    button.title = rs->stringForColumn("title").value_or("");
    button.musicSrc = rs->stringForColumn("musicSrc").value_or("");
    button.hotkey = rs->stringForColumn("hotkey").value_or("");
  }
  rs->close();
  return isWholeCategory(buttons);
}

std::string textColumn(sqlite3_stmt* stmt, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
  if (!text) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
}

bool loadCategory(sqlite3* db, const std::string& sql, std::vector<Button>& buttons) {
  buttons.clear();
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  // select * gives the table's columns in their declared order.
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    Button& button = buttons.emplace_back();
    button.buttonId = textColumn(stmt, 0);
    button.buttonNo = sqlite3_column_int(stmt, 2);
    button.title = textColumn(stmt, 3);
    button.musicSrc = textColumn(stmt, 4);
    button.hotkey = textColumn(stmt, 5);
  }
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE && isWholeCategory(buttons);
}

bool loadCategory(SQLite::Database& db, const std::string& sql, std::vector<Button>& buttons) {
  buttons.clear();
  SQLite::Statement query(db, sql);
  while (query.executeStep()) {
    Button& button = buttons.emplace_back();
    // SQLiteCpp matches column names exactly, so they are spelled as declared.
    button.buttonNo = query.getColumn("ButtonNo").getInt();
    button.buttonId = query.getColumn("ButtonId").getString();
    button.title = query.getColumn("Title").getString();
    button.musicSrc = query.getColumn("MusicSrc").getString();
    button.hotkey = query.getColumn("Hotkey").getString();
  }
  return isWholeCategory(buttons);
}

// --- CategoryLoad ----------------------------------------------------------------------

void CategoryLoad_litedb(benchmark::State& state) {
  BenchLibrary library;
  auto db = LiteDatabase::databaseWithPath(library.path());
  if (!library.ok() || !db->open()) return state.SkipWithError("no library");
  const auto queries = categoryQueries();
  std::vector<Button> buttons;
  std::size_t category = 0;
  for (auto _ : state) {
    if (!loadCategory(*db, queries[category], buttons)) return state.SkipWithError("bad load");
    benchmark::DoNotOptimize(buttons.data());
    category = (category + 1) % kCategories;
  }
  state.SetItemsProcessed(state.iterations() * kButtonsPerCategory);
}

void CategoryLoad_sqlite3(benchmark::State& state) {
  BenchLibrary library;
  sqlite3* db = nullptr;
  if (!library.ok() || sqlite3_open(library.path().c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("no library");
  }
  const auto queries = categoryQueries();
  std::vector<Button> buttons;
  std::size_t category = 0;
  for (auto _ : state) {
    if (!loadCategory(db, queries[category], buttons)) {
      state.SkipWithError("bad load");
      break;
    }
    benchmark::DoNotOptimize(buttons.data());
    category = (category + 1) % kCategories;
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kButtonsPerCategory);
}

void CategoryLoad_SQLiteCpp(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  SQLite::Database db(library.path(), SQLite::OPEN_READWRITE);
  const auto queries = categoryQueries();
  std::vector<Button> buttons;
  std::size_t category = 0;
  for (auto _ : state) {
    if (!loadCategory(db, queries[category], buttons)) return state.SkipWithError("bad load");
    benchmark::DoNotOptimize(buttons.data());
    category = (category + 1) % kCategories;
  }
  state.SetItemsProcessed(state.iterations() * kButtonsPerCategory);
}

// --- UpdateTitle -----------------------------------------------------------------------

// Which row the n-th update goes to: the buttons in turn.
std::string buttonIdForUpdate(long long n) {
  return buttonIdFor(static_cast<int>(n / kButtonsPerCategory % kCategories),
                     static_cast<int>(n % kButtonsPerCategory) + 1);
}

void UpdateTitle_litedb(benchmark::State& state) {
  BenchLibrary library;
  auto db = LiteDatabase::databaseWithPath(library.path());
  if (!library.ok() || !db->open()) return state.SkipWithError("no library");
  long long n = 0;
  for (auto _ : state) {
    if (!db->executeUpdateWithArgumentsInArray(kUpdateTitleSql,
                                               {titleFor(n), buttonIdForUpdate(n)})) {
      return state.SkipWithError("update failed");
    }
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}

bool updateTitle(sqlite3* db, const std::string& title, const std::string& buttonId) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, kUpdateTitleSql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  sqlite3_bind_text(stmt, 1, title.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, buttonId.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE && sqlite3_changes(db) == 1;
}

void UpdateTitle_sqlite3(benchmark::State& state) {
  BenchLibrary library;
  sqlite3* db = nullptr;
  if (!library.ok() || sqlite3_open(library.path().c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("no library");
  }
  long long n = 0;
  for (auto _ : state) {
    if (!updateTitle(db, titleFor(n), buttonIdForUpdate(n))) {
      state.SkipWithError("update failed");
      break;
    }
    ++n;
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

void UpdateTitle_SQLiteCpp(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  SQLite::Database db(library.path(), SQLite::OPEN_READWRITE);
  long long n = 0;
  for (auto _ : state) {
    SQLite::Statement update(db, kUpdateTitleSql);
    update.bind(1, titleFor(n));
    update.bind(2, buttonIdForUpdate(n));
    if (update.exec() != 1) return state.SkipWithError("update failed");
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}

// --- InsertInTransaction ---------------------------------------------------------------

// The n-th inserted row: new ids in categories of their own, so the key never repeats.
struct NewRow {
  std::string classId;
  std::string buttonId;
  int buttonNo;
  std::string title;
  std::string musicSrc;
  std::string hotkey;
};

NewRow newRow(long long n) {
  const std::string number = std::to_string(n);
  return NewRow{"added-" + std::to_string(n / kButtonsPerCategory),
                "A0000000-" + number,
                static_cast<int>(n % kButtonsPerCategory) + 1,
                titleFor(n),
                "added-" + number + ".mp3",
                ""};
}

void InsertInTransaction_litedb(benchmark::State& state) {
  BenchLibrary library;
  auto db = LiteDatabase::databaseWithPath(library.path());
  if (!library.ok() || !db->open()) return state.SkipWithError("no library");
  const long long rowsPerTransaction = state.range(0);
  long long n = 0;
  for (auto _ : state) {
    if (!db->executeUpdate("begin transaction")) return state.SkipWithError("begin failed");
    for (long long i = 0; i < rowsPerTransaction; ++i, ++n) {
      NewRow row = newRow(n);
      if (!db->executeUpdateWithArgumentsInArray(
              kInsertSql, {std::move(row.classId), std::move(row.buttonId), row.buttonNo,
                           std::move(row.title), std::move(row.musicSrc), std::move(row.hotkey)})) {
        return state.SkipWithError("insert failed");
      }
    }
    if (!db->executeUpdate("commit transaction")) return state.SkipWithError("commit failed");
  }
  state.SetItemsProcessed(state.iterations() * rowsPerTransaction);
}

bool insertRow(sqlite3* db, const NewRow& row) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, kInsertSql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  sqlite3_bind_text(stmt, 1, row.classId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 2, row.buttonId.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(stmt, 3, row.buttonNo);
  sqlite3_bind_text(stmt, 4, row.title.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 5, row.musicSrc.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, 6, row.hotkey.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE;
}

void InsertInTransaction_sqlite3(benchmark::State& state) {
  BenchLibrary library;
  sqlite3* db = nullptr;
  if (!library.ok() || sqlite3_open(library.path().c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("no library");
  }
  const long long rowsPerTransaction = state.range(0);
  long long n = 0;
  for (auto _ : state) {
    bool ok = sqlite3_exec(db, "begin transaction", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (long long i = 0; ok && i < rowsPerTransaction; ++i, ++n) ok = insertRow(db, newRow(n));
    ok = ok && sqlite3_exec(db, "commit transaction", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok) {
      state.SkipWithError("insert failed");
      break;
    }
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * rowsPerTransaction);
}

void InsertInTransaction_SQLiteCpp(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  SQLite::Database db(library.path(), SQLite::OPEN_READWRITE);
  const long long rowsPerTransaction = state.range(0);
  long long n = 0;
  for (auto _ : state) {
    SQLite::Transaction transaction(db);
    for (long long i = 0; i < rowsPerTransaction; ++i, ++n) {
      const NewRow row = newRow(n);
      SQLite::Statement insert(db, kInsertSql);
      insert.bind(1, row.classId);
      insert.bind(2, row.buttonId);
      insert.bind(3, row.buttonNo);
      insert.bind(4, row.title);
      insert.bind(5, row.musicSrc);
      insert.bind(6, row.hotkey);
      insert.exec();
    }
    transaction.commit();
  }
  state.SetItemsProcessed(state.iterations() * rowsPerTransaction);
}

// --- ExecuteStatements -----------------------------------------------------------------

// A batch of joined statements, as the library's commands write them: values in the
// text, one transaction around three single-row updates.
std::string batchFor(long long n) {
  std::string sql = "begin;";
  for (int k = 0; k < 3; ++k) {
    const long long m = n * 3 + k;
    sql += " update tb_Button set  Title    ='" + titleFor(m) + "' where ButtonId ='" +
           buttonIdForUpdate(m) + "';";
  }
  sql += "commit;";
  return sql;
}

void ExecuteStatements_litedb(benchmark::State& state) {
  BenchLibrary library;
  auto db = LiteDatabase::databaseWithPath(library.path());
  if (!library.ok() || !db->open()) return state.SkipWithError("no library");
  long long n = 0;
  for (auto _ : state) {
    if (!db->executeStatements(batchFor(n++))) return state.SkipWithError("batch failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void ExecuteStatements_sqlite3(benchmark::State& state) {
  BenchLibrary library;
  sqlite3* db = nullptr;
  if (!library.ok() || sqlite3_open(library.path().c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    return state.SkipWithError("no library");
  }
  long long n = 0;
  for (auto _ : state) {
    if (sqlite3_exec(db, batchFor(n++).c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("batch failed");
      break;
    }
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

void ExecuteStatements_SQLiteCpp(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  SQLite::Database db(library.path(), SQLite::OPEN_READWRITE);
  long long n = 0;
  for (auto _ : state) db.exec(batchFor(n++));
  state.SetItemsProcessed(state.iterations());
}

// --- ColdStart -------------------------------------------------------------------------

void ColdStart_litedb(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  const std::string sql = categoryQuerySql(0);
  std::vector<Button> buttons;
  for (auto _ : state) {
    auto db = LiteDatabase::databaseWithPath(library.path());
    if (!db->open() || !loadCategory(*db, sql, buttons)) return state.SkipWithError("bad start");
    db->close();
  }
  state.SetItemsProcessed(state.iterations());
}

void ColdStart_sqlite3(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  const std::string sql = categoryQuerySql(0);
  std::vector<Button> buttons;
  for (auto _ : state) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(library.path().c_str(), &db) == SQLITE_OK &&
                    sqlite3_busy_timeout(db, 2000) == SQLITE_OK && loadCategory(db, sql, buttons);
    sqlite3_close(db);
    if (!ok) return state.SkipWithError("bad start");
  }
  state.SetItemsProcessed(state.iterations());
}

void ColdStart_SQLiteCpp(benchmark::State& state) {
  BenchLibrary library;
  if (!library.ok()) return state.SkipWithError("no library");
  const std::string sql = categoryQuerySql(0);
  std::vector<Button> buttons;
  for (auto _ : state) {
    SQLite::Database db(library.path(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE, 2000);
    if (!loadCategory(db, sql, buttons)) return state.SkipWithError("bad start");
  }
  state.SetItemsProcessed(state.iterations());
}

// --- Bulk work: a table of 100,000 rows -------------------------------------------------
//
// BulkScenarios.h holds the work, shared with the instruction counter. One benchmark
// per scenario and contender, named <Scenario>_<contender>.

void runBulk(benchmark::State& state, BulkScenario scenario, BulkContenderKind kind) {
  const std::unique_ptr<BulkContender> contender = makeBulkContender(scenario, kind);
  if (!contender->ok()) return state.SkipWithError("no library");
  for (auto _ : state) {
    if (!contender->run()) {
      state.SkipWithError("wrong result");
      break;
    }
    if (scenario == BulkScenario::Insert) {
      state.PauseTiming();
      contender->tidy();
      state.ResumeTiming();
    }
  }
  contender->finish();
  state.SetItemsProcessed(state.iterations() * bulkOperationsPerRun(scenario));
}

}  // namespace

BENCHMARK(CategoryLoad_litedb)->UseRealTime();
BENCHMARK(CategoryLoad_sqlite3)->UseRealTime();
BENCHMARK(CategoryLoad_SQLiteCpp)->UseRealTime();
BENCHMARK(UpdateTitle_litedb)->UseRealTime();
BENCHMARK(UpdateTitle_sqlite3)->UseRealTime();
BENCHMARK(UpdateTitle_SQLiteCpp)->UseRealTime();
BENCHMARK(InsertInTransaction_litedb)->Arg(1)->Arg(40)->UseRealTime();
BENCHMARK(InsertInTransaction_sqlite3)->Arg(1)->Arg(40)->UseRealTime();
BENCHMARK(InsertInTransaction_SQLiteCpp)->Arg(1)->Arg(40)->UseRealTime();
BENCHMARK(ExecuteStatements_litedb)->UseRealTime();
BENCHMARK(ExecuteStatements_sqlite3)->UseRealTime();
BENCHMARK(ExecuteStatements_SQLiteCpp)->UseRealTime();
BENCHMARK(ColdStart_litedb)->UseRealTime();
BENCHMARK(ColdStart_sqlite3)->UseRealTime();
BENCHMARK(ColdStart_SQLiteCpp)->UseRealTime();

// After the benchmarks above, so that they list in this order.
const bool kBulkBenchmarksRegistered = [] {
  for (BulkScenario scenario : {BulkScenario::Insert, BulkScenario::Scan, BulkScenario::PointSelect,
                                BulkScenario::Update}) {
    for (BulkContenderKind kind :
         {BulkContenderKind::LitedbCacheOff, BulkContenderKind::LitedbCacheOn,
          BulkContenderKind::LitedbCacheOffLiteral, BulkContenderKind::LitedbCacheOnLiteral,
          BulkContenderKind::CApi, BulkContenderKind::SQLiteCpp}) {
      const std::string name =
          std::string(bulkScenarioName(scenario)) + "_" + std::string(bulkContenderName(kind));
      benchmark::RegisterBenchmark(name.c_str(), runBulk, scenario, kind)->UseRealTime();
    }
  }
  return true;
}();

BENCHMARK_MAIN();
