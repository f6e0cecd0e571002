#include "library/ZipLibrary.h"

#include <dlfcn.h>

namespace {

constexpr const char* kLibraryName = "libzip.so.4";

struct Loaded {
  ZipLibrary functions{};
  bool ok = false;
  std::string problem;
};

template <class Function>
bool take(void* library, const char* name, Function& into, std::string& problem) {
  into = reinterpret_cast<Function>(::dlsym(library, name));
  if (into == nullptr && problem.empty()) problem = std::string(kLibraryName) + " has no " + name;
  return into != nullptr;
}

Loaded load() {
  Loaded loaded;
  // Never unloaded: it is small, and an export may come again.
  void* library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = ::dlerror();
    loaded.problem = std::string("cannot load ") + kLibraryName + ": " + (error ? error : "");
    return loaded;
  }
  ZipLibrary& f = loaded.functions;
  std::string& p = loaded.problem;
  loaded.ok = take(library, "zip_open", f.open, p) & take(library, "zip_close", f.close, p) &
              take(library, "zip_discard", f.discard, p) &
              take(library, "zip_strerror", f.strerror, p) &
              take(library, "zip_error_init_with_code", f.error_init_with_code, p) &
              take(library, "zip_error_strerror", f.error_strerror, p) &
              take(library, "zip_error_fini", f.error_fini, p) &
              take(library, "zip_source_file", f.source_file, p) &
              take(library, "zip_source_free", f.source_free, p) &
              take(library, "zip_file_add", f.file_add, p) &
              take(library, "zip_get_num_entries", f.get_num_entries, p) &
              take(library, "zip_stat_index", f.stat_index, p) &
              take(library, "zip_fopen_index", f.fopen_index, p) &
              take(library, "zip_fread", f.fread, p) & take(library, "zip_fclose", f.fclose, p) &
              take(library, "zip_file_strerror", f.file_strerror, p);
  return loaded;
}

}  // namespace

const ZipLibrary* zipLibrary(std::string* why) {
  static const Loaded loaded = load();
  if (!loaded.ok && why) *why = loaded.problem;
  return loaded.ok ? &loaded.functions : nullptr;
}
