// Online backups of a connection's database, to a path or into another connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "LiteTestSupport.h"
#include "litedb/LiteDatabase.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// Everything a database holds, as text: its quick check, user version, schema and
// every row of every table, so that two dumps are equal exactly when the databases are.
std::string dump(sqlite3* db) {
  std::string out;
  const auto each = [&](const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      out += "<" + sql + ": " + sqlite3_errmsg(db) + ">";
      return;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) row(stmt);
    sqlite3_finalize(stmt);
  };
  const auto text = [](sqlite3_stmt* stmt, int i) {
    const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, i));
    return bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)))
                 : std::string("<NULL>");
  };
  each("pragma quick_check", [&](sqlite3_stmt* s) { out += "check " + text(s, 0) + "\n"; });
  each("pragma user_version", [&](sqlite3_stmt* s) { out += "version " + text(s, 0) + "\n"; });
  std::vector<std::string> tables;
  each("select name, sql, type from sqlite_master order by name", [&](sqlite3_stmt* s) {
    out += text(s, 1) + "\n";
    if (text(s, 2) == "table") tables.push_back(text(s, 0));
  });
  for (const std::string& table : tables) {
    each("select * from \"" + table + "\" order by rowid", [&](sqlite3_stmt* s) {
      for (int i = 0; i < sqlite3_column_count(s); ++i) out += text(s, i) + "|";
      out += "\n";
    });
  }
  return out;
}

// The same of a file, read through a connection of its own; "<no file>" when there is
// none.
std::string dumpFile(const std::string& path) {
  if (!std::filesystem::exists(path)) return "<no file>";
  sqlite3* db = nullptr;
  std::string out = "<cannot open>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    out = dump(db);
  }
  sqlite3_close(db);
  return out;
}

std::string fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Fills a connection with a table of `rows` rows of about 1 KB each (the larger the
// table, the more pages a backup copies), an index and a user version.
void fill(LiteDatabase& db, int rows, const std::string& name = "t") {
  ASSERT_TRUE(db.executeStatements("create table " + name +
                                   "(id integer primary key, title text, payload blob);"
                                   "create index " +
                                   name + "_title on " + name + "(title)"));
  ASSERT_TRUE(db.beginTransaction());
  for (int i = 0; i < rows; ++i) {
    ASSERT_TRUE(db.executeUpdate("insert into " + name + " values (?, ?, ?)", i,
                                 "sound " + std::to_string(i), LiteData(1000, i % 251)));
  }
  ASSERT_TRUE(db.commit());
  db.setUserVersion(static_cast<std::uint32_t>(rows));
}

int pageCount(LiteDatabase& db) { return db.intForQuery("pragma page_count"); }

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sourcePath = dir.file("data.sqlite");
    source = LiteDatabase::databaseWithPath(sourcePath);
    ASSERT_TRUE(source->open());
    fill(*source, 300);
    log.take();
  }
  // What a failure of a backup from the source says.
  LiteError failure(int code, const std::string& destination, const std::string& reason) {
    return LiteError{"LiteDatabase", code,
                     "Could not back up " + sourcePath + " to " + destination + ": " + reason};
  }

  ScratchDir dir;
  std::string sourcePath;
  std::shared_ptr<LiteDatabase> source;
  LogCapture log;
};

}  // namespace

TEST_F(BackupTest, APathGetsACopyOfTheWholeDatabase) {
  const std::string copy = dir.file("backups/copy.sqlite");
  std::filesystem::create_directory(dir.file("backups"));
  std::optional<LiteError> error;
  ASSERT_TRUE(source->backupTo(copy, &error));
  EXPECT_EQ(error, std::nullopt);
  const std::string before = dump(source->sqliteHandle());
  EXPECT_THAT(before, ::testing::StartsWith("check ok\nversion 300\n"));
  EXPECT_EQ(dumpFile(copy), before);

  // Again over the older copy, which it replaces; the source is untouched by either.
  ASSERT_TRUE(source->executeStatements("delete from t where id < 200; create table u(x)"));
  ASSERT_TRUE(source->backupTo(copy, nullptr));
  EXPECT_EQ(dumpFile(copy), dump(source->sqliteHandle()));
  EXPECT_NE(dumpFile(copy), before);
  EXPECT_FALSE(std::filesystem::exists(copy + "-journal"));
  EXPECT_THAT(log.lines(), IsEmpty());

  // A relative path names a file, even one the engine would read as something else.
  const std::filesystem::path here = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_TRUE(source->backupTo(":memory:", nullptr));
  std::filesystem::current_path(here);
  EXPECT_EQ(dumpFile(dir.file(":memory:")), dump(source->sqliteHandle()));
}

TEST_F(BackupTest, StepsReportTheirProgressUntilNothingRemains) {
  const int pages = pageCount(*source);
  ASSERT_GT(pages, 50);
  for (const int pagesPerStep : {-1, 0, 1, 7, pages, pages + 10}) {
    SCOPED_TRACE("pages per step " + std::to_string(pagesPerStep));
    const std::string copy = dir.file("copy" + std::to_string(pagesPerStep) + ".sqlite");
    std::vector<std::pair<int, int>> heard;
    ASSERT_TRUE(source->backupTo(
        copy, pagesPerStep,
        [&](int remaining, int pageCount) {
          heard.emplace_back(remaining, pageCount);
          return true;
        },
        nullptr));
    const int step = pagesPerStep > 0 ? pagesPerStep : pages;
    ASSERT_EQ(heard.size(), static_cast<std::size_t>((pages + step - 1) / step));
    for (std::size_t i = 0; i < heard.size(); ++i) {
      EXPECT_EQ(heard[i].second, pages);
      EXPECT_EQ(heard[i].first, std::max(0, pages - static_cast<int>(i + 1) * step));
    }
    EXPECT_EQ(dumpFile(copy), dump(source->sqliteHandle()));
  }
  EXPECT_THAT(log.lines(), IsEmpty());
}

// As a restore does: a connection's database is replaced by the source's, and the
// connection goes on working with the new content.
TEST_F(BackupTest, AConnectionGetsTheSourcesContentInPlaceOfItsOwn) {
  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  fill(*memory, 20, "m");
  const std::string memoryContent = dump(memory->sqliteHandle());

  struct Case {
    const char* name;
    std::shared_ptr<LiteDatabase> from;
    std::shared_ptr<LiteDatabase> to;
  };
  auto file = LiteDatabase::databaseWithPath(dir.file("library.sqlite"));
  ASSERT_TRUE(file->open());
  fill(*file, 5, "old");
  file->setShouldCacheStatements(true);
  EXPECT_EQ(file->intForQuery("select count(*) from old"), 5);
  auto emptyMemory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(emptyMemory->open());
  const Case cases[] = {
      {"a file into a file's connection", source, file},
      {"a file into memory", source, emptyMemory},
      {"memory into a file's connection", memory, file},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string expected = dump(c.from->sqliteHandle());
    std::optional<LiteError> error;
    ASSERT_TRUE(c.from->backupTo(*c.to, 3, nullptr, &error));
    EXPECT_EQ(error, std::nullopt);
    EXPECT_EQ(dump(c.to->sqliteHandle()), expected);
    // Both connections go on working, with the destination's statements on the new schema.
    EXPECT_TRUE(c.to->isOpen());
    EXPECT_EQ(c.to->intForQuery("select count(*) from sqlite_master where type = 'table'"), 1);
    EXPECT_TRUE(c.to->executeUpdate("pragma user_version = 1"));
    EXPECT_EQ(dump(c.from->sqliteHandle()), expected);
  }
  EXPECT_EQ(dump(memory->sqliteHandle()), memoryContent);
  EXPECT_EQ(dumpFile(dir.file("library.sqlite")), dump(file->sqliteHandle()));
  EXPECT_THAT(log.lines(), IsEmpty());
}

// The copy is the source as it is at the end: a write by another connection between
// steps starts the copy over, and one through the source's own connection is carried
// into it. The destination is the backup's until the end.
TEST_F(BackupTest, WritesDuringTheBackupAreInTheCopy) {
  auto other = LiteDatabase::databaseWithPath(sourcePath);
  ASSERT_TRUE(other->open());
  auto destination = LiteDatabase::databaseWithPath(dir.file("copy.sqlite"));
  ASSERT_TRUE(destination->open());
  int steps = 0;
  bool wrote = true;
  ASSERT_TRUE(source->backupTo(
      *destination, 10,
      [&](int, int) {
        ++steps;
        if (steps == 2) wrote = wrote && other->executeUpdate("insert into t (title) values ('a')");
        if (steps == 4)
          wrote = wrote && source->executeUpdate("insert into t (title) values ('b')");
        if (steps == 5) wrote = wrote && !destination->executeQuery("select 1");
        return true;
      },
      nullptr));
  EXPECT_TRUE(wrote);
  EXPECT_EQ(dump(destination->sqliteHandle()), dump(source->sqliteHandle()));
  EXPECT_EQ(destination->stringForQuery("select group_concat(title) from t where id >= 300"),
            "a,b");
  EXPECT_THAT(log.take(), ElementsAre(inUseLine(*destination)));
}

TEST_F(BackupTest, AStoppedBackupLeavesTheDestinationAsItWas) {
  const std::string copy = dir.file("copy.sqlite");
  ASSERT_TRUE(source->backupTo(copy, nullptr));
  const std::string older = dumpFile(copy);
  ASSERT_TRUE(source->executeStatements("create table more(x); insert into more values (1)"));
  fill(*source, 200, "u");

  // Stopped after some pages were written into each destination.
  const auto stopAtTheThird = [](int& calls) { return [&calls](int, int) { return ++calls < 3; }; };
  int calls = 0;
  std::optional<LiteError> error;
  EXPECT_FALSE(source->backupTo(copy, 5, stopAtTheThird(calls), &error));
  EXPECT_EQ(calls, 3);
  const LiteError stopped = failure(SQLITE_ABORT, copy, "stopped by its progress block");
  EXPECT_EQ(error, stopped);
  EXPECT_EQ(dumpFile(copy), older);
  EXPECT_FALSE(std::filesystem::exists(copy + "-journal"));

  const std::string fresh = dir.file("fresh.sqlite");
  calls = 0;
  EXPECT_FALSE(source->backupTo(fresh, 5, stopAtTheThird(calls), nullptr));
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_FALSE(std::filesystem::exists(fresh + "-journal"));

  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  fill(*memory, 3, "m");
  const std::string memoryContent = dump(memory->sqliteHandle());
  calls = 0;
  error.reset();
  EXPECT_FALSE(source->backupTo(*memory, 5, stopAtTheThird(calls), &error));
  EXPECT_EQ(error, failure(SQLITE_ABORT, "an in-memory database", "stopped by its progress block"));
  EXPECT_EQ(dump(memory->sqliteHandle()), memoryContent);
  EXPECT_TRUE(memory->executeUpdate("insert into m (title) values ('after')"));

  // The answer after the last step comes too late to stop anything.
  EXPECT_TRUE(source->backupTo(
      copy, -1, [](int, int) { return false; }, nullptr));
  EXPECT_EQ(dumpFile(copy), dump(source->sqliteHandle()));
  EXPECT_THAT(log.take(),
              ElementsAre(stopped.description,
                          failure(SQLITE_ABORT, fresh, "stopped by its progress block").description,
                          error->description));
}

// A path the backup cannot use: it fails with the reason, logs it once, creates
// nothing and changes neither the source nor what the path held.
TEST_F(BackupTest, PathsThatCannotTakeABackupAreLeftAsTheyWere) {
  std::filesystem::create_directory(dir.file("folder"));
  { std::ofstream(dir.file("notes.txt")) << "not a database, but someone's notes\n"; }
  std::filesystem::create_symlink(sourcePath, dir.file("link.sqlite"));
  struct Case {
    const char* name;
    std::string path;
    LiteError error;
  };
  const Case cases[] = {
      {"a folder that does not exist", dir.file("none/copy.sqlite"),
       failure(SQLITE_CANTOPEN, dir.file("none/copy.sqlite"), "unable to open database file")},
      {"a folder under a file", dir.file("notes.txt/copy.sqlite"),
       failure(SQLITE_CANTOPEN, dir.file("notes.txt/copy.sqlite"), "unable to open database file")},
      {"a folder", dir.file("folder"),
       failure(SQLITE_CANTOPEN, dir.file("folder"), "unable to open database file")},
      {"a file that is not a database", dir.file("notes.txt"),
       failure(SQLITE_NOTADB, dir.file("notes.txt"), "file is not a database")},
      {"the source's own file", sourcePath,
       failure(SQLITE_MISUSE, sourcePath, "the destination is the source database")},
      {"the source's file by another name", dir.file("folder/../data.sqlite"),
       failure(SQLITE_MISUSE, dir.file("folder/../data.sqlite"),
               "the destination is the source database")},
      {"a link to the source's file", dir.file("link.sqlite"),
       failure(SQLITE_MISUSE, dir.file("link.sqlite"), "the destination is the source database")},
      {"no path", "",
       LiteError{"LiteDatabase", SQLITE_MISUSE,
                 "Could not back up " + sourcePath + ": no path was given"}},
  };
  const std::string sourceContent = dump(source->sqliteHandle());
  const auto listing = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
      names.push_back(entry.path().string() + " " +
                      std::to_string(entry.is_regular_file() ? entry.file_size() : 0));
    }
    std::sort(names.begin(), names.end());
    return names;
  };
  const std::vector<std::string> before = listing();
  const std::string notes = fileBytes(dir.file("notes.txt"));
  for (const bool logsErrors : {true, false}) {
    source->setLogsErrors(logsErrors);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (logsErrors ? "" : ", not logging"));
      std::optional<LiteError> error;
      EXPECT_FALSE(source->backupTo(
          c.path, 1, [](int, int) { return true; }, &error));
      EXPECT_EQ(error, c.error);
      // A file that cannot be opened is also reported by the connection that tried,
      // as every failed open is.
      std::vector<std::string> lines;
      if (c.error.code == SQLITE_CANTOPEN) lines.push_back("error opening!: 14");
      if (logsErrors) lines.push_back(c.error.description);
      EXPECT_EQ(log.take(), lines);
      EXPECT_EQ(listing(), before);
      EXPECT_EQ(fileBytes(dir.file("notes.txt")), notes);
      EXPECT_EQ(dump(source->sqliteHandle()), sourceContent);
    }
  }
  EXPECT_TRUE(source->executeUpdate("insert into t (title) values ('still working')"));
}

// A connection that cannot take the backup, or a source that cannot give it: both are
// left as they were and go on working.
TEST_F(BackupTest, ConnectionsThatCannotTakeABackupAreLeftAsTheyWere) {
  const std::string copyPath = dir.file("copy.sqlite");
  ASSERT_TRUE(source->backupTo(copyPath, nullptr));
  ASSERT_TRUE(source->executeUpdate("delete from t where id > 10"));

  auto sameFile = LiteDatabase::databaseWithPath(dir.file("folder/../data.sqlite"));
  std::filesystem::create_directory(dir.file("folder"));
  ASSERT_TRUE(sameFile->open());
  auto readOnly = LiteDatabase::databaseWithPath(copyPath);
  ASSERT_TRUE(readOnly->openWithFlags(SQLITE_OPEN_READONLY));
  auto closed = LiteDatabase::databaseWithPath(copyPath);
  auto reading = LiteDatabase::databaseWithPath(copyPath);
  ASSERT_TRUE(reading->open());
  auto openRows = reading->executeQuery("select id from t");
  ASSERT_TRUE(openRows && openRows->next());
  auto inTransaction = LiteDatabase::databaseWithPath(dir.file("other.sqlite"));
  ASSERT_TRUE(inTransaction->open());
  ASSERT_TRUE(inTransaction->beginDeferredTransaction());

  struct Case {
    const char* name;
    LiteDatabase* destination;
    LiteError error;
  };
  const Case cases[] = {
      {"the source itself", source.get(),
       failure(SQLITE_MISUSE, sourcePath, "the destination is the source database")},
      {"another connection to the source's file", sameFile.get(),
       failure(SQLITE_MISUSE, dir.file("folder/../data.sqlite"),
               "the destination is the source database")},
      {"a destination not open", closed.get(),
       failure(SQLITE_MISUSE, copyPath, "the destination is not open")},
      {"a read-only destination", readOnly.get(),
       failure(SQLITE_READONLY, copyPath, "attempt to write a readonly database")},
      {"a destination reading", reading.get(),
       failure(SQLITE_ERROR, copyPath, "destination database is in use")},
      {"a destination in a transaction", inTransaction.get(),
       failure(SQLITE_ERROR, dir.file("other.sqlite"), "the destination is in a transaction")},
  };
  const std::string sourceContent = dump(source->sqliteHandle());
  const std::string copyContent = dumpFile(copyPath);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<LiteError> error;
    EXPECT_FALSE(source->backupTo(*c.destination, 2, nullptr, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_THAT(log.take(), ElementsAre(c.error.description));
    EXPECT_EQ(dump(source->sqliteHandle()), sourceContent);
    EXPECT_EQ(dumpFile(copyPath), copyContent);
    EXPECT_EQ(source->intForQuery("select count(*) from t"), 11);
  }
  EXPECT_EQ(readOnly->intForQuery("select count(*) from t"), 300);
  EXPECT_TRUE(openRows->next());
  EXPECT_TRUE(inTransaction->commit());

  // A source that is closed, or in the middle of its own write, gives no backup.
  auto memory = LiteDatabase::databaseWithPath(std::nullopt);
  ASSERT_TRUE(memory->open());
  ASSERT_TRUE(source->beginTransaction());
  ASSERT_TRUE(source->executeUpdate("insert into t (title) values ('uncommitted')"));
  std::optional<LiteError> error;
  EXPECT_FALSE(source->backupTo(*memory, &error));
  EXPECT_EQ(error,
            failure(SQLITE_BUSY, "an in-memory database", "the source is in a write transaction"));
  EXPECT_FALSE(source->backupTo(dir.file("during.sqlite"), nullptr));
  EXPECT_FALSE(std::filesystem::exists(dir.file("during.sqlite")));
  ASSERT_TRUE(source->rollback());
  log.take();
  auto closedSource = LiteDatabase::databaseWithPath(sourcePath);
  error.reset();
  EXPECT_FALSE(closedSource->backupTo(copyPath, &error));
  EXPECT_EQ(error, failure(SQLITE_MISUSE, copyPath, "the source is not open"));
  EXPECT_FALSE(closedSource->backupTo(*memory, &error));
  EXPECT_EQ(error, failure(SQLITE_MISUSE, "an in-memory database", "the source is not open"));
  EXPECT_EQ(dumpFile(copyPath), copyContent);
  EXPECT_EQ(memory->intForQuery("select count(*) from sqlite_master"), 0);
}

// A backup started while the source runs an update (from a custom function inside it)
// is refused like any other re-entry, and the update goes on.
TEST_F(BackupTest, ABackupFromInsideTheSourcesOwnStatementIsRefused) {
  std::optional<LiteError> error;
  bool backedUp = true;
  source->makeFunctionNamedArgumentsBlock(
      "back_up", 0, [&](sqlite3_context* context, int, sqlite3_value**) {
        backedUp = source->backupTo(dir.file("inside.sqlite"), &error);
        LiteDatabase::resultStringContext("inserted", context);
      });
  ASSERT_TRUE(source->executeUpdate("insert into t (title) values (back_up())"));
  EXPECT_EQ(source->intForQuery("select count(*) from t where title = 'inserted'"), 1);
  EXPECT_FALSE(backedUp);
  EXPECT_EQ(error, failure(SQLITE_MISUSE, dir.file("inside.sqlite"), "the source is in use"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("inside.sqlite")));
}
