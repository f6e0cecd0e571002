#pragma once
// A D-Bus session bus of the test's own: starts dbus-daemon, points
// DBUS_SESSION_BUS_ADDRESS at it, and stops exactly that process again. Start it
// before anything connects to the session bus (in initMain).
//
// Header-only. Thread-safety: main thread only.

#include <cstdlib>
#include <string>

#include "ReportingDaemon.h"

class PrivateSessionBus {
 public:
  bool start(std::string* error) {
    const std::string address = daemon.start(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=9"}, false);
    if (address.empty()) {
      if (error) *error = "dbus-daemon did not tell its address";
      return false;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return true;
  }

 private:
  ReportingDaemon daemon;
};
