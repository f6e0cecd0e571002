#pragma once
// AppDelegate: the application's delegate. It keeps no state; closing the board's
// window ends the program.
//
// Thread-safety: main thread only.

class AppDelegate {
 public:
  void applicationDidFinishLaunching() {}
  void applicationWillTerminate() {}
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
};
