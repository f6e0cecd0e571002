#include "library/LibraryGuard.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "library/DBHelper.h"
#include "library/LibraryBackups.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/Alert.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

std::unique_ptr<LibraryGuard>& sharedGuard() {
  static std::unique_ptr<LibraryGuard> guard;
  return guard;
}

// The side files the engine keeps beside a database; they belong to it wherever it goes.
constexpr const char* kSideFiles[] = {"-wal", "-shm", "-journal"};

bool isDamageCode(int code) {
  code &= 0xff;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

bool renameWithoutReplacing(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// Whether a new file can be made in the folder; "" when it can, else why not.
std::string folderRefusal(const std::string& folder) {
  const std::string probe = folder + "/.write-check.partial-" + std::to_string(::getpid()) + "-0";
  const int fd = ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) {
      ::unlink(probe.c_str());
      return folderRefusal(folder);
    }
    return std::strerror(errno);
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return std::string();
}

std::string fileRefusal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return std::string();
}

}  // namespace

LibraryGuard& libraryGuard() {
  auto& guard = sharedGuard();
  if (!guard) guard = std::make_unique<LibraryGuard>();
  return *guard;
}

void resetLibraryGuardForTesting() { sharedGuard().reset(); }

LibraryGuard::Examination LibraryGuard::examine(const std::string& path) {
  std::error_code code;
  if (!fs::exists(fs::symlink_status(path, code))) return {Health::Missing, ""};
  if (fs::is_directory(path, code)) return {Health::Damaged, "不是文件，是文件夹"};

  auto db = LiteDatabase::databaseWithPath(path);
  db->setLogsErrors(false);
  auto unreadableOrDamaged = [&db]() -> Examination {
    const std::string why = db->lastErrorMessage();
    const Health health = isDamageCode(db->lastErrorCode()) ? Health::Damaged : Health::Unreadable;
    db->close();
    return {health, why};
  };
  // Read-only: a connection that may write would replay or remove the log beside a
  // damaged file when it closes, and that log is the host's too.
  if (!db->openWithFlags(SQLITE_OPEN_READONLY)) {
    return unreadableOrDamaged();
  }
  auto rs = db->executeQueryWithArgumentsInArray("pragma quick_check", {});
  if (!rs) return unreadableOrDamaged();
  std::string verdict;
  std::optional<LiteError> stepError;
  while (rs->nextWithError(&stepError)) {
    if (!verdict.empty()) verdict += "; ";
    verdict += rs->stringForColumnIndex(0).value_or("");
  }
  rs->close();
  if (stepError && stepError->code != 0) {
    const Health health = isDamageCode(stepError->code) ? Health::Damaged : Health::Unreadable;
    db->close();
    return {health, stepError->description};
  }
  if (verdict != "ok") {
    db->close();
    return {Health::Damaged, "完整性检查未通过：" + verdict};
  }
  auto tables = db->executeQueryWithArgumentsInArray(
      "select count(*) as n from sqlite_master where type = 'table' and name = 'tb_Button'", {});
  if (!tables) return unreadableOrDamaged();
  const bool hasTable = tables->next() && tables->longLongIntForColumn("n") > 0;
  tables->close();
  db->close();
  if (!hasTable) return {Health::Damaged, "没有 tb_Button 表"};
  return {Health::Healthy, ""};
}

std::string LibraryGuard::moveAside(const std::string& path, std::time_t when, std::string* error) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string stem = path + ".damaged-" + stamp;
  std::error_code code;
  auto taken = [&code](const std::string& candidate) {
    if (fs::exists(fs::symlink_status(candidate, code))) return true;
    for (const char* side : kSideFiles) {
      if (fs::exists(fs::symlink_status(candidate + side, code))) return true;
    }
    return false;
  };
  std::string target = stem;
  for (int k = 2; taken(target); ++k) target = stem + "-" + std::to_string(k);

  // The log first: one left beside the library that takes this one's place would be
  // read into it.
  std::vector<const char*> moved;
  auto undo = [&] {
    for (const char* side : moved) renameWithoutReplacing(target + side, path + side);
  };
  for (const char* side : kSideFiles) {
    if (!fs::exists(fs::symlink_status(path + side, code))) continue;
    if (!renameWithoutReplacing(path + side, target + side)) {
      if (error) *error = std::strerror(errno);
      undo();
      return std::string();
    }
    moved.push_back(side);
  }
  if (!renameWithoutReplacing(path, target)) {
    if (error) *error = std::strerror(errno);
    undo();
    return std::string();
  }
  const int fd = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  return target;
}

LibraryGuard::StartupReport LibraryGuard::prepareLibrary() {
  StartupReport report;
  const std::string folder = documentPath();
  const std::string path = folder + "/data.sqlite";
  auto& files = FileManager::defaultManager();
  for (const std::string& place : {folder, soundPath(), LibraryBackups::folder()}) {
    files.removePartialCopiesInFolder(place);
  }

  const Examination found = examine(path);
  if (found.health == Health::Damaged) {
    report.damagedPath = path;
    report.damage = found.reason;
    report.movedTo = moveAside(path, LibraryBackups::now(), &report.moveProblem);
    if (report.movedTo.empty()) {
      consolePrint("音效库已损坏（" + found.reason + "），也无法移开（" + report.moveProblem +
                   "）：" + path);
    } else {
      consolePrint("音效库已损坏（" + found.reason + "），已移到 " + report.movedTo);
    }
  }

  auto db = dbHelper().db();  // seeds the shipped library in place of a missing one
  checkWritable();
  if (!report.damagedPath.empty() && report.movedTo.empty()) {
    unwritable = "音效库已损坏，无法修改：" + path;
    emit problemChanged();
  }
  if (unwritable.empty() && (db->isOpen() || db->open())) {
    // Each commit reaches the disk before the command goes on, and a crash in the middle
    // of one leaves the library as it was before it.
    db->executeStatements("pragma journal_mode = wal");
    db->executeStatements("pragma synchronous = full");
  }
  return report;
}

void LibraryGuard::checkWritable() {
  const std::string folder = documentPath();
  const std::string path = folder + "/data.sqlite";
  std::string why;
  if (std::string refusal = folderRefusal(folder); !refusal.empty()) {
    why = "文件夹 " + folder + " 无法写入（" + refusal + "）";
  } else if (std::string refusal = fileRefusal(path);
             !refusal.empty() && fs::exists(fs::path(path))) {
    why = "文件 " + path + " 无法写入（" + refusal + "）";
  } else if (std::string sounds = soundPath(); fs::is_directory(fs::path(sounds))) {
    if (std::string refusal = folderRefusal(sounds.substr(0, sounds.size() - 1));
        !refusal.empty()) {
      why = "文件夹 " + sounds + " 无法写入（" + refusal + "）";
    }
  }
  const std::string before = unwritable;
  unwritable = why.empty() ? std::string() : "音效库无法写入，修改不会被保存：" + why;
  if (unwritable != before) {
    if (!unwritable.empty()) consolePrint(unwritable);
    emit problemChanged();
  }
}

bool LibraryGuard::beforeChange(LiteDatabase& db, const std::string& what) {
  if (!unwritable.empty()) {
    const std::string text = what + "失败：" + unwritable;
    consolePrint(text);
    changeFailed(text);
    return false;
  }
  std::string why;
  if (!LibraryBackups::makeDailyBackup(db, nullptr, &why)) {
    // The change itself may still go through; the host learns that today has no copy.
    consolePrint("今天的备份没有做成：" + why);
    changeFailed("今天的备份没有做成：" + why);
  }
  return true;
}

void LibraryGuard::changeFailed(const std::string& text) {
  failure = text;
  emit problemChanged();
}

void LibraryGuard::changeSaved() {
  if (failure.empty()) return;
  failure.clear();
  emit problemChanged();
}

bool LibraryGuard::offerRecovery(const StartupReport& report, LiteDatabase& db, QWidget* parent) {
  if (report.damagedPath.empty()) return false;
  Alert alert;
  alert.setMessageText("音效库已损坏");
  alert.setIcon(Alert::Icon::Caution);
  alert.setAlertStyle(Alert::Style::Warning);
  if (report.movedTo.empty()) {
    alert.setInformativeText("音效库文件 " + report.damagedPath + " 无法使用（" + report.damage +
                             "），也无法移开（" + report.moveProblem +
                             "）。它没有被删除；请把它移走后重新启动。");
    alert.addButtonWithTitle("好");
    alert.runModal(parent);
    return false;
  }
  std::string text = "音效库文件 " + report.damagedPath + " 无法使用（" + report.damage +
                     "）。\n它已被移到 " + report.movedTo + "，没有删除。\n现在用的是内置曲库。";
  const LibraryBackups::Backup* newest = nullptr;
  const auto backups = LibraryBackups::list();
  for (const auto& backup : backups) {
    if (backup.rows >= 0) {
      newest = &backup;
      break;
    }
  }
  if (newest) {
    text += "\n要恢复最新的备份吗？（" + newest->when + "，" + std::to_string(newest->rows) +
            " 个音效）";
    alert.addButtonWithTitle("恢复最新备份");
    alert.addButtonWithTitle("使用内置曲库");
  } else {
    text += "\n没有可以恢复的备份。";
    alert.addButtonWithTitle("好");
  }
  alert.setInformativeText(text);
  if (alert.runModal(parent) != Alert::FirstButtonReturn || !newest) return false;
  std::string why;
  if (!LibraryBackups::restore(db, newest->path, &why)) {
    consolePrint("恢复备份失败：" + why);
    changeFailed("恢复备份失败：" + why);
    return false;
  }
  return true;
}
