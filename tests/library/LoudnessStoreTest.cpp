#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "library/LoudnessStore.h"
#include "litedb/LiteDatabase.h"

class LoudnessStoreTest : public QObject {
  Q_OBJECT

 private slots:
  void measuredLoudnessLastsUntilTheFileChanges() {
    QTemporaryDir dir;
    const std::string path = dir.filePath("bell.wav").toStdString();
    std::ofstream(path) << "first content";
    auto db = LiteDatabase::databaseWithPath(dir.filePath("data.sqlite").toStdString());
    QVERIFY(db->open());
    QVERIFY(db->executeUpdate("CREATE TABLE tb_Button (ButtonId TEXT)"));
    LoudnessStore store(db);
    QVERIFY(store.prepare());
    QVERIFY(store.prepare());  // twice is harmless
    QVERIFY(!store.loudnessForFile("bell.wav", path));

    QVERIFY(store.setLoudness("bell.wav", path, Loudness{-23.5, -4.25}));
    auto found = store.loudnessForFile("bell.wav", path);
    QVERIFY(found);
    QCOMPARE(found->integratedLufs, -23.5);
    QCOMPARE(found->truePeakDbtp, -4.25);
    QVERIFY(!store.loudnessForFile("other.wav", path));

    // A trim is kept apart from the measure, and clamped.
    QCOMPARE(store.trimForFile("bell.wav"), 0.0);
    QVERIFY(store.setTrim("bell.wav", 30.0));
    QCOMPARE(store.trimForFile("bell.wav"), 12.0);
    QVERIFY(store.setTrim("never-measured.wav", -3.5));
    QCOMPARE(store.trimForFile("never-measured.wav"), -3.5);
    QVERIFY(!store.loudnessForFile("never-measured.wav", path));
    QVERIFY(store.loudnessForFile("bell.wav", path));

    // Another size: measured again from scratch; the trim stays.
    std::ofstream(path, std::ios::app) << " and more";
    QVERIFY(!store.loudnessForFile("bell.wav", path));
    QCOMPARE(store.trimForFile("bell.wav"), 12.0);
    std::filesystem::remove(path);
    QVERIFY(!store.loudnessForFile("bell.wav", path));
  }
};

QTEST_GUILESS_MAIN(LoudnessStoreTest)
#include "LoudnessStoreTest.moc"
