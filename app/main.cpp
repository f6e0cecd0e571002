// Cueboard's entry point. With a command (play, stop, ...) it is a small client that
// sends it to the running board over the control socket, on Qt Core alone;
// without one it loads the board's module (the window, the sound, the remote API)
// and runs the board, which hands over to a board already running.

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTextStream>
#include <climits>
#include <cstdio>
#include <string>

#include "app/BoardEntry.h"
#include "remote/CommandLine.h"

namespace {

QStringList argumentsOf(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  return arguments;
}

// The folder this program was started from, with a closing slash; "" when unknown.
std::string programFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  const std::string program(path, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/') + 1);
}

// The board's module: beside the program in the build tree, under the library folder
// once installed.
BoardEntry loadBoard(std::string* why) {
  const std::string folder = programFolder();
  for (const std::string& candidate :
       {folder + CUEBOARD_BOARD_MODULE, folder + CUEBOARD_INSTALLED_BOARD_MODULE}) {
    if (::access(candidate.c_str(), R_OK) != 0) continue;
    void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
      *why = ::dlerror();
      return nullptr;
    }
    if (auto entry = reinterpret_cast<BoardEntry>(::dlsym(module, kBoardEntryName))) return entry;
    *why = candidate + " has no " + kBoardEntryName;
    return nullptr;
  }
  *why = "cannot find " CUEBOARD_BOARD_MODULE " in " + folder + " or " + folder +
         CUEBOARD_INSTALLED_BOARD_MODULE;
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  const CommandLine command = CommandLine::parse(argumentsOf(argc, argv));
  if (command.kind != CommandLine::Kind::Board) {
    // A command for the running board: no window, no sound device of our own, and no
    // application object either (it needs none, and making one takes time).
    QCoreApplication::setApplicationName("cueboard");
    QCoreApplication::setApplicationVersion(CUEBOARD_VERSION);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return command.run(out, err);
  }
  std::string why;
  const BoardEntry board = loadBoard(&why);
  if (board == nullptr) {
    std::fprintf(stderr, "cueboard: cannot load the board: %s\n", why.c_str());
    return CommandLine::kCouldNotDo;
  }
  return board(argc, argv, command.minimized);
}
