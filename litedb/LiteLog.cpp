#include "litedb/LiteLog.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace {

void writeDefaultLine(const std::string& message) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%s.%03d cueboard[%ld] ", stamp, static_cast<int>(millis),
                static_cast<long>(getpid()));
  // One write per line, so lines from other writers of stderr do not cut into it.
  const std::string line = prefix + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

struct LogState {
  std::mutex sinkMutex;  // guards `sink`
  std::shared_ptr<const LiteLogSink> sink;
  std::mutex emitMutex;  // serialises calls into the sink
};

LogState& logState() {
  static LogState state;
  return state;
}

}  // namespace

void liteLog(const std::string& message) {
  LogState& state = logState();
  std::shared_ptr<const LiteLogSink> sink;
  {
    std::lock_guard<std::mutex> lock(state.sinkMutex);
    sink = state.sink;
  }
  std::lock_guard<std::mutex> lock(state.emitMutex);
  if (sink && *sink) {
    (*sink)(message);
  } else {
    writeDefaultLine(message);
  }
}

void setLiteLogSink(LiteLogSink sink) {
  LogState& state = logState();
  std::shared_ptr<const LiteLogSink> replacement;
  if (sink) replacement = std::make_shared<const LiteLogSink>(std::move(sink));
  std::lock_guard<std::mutex> lock(state.sinkMutex);
  state.sink = std::move(replacement);
}
