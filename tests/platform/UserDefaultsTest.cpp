#include "platform/UserDefaults.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <thread>
#include <vector>

class UserDefaultsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;
  QString configHome() const { return dir->filePath("config"); }
  QString settingsFile() const { return configHome() + "/cueboard/cueboard.conf"; }

  void writeSettingsFile(const QByteArray& text) {
    QDir().mkpath(configHome() + "/cueboard");
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qputenv("HOME", dir->filePath("home").toUtf8());
    qputenv("XDG_CONFIG_HOME", configHome().toUtf8());
    UserDefaults::resetStandardUserDefaultsForTesting();
  }

  void cleanup() { UserDefaults::resetStandardUserDefaultsForTesting(); }

  void absentKeysReadAsNothing() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    QCOMPARE(defaults.floatForKey("volume"), 0.0f);
    QCOMPARE(defaults.integerForKey("hotkeyTag"), 0L);
    QCOMPARE(defaults.boolForKey("loop"), false);
    QVERIFY(!defaults.stringForKey("curClassId").has_value());
    QVERIFY(!defaults.objectForKey("loop").has_value());
  }

  // What the board writes must survive a restart: a fresh instance reads the file.
  void writesSurviveInAFreshInstance() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    defaults.setIntegerForKey(42, "volume");
    defaults.setObjectForKey(QString("00000000-0000-0000-0000-000000000003"), "curClassId");
    defaults.setIntegerForKey(2, "hotkeyTag");
    defaults.setObjectForKey(0, "loop");
    defaults.setObjectForKey(true, "autoShowNext");
    defaults.setObjectForKey(QString("音量：85"), "label");

    QVERIFY(QFile::exists(settingsFile()));
    QCOMPARE(QString::fromStdString(defaults.filePath()), settingsFile());

    UserDefaults fresh(settingsFile().toStdString());
    QCOMPARE(fresh.floatForKey("volume"), 42.0f);
    QCOMPARE(fresh.integerForKey("volume"), 42L);
    QCOMPARE(fresh.stringForKey("curClassId"), std::optional<std::string>("00000000-0000-0000-0000-000000000003"));
    QCOMPARE(fresh.integerForKey("hotkeyTag"), 2L);
    QVERIFY(fresh.objectForKey("loop").has_value());
    QCOMPARE(fresh.boolForKey("loop"), false);
    QCOMPARE(fresh.boolForKey("autoShowNext"), true);
    QCOMPARE(fresh.stringForKey("label"), std::optional<std::string>("音量：85"));

    // The standard instance, re-bound to the same environment, reads the same.
    UserDefaults::resetStandardUserDefaultsForTesting();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("hotkeyTag"), 2L);
  }

  // Saved at once: the text is on disk before the instance goes away.
  void everyWriteIsOnDiskAtOnce() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    defaults.setIntegerForKey(42, "volume");
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(file.readAll().contains("volume=42"), "the write was not saved");
    file.close();

    defaults.removeObjectForKey("volume");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY2(!file.readAll().contains("volume"), "the removal was not saved");
  }

  void removeObjectForKeyRemovesOnlyThatKey() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    defaults.setObjectForKey(1, "loop");
    defaults.setIntegerForKey(70, "volume");
    defaults.removeObjectForKey("loop");
    QVERIFY(!defaults.objectForKey("loop").has_value());
    QCOMPARE(defaults.integerForKey("volume"), 70L);
    // To QSettings an empty key means every key; here it means none.
    defaults.removeObjectForKey("");
    QCOMPARE(defaults.integerForKey("volume"), 70L);

    UserDefaults fresh(settingsFile().toStdString());
    QVERIFY(!fresh.objectForKey("loop").has_value());
    QCOMPARE(fresh.integerForKey("volume"), 70L);
  }

  void overwritingReplacesTheValue() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    defaults.setIntegerForKey(1, "hotkeyTag");
    defaults.setIntegerForKey(0, "hotkeyTag");
    QVERIFY(defaults.objectForKey("hotkeyTag").has_value());
    QCOMPARE(UserDefaults(settingsFile().toStdString()).integerForKey("hotkeyTag"), 0L);
  }

  // Values as they come from the file, whoever wrote it.
  void readsStoredText_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<float>("asFloat");
    QTest::addColumn<long>("asInteger");
    QTest::addColumn<bool>("asBool");

    QTest::newRow("integer") << QByteArray("42") << 42.0f << 42L << true;
    QTest::newRow("fraction") << QByteArray("42.6") << 42.6f << 42L << true;
    QTest::newRow("negative fraction") << QByteArray("-3.9") << -3.9f << -3L << true;
    QTest::newRow("zero") << QByteArray("0") << 0.0f << 0L << false;
    QTest::newRow("one") << QByteArray("1") << 1.0f << 1L << true;
    QTest::newRow("true") << QByteArray("true") << 0.0f << 0L << true;
    QTest::newRow("TRUE") << QByteArray("TRUE") << 0.0f << 0L << true;
    QTest::newRow("false") << QByteArray("false") << 0.0f << 0L << false;
    QTest::newRow("yes is only text") << QByteArray("yes") << 0.0f << 0L << false;
    QTest::newRow("YES is only text") << QByteArray("YES") << 0.0f << 0L << false;
    QTest::newRow("text") << QByteArray("loud") << 0.0f << 0L << false;
    QTest::newRow("empty") << QByteArray("") << 0.0f << 0L << false;
    QTest::newRow("huge") << QByteArray("1e300") << std::numeric_limits<float>::infinity()
                          << std::numeric_limits<long>::max() << true;
  }

  void readsStoredText() {
    QFETCH(QByteArray, stored);
    QFETCH(float, asFloat);
    QFETCH(long, asInteger);
    QFETCH(bool, asBool);
    writeSettingsFile("[General]\nvalue=" + stored + "\n");

    UserDefaults defaults(settingsFile().toStdString());
    QVERIFY(defaults.objectForKey("value").has_value());
    QCOMPARE(defaults.floatForKey("value"), asFloat);
    QCOMPARE(defaults.integerForKey("value"), asInteger);
    QCOMPARE(defaults.boolForKey("value"), asBool);
    QCOMPARE(defaults.stringForKey("value"), std::optional<std::string>(stored.toStdString()));
  }

  // Written in this process, read back in this process and from the file: the same.
  void typedValuesReadTheSameBeforeAndAfterARestart() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    defaults.setObjectForKey(42.6, "volume");
    defaults.setObjectForKey(true, "loop");
    defaults.setObjectForKey(false, "autoShowNext");
    UserDefaults fresh(settingsFile().toStdString());
    for (const UserDefaults* reader : std::initializer_list<const UserDefaults*>{&defaults, &fresh}) {
      QVERIFY(std::fabs(reader->floatForKey("volume") - 42.6f) < 1e-5f);
      QCOMPARE(reader->integerForKey("volume"), 42L);
      QCOMPARE(reader->boolForKey("loop"), true);
      QCOMPARE(reader->boolForKey("autoShowNext"), false);
      QCOMPARE(reader->integerForKey("loop"), 1L);
    }
  }

  // One instance shared by threads: no write is lost, every one reaches the file.
  void concurrentWritesAllLand() {
    UserDefaults& defaults = UserDefaults::standardUserDefaults();
    constexpr int kThreads = 4;
    constexpr int kKeys = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&defaults, t] {
        for (int k = 0; k < kKeys; ++k) {
          const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
          defaults.setIntegerForKey(t * 1000 + k, key);
          (void)defaults.integerForKey(key);
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    UserDefaults fresh(settingsFile().toStdString());
    for (int t = 0; t < kThreads; ++t) {
      for (int k = 0; k < kKeys; ++k) {
        QCOMPARE(fresh.integerForKey("t" + std::to_string(t) + "k" + std::to_string(k)), long(t * 1000 + k));
      }
    }
  }

  void fileFollowsTheEnvironment_data() {
    QTest::addColumn<QByteArray>("xdgConfigHome");
    QTest::addColumn<bool>("unset");
    QTest::addColumn<QString>("expectedUnderDir");
    QTest::newRow("XDG_CONFIG_HOME set") << QByteArray("elsewhere") << false << "elsewhere/cueboard/cueboard.conf";
    QTest::newRow("trailing slash") << QByteArray("elsewhere/") << false << "elsewhere/cueboard/cueboard.conf";
    QTest::newRow("empty") << QByteArray() << false << "home/.config/cueboard/cueboard.conf";
    QTest::newRow("unset") << QByteArray() << true << "home/.config/cueboard/cueboard.conf";
    QTest::newRow("relative is ignored") << QByteArray("relative") << false << "home/.config/cueboard/cueboard.conf";
  }

  void fileFollowsTheEnvironment() {
    QFETCH(QByteArray, xdgConfigHome);
    QFETCH(bool, unset);
    QFETCH(QString, expectedUnderDir);
    if (unset) {
      qunsetenv("XDG_CONFIG_HOME");
    } else if (xdgConfigHome == "relative") {
      qputenv("XDG_CONFIG_HOME", xdgConfigHome);
    } else if (xdgConfigHome.isEmpty()) {
      qputenv("XDG_CONFIG_HOME", QByteArray());
    } else {
      qputenv("XDG_CONFIG_HOME", dir->filePath(QString::fromUtf8(xdgConfigHome)).toUtf8());
    }
    UserDefaults::resetStandardUserDefaultsForTesting();
    UserDefaults::standardUserDefaults().setIntegerForKey(7, "hotkeyTag");

    const QString expected = dir->filePath(expectedUnderDir);
    QVERIFY2(QFile::exists(expected), qPrintable(expected));
    QCOMPARE(QString::fromStdString(UserDefaults::standardUserDefaults().filePath()), expected);
    QCOMPARE(UserDefaults(expected.toStdString()).integerForKey("hotkeyTag"), 7L);
  }
};

QTEST_GUILESS_MAIN(UserDefaultsTest)
#include "UserDefaultsTest.moc"
