// LibraryBackups: copies of the library database in the folder "backups" beside it. A
// daily copy, "data-YYYY-MM-DD.sqlite", is taken through the engine's online backup
// before the first change of each day, and the newest seven dailies are kept; a restore
// first keeps the library it replaces as "data-YYYY-MM-DD-HHMMSS.sqlite", so that it can
// be undone. Every copy is written under a temporary name, flushed to the disk and then
// renamed into place: a copy that shows under its own name is whole.
//
// Stateless apart from the clock, which tests replace.
// Thread-safety: main thread only, like the library connection it copies.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

class LiteDatabase;

class LibraryBackups {
 public:
  static constexpr int kKeptDailyBackups = 7;

  struct Backup {
    std::string path;
    std::string name;     // the file's name in the backups folder
    std::string when;     // "2026-12-11", or "2026-12-11 09:30:05" for one taken by a restore
    long long rows = -1;  // sounds in it; -1 when it cannot be read
  };

  // documentPath()/backups
  static std::string folder();
  // The backups, newest first.
  static std::vector<Backup> list();

  // Takes today's copy of `db` unless there is one; then drops all but the newest
  // seven dailies. `made` tells whether a copy was taken. False with a reason when the
  // copy could not be taken (the library itself is untouched either way).
  static bool makeDailyBackup(LiteDatabase& db, bool* made, std::string* error);
  // A copy of `db` named after the present moment; its path, "" on failure.
  static std::string backupNow(LiteDatabase& db, std::string* error);
  // Replaces the content of `db` with the backup's, after keeping the present content
  // as a backup of its own. Refuses a backup that is not a whole library.
  static bool restore(LiteDatabase& db, const std::string& backupPath, std::string* error);

  // Writes `db` to `path` through the online backup, under a temporary name first; the
  // file appears whole or not at all. Fails when something is at `path` already.
  static bool writeCopy(LiteDatabase& db, const std::string& path, std::string* error);

  // The number of sounds in the library file at `path`, -1 when it cannot be read.
  static long long soundCount(const std::string& path);

  // Tests: the clock the dates come from (seconds since 1970); nullptr restores the real one.
  static void setClockForTesting(std::function<std::time_t()> clock);
  static std::time_t now();
};
