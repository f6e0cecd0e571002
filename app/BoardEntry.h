#pragma once
// The entry point of the board's module (cueboard-board.so), which the `cueboard`
// program loads when it is started without a command: it runs the board (or hands over
// to the board already running) and returns the program's exit code. `minimized`:
// start hidden in the tray.

#define CUEBOARD_BOARD_ENTRY __attribute__((visibility("default")))

inline constexpr const char* kBoardEntryName = "cueboardBoardMain";
using BoardEntry = int (*)(int argc, char* argv[], bool minimized);

extern "C" CUEBOARD_BOARD_ENTRY int cueboardBoardMain(int argc, char* argv[], bool minimized);
