#pragma once
// ControlPaths: where the running board is found: the folder $XDG_RUNTIME_DIR/cueboard
// with the single-instance lock "control.lock" and the control socket "control.sock"
// (see ControlServer.h), and whether some process holds the lock now. Kept apart
// from the server so that the command line's client, which only looks for the board,
// links nothing of it.
//
// Plain functions. Thread-safety: reentrant.

#include <QString>

struct ControlPaths {
  // $XDG_RUNTIME_DIR/cueboard, or /tmp/cueboard-<uid> where XDG_RUNTIME_DIR is unset.
  static QString folderPath();
  static QString socketPath();
  static QString lockPath();
  // Whether some process holds the board's lock now (without taking it).
  static bool boardIsRunning();
};
