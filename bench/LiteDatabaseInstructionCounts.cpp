// Runs one bulk scenario (BulkScenarios.h) for one contender, so that
// bench/instruction-counts can count the instructions of its measured work under
// valgrind's callgrind:
//
//   LiteDatabaseInstructionCounts <BulkInsert|ScanByName|PointSelect|UpdateRows>
//                                 <sqlite3|litedb/cacheOn|litedb/cacheOff|SQLiteCpp|
//                                  litedb/cacheOn/literal|litedb/cacheOff/literal>
//
// It sets the contender up, does one run to warm up (statements prepared or cached,
// pages read), tidies as the benchmark does between runs, then does the measured run
// inside countedRun, the only function whose instructions callgrind collects
// (--collect-atstart=no --toggle-collect=countedRun). It prints the number of
// operations of one run and exits non-zero when a run fails.
//
// Needs nothing of valgrind to build; without callgrind it simply does the work.
#include <cstdio>

#include "BulkScenarios.h"

// Out of line, unmangled and never inlined or cloned, so that callgrind can find it by
// name and counts nothing but the run.
extern "C" {
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noipa))
#endif
bool countedRun(BulkContender* contender) {
  return contender->run();
}
}

int main(int argc, char** argv) {
  BulkScenario scenario{};
  BulkContenderKind kind{};
  if (argc != 3 || !bulkScenarioNamed(argv[1], &scenario) || !bulkContenderNamed(argv[2], &kind)) {
    std::fprintf(stderr,
                 "usage: %s <BulkInsert|ScanByName|PointSelect|UpdateRows> "
                 "<sqlite3|litedb/cacheOn|litedb/cacheOff|SQLiteCpp|litedb/cacheOn/literal|"
                 "litedb/cacheOff/literal>\n",
                 argv[0]);
    return 2;
  }
  const auto contender = makeBulkContender(scenario, kind);
  if (!contender->ok()) {
    std::fprintf(stderr, "%s: could not set up the library\n", argv[0]);
    return 1;
  }
  bool ok = contender->run();
  contender->tidy();
  ok = ok && countedRun(contender.get());
  contender->finish();
  if (!ok) {
    std::fprintf(stderr, "%s: %s %s gave a wrong result\n", argv[0], argv[1], argv[2]);
    return 1;
  }
  std::printf("%d\n", bulkOperationsPerRun(scenario));
  return 0;
}
