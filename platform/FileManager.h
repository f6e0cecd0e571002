// FileManager: the few file operations the library needs (existence, folders with
// their parents, copying the seed library and imported sounds), over std::filesystem.
// Failures are returned as false with a readable description, never thrown.
//
// The default manager lives until the process ends.
// Thread-safety: stateless; operations may run on any thread (the file system itself
// is the only shared thing).
#pragma once

#include <string>

class FileManager {
 public:
  static FileManager& defaultManager();

  // True for an existing file or folder (a symbolic link counts by its target).
  bool fileExistsAtPath(const std::string& path) const;

  // Creates the folder; with `intermediate`, also its missing parents, and a folder
  // that already exists is success. On failure returns false and, when `error` is
  // given, sets it to a description.
  bool createDirectoryAtPathWithIntermediateDirectories(const std::string& path, bool intermediate,
                                                        std::string* error);

  // Copies a file, or a folder with all its contents (links are followed, so the copy
  // holds real files). Fails when `to` exists (even as a dangling link), when `from`
  // is missing or when `to`'s parent folder is missing. The copy is assembled under a
  // temporary name beside `to` and renamed into place, so a failure leaves nothing at
  // `to`. Copies are writable by their owner even when the source was read-only (an
  // installed seed library). The copy and the rename are flushed to the disk before
  // this returns true: a crash after it leaves the whole copy under `to`.
  bool copyItemAtPathToPath(const std::string& from, const std::string& to, std::string* error);

  // True when both are readable files with the same bytes.
  bool contentsEqualAtPathAndPath(const std::string& a, const std::string& b) const;

  // Whether a name is that of a copy under way (".name.partial-<pid>-<n>"), which only a
  // crash in the middle of a copy leaves behind.
  static bool isPartialCopyName(const std::string& name);
  // Removes such leftovers from the folder (not from its subfolders); how many went.
  int removePartialCopiesInFolder(const std::string& folder);

 private:
  FileManager() = default;
};
