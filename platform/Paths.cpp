#include "platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>

namespace {

std::mutex pathsMutex;
std::optional<std::string> cachedDocumentPath;

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

std::string computeDocumentPath() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (dataHome != nullptr && dataHome[0] == '/') {
    base = withoutTrailingSlashes(dataHome);
  } else {
    base = withoutTrailingSlashes(homeDirectory()) + "/.local/share";
  }
  if (base == "/") {
    base.clear();
  }
  return base + "/cueboard";
}

}  // namespace

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return home;
  }
  // A service manager may start us without HOME; the account database still knows it.
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

std::string documentPath() {
  std::lock_guard lock(pathsMutex);
  if (!cachedDocumentPath) {
    cachedDocumentPath = computeDocumentPath();
  }
  return *cachedDocumentPath;
}

std::string soundPath() { return documentPath() + "/sound/"; }

void resetPathsForTesting() {
  std::lock_guard lock(pathsMutex);
  cachedDocumentPath.reset();
}

std::string stringByAppendingPathComponent(const std::string& base, const std::string& component) {
  const std::size_t firstKept = component.find_first_not_of('/');
  const std::string tail = firstKept == std::string::npos ? std::string() : component.substr(firstKept);
  if (base.empty()) {
    return withoutTrailingSlashes(component);
  }
  std::string head = withoutTrailingSlashes(base);
  if (tail.empty()) {
    return head;
  }
  if (head != "/") {
    head += '/';
  }
  return withoutTrailingSlashes(head + tail);
}
