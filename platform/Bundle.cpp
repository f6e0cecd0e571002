#include "platform/Bundle.h"

#include "platform/FileManager.h"
#include "platform/Paths.h"

#include <filesystem>
#include <mutex>

#ifndef CUEBOARD_BUILD_RESOURCE_DIR
#error "CUEBOARD_BUILD_RESOURCE_DIR must name the build tree's share/cueboard"
#endif
#ifndef CUEBOARD_INSTALL_DATADIR
#define CUEBOARD_INSTALL_DATADIR "share"
#endif

namespace {

std::mutex bundleMutex;
std::optional<std::string> overriddenResourcePath;
std::optional<std::string> cachedResourcePath;

std::string computeResourcePath() {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    const fs::path installed =
        (executable.parent_path() / ".." / CUEBOARD_INSTALL_DATADIR / "cueboard").lexically_normal();
    if (fs::is_directory(installed, error)) {
      std::string path = installed.string();
      while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
      }
      return path;
    }
  }
  return CUEBOARD_BUILD_RESOURCE_DIR;
}

}  // namespace

Bundle& Bundle::mainBundle() {
  static Bundle* bundle = new Bundle();
  return *bundle;
}

std::string Bundle::resourcePath() const {
  std::lock_guard lock(bundleMutex);
  if (overriddenResourcePath) {
    return *overriddenResourcePath;
  }
  if (!cachedResourcePath) {
    cachedResourcePath = computeResourcePath();
  }
  return *cachedResourcePath;
}

std::optional<std::string> Bundle::pathForResourceOfType(const std::string& name, const std::string& type) const {
  if (name.empty()) {
    return std::nullopt;
  }
  const std::string fileName = type.empty() ? name : name + "." + type;
  const std::string path = stringByAppendingPathComponent(resourcePath(), fileName);
  if (!FileManager::defaultManager().fileExistsAtPath(path)) {
    return std::nullopt;
  }
  return path;
}

void Bundle::setResourcePathForTesting(std::optional<std::string> path) {
  std::lock_guard lock(bundleMutex);
  overriddenResourcePath = std::move(path);
}
