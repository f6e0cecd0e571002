// The bulk work on a 100,000-row table that compares litedb's per-call cost on repeated
// statements with the sqlite3 C API and SQLiteCpp. LiteDatabaseBench times it and
// LiteDatabaseInstructionCounts counts its instructions under callgrind; both run the
// work through these classes, so the two measure exactly the same thing.
//
// Scenarios, each run inside one transaction per iteration so that the disk is not what
// is measured:
//   Insert       100,000 inserts with bound arguments (name, score, weight).
//   Scan         a scan of every row, three columns read by name.
//   PointSelect  10,000 point selects by primary key, each a new query with one argument.
//   Update       10,000 single-row updates with arguments.
//
// Contenders: litedb with its statement cache off and on, each passing its SQL text as
// a std::string it keeps and, in the "literal" contenders, as a string literal; the C API as a
// careful C programmer writes it (each statement prepared once, then reset and rebound; a scan
// looks its column indexes up by name once per pass); SQLiteCpp with one reused
// SQLite::Statement.
//
// Ownership: a contender owns its scratch library file (a fresh temporary directory,
// removed on destruction) and its connection.
//
// Thread-safety: a contender is used from one thread.
#pragma once

#include <memory>
#include <string_view>

enum class BulkScenario { Insert, Scan, PointSelect, Update };
enum class BulkContenderKind {
  CApi,
  LitedbCacheOn,
  LitedbCacheOff,
  SQLiteCpp,
  LitedbCacheOnLiteral,
  LitedbCacheOffLiteral
};

// How many operations one run of the scenario does (inserts, rows, selects, updates).
int bulkOperationsPerRun(BulkScenario scenario);

// The names the benchmark and the instruction counter use ("BulkInsert", "ScanByName",
// "PointSelect", "UpdateRows"; "sqlite3", "litedb/cacheOn", "litedb/cacheOff",
// "SQLiteCpp", "litedb/cacheOn/literal", "litedb/cacheOff/literal"), and back; false
// when the name is none of them.
std::string_view bulkScenarioName(BulkScenario scenario);
std::string_view bulkContenderName(BulkContenderKind kind);
bool bulkScenarioNamed(std::string_view name, BulkScenario* scenario);
bool bulkContenderNamed(std::string_view name, BulkContenderKind* kind);

class BulkContender {
 public:
  virtual ~BulkContender() = default;
  // Whether the library and the connection could be set up.
  virtual bool ok() const = 0;
  // One iteration of the measured work; false when it failed or its result is wrong.
  virtual bool run() = 0;
  // Outside the measurement: what the next run needs (an insert run empties the table).
  virtual void tidy() {}
  // Outside the measurement, after the last run (ends a transaction left open).
  virtual void finish() {}
};

std::unique_ptr<BulkContender> makeBulkContender(BulkScenario scenario, BulkContenderKind kind);
