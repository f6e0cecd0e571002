#include "platform/FileManager.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <system_error>

namespace fs = std::filesystem;

namespace {

void setError(std::string* error, const std::string& description) {
  if (error != nullptr) {
    *error = description;
  }
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// Flushes a file's or folder's contents (a folder's: its entries) to the disk.
bool syncToDisk(const fs::path& path, std::error_code& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::error_code(errno, std::generic_category());
    return false;
  }
  const bool synced = ::fsync(fd) == 0;
  if (!synced) {
    error = std::error_code(errno, std::generic_category());
  }
  ::close(fd);
  return synced;
}

// Copies `from` into `to`, which does not exist yet; `to`'s parent does. Every file is
// on the disk when this returns, so that a crash after the rename into place can never
// leave a name that points at missing or half-written data.
bool copyTree(const fs::path& from, const fs::path& to, std::error_code& error) {
  const fs::file_status status = fs::status(from, error);
  if (error) {
    return false;
  }
  if (fs::is_directory(status)) {
    if (!fs::create_directory(to, error)) {
      if (!error) {
        error = std::make_error_code(std::errc::file_exists);
      }
      return false;
    }
    fs::directory_iterator entries(from, error);
    if (error) {
      return false;
    }
    for (auto it = entries; it != fs::directory_iterator(); it.increment(error)) {
      if (error) {
        return false;
      }
      std::error_code ignored;
      if (it->is_symlink(ignored) && !fs::exists(it->path(), ignored)) {
        continue;  // a dangling link has nothing to copy
      }
      if (!copyTree(it->path(), to / it->path().filename(), error)) {
        return false;
      }
    }
    if (error) {
      return false;
    }
    fs::permissions(to, fs::perms::owner_all, fs::perm_options::add, error);
    return !error && syncToDisk(to, error);
  }
  if (fs::is_regular_file(status)) {
    if (!fs::copy_file(from, to, fs::copy_options::none, error)) {
      if (!error) {
        error = std::make_error_code(std::errc::io_error);
      }
      return false;
    }
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add,
                    error);
    return !error && syncToDisk(to, error);
  }
  // Sockets, devices and pipes have no place in a sound library.
  error = std::make_error_code(std::errc::not_supported);
  return false;
}

// Renames without ever replacing what is at `to` (rename(2) would replace an empty
// folder or a file that appeared in the meantime).
bool renameWithoutReplacing(const fs::path& from, const fs::path& to, std::error_code& error) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    error = std::error_code(errno, std::generic_category());
    return false;
  }
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing target for
  // a file; for a folder only the check before rename(2) remains.
  if (!fs::is_directory(from)) {
    if (::link(from.c_str(), to.c_str()) != 0) {
      error = std::error_code(errno, std::generic_category());
      return false;
    }
    ::unlink(from.c_str());
    return true;
  }
  if (fs::exists(fs::symlink_status(to))) {
    error = std::make_error_code(std::errc::file_exists);
    return false;
  }
  fs::rename(from, to, error);
  return !error;
}

fs::path temporarySibling(const fs::path& to) {
  static std::atomic<unsigned> counter{0};
  // Built piece by piece: GCC 12 misreads one long chain of + as overlapping copies.
  std::string name = ".";
  name += to.filename().string();
  name += ".partial-";
  name += std::to_string(::getpid());
  name += '-';
  name += std::to_string(counter.fetch_add(1));
  return to.parent_path() / name;
}

}  // namespace

FileManager& FileManager::defaultManager() {
  static FileManager* manager = new FileManager();
  return *manager;
}

bool FileManager::fileExistsAtPath(const std::string& path) const {
  if (path.empty()) {
    return false;
  }
  std::error_code error;
  return fs::exists(fs::path(path), error);
}

bool FileManager::createDirectoryAtPathWithIntermediateDirectories(const std::string& path,
                                                                   bool intermediate,
                                                                   std::string* error) {
  if (path.empty()) {
    setError(error, "Could not create a folder: the path is empty.");
    return false;
  }
  std::error_code code;
  if (intermediate) {
    fs::create_directories(path, code);
    if (!code && fs::is_directory(path, code)) {
      return true;
    }
    if (!code) {
      code = std::make_error_code(std::errc::not_a_directory);
    }
  } else if (fs::create_directory(path, code)) {
    return true;
  } else if (!code) {
    code = std::make_error_code(std::errc::file_exists);
  }
  setError(error, "Could not create the folder " + quoted(path) + ": " + code.message() + ".");
  return false;
}

bool FileManager::copyItemAtPathToPath(const std::string& from, const std::string& to,
                                       std::string* error) {
  auto fail = [&](const std::string& reason) {
    setError(error, "Could not copy " + quoted(from) + " to " + quoted(to) + ": " + reason + ".");
    return false;
  };
  if (from.empty() || to.empty()) {
    return fail("a path is empty");
  }
  std::error_code code;
  const fs::path source(from);
  // A trailing slash ("…/sound/") names the folder itself.
  fs::path target = fs::path(to).lexically_normal();
  if (!target.has_filename()) {
    target = target.parent_path();
  }
  if (!fs::exists(source, code)) {
    return fail(code ? code.message() : "the item to copy does not exist");
  }
  if (fs::exists(fs::symlink_status(target, code))) {
    return fail("an item with that name already exists");
  }
  const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (!fs::is_directory(parent, code)) {
    return fail("the destination folder does not exist");
  }
  const fs::path canonicalSource = fs::weakly_canonical(source, code);
  const fs::path canonicalTarget = fs::weakly_canonical(target, code);
  if (!code && fs::is_directory(source) &&
      std::mismatch(canonicalSource.begin(), canonicalSource.end(), canonicalTarget.begin(),
                    canonicalTarget.end())
              .first == canonicalSource.end()) {
    return fail("a folder cannot be copied into itself");
  }
  code.clear();

  const fs::path partial = temporarySibling(target);
  if (!copyTree(source, partial, code) || !renameWithoutReplacing(partial, target, code)) {
    const std::string reason = code.message();
    std::error_code ignored;
    fs::remove_all(partial, ignored);
    return fail(reason);
  }
  // The rename itself lasts once the folder holding it is on the disk.
  std::error_code ignored;
  syncToDisk(parent, ignored);
  return true;
}

bool FileManager::isPartialCopyName(const std::string& name) {
  static const std::regex pattern(R"(\..+\.partial-[0-9]+-[0-9]+)");
  return std::regex_match(name, pattern);
}

int FileManager::removePartialCopiesInFolder(const std::string& folder) {
  int removed = 0;
  std::error_code code;
  for (fs::directory_iterator it(folder, code), end; !code && it != end; it.increment(code)) {
    if (!isPartialCopyName(it->path().filename().string())) {
      continue;
    }
    std::error_code ignored;
    if (fs::remove_all(it->path(), ignored) > 0) {
      ++removed;
    }
  }
  return removed;
}

bool FileManager::contentsEqualAtPathAndPath(const std::string& a, const std::string& b) const {
  std::ifstream left(a, std::ios::binary);
  std::ifstream right(b, std::ios::binary);
  if (!left || !right) return false;
  return std::equal(std::istreambuf_iterator<char>(left), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(right), std::istreambuf_iterator<char>());
}
