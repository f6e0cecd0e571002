// Cueboard's entry point: starts the board with its window, or, when a board already
// runs, hands the command line over to it.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTextStream>
#include <QTimer>
#include <csignal>
#include <optional>
#include <string>

#include "app/AppDelegate.h"
#include "board/Board.h"
#include "board/ViewController.h"
#include "library/DBHelper.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "remote/CommandLine.h"
#include "remote/ControlClient.h"
#include "remote/ControlServer.h"
#include "remote/RemoteControl.h"
#include "remote/RequestHandler.h"
#include "remote/TrayIcon.h"

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
  const char byte = 1;
  // Only async-signal-safe work here: the event loop does the rest.
  [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the program through its event loop, as closing the window does.
void quitCleanlyOnSignals(QApplication& app) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
    char byte;
    [[maybe_unused]] auto got = ::read(signalPipe[0], &byte, 1);
    app.quit();
  });
  struct sigaction action = {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void nameTheProgram() {
  QCoreApplication::setApplicationName("cueboard");
  QCoreApplication::setApplicationVersion(CUEBOARD_VERSION);
}

QStringList argumentsOf(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

// A board already runs: bring its window to the front (unless asked to start in the
// tray). The exit code, or none when that board has gone in the meantime.
std::optional<int> handOverToRunningBoard(int argc, char* argv[], bool minimized) {
  QCoreApplication app(argc, argv);
  nameTheProgram();
  if (minimized) return 0;
  const ControlReply answer = sendControlRequest(QJsonObject{{"op", "activate"}});
  if (answer.status == ControlReply::Status::NotRunning) return std::nullopt;
  if (answer.status == ControlReply::Status::Failed) {
    QTextStream(stderr) << "cueboard: " << answer.why << '\n';
    return CommandLine::kCouldNotDo;
  }
  return CommandLine::kDone;
}

void bringToFront(QWidget& window) {
  window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace

int main(int argc, char* argv[]) {
  const CommandLine command = CommandLine::parse(argumentsOf(argc, argv));
  if (command.kind != CommandLine::Kind::Board) {
    // A command for the running board: no window, no sound device of our own.
    QCoreApplication app(argc, argv);
    nameTheProgram();
    QTextStream out(stdout);
    QTextStream err(stderr);
    return command.run(out, err);
  }

  // One board at a time: a second launch hands over to the first.
  ControlServer control;
  QString controlProblem;
  ControlServer::Claim claim = ControlServer::Claim::Failed;
  for (int attempt = 0; attempt < 3; ++attempt) {
    claim = control.claim(&controlProblem);
    if (claim != ControlServer::Claim::AlreadyRunning) break;
    if (const auto code = handOverToRunningBoard(argc, argv, command.minimized)) return *code;
  }

  QApplication app(argc, argv);
  nameTheProgram();
  QApplication::setApplicationDisplayName("Cueboard");
  QApplication::setDesktopFileName("cueboard");
  // Fusion draws button titles in their palette colours, which mark the current category.
  QApplication::setStyle(QStyleFactory::create("Fusion"));

  AppDelegate delegate;
  QApplication::setQuitOnLastWindowClosed(
      delegate.applicationShouldTerminateAfterLastWindowClosed());
  quitCleanlyOnSignals(app);

  // The device opens once the window is up (opening it takes a while); a click that
  // comes first opens it itself.
  AudioDevice::openLater();

  int status = 0;
  {
    // The board still works without sound; its title says so until a device opens.
    Board board(dbHelper().db());
    ViewController window(board);

    RequestHandler requests(board);
    QObject::connect(&requests, &RequestHandler::activateRequested, &window,
                     [&window] { bringToFront(window); });
    if (claim == ControlServer::Claim::AlreadyRunning) {
      controlProblem = "another board holds " + ControlServer::lockPath() + " but does not answer";
    }
    if (claim != ControlServer::Claim::Primary || !control.listen(&requests, &controlProblem)) {
      consolePrint("命令行控制不可用：" + controlProblem.toStdString());
    }
    RemoteControl remoteControl(requests);
    remoteControl.apply();
    if (!remoteControl.problem().isEmpty()) {
      consolePrint("远程控制不可用：" + remoteControl.problem().toStdString());
    }
    TrayIcon tray(board, window);
    tray.showWindow(command.minimized);
    QTimer::singleShot(0, &app, [] {
      std::string audioError;
      if (!AudioDevice::open(&audioError)) {
        consolePrint("没有可用的音频输出设备，声音无法播放：" + audioError);
      }
    });
    delegate.applicationDidFinishLaunching();
    status = QApplication::exec();
    delegate.applicationWillTerminate();
    control.close();
  }
  AudioDevice::close();
  return status;
}
