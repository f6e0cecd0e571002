#include "platform/Console.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& consoleMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::function<void(const std::string&)>& consoleSink() {
  static auto* sink = new std::function<void(const std::string&)>();
  return *sink;
}

}  // namespace

void consolePrint(const std::string& line) {
  std::lock_guard lock(consoleMutex());
  if (consoleSink()) {
    consoleSink()(line);
    return;
  }
  // stdio rather than iostreams: one write per line and no dependence on the order of
  // static initialisation when a line is printed early.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void setConsoleSinkForTesting(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(consoleMutex());
  consoleSink() = std::move(sink);
}
