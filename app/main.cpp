// Cueboard's entry point: starts the application with its one window, the board.

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <csignal>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "app/AppDelegate.h"
#include "board/Board.h"
#include "board/ViewController.h"
#include "library/DBHelper.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"

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

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("cueboard");
  QApplication::setApplicationDisplayName("Cueboard");
  QApplication::setDesktopFileName("cueboard");
  // Fusion draws button titles in their palette colours, which mark the current category.
  QApplication::setStyle(QStyleFactory::create("Fusion"));

  AppDelegate delegate;
  QApplication::setQuitOnLastWindowClosed(delegate.applicationShouldTerminateAfterLastWindowClosed());
  quitCleanlyOnSignals(app);

  std::string audioError;
  const bool canPlay = AudioDevice::open(&audioError);
  if (!canPlay) consolePrint("没有可用的音频输出设备，声音无法播放：" + audioError);

  int status = 0;
  {
    // The board still works without sound; its title says so until a device opens.
    Board board(dbHelper().db());
    ViewController window(board);
    window.show();
    delegate.applicationDidFinishLaunching();
    status = QApplication::exec();
    delegate.applicationWillTerminate();
  }
  AudioDevice::close();
  return status;
}
