// The `cueboard` command line: its arguments, and the built program run as a host runs
// it, against a board in this test process (or none).

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <vector>

#include "RemoteFixture.h"
#include "remote/CommandLine.h"
#include "remote/ControlServer.h"

namespace {

struct Run {
  int exitCode = -1;
  QString out;
  QString err;
};

// Runs the program to its end while this process's event loop serves the board.
//
// Started with fork() rather than QProcess: Qt starts a child with vfork semantics, so
// until its exec the child runs in this process's memory, and under ThreadSanitizer its
// dup and close calls rewrite the sanitizer's records of this process's file
// descriptors. The decoder thread's next read of a sound file here is then reported as
// a race with a write that never happened in this process.
Run runCueboard(const QStringList& arguments, const QProcessEnvironment& env) {
  std::vector<QByteArray> argumentBytes{QByteArray(CUEBOARD_BINARY)};
  for (const QString& argument : arguments) argumentBytes.push_back(argument.toLocal8Bit());
  std::vector<QByteArray> environmentBytes;
  for (const QString& entry : env.toStringList()) environmentBytes.push_back(entry.toLocal8Bit());
  std::vector<char*> argv;
  for (QByteArray& bytes : argumentBytes) argv.push_back(bytes.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (QByteArray& bytes : environmentBytes) envp.push_back(bytes.data());
  envp.push_back(nullptr);

  Run run;
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC | O_NONBLOCK) != 0) return run;
  if (::pipe2(err, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return run;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  QByteArray outBytes;
  QByteArray errBytes;
  auto drain = [](int fd, QByteArray& into) {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) into.append(buffer, got);
  };
  int status = 0;
  bool ended = child < 0;
  QDeadlineTimer deadline(20000);
  while (!ended && !deadline.hasExpired()) {
    QTest::qWait(5);
    drain(out[0], outBytes);
    drain(err[0], errBytes);
    ended = ::waitpid(child, &status, WNOHANG) == child;
  }
  if (!ended) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  } else if (child > 0) {
    drain(out[0], outBytes);
    drain(err[0], errBytes);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = QString::fromUtf8(outBytes);
    run.err = QString::fromUtf8(errBytes);
  }
  ::close(out[0]);
  ::close(err[0]);
  return run;
}

QString compact(const QJsonObject& object) {
  return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

}  // namespace

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  void argumentsBecomeRequestsOrClearErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("request");  // compact JSON, keys sorted; or the error
    using K = CommandLine::Kind;
    QTest::newRow("no command") << QStringList{} << int(K::Board) << "{}";
    QTest::newRow("help") << QStringList{"--help"} << int(K::Help) << "{}";
    QTest::newRow("-h") << QStringList{"-h"} << int(K::Help) << "{}";
    QTest::newRow("version") << QStringList{"--version"} << int(K::Version) << "{}";
    QTest::newRow("play N") << QStringList{"play", "7"} << int(K::Command)
                            << R"({"button":7,"op":"play"})";
    QTest::newRow("play C N") << QStringList{"play", "2", "17"} << int(K::Command)
                              << R"({"button":17,"category":2,"op":"play"})";
    QTest::newRow("stop") << QStringList{"stop"} << int(K::Command) << R"({"op":"stop"})";
    QTest::newRow("category") << QStringList{"category", "5"} << int(K::Command)
                              << R"({"category":5,"op":"category"})";
    QTest::newRow("volume 0") << QStringList{"volume", "0"} << int(K::Command)
                              << R"({"op":"volume","volume":0})";
    QTest::newRow("list") << QStringList{"list"} << int(K::Command) << R"({"op":"sounds"})";
    QTest::newRow("list C") << QStringList{"list", "4"} << int(K::Command)
                            << R"({"category":4,"op":"sounds"})";
    QTest::newRow("status --json")
        << QStringList{"status", "--json"} << int(K::Command) << R"({"op":"status"})";

    QTest::newRow("button 41") << QStringList{"play", "41"} << int(K::BadArguments)
                               << "button must be a whole number from 1 to 40, not \"41\"";
    QTest::newRow("category 0") << QStringList{"play", "0", "5"} << int(K::BadArguments)
                                << "category must be a whole number from 1 to 5, not \"0\"";
    QTest::newRow("volume 101") << QStringList{"volume", "101"} << int(K::BadArguments)
                                << "volume must be a whole number from 0 to 100, not \"101\"";
    QTest::newRow("text") << QStringList{"play", "one"} << int(K::BadArguments)
                          << "button must be a whole number from 1 to 40, not \"one\"";
    QTest::newRow("fraction") << QStringList{"play", "1.5"} << int(K::BadArguments)
                              << "button must be a whole number from 1 to 40, not \"1.5\"";
    QTest::newRow("no button") << QStringList{"play"} << int(K::BadArguments)
                               << "play needs a button number: cueboard play [C] N";
    QTest::newRow("too many") << QStringList{"play", "1", "2", "3"} << int(K::BadArguments)
                              << "too many arguments for \"play\"; see cueboard --help";
    QTest::newRow("unknown") << QStringList{"fly"} << int(K::BadArguments)
                             << "unknown command \"fly\"; see cueboard --help";
    QTest::newRow("json with play") << QStringList{"play", "1", "--json"} << int(K::BadArguments)
                                    << "--json goes with status or list, not with \"play\"";
    QTest::newRow("unknown option")
        << QStringList{"--loud"} << int(K::BadArguments) << "Unknown option 'loud'.";
  }
  void argumentsBecomeRequestsOrClearErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(int, kind);
    QFETCH(QString, request);
    const CommandLine line = CommandLine::parse(QStringList{"cueboard"} + arguments);
    QCOMPARE(int(line.kind), kind);
    if (line.kind == CommandLine::Kind::BadArguments) {
      QCOMPARE(line.error, request);
    } else {
      QCOMPARE(compact(line.request), request);
    }
  }

  // Every command against a running board: what it prints, its exit code and what the
  // board does.
  void commandsDriveTheRunningBoard_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<int>("playingCategory");  // after the command; 0: nothing plays
    QTest::addColumn<int>("playingButton");
    QTest::newRow("play N") << QStringList{"play", "3"} << 0 << "" << 1 << 3;
    QTest::newRow("play C N") << QStringList{"play", "2", "17"} << 0 << "" << 2 << 17;
    QTest::newRow("play the one playing stops it") << QStringList{"play", "1"} << 0 << "" << 0 << 0;
    QTest::newRow("stop") << QStringList{"stop"} << 0 << "" << 0 << 0;
    QTest::newRow("list") << QStringList{"list"} << 0 << "1\t十秒\t\n2\t缺文件\t\n3\t另一个\t\n"
                          << 1 << 1;
    QTest::newRow("list C") << QStringList{"list", "2"} << 0 << "17\t掌声\tQ\n" << 1 << 1;
    QTest::newRow("list of an empty category") << QStringList{"list", "5"} << 0 << "" << 1 << 1;
    QTest::newRow("status") << QStringList{"status"} << 0
                            << "category: 1\nplaying: 1 1 十秒 (0.0 s of 10.0 s)\nvolume: 85\n"
                               "loop: off\nhotkeys: none\n"
                            << 1 << 1;
    QTest::newRow("status --json")
        << QStringList{"status", "--json"} << 0
        << "{\"category\":1,\"hotkeyMode\":0,\"loop\":false,\"playing\":{\"button\":1,"
           "\"category\":1,\"duration\":10,\"position\":0,\"title\":\"十秒\"},\"volume\":85}\n"
        << 1 << 1;
    QTest::newRow("empty button") << QStringList{"play", "30"} << 3 << "" << 1 << 1;
    QTest::newRow("bad argument") << QStringList{"play", "41"} << 2 << "" << 1 << 1;
  }
  void commandsDriveTheRunningBoard() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(int, playingCategory);
    QFETCH(int, playingButton);
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY2(server.listen(world.handler.get(), &why), qPrintable(why));
    QVERIFY(world.board->play(1, 1));

    const Run run = runCueboard(arguments, world.environment());
    QCOMPARE(run.exitCode, exitCode);
    if (arguments == QStringList{"status", "--json"}) {
      // The position moves on while the command runs, and the file's length is the
      // encoder's: compare those within reason and the rest exactly.
      QJsonObject status = QJsonDocument::fromJson(run.out.toUtf8()).object();
      QJsonObject playing = status.value("playing").toObject();
      QVERIFY(playing.value("position").toDouble() < 5.0);
      QVERIFY(qAbs(playing.value("duration").toDouble() - 10.0) < 0.2);
      playing.insert("position", 0);
      playing.insert("duration", 10);
      status.insert("playing", playing);
      QCOMPARE(compact(status) + "\n", out);
    } else {
      QString printed = run.out;
      printed.replace(QRegularExpression(R"(\(\d\.\d s of 10\.\d s\))"), "(0.0 s of 10.0 s)");
      QCOMPARE(printed, out);
    }
    QCOMPARE(world.board->isPlaying() ? world.board->playingCategory() : 0, playingCategory);
    QCOMPARE(world.board->isPlaying() ? world.board->playingButton() : 0, playingButton);
    QCOMPARE(run.err.isEmpty(), exitCode == 0);
  }

  void categoryAndVolumeChangeTheBoard() {
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    QCOMPARE(runCueboard({"category", "2"}, world.environment()).exitCode, 0);
    QCOMPARE(world.board->currentCategory(), 2);
    QCOMPARE(runCueboard({"volume", "40"}, world.environment()).exitCode, 0);
    QCOMPARE(world.board->volume(), 40);
    // `play N` plays from the category shown.
    QCOMPARE(runCueboard({"play", "17"}, world.environment()).exitCode, 0);
    QCOMPARE(world.board->playingCategory(), 2);
    QCOMPARE(world.board->playingButton(), 17);
  }

  void whatTheBoardCannotDoEndsWithItsReason_data() {
    QTest::addColumn<int>("button");
    QTest::newRow("empty button") << 30;
    QTest::newRow("missing file") << 2;
  }
  void whatTheBoardCannotDoEndsWithItsReason() {
    QFETCH(int, button);
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    const Run run = runCueboard({"play", QString::number(button)}, world.environment());
    QCOMPARE(run.exitCode, 3);
    QString reason;
    QVERIFY(!world.board->play(1, button, &reason));
    QVERIFY(!reason.isEmpty());
    QCOMPARE(run.err, "cueboard: " + reason + "\n");
  }

  void withoutABoardItSaysSo() {
    RemoteFixture world;
    const Run run = runCueboard({"play", "1"}, world.environment());
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.err, QString("Cueboard is not running\n"));
    QCOMPARE(run.out, QString());
    // Bad arguments are bad whether or not a board runs.
    const Run bad = runCueboard({"volume", "101"}, world.environment());
    QCOMPARE(bad.exitCode, 2);
    QCOMPARE(bad.err,
             QString("cueboard: volume must be a whole number from 0 to 100, not \"101\"\n"));
  }

  void helpListsTheCommands() {
    RemoteFixture world;
    const Run run = runCueboard({"--help"}, world.environment());
    QCOMPARE(run.exitCode, 0);
    for (const char* command : {"play [C] N", "stop", "category C", "volume V", "list [C]",
                                "status [--json]", "--minimized", "--version"}) {
      QVERIFY2(run.out.contains(command), command);
    }
    const Run version = runCueboard({"--version"}, world.environment());
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.out.startsWith("cueboard "));
  }

  void aSecondPlainLaunchBringsTheFirstForward() {
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    QSignalSpy activated(world.handler.get(), &RequestHandler::activateRequested);
    const Run run = runCueboard({}, world.environment());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(activated.count(), 1);
    // Asked to start in the tray, it leaves the window as it is.
    QCOMPARE(runCueboard({"--minimized"}, world.environment()).exitCode, 0);
    QCOMPARE(activated.count(), 1);
  }

  // Two boards started at the same moment, then the survivor killed: one board runs,
  // and after the kill the next launch replaces the dead board's socket.
  void twoLaunchesEndWithOneBoardAndAKilledOneIsReplaced() {
    RemoteFixture world;
    world.board.reset();  // the boards here are the processes'
    QProcess first;
    QProcess second;
    for (QProcess* program : {&first, &second}) program->setProcessEnvironment(world.environment());
    first.start(CUEBOARD_BINARY, {});
    second.start(CUEBOARD_BINARY, {});
    QVERIFY(first.waitForStarted(10000) && second.waitForStarted(10000));
    // One of them hands over to the other and ends with 0.
    QDeadlineTimer deadline(30000);
    while (first.state() == QProcess::Running && second.state() == QProcess::Running &&
           !deadline.hasExpired())
      QTest::qWait(20);
    QProcess& ended = first.state() == QProcess::Running ? second : first;
    QProcess& board = first.state() == QProcess::Running ? first : second;
    QVERIFY2(ended.state() == QProcess::NotRunning, "both are still running");
    QCOMPARE(ended.exitCode(), 0);
    QCOMPARE(board.state(), QProcess::Running);
    QCOMPARE(runCueboard({"status"}, world.environment()).exitCode, 0);

    ::kill(board.processId(), SIGKILL);
    QVERIFY(board.waitForFinished(10000));
    QVERIFY(QFileInfo::exists(ControlServer::socketPath()));
    QCOMPARE(runCueboard({"status"}, world.environment()).exitCode, 1);

    QProcess next;
    next.setProcessEnvironment(world.environment());
    next.start(CUEBOARD_BINARY, {});
    QVERIFY(next.waitForStarted(10000));
    Run status;
    QDeadlineTimer startUp(30000);
    do {
      QTest::qWait(100);
      status = runCueboard({"status"}, world.environment());
    } while (status.exitCode != 0 && !startUp.hasExpired());
    QCOMPARE(status.exitCode, 0);
    QVERIFY(status.out.startsWith("category: "));
    next.terminate();
    QVERIFY(next.waitForFinished(10000));
    QCOMPARE(next.exitCode(), 0);
  }
};

QTEST_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
