// Runs the built cueboard program itself, as a user would start it, in scratch folders.

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

class CueboardBinaryTest : public QObject {
  Q_OBJECT

 private:
  // Starts the program, waits until its window has loaded the library (the sound
  // folder is the last thing start-up creates), ends it with `signal` and returns
  // what it printed.
  QStringList runUntilStarted(const QTemporaryDir& home, int* exitCode,
                              const QString& audioDriver = "dummy", int signal = SIGTERM) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("SDL_AUDIODRIVER", audioDriver);
    program.setProcessEnvironment(env);
    program.start(CUEBOARD_BINARY, {});
    if (!program.waitForStarted(10000)) return {"(did not start)"};
    const QString soundFolder = home.path() + "/data/cueboard/sound";
    QDeadlineTimer deadline(20000);
    while (!QFileInfo::exists(soundFolder) && !deadline.hasExpired()) QTest::qWait(50);
    if (!QFileInfo::exists(soundFolder)) {
      program.kill();
      program.waitForFinished();
      return {"(start-up never created the sound folder)",
              QString::fromUtf8(program.readAllStandardError())};
    }
    // The folder appears before start-up returns to the event loop; give it a moment.
    QTest::qWait(300);
    ::kill(program.processId(), signal);
    if (!program.waitForFinished(10000)) {
      program.kill();
      return {"(did not end on signal " + QString::number(signal) + ")"};
    }
    *exitCode = program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
    return QString::fromUtf8(program.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  }

 private slots:
  void firstStartSeedsTheLibraryAndSecondStartDoesNot() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString dbPath = home.path() + "/data/cueboard/data.sqlite";
    const QString shipped = QString(CUEBOARD_SHIPPED_DIR) + "/data.sqlite";

    int exitCode = -1;
    QStringList first = runUntilStarted(home, &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(first.contains("数据库不存在：" + dbPath), qPrintable(first.join('\n')));
    QVERIFY2(first.contains("bundleDbPath = " + QFileInfo(shipped).canonicalFilePath()) ||
                 first.contains("bundleDbPath = " + shipped),
             qPrintable(first.join('\n')));
    QVERIFY(QFileInfo(dbPath).isFile());
    QVERIFY(QFileInfo(dbPath).size() > 0);
    QVERIFY(!QDir(home.path() + "/data/cueboard/sound").entryList({"*.mp3"}).isEmpty());

    exitCode = -1;
    QStringList second = runUntilStarted(home, &exitCode);
    QCOMPARE(exitCode, 0);
    for (const QString& line : second) {
      QVERIFY2(!line.startsWith("数据库不存在：") && !line.startsWith("bundleDbPath = "),
               qPrintable(line));
    }
  }

  void withoutASoundDeviceItStillStartsAndSaysSo() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    int exitCode = -1;
    const QStringList printed = runUntilStarted(home, &exitCode, "cueboard-no-such-driver", SIGINT);
    QCOMPARE(exitCode, 0);
    QVERIFY2(printed.filter(QRegularExpression("^没有可用的音频输出设备，声音无法播放：.+")).size() == 1,
             qPrintable(printed.join('\n')));
  }
};

QTEST_GUILESS_MAIN(CueboardBinaryTest)
#include "CueboardBinaryTest.moc"
