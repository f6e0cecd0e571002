// Runs the built cueboard program itself, as a user would start it, in scratch folders.

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
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

    // Its creation marks the end of start-up; left in place, the signal below could come
    // before the program is ready for it.
    QVERIFY(QDir(home.path() + "/data/cueboard/sound").removeRecursively());
    exitCode = -1;
    QStringList second = runUntilStarted(home, &exitCode);
    QCOMPARE(exitCode, 0);
    for (const QString& line : second) {
      QVERIFY2(!line.startsWith("数据库不存在：") && !line.startsWith("bundleDbPath = "),
               qPrintable(line));
    }
  }

  // A library that is not a database is moved aside, never deleted, and the board
  // starts on the shipped one.
  void aDamagedLibraryIsMovedAsideAndTheBoardStarts() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString folder = home.path() + "/data/cueboard";
    QVERIFY(QDir().mkpath(folder));
    QFile damaged(folder + "/data.sqlite");
    QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write("hours of work, damaged") > 0);
    damaged.close();

    int exitCode = -1;
    const QStringList printed = runUntilStarted(home, &exitCode);
    QCOMPARE(exitCode, 0);
    const QStringList aside = QDir(folder).entryList({"data.sqlite.damaged-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(folder + "/" + aside[0]);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("hours of work, damaged"));
    QVERIFY2(std::any_of(printed.begin(), printed.end(),
                         [&](const QString& line) {
                           return line.startsWith("音效库已损坏") && line.contains(aside[0]);
                         }),
             qPrintable(printed.join('\n')));
    QVERIFY(QFileInfo(folder + "/data.sqlite").size() > 0);
  }

  // Turned on in the settings, the HTTP and WebSocket API listens once the board is up
  // (it starts after the window shows), on the loopback address.
  void theRemoteApiListensWhenTurnedOn() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    quint16 port = 0;
    {
      QTcpServer probe;
      QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
      port = probe.serverPort();
    }
    QVERIFY(QDir().mkpath(home.path() + "/config/cueboard"));
    QFile settings(home.path() + "/config/cueboard/cueboard.conf");
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write(QString("[General]\nremoteControl=1\nremotePort=%1\n").arg(port).toUtf8());
    settings.close();

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("SDL_AUDIODRIVER", "dummy");
    program.setProcessEnvironment(env);
    program.start(CUEBOARD_BINARY, {});
    QVERIFY(program.waitForStarted(10000));
    bool answered = false;
    QDeadlineTimer deadline(20000);
    while (!answered && !deadline.hasExpired()) {
      QTcpSocket client;
      client.connectToHost(QHostAddress::LocalHost, port);
      answered = client.waitForConnected(200);
      if (!answered) QTest::qWait(100);
    }
    ::kill(program.processId(), SIGTERM);
    QVERIFY(program.waitForFinished(10000));
    QVERIFY2(answered, qPrintable(QString::fromUtf8(program.readAllStandardOutput())));
    QCOMPARE(program.exitCode(), 0);
    QSettings stored(settings.fileName(), QSettings::IniFormat);
    QCOMPARE(stored.value("remoteToken").toString().size(), 32);
  }

  void withoutASoundDeviceItStillStartsAndSaysSo() {
    QTemporaryDir home;
    QVERIFY(home.isValid());
    int exitCode = -1;
    const QStringList printed = runUntilStarted(home, &exitCode, "cueboard-no-such-driver", SIGINT);
    QCOMPARE(exitCode, 0);
    QVERIFY2(
        printed.filter(QRegularExpression("^没有可用的音频输出设备，声音无法播放：.+")).size() == 1,
        qPrintable(printed.join('\n')));
  }

  // What the desktop shows: on a 1024x576 screen (an X server of that size, with no
  // window manager to move or shrink anything) the first start's window lies on the
  // screen, and its title names the program once, with the no-device mark when there
  // is no sound.
  void onASmallScreenTheWindowFitsAndNamesTheProgramOnce_data() {
    QTest::addColumn<QString>("audioDriver");
    QTest::addColumn<QString>("title");
    QTest::newRow("sound") << "dummy"
                           << "音效板 — Cueboard";
    QTest::newRow("no sound") << "cueboard-no-such-driver"
                              << "音效板（没有音频输出设备） — Cueboard";
  }
  void onASmallScreenTheWindowFitsAndNamesTheProgramOnce() {
    QFETCH(QString, audioDriver);
    QFETCH(QString, title);
    const QString xvfb = QStandardPaths::findExecutable("Xvfb");
    const QString xwininfo = QStandardPaths::findExecutable("xwininfo");
    if (xvfb.isEmpty() || xwininfo.isEmpty())
      QSKIP("needs Xvfb and xwininfo (packages xvfb and x11-utils; scripts/install-deps)");
    QTemporaryDir home;
    QVERIFY(home.isValid());

    QProcess server;
    server.start(
        xvfb, {"-displayfd", "1", "-screen", "0", "1024x576x24", "-nolisten", "tcp", "-noreset"});
    QVERIFY(server.waitForStarted(10000));
    QDeadlineTimer serverDeadline(20000);
    while (!server.canReadLine() && !serverDeadline.hasExpired()) server.waitForReadyRead(100);
    const QString display = ":" + QString::fromLatin1(server.readLine()).trimmed();
    QVERIFY2(display.size() > 1, "the X server gave no display number");

    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", home.path() + "/config");
    env.insert("XDG_DATA_HOME", home.path() + "/data");
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("DISPLAY", display);
    env.insert("SDL_AUDIODRIVER", audioDriver);
    // Under AddressSanitizer: libxkbcommon-x11 gives strndup() a bound past the end of
    // its NUL-terminated buffer, which is valid C but fails the strict string checks.
    if (env.contains("ASAN_OPTIONS"))
      env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":strict_string_checks=0");
    program.setProcessEnvironment(env);
    program.start(CUEBOARD_BINARY, {});
    QVERIFY(program.waitForStarted(10000));

    // A shown window's line: 0x... "name": ("cueboard" "cueboard")  WxH+X+Y  +X+Y
    const QRegularExpression boardWindow(
        R"RE("([^"]*音效板[^"]*)": \("cueboard" "cueboard"\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+))RE");
    QRegularExpressionMatch found;
    QDeadlineTimer deadline(30000);
    // The sound device opens just after the window shows: the title settles then.
    while ((!found.hasMatch() || found.captured(1) != title) && !deadline.hasExpired()) {
      QProcess query;
      query.setProcessEnvironment(env);
      query.start(xwininfo, {"-root", "-tree"});
      query.waitForFinished(10000);
      found = boardWindow.match(QString::fromUtf8(query.readAllStandardOutput()));
      if (!found.hasMatch()) QTest::qWait(100);
    }
    program.terminate();
    const bool ended = program.waitForFinished(10000);
    server.terminate();
    server.waitForFinished(10000);
    QVERIFY2(found.hasMatch(), qPrintable("no board window: " + program.readAllStandardError()));
    QVERIFY(ended);

    QCOMPARE(found.captured(1), title);
    const QRect window(found.captured(4).toInt(), found.captured(5).toInt(),
                       found.captured(2).toInt(), found.captured(3).toInt());
    QVERIFY2(QRect(0, 0, 1024, 576).contains(window), qPrintable(QString("window at %1,%2 %3x%4")
                                                                     .arg(window.x())
                                                                     .arg(window.y())
                                                                     .arg(window.width())
                                                                     .arg(window.height())));
  }
};

QTEST_GUILESS_MAIN(CueboardBinaryTest)
#include "CueboardBinaryTest.moc"
