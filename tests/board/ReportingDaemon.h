#pragma once
// A helper process a test starts for itself (a private X server, a private D-Bus
// daemon) that says where it can be reached by writing one line to its file
// descriptor 9 once it is ready. The process dies with the test and is stopped by the
// destructor, so exactly what the test started is stopped again.
//
// Header-only. Thread-safety: main thread only.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

class ReportingDaemon {
 public:
  ReportingDaemon() = default;
  ReportingDaemon(const ReportingDaemon&) = delete;
  ReportingDaemon& operator=(const ReportingDaemon&) = delete;
  ~ReportingDaemon() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    // Three seconds to end, then it is killed.
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(pid, nullptr, WNOHANG) != 0) return;
      ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }

  // Runs `arguments` (the program first, found on PATH) and returns the line it wrote
  // to descriptor 9, "" when it wrote none within a minute. `quiet` sends its own
  // output to /dev/null.
  std::string start(const std::vector<std::string>& arguments, bool quiet) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::string();
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
      ::close(fds[0]);
      ::close(fds[1]);
      return std::string();
    }
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
      ::dup2(fds[1], 9);                   // without close-on-exec
      if (quiet) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    pid = child;
    ::close(fds[1]);
    std::string line;
    pollfd ready{fds[0], POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 60000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(fds[0]);
    return line;
  }

 private:
  pid_t pid = -1;
};
