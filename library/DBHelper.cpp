#include "library/DBHelper.h"

#include "litedb/LiteDatabase.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
#include "platform/Paths.h"

namespace {

std::mutex& sharedStoreMutex() {
  static std::mutex mutex;
  return mutex;
}

std::unique_ptr<DBHelper>& sharedStore() {
  static std::unique_ptr<DBHelper> store;
  return store;
}

// The table every statement of the program works on; used only when there is no
// shipped library to copy, so that the board still starts with an empty library.
constexpr const char* kEmptyLibrarySql =
    "CREATE TABLE IF NOT EXISTS tb_Button ("
    "ButtonId TEXT NOT NULL, ClassId TEXT NOT NULL, ButtonNo INTEGER NOT NULL, "
    "Title TEXT NOT NULL DEFAULT '', MusicSrc TEXT NOT NULL DEFAULT '', Hotkey TEXT DEFAULT NULL)";

}  // namespace

DBHelper::DBHelper() = default;

const std::string& DBHelper::dbURL() {
  std::call_once(dbURLOnce_, [this] { dbURL_ = seedDatabase(dbName); });
  return dbURL_;
}

std::shared_ptr<LiteDatabase> DBHelper::db() {
  std::call_once(dbOnce_, [this] { db_ = LiteDatabase::databaseWithPath(dbURL()); });
  return db_;
}

std::string DBHelper::seedDatabase(const std::string& dbName) {
  auto& files = FileManager::defaultManager();
  const std::string documents = documentPath();
  const std::string path = stringByAppendingPathComponent(documents, dbName);
  if (files.fileExistsAtPath(path)) return path;

  consolePrint("数据库不存在：" + path);
  if (!files.fileExistsAtPath(documents)) {
    std::string error;
    if (!files.createDirectoryAtPathWithIntermediateDirectories(documents, true, &error)) {
      consolePrint("创建Document下的软件目录出错：" + error);
    }
  }

  const auto bundleDbPath = Bundle::mainBundle().pathForResourceOfType("data", "sqlite");
  consolePrint("bundleDbPath = " + bundleDbPath.value_or("(null)"));
  if (!bundleDbPath) {
    // Without a shipped library the board would show nothing and every change would
    // fail; an empty table lets the user build a library from scratch.
    auto db = LiteDatabase::databaseWithPath(path);
    if (db->open() && db->executeStatements(kEmptyLibrarySql)) {
      consolePrint("没有内置曲库，已创建空曲库：" + path);
    } else {
      consolePrint("无法创建空曲库：" + path);
    }
    db->close();
    return path;
  }

  std::string error;
  if (!files.copyItemAtPathToPath(*bundleDbPath, path, &error)) consolePrint(error);
  return path;
}

bool DBHelper::seedSoundFolder() {
  auto& files = FileManager::defaultManager();
  const std::string target = soundPath();
  if (files.fileExistsAtPath(target)) return false;
  std::string error;
  const std::string shipped = Bundle::mainBundle().resourcePath() + "/sound";
  if (files.copyItemAtPathToPath(shipped, target, &error)) return true;
  consolePrint(error);
  return false;
}

DBHelper& dbHelper() {
  std::lock_guard lock(sharedStoreMutex());
  auto& store = sharedStore();
  if (!store) store = std::make_unique<DBHelper>();
  return *store;
}

void resetDBHelperForTesting() {
  std::lock_guard lock(sharedStoreMutex());
  sharedStore().reset();
}
