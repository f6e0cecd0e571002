#include "library/LoudnessStore.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "litedb/LiteDatabase.h"

namespace {

struct Fingerprint {
  long long size = -1;
  long long modified = 0;
};

std::optional<Fingerprint> fingerprint(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    return std::nullopt;
  }
  const auto time = std::filesystem::last_write_time(path, ec);
  if (ec) {
    return std::nullopt;
  }
  return Fingerprint{
      static_cast<long long>(size),
      static_cast<long long>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count())};
}

}  // namespace

LoudnessStore::LoudnessStore(std::shared_ptr<LiteDatabase> db) : _db(std::move(db)) {}

bool LoudnessStore::prepare() {
  if (hasTable()) {
    return true;
  }
  return _db && _db->executeUpdate(
                    "CREATE TABLE IF NOT EXISTS tb_Loudness (SoundFile TEXT PRIMARY KEY, "
                    "Size INTEGER, Modified INTEGER, Lufs REAL, PeakDbtp REAL, "
                    "TrimDb REAL NOT NULL DEFAULT 0)");
}

bool LoudnessStore::hasTable() {
  // Asked before each read: a library never measured has no table, and a read of it
  // would fill the log with the engine's complaint at every play.
  if (!_hasTable && _db && _db->tableExists("tb_Loudness")) {
    _hasTable = true;
  }
  return _hasTable;
}

std::optional<Loudness> LoudnessStore::loudnessForFile(const std::string& musicSrc,
                                                       const std::string& path) {
  const auto now = fingerprint(path);
  if (!_db || !now || !hasTable()) {
    return std::nullopt;
  }
  auto rs = _db->executeQuery(
      "SELECT Size, Modified, Lufs, PeakDbtp FROM tb_Loudness WHERE SoundFile = ? AND Lufs IS "
      "NOT NULL",
      musicSrc);
  if (!rs || !rs->next()) {
    return std::nullopt;
  }
  std::optional<Loudness> found;
  if (rs->longLongIntForColumn("Size") == now->size &&
      rs->longLongIntForColumn("Modified") == now->modified) {
    found = Loudness{rs->doubleForColumn("Lufs"), rs->doubleForColumn("PeakDbtp")};
  }
  rs->close();
  return found;
}

bool LoudnessStore::setLoudness(const std::string& musicSrc, const std::string& path,
                                const Loudness& loudness) {
  const auto now = fingerprint(path);
  if (!_db || !now) {
    return false;
  }
  return _db->executeUpdate(
      "INSERT INTO tb_Loudness (SoundFile, Size, Modified, Lufs, PeakDbtp) VALUES (?, ?, ?, ?, ?) "
      "ON CONFLICT(SoundFile) DO UPDATE SET Size = excluded.Size, Modified = excluded.Modified, "
      "Lufs = excluded.Lufs, PeakDbtp = excluded.PeakDbtp",
      musicSrc, now->size, now->modified, loudness.integratedLufs, loudness.truePeakDbtp);
}

double LoudnessStore::trimForFile(const std::string& musicSrc) {
  if (!_db || !hasTable()) {
    return 0.0;
  }
  auto rs = _db->executeQuery("SELECT TrimDb FROM tb_Loudness WHERE SoundFile = ?", musicSrc);
  if (!rs || !rs->next()) {
    return 0.0;
  }
  const double trim = rs->doubleForColumn("TrimDb");
  rs->close();
  // A hand-edited table may hold anything.
  return std::isfinite(trim) ? std::clamp(trim, -12.0, 12.0) : 0.0;
}

bool LoudnessStore::setTrim(const std::string& musicSrc, double decibels) {
  if (!_db || !std::isfinite(decibels)) {
    return false;
  }
  const double trim = std::clamp(decibels, -12.0, 12.0);
  return _db->executeUpdate(
      "INSERT INTO tb_Loudness (SoundFile, TrimDb) VALUES (?, ?) "
      "ON CONFLICT(SoundFile) DO UPDATE SET TrimDb = excluded.TrimDb",
      musicSrc, trim);
}
