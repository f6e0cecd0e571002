// What sharing a database between threads costs: the serial queue's hand-over, and
// reads through the pool against reads on one connection used directly.
//
// QueueHandOver/threads:N
//                one inDatabase call with an empty block, N threads calling the same
//                queue at once. Items are hand-overs; with two threads each one waits
//                for the other's turn, so the time includes waking the next caller.
// Read_direct    one connection used straight from one thread: a point select of a
//                random row by primary key, its text column read by name. Items are reads.
// Read_pool/threads:N
//                the same read, each in its own pool inDatabase call (lend, read, give
//                back), N threads at once on their own pooled connections (opened before
//                the clock starts).
// Read_queue/threads:N
//                the same read, each in its own queue inDatabase call, N threads sharing
//                the queue's one connection.
//
// The reads run on a 10,000-row table in write-ahead-log mode in a fresh temporary
// file; every statement is prepared afresh (statement cache off, as the program runs).
// Times and rates are wall-clock.
//
// Run from a Release build:
//   build/bench/bench/LiteDatabaseConcurrencyBench --benchmark_repetitions=3
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "litedb/LiteDatabase.h"
#include "litedb/LiteDatabasePool.h"
#include "litedb/LiteDatabaseQueue.h"

namespace {

constexpr int kRows = 10000;
const std::string kReadSql = "select name, score from item where id = ?";

// A scratch directory with the table `item`, made once for the whole run.
class ReadLibrary {
 public:
  ReadLibrary() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "cueboard-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    _dir = pattern;
    _path = (std::filesystem::path(_dir) / "items.sqlite").string();
    LiteDatabase db(_path);
    _ok = db.open() && db.stringForQuery("pragma journal_mode=wal") == "wal" &&
          db.executeStatements(
              "create table item (id INTEGER PRIMARY KEY, name TEXT, score INTEGER); begin");
    for (int i = 1; _ok && i <= kRows; ++i) {
      _ok = db.executeUpdate("insert into item values (?, ?, ?)", i,
                             "sound effect " + std::to_string(i), i % 1000);
    }
    _ok = _ok && db.executeStatements("commit");
    // Kept open for the whole run, so that the log and its index are not torn down and
    // rebuilt between benchmarks (the rebuild makes concurrent openers wait).
    _keeper = std::make_unique<LiteDatabase>(_path);
    _ok = _ok && _keeper->open();
  }
  ~ReadLibrary() {
    std::error_code ignored;
    if (!_dir.empty()) std::filesystem::remove_all(_dir, ignored);
  }
  bool ok() const { return _ok; }
  const std::string& path() const { return _path; }

 private:
  std::string _dir;
  std::string _path;
  std::unique_ptr<LiteDatabase> _keeper;
  bool _ok = false;
};

const ReadLibrary& library() {
  static const ReadLibrary instance;
  return instance;
}

// One read; returns the length of the text read so the work cannot be dropped.
std::size_t readOne(LiteDatabase& db, int id) {
  auto rs = db.executeQuery(kReadSql, id);
  std::size_t length = 0;
  if (rs && rs->next()) length = rs->stringForColumn("name").value_or("").size();
  if (rs) rs->close();
  return length;
}

// Shared by the threads of one benchmark run; set up and torn down by thread 0, between
// the barriers Google Benchmark puts around the timed loop.
std::shared_ptr<LiteDatabaseQueue> sharedQueue;
std::shared_ptr<LiteDatabasePool> sharedPool;

void QueueHandOver(benchmark::State& state) {
  if (state.thread_index() == 0)
    sharedQueue = LiteDatabaseQueue::databaseQueueWithPath(std::nullopt);
  for (auto _ : state) {
    sharedQueue->inDatabase([](LiteDatabase* db) { benchmark::DoNotOptimize(db); });
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) sharedQueue.reset();
}

void Read_direct(benchmark::State& state) {
  if (!library().ok()) {
    state.SkipWithError("could not make the library");
    return;
  }
  LiteDatabase db(library().path());
  db.open();
  std::mt19937 random(1);
  std::uniform_int_distribution<int> id(1, kRows);
  for (auto _ : state) benchmark::DoNotOptimize(readOne(db, id(random)));
  state.SetItemsProcessed(state.iterations());
}

void Read_pool(benchmark::State& state) {
  if (!library().ok()) {
    state.SkipWithError("could not make the library");
    return;
  }
  if (state.thread_index() == 0) {
    sharedPool = LiteDatabasePool::databasePoolWithPath(library().path());
    // One open connection per thread before the clock starts: the steady state.
    std::vector<std::shared_ptr<LiteDatabase>> lent;
    for (int i = 0; i < state.threads(); ++i) lent.push_back(sharedPool->db());
    for (const auto& db : lent) sharedPool->pushDatabaseBackInPool(db);
  }
  std::mt19937 random(static_cast<unsigned>(state.thread_index()) + 1);
  std::uniform_int_distribution<int> id(1, kRows);
  for (auto _ : state) {
    const int row = id(random);
    sharedPool->inDatabase([&](LiteDatabase* db) { benchmark::DoNotOptimize(readOne(*db, row)); });
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    state.counters["connections"] = static_cast<double>(sharedPool->countOfOpenDatabases());
    sharedPool.reset();
  }
}

void Read_queue(benchmark::State& state) {
  if (!library().ok()) {
    state.SkipWithError("could not make the library");
    return;
  }
  if (state.thread_index() == 0)
    sharedQueue = LiteDatabaseQueue::databaseQueueWithPath(library().path());
  std::mt19937 random(static_cast<unsigned>(state.thread_index()) + 1);
  std::uniform_int_distribution<int> id(1, kRows);
  for (auto _ : state) {
    const int row = id(random);
    sharedQueue->inDatabase([&](LiteDatabase* db) { benchmark::DoNotOptimize(readOne(*db, row)); });
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) sharedQueue.reset();
}

}  // namespace

BENCHMARK(QueueHandOver)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(Read_direct)->UseRealTime();
BENCHMARK(Read_pool)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(Read_queue)->Threads(1)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
