#pragma once
// DBHelper: the library store. It finds the user's library database in the data
// folder, seeds it from the shipped copy on the first start, and hands out the one
// connection the whole program works on. The shared instance lives until the process
// ends; it never opens or closes the connection itself (the board opens it before
// every category load).
//
// Thread-safety: dbHelper() is safe against concurrent first use; dbURL(), db() and
// seedSoundFolder() are meant for the main thread, though dbURL() and db() are
// themselves computed under a one-time initialisation.

#include <memory>
#include <mutex>
#include <string>

class LiteDatabase;

class DBHelper {
 public:
  DBHelper();

  const std::string dbName = "data.sqlite";

  // Full path of the library database. The first read seeds the file from the
  // shipped copy when it is missing.
  const std::string& dbURL();

  // The library connection, created (not opened) on first read.
  std::shared_ptr<LiteDatabase> db();

  // Copies the shipped sound folder to soundPath() when nothing is there yet; true
  // when it did.
  static bool seedSoundFolder();

 private:
  static std::string seedDatabase(const std::string& dbName);

  std::once_flag dbURLOnce_;
  std::string dbURL_;
  std::once_flag dbOnce_;
  std::shared_ptr<LiteDatabase> db_;
};

// The shared store, created on first use.
DBHelper& dbHelper();

// Drops the shared store so that the next dbHelper() starts afresh (tests only).
void resetDBHelperForTesting();
