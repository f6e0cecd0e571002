// Exporting the library with its sounds as one .zip and importing it: into an empty
// data folder it gives the same board; a sound whose name is taken by a different file
// comes in under the add's "name (2)" rule; an archive that is not one of ours, or that
// names a path outside the library, is refused and nothing is written.

#include <zip.h>

#include <QAction>
#include <QDirIterator>
#include <QMenu>
#include <QPushButton>
#include <memory>

#include "../board/BoardFixture.h"
#include "LibraryTestFiles.h"
#include "board/ViewController.h"
#include "library/ContextMenus.h"
#include "library/LibraryArchive.h"
#include "library/LibraryBackups.h"
#include "litedb/LiteResultSet.h"
#include "platform/Alert.h"
#include "platform/OpenPanel.h"

namespace {

// Every row of the library, all columns, in a stable order.
QStringList libraryRows() {
  QStringList rows;
  auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
  if (!db->open()) return {"<cannot open>"};
  auto rs = db->executeQueryWithArgumentsInArray(
      "select * from tb_Button order by ClassId, ButtonNo, ButtonId", {});
  while (rs && rs->next()) {
    QStringList columns;
    for (const char* column : {"ButtonId", "ClassId", "ButtonNo", "Title", "MusicSrc", "Hotkey"}) {
      columns << QString::fromStdString(rs->stringForColumn(column).value_or("<null>"));
    }
    rows << columns.join('|');
  }
  if (rs) rs->close();
  db->close();
  return rows;
}

// An archive with these entries (name, content).
bool writeZip(const QString& path, const std::vector<std::pair<std::string, QByteArray>>& entries) {
  int code = 0;
  zip_t* archive = zip_open(path.toUtf8().constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!archive) return false;
  std::vector<QByteArray> kept;
  kept.reserve(entries.size());
  for (const auto& [name, content] : entries) {
    kept.push_back(content);
    zip_source_t* source =
        zip_source_buffer(archive, kept.back().constData(), zip_uint64_t(kept.back().size()), 0);
    if (!source || zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
      zip_discard(archive);
      return false;
    }
  }
  return zip_close(archive) == 0;
}

}  // namespace

class LibraryArchiveTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  QTemporaryDir outside;  // where the host keeps archives
  std::vector<Alert> alerts;

  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }
  QString sounds() const { return QString::fromStdString(soundPath()); }

  void choose(int tag, const char* title) {
    QAction* item = menuItem(*board, tag, title);
    QVERIFY2(item, title);
    item->trigger();
  }
  void pick(const QString& path) {
    OpenPanel::setResponderForTesting([path](OpenPanel& panel) {
      panel.setURLsForTesting({path.toStdString()});
      return OpenPanel::ModalResponseOK;
    });
  }
  void answerAlerts(bool yes) {
    Alert::setResponderForTesting([this, yes](const Alert& alert) {
      alerts.push_back(alert);
      return yes ? Alert::FirstButtonReturn : Alert::SecondButtonReturn;
    });
  }

  // A library worth moving: quotes, spaces and Chinese in titles and names, a hotkey,
  // a row without a hotkey, one whose file is missing, two rows on one file.
  void writeHostsLibrary() {
    world->writeLibrary({
        {"A1", categoryId(1), 1, "掌声 it's", "applause.mp3", "Q"},
        {"A2", categoryId(1), 2, "笑声", "笑声 laugh.mp3", std::nullopt},
        {"A3", categoryId(1), 3, "没有文件", "gone.mp3", ""},
        {"B7", categoryId(2), 7, "又是掌声", "applause.mp3", "W"},
    });
    QVERIFY(writeAll(sounds() + "applause.mp3", "ID3 applause"));
    QVERIFY(writeAll(sounds() + "笑声 laugh.mp3", "ID3 laugh"));
    QVERIFY(writeAll(sounds() + "unused.mp3", "ID3 not in any row"));
  }

  QString exportLibrary() {
    LibraryBackups::setClockForTesting([] {
      std::tm local{};
      local.tm_year = 2026 - 1900;
      local.tm_mon = 11;
      local.tm_mday = 11;
      local.tm_hour = 10;
      local.tm_isdst = -1;
      return std::mktime(&local);
    });
    pick(outside.path());
    answerAlerts(true);
    choose(1, "导出音效库…");
    return outside.path() + "/cueboard-2026-12-11.zip";
  }

  // A second machine: a data folder of its own, empty, where the board starts on the
  // shipped library.
  void moveToAnEmptyDataFolder() {
    board.reset();
    world = std::make_unique<BoardFixture>();
    board = std::make_unique<ViewController>();
  }

 private slots:
  void init() {
    QVERIFY(outside.isValid());
    world = std::make_unique<BoardFixture>();
    alerts.clear();
  }
  void cleanup() {
    board.reset();
    Alert::setResponderForTesting(nullptr);
    OpenPanel::setResponderForTesting(nullptr);
    LibraryBackups::setClockForTesting(nullptr);
    world.reset();
    QDir(outside.path()).removeRecursively();
    QDir().mkpath(outside.path());
  }

  void exportThenImportIntoAnEmptyDataFolderGivesTheSameBoard() {
    writeHostsLibrary();
    board = std::make_unique<ViewController>();
    const QStringList rows = libraryRows();
    const QString zip = exportLibrary();
    QVERIFY2(QFile::exists(zip), qPrintable(zip));
    QCOMPARE(alerts.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(alerts[0].informativeText()).contains(zip));
    // A second export the same day does not replace the first.
    choose(1, "导出音效库…");
    QVERIFY(QFile::exists(outside.path() + "/cueboard-2026-12-11 (2).zip"));

    moveToAnEmptyDataFolder();
    const long long shipped = LibraryBackups::soundCount(documentPath() + "/data.sqlite");
    pick(zip);
    alerts.clear();
    choose(3, "导入音效库…");
    QCOMPARE(alerts.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(alerts[0].informativeText()).contains(zip));
    QCOMPARE(libraryRows(), rows);
    QCOMPARE(readAll(sounds() + "applause.mp3"), QByteArray("ID3 applause"));
    QCOMPARE(readAll(sounds() + "笑声 laugh.mp3"), QByteArray("ID3 laugh"));
    QVERIFY(!QFile::exists(sounds() + "unused.mp3"));  // no row names it
    QCOMPARE(button(1)->text(), QString("掌声 it's"));
    QCOMPARE(button(2)->text(), QString("笑声"));
    QCOMPARE(button(3)->text(), QString("没有文件"));
    // The library the import replaced can be restored.
    QCOMPARE(LibraryBackups::list().front().rows, shipped);
    QVERIFY(world->printed.empty());
  }

  void aTakenSoundNameComesInAsTheAddWouldNameIt() {
    writeHostsLibrary();
    board = std::make_unique<ViewController>();
    const QString zip = exportLibrary();

    moveToAnEmptyDataFolder();
    QVERIFY(writeAll(sounds() + "applause.mp3", "ID3 someone else's applause"));
    QVERIFY(writeAll(sounds() + "笑声 laugh.mp3", "ID3 laugh"));  // the same sound
    pick(zip);
    choose(1, "导入音效库…");
    QCOMPARE(readAll(sounds() + "applause.mp3"), QByteArray("ID3 someone else's applause"));
    QCOMPARE(readAll(sounds() + "applause (2).mp3"), QByteArray("ID3 applause"));
    QVERIFY(!QFile::exists(sounds() + "笑声 laugh (2).mp3"));
    const QStringList rows = libraryRows();
    QVERIFY2(rows.contains("A1|" + QString::fromStdString(categoryId(1)) +
                           "|1|掌声 it's|applause (2).mp3|Q"),
             qPrintable(rows.join('\n')));
    QVERIFY(rows.contains("B7|" + QString::fromStdString(categoryId(2)) +
                          "|7|又是掌声|applause (2).mp3|W"));
    QVERIFY(rows.contains("A2|" + QString::fromStdString(categoryId(1)) +
                          "|2|笑声|笑声 laugh.mp3|<null>"));
  }

  void untrustedArchivesAreRefused_data() {
    QTest::addColumn<QString>("entry");
    QTest::newRow("climbs out") << "../evil.mp3";
    QTest::newRow("climbs out of sound") << "sound/../../evil.mp3";
    QTest::newRow("absolute") << "/tmp/cueboard-evil.mp3";
    QTest::newRow("nested folder") << "sound/a/evil.mp3";
    QTest::newRow("backslash") << "sound\\..\\..\\evil.mp3";
    QTest::newRow("something else") << "evil.sh";
    QTest::newRow("no library") << "";
    QTest::newRow("library not a database") << "data.sqlite";
    QTest::newRow("not a zip") << "-";
  }
  void untrustedArchivesAreRefused() {
    QFETCH(QString, entry);
    writeHostsLibrary();
    board = std::make_unique<ViewController>();
    const QByteArray library = readAll(QString::fromStdString(documentPath() + "/data.sqlite"));
    const QString zip = outside.path() + "/crafted.zip";
    if (entry == "-") {
      QVERIFY(writeAll(zip, "PK but not really"));
    } else if (entry == "data.sqlite") {
      QVERIFY(writeZip(zip, {{"data.sqlite", "not a database"}, {"sound/x.mp3", "x"}}));
    } else {
      std::vector<std::pair<std::string, QByteArray>> entries = {{"sound/fine.mp3", "fine"}};
      if (!entry.isEmpty()) {
        entries.insert(entries.begin(), {"data.sqlite", library});
        entries.push_back({entry.toStdString(), "evil"});
      }
      QVERIFY(writeZip(zip, entries));
    }
    const QStringList rows = libraryRows();
    const QStringList data = snapshot(QString::fromStdString(documentPath()));
    const QStringList around = snapshot(world->path("data"));

    pick(zip);
    answerAlerts(true);
    choose(1, "导入音效库…");
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(world->printed[0]).startsWith("导入音效库失败："),
             world->printed[0].c_str());
    QVERIFY(board->libraryProblem().contains("导入音效库失败："));
    QCOMPARE(libraryRows(), rows);
    QStringList aroundNow = snapshot(world->path("data"));
    aroundNow.removeIf([](const QString& file) { return file.startsWith("cueboard/backups/"); });
    QCOMPARE(aroundNow, around);
    // Only today's backup, taken before the import was tried, is new.
    QStringList expected = data;
    QStringList now = snapshot(QString::fromStdString(documentPath()));
    now.removeIf([](const QString& file) { return file.startsWith("backups/"); });
    QCOMPARE(now, expected);
    QVERIFY(!QFile::exists("/tmp/cueboard-evil.mp3"));
    QVERIFY(!QFile::exists(world->path("evil.mp3")));
    QVERIFY(!QFile::exists(world->path("data/evil.mp3")));
  }

  void acceptedEntryNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("library") << "data.sqlite" << true;
    QTest::newRow("sound") << "sound/掌声 it's.mp3" << true;
    QTest::newRow("dotted sound") << "sound/.hidden.mp3" << true;
    QTest::newRow("dot") << "sound/." << false;
    QTest::newRow("dot dot") << "sound/.." << false;
    QTest::newRow("a copy under way") << "sound/.a.mp3.partial-1-2" << false;
    QTest::newRow("library elsewhere") << "x/data.sqlite" << false;
    QTest::newRow("empty sound") << "sound/" << false;
  }
  void acceptedEntryNames() {
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QCOMPARE(LibraryArchive::isAcceptableEntryName(name.toStdString()), accepted);
  }
};

QTEST_MAIN(LibraryArchiveTest)
#include "LibraryArchiveTest.moc"
