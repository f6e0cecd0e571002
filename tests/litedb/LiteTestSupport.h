// Fixtures shared by the litedb tests: a capturing log sink, a scratch directory and
// a few shortcuts for looking at a connection from outside.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "litedb/LiteDatabase.h"
#include "litedb/LiteLog.h"

// Collects every logged line while it lives; restores the default sink afterwards.
class LogCapture {
 public:
  LogCapture() {
    setLiteLogSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(_mutex);
      _lines.push_back(line);
    });
  }
  ~LogCapture() { setLiteLogSink(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
  }
  // Returns the lines so far and forgets them.
  std::vector<std::string> take() {
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> out;
    out.swap(_lines);
    return out;
  }

 private:
  mutable std::mutex _mutex;
  std::vector<std::string> _lines;
};

// A fresh directory under the system's temporary directory, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "litedb-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
    _path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return (_path / name).string(); }
  const std::filesystem::path& path() const { return _path; }

 private:
  std::filesystem::path _path;
};

// The messages of the connection's guards, as they name the connection.
inline std::string notOpenLine(const LiteDatabase& db) {
  return "The LiteDatabase " + db.description() + " is not open.";
}
inline std::string inUseLine(const LiteDatabase& db) {
  return "The LiteDatabase " + db.description() + " is currently in use.";
}

// The SQL texts of the updates a traced connection logged, in order.
inline std::vector<std::string> updatesIn(const std::vector<std::string>& lines) {
  const std::string marker = " executeUpdate: ";
  std::vector<std::string> sql;
  for (const std::string& line : lines) {
    const std::size_t at = line.find(marker);
    if (at != std::string::npos) sql.push_back(line.substr(at + marker.size()));
  }
  return sql;
}

// Runs a one-value query straight on the engine, outside the layer under test.
inline std::string engineScalar(LiteDatabase& db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string out = "<prepare failed>";
  if (sqlite3_prepare_v2(db.sqliteHandle(), sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    out = "<no row>";
    if (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      out = text ? reinterpret_cast<const char*>(text) : "<NULL>";
    }
  }
  sqlite3_finalize(stmt);
  return out;
}
