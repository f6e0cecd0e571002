#pragma once
// A scratch world for one board test: its own XDG folders, settings, library file and
// sound folder, and a capture of the program's printed lines. Everything the board
// reaches is real: the SQLite file, the widgets (offscreen) and the settings file.

#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <string>
#include <vector>

#include "library/Caches.h"
#include "library/DBHelper.h"
#include "library/LibraryGuard.h"
#include "litedb/LiteDatabase.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"

struct LibraryRow {
  std::string buttonId;
  std::string classId;
  int buttonNo = 0;
  std::string title;
  std::string musicSrc;
  std::optional<std::string> hotkey;
};

// Run from each board test's initMain(), before the application object exists: the
// offscreen display and SDL's dummy audio driver, whatever the shell running the test
// has set. A test that needs another driver sets it itself.
inline void useOffscreenTestDevices() {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("SDL_AUDIODRIVER", "dummy");
}

// Opens the one audio device on SDL's disk driver, which writes what it is handed to
// `capturePath` for the test to read back; `delay` is SDL_DISKAUDIODELAY, the
// milliseconds it waits per buffer ("1": about ten times real time).
inline void openDiskAudio(const std::string& capturePath, const char* delay = "1") {
  qputenv("SDL_AUDIODRIVER", "disk");
  qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
  qputenv("SDL_DISKAUDIODELAY", delay);
  std::string error;
  QVERIFY2(AudioDevice::open(&error), error.c_str());
}

inline std::string categoryId(int number) {
  return "00000000-0000-0000-0000-00000000000" + std::to_string(number);
}

class BoardFixture {
 public:
  BoardFixture() {
    QVERIFY(scratch.isValid());
    qputenv("XDG_CONFIG_HOME", (scratch.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (scratch.path() + "/data").toUtf8());
    resetPathsForTesting();
    UserDefaults::resetStandardUserDefaultsForTesting();
    resetDBHelperForTesting();
    resetCachesForTesting();
    resetLibraryGuardForTesting();
    setConsoleSinkForTesting([this](const std::string& line) { printed.push_back(line); });
  }
  ~BoardFixture() { setConsoleSinkForTesting(nullptr); }
  BoardFixture(const BoardFixture&) = delete;
  BoardFixture& operator=(const BoardFixture&) = delete;

  // Writes a library with these rows (and an existing, empty sound folder, so that
  // nothing is seeded from the shipped copy).
  void writeLibrary(const std::vector<LibraryRow>& rows) {
    QDir().mkpath(QString::fromStdString(soundPath()));
    auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
    QVERIFY(db->open());
    QVERIFY(db->executeStatements(
        "CREATE TABLE IF NOT EXISTS tb_Button (ButtonId TEXT, ClassId TEXT, ButtonNo INTEGER, "
        "Title TEXT, MusicSrc TEXT, Hotkey TEXT DEFAULT NULL)"));
    for (const auto& row : rows) addRow(*db, row);
    db->close();
  }

  void addRow(LiteDatabase& db, const LibraryRow& row) {
    QVERIFY(db.executeUpdateWithArgumentsInArray(
        "INSERT INTO tb_Button (ButtonId, ClassId, ButtonNo, Title, MusicSrc, Hotkey) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {row.buttonId, row.classId, row.buttonNo, row.title, row.musicSrc,
         row.hotkey ? LiteValue(*row.hotkey) : LiteValue::null()}));
  }

  // Runs one statement on the library file through a connection of its own.
  void changeLibrary(const std::string& sql) {
    auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
    QVERIFY(db->open());
    QVERIFY(db->executeStatements(sql));
    db->close();
  }

  QString path(const QString& relative) const { return scratch.path() + "/" + relative; }

  QTemporaryDir scratch;
  std::vector<std::string> printed;
};
