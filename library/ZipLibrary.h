// The functions of libzip the library's export and import call, taken from the library
// on the first export or import rather than linked: libzip and the libraries it brings
// (libcrypto among them) add about 4 ms to the start of the window, and most evenings
// never export.
//
// Thread-safety: zipLibrary() may be called from any thread; the first call loads.
#pragma once

#include <zip.h>

#include <string>

struct ZipLibrary {
  decltype(&::zip_open) open;
  decltype(&::zip_close) close;
  decltype(&::zip_discard) discard;
  decltype(&::zip_strerror) strerror;
  decltype(&::zip_error_init_with_code) error_init_with_code;
  decltype(&::zip_error_strerror) error_strerror;
  decltype(&::zip_error_fini) error_fini;
  decltype(&::zip_source_file) source_file;
  decltype(&::zip_source_free) source_free;
  decltype(&::zip_file_add) file_add;
  decltype(&::zip_get_num_entries) get_num_entries;
  decltype(&::zip_stat_index) stat_index;
  decltype(&::zip_fopen_index) fopen_index;
  decltype(&::zip_fread) fread;
  decltype(&::zip_fclose) fclose;
  decltype(&::zip_file_strerror) file_strerror;
};

// libzip's functions, loaded on the first call; nullptr when the library cannot be
// loaded, with the reason in `why` (when given).
const ZipLibrary* zipLibrary(std::string* why = nullptr);
