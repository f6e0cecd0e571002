// LoudnessStore: the measured loudness of the library's sound files and each sound's
// trim, in the table tb_Loudness beside tb_Button, keyed by the sound file's name. The
// file's size and modification time are its fingerprint: a file that changed since it
// was measured has no loudness here until it is measured again; its trim stays.
//
// Ownership: holds the connection it is given (shared with the library).
// Thread-safety: that connection's (one thread at a time).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "audio/Loudness.h"

class LiteDatabase;

class LoudnessStore {
 public:
  explicit LoudnessStore(std::shared_ptr<LiteDatabase> db);

  // Makes the table when it is missing; false when the database refuses. Reads of a
  // library without the table find nothing (and log nothing).
  bool prepare();

  // The loudness measured for the file at `path` (stored under `musicSrc`), or nothing
  // when it was never measured or the file changed since.
  std::optional<Loudness> loudnessForFile(const std::string& musicSrc, const std::string& path);
  // Stores `loudness` for the file at `path` as it is now.
  bool setLoudness(const std::string& musicSrc, const std::string& path, const Loudness& loudness);

  // The sound's trim in dB (-12 to +12; 0 when none was set).
  double trimForFile(const std::string& musicSrc);
  bool setTrim(const std::string& musicSrc, double decibels);

 private:
  bool hasTable();

  std::shared_ptr<LiteDatabase> _db;
  bool _hasTable = false;
};
