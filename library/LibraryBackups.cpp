#include "library/LibraryBackups.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>

#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

std::function<std::time_t()>& installedClock() {
  static std::function<std::time_t()> installed;
  return installed;
}

std::string formatted(std::time_t when, const char* format) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[64];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

void syncPath(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// "data-2026-12-11.sqlite" (a daily copy) or "data-2026-12-11-093005.sqlite" (taken by a
// restore).
const std::regex& backupName() {
  static const std::regex pattern(
      R"(data-([0-9]{4}-[0-9]{2}-[0-9]{2})(?:-([0-9]{2})([0-9]{2})([0-9]{2})(?:\.([0-9]+))?)?\.sqlite)");
  return pattern;
}

// Newest first: by day, and within a day a copy taken later after one taken earlier; a
// daily copy is taken before the first change of its day, so before any restore of it.
std::string sortKey(const std::smatch& match) {
  // Built piece by piece: GCC 12 misreads a chain of + as overlapping copies.
  std::string key = match[1].str();
  key += '-';
  if (!match[2].matched) {
    key += "000000";
    return key;
  }
  key += match[2].str();
  key += match[3].str();
  key += match[4].str();
  if (match[5].matched) {
    key += '.';
    key += match[5].str();
  }
  return key;
}

}  // namespace

void LibraryBackups::setClockForTesting(std::function<std::time_t()> installed) {
  installedClock() = std::move(installed);
}

std::time_t LibraryBackups::now() {
  return installedClock() ? installedClock()() : std::time(nullptr);
}

std::string LibraryBackups::folder() { return documentPath() + "/backups"; }

long long LibraryBackups::soundCount(const std::string& path) {
  auto db = LiteDatabase::databaseWithPath(path);
  db->setLogsErrors(false);
  if (!db->openWithFlags(SQLITE_OPEN_READONLY)) return -1;
  long long rows = -1;
  auto rs = db->executeQueryWithArgumentsInArray("select count(*) as n from tb_Button", {});
  if (rs && rs->next()) rows = rs->longLongIntForColumn("n");
  if (rs) rs->close();
  db->close();
  return rows;
}

std::vector<LibraryBackups::Backup> LibraryBackups::list() {
  std::vector<std::pair<std::string, Backup>> found;
  std::error_code code;
  for (fs::directory_iterator it(folder(), code), end; !code && it != end; it.increment(code)) {
    const std::string name = it->path().filename().string();
    std::smatch match;
    if (!std::regex_match(name, match, backupName())) continue;
    Backup backup;
    backup.path = it->path().string();
    backup.name = name;
    backup.when = match[1].str();
    if (match[2].matched) {
      backup.when += " " + match[2].str() + ":" + match[3].str() + ":" + match[4].str();
    }
    found.emplace_back(sortKey(match), std::move(backup));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<Backup> backups;
  for (auto& [key, backup] : found) {
    backup.rows = soundCount(backup.path);
    backups.push_back(std::move(backup));
  }
  return backups;
}

bool LibraryBackups::writeCopy(LiteDatabase& db, const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const fs::path target(path);
  std::error_code code;
  fs::create_directories(target.parent_path(), code);
  if (code) return fail("无法创建文件夹 " + target.parent_path().string() + "：" + code.message());
  if (fs::exists(fs::symlink_status(target, code))) return fail(path + " 已经存在");
  if (!db.isOpen() && !db.open()) return fail(db.lastErrorMessage());

  // Named as the file manager names its copies under way, so that one a crash cut off is
  // cleared at the next start.
  const fs::path partial = target.parent_path() / ("." + target.filename().string() + ".partial-" +
                                                   std::to_string(::getpid()) + "-0");
  fs::remove(partial, code);
  std::optional<LiteError> failure;
  if (!db.backupTo(partial.string(), &failure)) {
    fs::remove(partial, code);
    return fail(failure ? failure->description : std::string("备份失败"));
  }
  syncPath(partial.string());
  if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0) {
    const std::string why = std::strerror(errno);
    fs::remove(partial, code);
    return fail("无法保存 " + path + "：" + why);
  }
  syncPath(target.parent_path().string());
  return true;
}

bool LibraryBackups::makeDailyBackup(LiteDatabase& db, bool* made, std::string* error) {
  if (made) *made = false;
  const std::string path = folder() + "/data-" + formatted(now(), "%Y-%m-%d") + ".sqlite";
  std::error_code code;
  if (fs::exists(path, code)) return true;
  if (!writeCopy(db, path, error)) return false;
  if (made) *made = true;

  // The newest dailies are kept; copies taken by a restore are left for the host.
  int dailies = 0;
  for (const Backup& backup : list()) {
    if (backup.when.size() != 10) continue;
    if (++dailies > kKeptDailyBackups) fs::remove(backup.path, code);
  }
  return true;
}

std::string LibraryBackups::backupNow(LiteDatabase& db, std::string* error) {
  const std::time_t when = now();
  const std::string stem = folder() + "/data-" + formatted(when, "%Y-%m-%d-%H%M%S");
  std::string path = stem + ".sqlite";
  // Two restores within a second must not meet at one name.
  for (int k = 2; fs::exists(path); ++k) path = stem + "." + std::to_string(k) + ".sqlite";
  return writeCopy(db, path, error) ? path : std::string();
}

bool LibraryBackups::restore(LiteDatabase& db, const std::string& backupPath, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (soundCount(backupPath) < 0) return fail(backupPath + " 不是完整的音效库");
  auto source = LiteDatabase::databaseWithPath(backupPath);
  source->setLogsErrors(false);
  if (!source->openWithFlags(SQLITE_OPEN_READONLY)) return fail(source->lastErrorMessage());
  const std::optional<std::string> check = source->stringForQuery("pragma quick_check");
  if (check != std::string("ok")) return fail(backupPath + " 已损坏：" + check.value_or("?"));

  std::string why;
  if (backupNow(db, &why).empty()) return fail("没能先备份现在的音效库：" + why);
  std::optional<LiteError> failure;
  const bool restored = source->backupTo(db, &failure);
  source->close();
  if (!restored) return fail(failure ? failure->description : std::string("恢复失败"));
  return true;
}
