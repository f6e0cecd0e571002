#pragma once
// A D-Bus session bus of the test's own: starts dbus-daemon, points
// DBUS_SESSION_BUS_ADDRESS at it, and stops exactly that process again. Start it
// before anything connects to the session bus (in initMain).
//
// Header-only. Thread-safety: main thread only.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class PrivateSessionBus {
 public:
  bool start(std::string* error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(error, "pipe");
    const pid_t child = ::fork();
    if (child < 0) return fail(error, "fork");
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
      ::dup2(fds[1], 9);                   // without close-on-exec
      ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
               "--print-address=9", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    pid = child;
    ::close(fds[1]);
    std::string address;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 60000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') address += c;
    ::close(fds[0]);
    if (address.empty()) return fail(error, "dbus-daemon did not tell its address");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    return true;
  }

  ~PrivateSessionBus() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }

 private:
  static bool fail(std::string* error, const char* what) {
    if (error) *error = what;
    return false;
  }
  pid_t pid = -1;
};
