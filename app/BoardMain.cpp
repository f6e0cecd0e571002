// The board's own start: the window, the sound device, the single-instance socket,
// the remote API and the tray. Built as a module of its own that `cueboard` loads only
// when it is to be the board (or to hand over to a running one), so that a command
// such as `cueboard play 3` starts without loading any of this.

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTextStream>
#include <QTimer>
#include <csignal>
#include <functional>
#include <optional>
#include <string>

#include "app/AppDelegate.h"
#include "app/BoardEntry.h"
#include "board/Board.h"
#include "board/ViewController.h"
#include "library/DBHelper.h"
#include "library/LibraryGuard.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "platform/QtTranslations.h"
#include "remote/CommandLine.h"
#include "remote/ControlClient.h"
#include "remote/ControlServer.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteControlDialog.h"
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

// Runs `then` once, when the event loop is back after `window` was first painted; at
// once (from the event loop) when the window is hidden, and after a while at the latest.
class AfterFirstPaint : public QObject {
 public:
  AfterFirstPaint(QWidget& window, std::function<void()> then)
      : window(window), then(std::move(then)) {
    window.installEventFilter(this);
    QTimer::singleShot(window.isVisible() ? 3000 : 0, this, [this] { run(); });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == &window && event->type() == QEvent::Paint) {
      window.removeEventFilter(this);
      QTimer::singleShot(0, this, [this] { run(); });
    }
    return false;
  }

 private:
  void run() {
    if (done) return;
    done = true;
    window.removeEventFilter(this);
    then();
  }

  QWidget& window;
  std::function<void()> then;
  bool done = false;
};

void bringToFront(QWidget& window) {
  window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace

extern "C" CUEBOARD_BOARD_ENTRY int cueboardBoardMain(int argc, char* argv[], bool minimized) {
  // One board at a time: a second launch hands over to the first.
  ControlServer control;
  QString controlProblem;
  ControlServer::Claim claim = ControlServer::Claim::Failed;
  for (int attempt = 0; attempt < 3; ++attempt) {
    claim = control.claim(&controlProblem);
    if (claim != ControlServer::Claim::AlreadyRunning) break;
    if (const auto code = handOverToRunningBoard(argc, argv, minimized)) return *code;
  }

  QApplication app(argc, argv);
  nameTheProgram();
  QApplication::setApplicationDisplayName("Cueboard");
  QApplication::setDesktopFileName("cueboard");
  // Fusion draws button titles in their palette colours, which mark the current category.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  installQtTranslations(app);

  AppDelegate delegate;
  QApplication::setQuitOnLastWindowClosed(
      delegate.applicationShouldTerminateAfterLastWindowClosed());
  quitCleanlyOnSignals(app);

  // The device opens once the window is on the screen (opening it takes a while); a
  // click that comes first opens it itself.
  AudioDevice::openLater();

  // A damaged library is moved aside before anything reads it; the board starts on the
  // shipped one and the host is asked below.
  const LibraryGuard::StartupReport libraryReport = libraryGuard().prepareLibrary();

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
    window.addClassMenuItem(RemoteControlDialog::kMenuTitle, [&remoteControl, &window] {
      auto* dialog = new RemoteControlDialog(remoteControl, &window);
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      dialog->open();
    });
    TrayIcon tray(board, window);
    tray.showWindow(minimized);
    // The sound device, then the HTTP and WebSocket API, once the window is on the
    // screen: the host waits for the window, not for a device or a port.
    AfterFirstPaint startTheRest(window, [&remoteControl] {
      std::string audioError;
      if (!AudioDevice::open(&audioError)) {
        consolePrint("没有可用的音频输出设备，声音无法播放：" + audioError);
      }
      remoteControl.apply();
      if (!remoteControl.problem().isEmpty()) {
        consolePrint("远程控制不可用：" + remoteControl.problem().toStdString());
      }
    });
    delegate.applicationDidFinishLaunching();
    if (!libraryReport.damagedPath.empty()) {
      QTimer::singleShot(0, &window, [&] {
        if (libraryGuard().offerRecovery(libraryReport, *board.database(), &window)) board.reload();
      });
    }
    status = QApplication::exec();
    delegate.applicationWillTerminate();
    control.close();
  }
  AudioDevice::close();
  return status;
}
