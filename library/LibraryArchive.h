// LibraryArchive: the whole library as one .zip, to move it to another machine or keep
// it elsewhere: "data.sqlite" (a consistent copy through the online backup) and
// "sound/<name>" for each sound file in the sound folder that a row names. Importing
// replaces the library with the archive's (the library it replaces is kept as a backup
// first) and brings its sounds into the sound folder; a sound whose name is taken by a
// different file comes in as "name (2).mp3", as an added sound does, and its rows follow.
//
// An archive is untrusted: an entry with an absolute path, a ".." or anything but the
// two kinds above refuses the whole import, so nothing is ever written outside the data
// folder; an entry larger than it says, or than a sound can reasonably be, is refused too.
//
// Stateless. Thread-safety: main thread only, like the library connection.
#pragma once

#include <string>

class LiteDatabase;

class LibraryArchive {
 public:
  // Writes the library of `db` and its sounds to `zipPath` (which must not exist).
  static bool exportTo(LiteDatabase& db, const std::string& zipPath, std::string* error);
  // Replaces the library of `db` with the archive's. Nothing changes on failure.
  static bool importFrom(LiteDatabase& db, const std::string& zipPath, std::string* error);

  // Whether an entry name is one an archive of ours may hold.
  static bool isAcceptableEntryName(const std::string& name);
};
