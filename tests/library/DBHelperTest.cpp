// The library store: finding, seeding and handing out the library database, and
// seeding the sound folder.

#include <QTemporaryDir>
#include <QtTest>
#include <thread>

#include "board/ViewController.h"
#include "library/DBHelper.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Paths.h"

class DBHelperTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> scratch;
  std::vector<std::string> printed;

  std::string shippedDb() const { return Bundle::mainBundle().resourcePath() + "/data.sqlite"; }

 private slots:
  void init() {
    scratch = std::make_unique<QTemporaryDir>();
    // Nested and missing: the store must create the whole chain.
    qputenv("XDG_DATA_HOME", (scratch->path() + "/a/b/data").toUtf8());
    resetPathsForTesting();
    resetDBHelperForTesting();
    Bundle::setResourcePathForTesting(std::nullopt);
    printed.clear();
    setConsoleSinkForTesting([this](const std::string& line) { printed.push_back(line); });
  }
  void cleanup() {
    setConsoleSinkForTesting(nullptr);
    Bundle::setResourcePathForTesting(std::nullopt);
    resetDBHelperForTesting();
  }

  void firstReadSeedsFromTheShippedLibrary() {
    const std::string path = documentPath() + "/data.sqlite";
    QCOMPARE(dbHelper().dbURL(), path);
    QCOMPARE(printed,
             (std::vector<std::string>{"数据库不存在：" + path, "bundleDbPath = " + shippedDb()}));
    QFile copy(QString::fromStdString(path)), original(QString::fromStdString(shippedDb()));
    QVERIFY(copy.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), original.readAll());

    // The same path again, and nothing more printed or copied.
    QCOMPARE(dbHelper().dbURL(), path);
    QCOMPARE(printed.size(), std::size_t(2));
  }

  void laterStartsUseTheUsersCopy() {
    const std::string path = dbHelper().dbURL();
    {
      auto db = LiteDatabase::databaseWithPath(path);
      QVERIFY(db->open());
      QVERIFY(db->executeStatements("DELETE FROM tb_Button"));
    }
    resetDBHelperForTesting();
    printed.clear();
    QCOMPARE(dbHelper().dbURL(), path);
    QVERIFY(printed.empty());
    auto db = dbHelper().db();
    QVERIFY(db->open());
    auto rs = db->executeQueryWithArgumentsInArray("SELECT count(*) AS n FROM tb_Button", {});
    QVERIFY(rs && rs->next());
    QCOMPARE(rs->intForColumn("n"), 0);  // the user's emptied library, not the shipped one
  }

  void connectionIsSharedAndNotOpened() {
    auto db = dbHelper().db();
    QVERIFY(db);
    QCOMPARE(dbHelper().db(), db);
    QVERIFY(!db->isOpen());
    QCOMPARE(db->databasePath(), std::optional<std::string>(dbHelper().dbURL()));
  }

  void withoutAShippedLibraryAnEmptyOneIsMade() {
    QTemporaryDir emptyBundle;
    Bundle::setResourcePathForTesting(emptyBundle.path().toStdString());
    const std::string path = dbHelper().dbURL();
    QCOMPARE(printed.size(), std::size_t(3));
    QCOMPARE(printed[1], std::string("bundleDbPath = (null)"));
    QCOMPARE(printed[2], "没有内置曲库，已创建空曲库：" + path);
    auto db = dbHelper().db();
    QVERIFY(db->open());
    auto rs = db->executeQueryWithArgumentsInArray(
        ViewController::categoryQuerySql(ViewController::classIdForCategory(1)), {});
    QVERIFY(rs);
    QVERIFY(!rs->next());
    rs->close();
    QVERIFY(
        db->executeUpdateWithArgumentsInArray("INSERT INTO tb_Button (ButtonId, ClassId, ButtonNo, "
                                              "Title, MusicSrc) VALUES (?, ?, ?, ?, ?)",
                                              {"ID", "C", 1, "t", "m.mp3"}));
  }

  void soundFolderIsSeededOnlyWhenMissing() {
    dbHelper().db();  // as at start-up: the data folder exists by now
    printed.clear();
    DBHelper::seedSoundFolder();
    const QDir sounds(QString::fromStdString(soundPath()));
    const QStringList shipped =
        QDir(QString::fromStdString(Bundle::mainBundle().resourcePath() + "/sound"))
            .entryList(QDir::Files);
    QVERIFY(!shipped.isEmpty());
    QCOMPARE(sounds.entryList(QDir::Files), shipped);

    // An emptied folder stays empty: only a missing one is seeded.
    for (const QString& name : shipped) QVERIFY(QFile::remove(sounds.filePath(name)));
    DBHelper::seedSoundFolder();
    QVERIFY(sounds.entryList(QDir::Files).isEmpty());
    QVERIFY(printed.empty());
  }

  void concurrentFirstUseMakesOneStore() {
    std::vector<DBHelper*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) {
      threads.emplace_back([&seen, i] { seen[i] = &dbHelper(); });
    }
    for (auto& thread : threads) thread.join();
    for (DBHelper* store : seen) QCOMPARE(store, seen.front());
  }
};

QTEST_GUILESS_MAIN(DBHelperTest)
#include "DBHelperTest.moc"
