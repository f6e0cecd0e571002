#include "library/LibraryArchive.h"

#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "library/LibraryBackups.h"
#include "library/LibraryGuard.h"
#include "library/ZipLibrary.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/FileManager.h"
#include "platform/OpenPanel.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDatabaseEntry = "data.sqlite";
constexpr const char* kSoundPrefix = "sound/";
// No sound of a board comes near this; an entry claiming more is not one of ours.
constexpr zip_uint64_t kLargestEntry = zip_uint64_t(2) << 30;

bool fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

// The functions below are called once exportTo() or importFrom() has loaded libzip.
const ZipLibrary* loadedZip() { return zipLibrary(); }

std::string zipError(zip_t* archive) { return loadedZip()->strerror(archive); }

// A folder of its own in the data folder for the work under way, named as the file
// manager names copies under way, so that what a crash leaves is cleared at next start.
struct Staging {
  fs::path path;
  explicit Staging(const std::string& what) {
    path =
        fs::path(documentPath()) / ("." + what + ".partial-" + std::to_string(::getpid()) + "-0");
    std::error_code code;
    fs::remove_all(path, code);
    fs::create_directories(path, code);
  }
  ~Staging() {
    std::error_code code;
    fs::remove_all(path, code);
  }
};

// Brings `source` into the sound folder as `name`, as an added sound comes in: the
// same sound already there is used as it is, a different one under that name makes
// this one "name (2).ext" (or the first free number). The name it has there, "" on
// failure.
std::string placeSound(const std::string& source, const std::string& name, std::string* error) {
  auto& files = FileManager::defaultManager();
  const std::string ext = pathExtension(name);
  const std::string stem = ext.empty() ? name : name.substr(0, name.size() - ext.size() - 1);
  const std::string suffix = ext.empty() ? std::string() : "." + ext;
  for (int k = 1;; ++k) {
    const std::string candidate = k == 1 ? name : stem + " (" + std::to_string(k) + ")" + suffix;
    const std::string path = soundPath() + candidate;
    if (files.fileExistsAtPath(path)) {
      if (files.contentsEqualAtPathAndPath(source, path)) return candidate;
      continue;
    }
    return files.copyItemAtPathToPath(source, path, error) ? candidate : std::string();
  }
}

bool extract(zip_t* archive, zip_uint64_t index, zip_uint64_t size, const fs::path& to,
             std::string* error) {
  const ZipLibrary* zip = loadedZip();
  std::unique_ptr<zip_file_t, decltype(zip->fclose)> entry(zip->fopen_index(archive, index, 0),
                                                           zip->fclose);
  if (!entry) return fail(error, zipError(archive));
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!out) return fail(error, "无法写入 " + to.string());
  char buffer[1 << 16];
  zip_uint64_t total = 0;
  for (;;) {
    const zip_int64_t got = zip->fread(entry.get(), buffer, sizeof buffer);
    if (got < 0) return fail(error, zip->file_strerror(entry.get()));
    if (got == 0) break;
    total += zip_uint64_t(got);
    // More than the entry said it holds: not an archive of ours.
    if (total > size) return fail(error, "压缩包里的文件比它声明的大");
    out.write(buffer, got);
  }
  out.close();
  if (!out) return fail(error, "无法写入 " + to.string());
  return true;
}

}  // namespace

bool LibraryArchive::isAcceptableEntryName(const std::string& name) {
  if (name == kDatabaseEntry) return true;
  if (!name.starts_with(kSoundPrefix)) return false;
  const std::string file = name.substr(std::string(kSoundPrefix).size());
  return !file.empty() && file != "." && file != ".." && file.find('/') == std::string::npos &&
         file.find('\\') == std::string::npos && file.find('\0') == std::string::npos &&
         !FileManager::isPartialCopyName(file);
}

bool LibraryArchive::exportTo(LiteDatabase& db, const std::string& zipPath, std::string* error) {
  std::string unavailable;
  const ZipLibrary* zip = zipLibrary(&unavailable);
  if (!zip) return fail(error, "无法导出：" + unavailable);
  std::error_code code;
  if (fs::exists(fs::symlink_status(zipPath, code))) return fail(error, zipPath + " 已经存在");
  Staging staging("export");
  const std::string copy = (staging.path / kDatabaseEntry).string();
  if (!LibraryBackups::writeCopy(db, copy, error)) return false;

  // The sounds the copied rows name, as they are in the sound folder.
  std::set<std::string> names;
  {
    auto copied = LiteDatabase::databaseWithPath(copy);
    if (!copied->openWithFlags(SQLITE_OPEN_READONLY))
      return fail(error, copied->lastErrorMessage());
    auto rs =
        copied->executeQueryWithArgumentsInArray("select distinct MusicSrc from tb_Button", {});
    while (rs && rs->next()) {
      const std::string name = rs->stringForColumnIndex(0).value_or("");
      if (isAcceptableEntryName(kSoundPrefix + name) &&
          fs::is_regular_file(soundPath() + name, code)) {
        names.insert(name);
      }
    }
    if (rs) rs->close();
    copied->close();
  }

  int zipCode = 0;
  zip_t* archive = zip->open(zipPath.c_str(), ZIP_CREATE | ZIP_EXCL, &zipCode);
  if (!archive) {
    zip_error_t reason;
    zip->error_init_with_code(&reason, zipCode);
    const std::string why = zip->error_strerror(&reason);
    zip->error_fini(&reason);
    return fail(error, "无法创建 " + zipPath + "：" + why);
  }
  auto addFile = [&](const std::string& entry, const std::string& path) {
    zip_source_t* source = zip->source_file(archive, path.c_str(), 0, -1);
    if (!source) return false;
    if (zip->file_add(archive, entry.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
      zip->source_free(source);
      return false;
    }
    return true;
  };
  bool added = addFile(kDatabaseEntry, copy);
  for (const std::string& name : names) {
    if (!added) break;
    added = addFile(kSoundPrefix + name, soundPath() + name);
  }
  if (!added) {
    const std::string why = zipError(archive);
    zip->discard(archive);
    return fail(error, "无法写入 " + zipPath + "：" + why);
  }
  // libzip writes the whole archive to a temporary file beside it and renames it.
  if (zip->close(archive) != 0) {
    const std::string why = zipError(archive);
    zip->discard(archive);
    fs::remove(zipPath, code);
    return fail(error, "无法写入 " + zipPath + "：" + why);
  }
  return true;
}

bool LibraryArchive::importFrom(LiteDatabase& db, const std::string& zipPath, std::string* error) {
  std::string unavailable;
  const ZipLibrary* zip = zipLibrary(&unavailable);
  if (!zip) return fail(error, "无法导入：" + unavailable);
  int zipCode = 0;
  std::unique_ptr<zip_t, decltype(zip->discard)> archive(
      zip->open(zipPath.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &zipCode), zip->discard);
  if (!archive) return fail(error, zipPath + " 不是可以读取的压缩包");

  // Every entry is looked at before anything is written.
  const zip_int64_t count = zip->get_num_entries(archive.get(), 0);
  std::map<std::string, std::pair<zip_uint64_t, zip_uint64_t>> sounds;  // name: index, size
  std::optional<std::pair<zip_uint64_t, zip_uint64_t>> database;
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t stat;
    if (zip->stat_index(archive.get(), zip_uint64_t(i), 0, &stat) != 0 ||
        !(stat.valid & ZIP_STAT_NAME) || !(stat.valid & ZIP_STAT_SIZE)) {
      return fail(error, zipPath + " 已损坏");
    }
    const std::string name = stat.name;
    if (name == "sound/") continue;  // the folder's own entry
    if (!isAcceptableEntryName(name)) {
      return fail(error, zipPath + " 里有不属于音效库的路径，没有导入：" + name);
    }
    if (stat.size > kLargestEntry) return fail(error, zipPath + " 里的 " + name + " 太大");
    const std::pair entry{zip_uint64_t(i), stat.size};
    if (name == kDatabaseEntry) {
      database = entry;
    } else {
      sounds[name.substr(std::string(kSoundPrefix).size())] = entry;
    }
  }
  if (!database) return fail(error, zipPath + " 里没有音效库 data.sqlite");

  Staging staging("import");
  const fs::path library = staging.path / kDatabaseEntry;
  if (!extract(archive.get(), database->first, database->second, library, error)) return false;
  const LibraryGuard::Examination found = LibraryGuard::examine(library.string());
  if (found.health != LibraryGuard::Health::Healthy) {
    return fail(error, zipPath + " 里的音效库无法使用：" + found.reason);
  }

  // The sounds first: a crash after this leaves only files no row names yet.
  std::map<std::string, std::string> renamed;
  for (const auto& [name, entry] : sounds) {
    const fs::path extracted = staging.path / ("sound-" + std::to_string(entry.first));
    if (!extract(archive.get(), entry.first, entry.second, extracted, error)) return false;
    const std::string placed = placeSound(extracted.string(), name, error);
    if (placed.empty()) return false;
    if (placed != name) renamed[name] = placed;
  }
  if (!renamed.empty()) {
    auto imported = LiteDatabase::databaseWithPath(library.string());
    if (!imported->open()) return fail(error, imported->lastErrorMessage());
    bool ok = imported->beginTransaction();
    for (const auto& [from, to] : renamed) {
      ok = ok && imported->executeUpdate("update tb_Button set MusicSrc = ? where MusicSrc = ?", to,
                                         from);
    }
    ok = ok && imported->commit();
    const std::string why = imported->lastErrorMessage();
    imported->close();
    if (!ok) return fail(error, why);
  }
  return LibraryBackups::restore(db, library.string(), error);
}
