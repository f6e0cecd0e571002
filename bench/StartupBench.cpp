// How soon the board is on the screen after it is started, against a bare Qt window
// with the same controls (BareBoardWindow: board.ui shown with nothing behind it),
// started the same way, in turns, in the same run.
//
// Both programs run on an X server of this program's own (Xvfb, black root, no window
// manager), which reports to it, as a window manager would be told, when a window is
// mapped. Times run from the moment the program is spawned:
//   mapped:  the server maps the program's top-level window;
//   painted: the window's first drawing has reached the screen (sampled points of the
//            window are no longer the black the server leaves under an undrawn window).
// The board starts as a host's second evening does: its library already in its data
// folder (a first start copying the shipped one is left out), on SDL's dummy driver.
//
// Goal: the board's median time to painted within 1.2x the bare window's.
// Time is the board's median to painted; the counters give both programs' medians and
// the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Percentile.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTrials = 15;
constexpr double kGoalRatio = 1.2;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A child process started with `arguments` and `environment`; 0 when it could not be.
pid_t spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
            const posix_spawn_file_actions_t* actions = nullptr) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& variable : environment)
    envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), envp.data()) != 0) return 0;
  return pid;
}

void endProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// The benchmark's own X server, and a connection to it that watches its root window.
class XServer {
 public:
  XServer() = default;
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;
  ~XServer() {
    if (connection) xcb_disconnect(connection);
    endProcess(server);
  }

  bool start(std::string* why) {
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return fail(why, "no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
    server = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                    "-noreset", "-br"},
                   environmentWithout("DISPLAY"), &actions);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (server == 0) {
      ::close(pipe[0]);
      return fail(why, "cannot start Xvfb (package xvfb; scripts/install-deps)");
    }
    std::string number;
    char c = 0;
    pollfd ready{pipe[0], POLLIN, 0};
    while (::poll(&ready, 1, 20000) > 0 && ::read(pipe[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(pipe[0]);
    if (number.empty()) return fail(why, "Xvfb gave no display number within 20 s");
    display = ":" + number;
    connection = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection)) return fail(why, "cannot connect to " + display);
    root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const std::uint32_t events = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &events);
    xcb_flush(connection);
    return true;
  }

  const std::string& name() const { return display; }

  // Forgets what the server reported so far.
  void drain() {
    xcb_flush(connection);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) std::free(event);
  }

  // The next top-level window of at least board size that is mapped; none after 20 s.
  std::optional<xcb_window_t> waitForMappedWindow() {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      xcb_generic_event_t* event = xcb_poll_for_event(connection);
      if (!event) {
        pollfd ready{xcb_get_file_descriptor(connection), POLLIN, 0};
        ::poll(&ready, 1, 100);
        continue;
      }
      std::optional<xcb_window_t> mapped;
      if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
        const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
        if (!map->override_redirect && isLarge(map->window)) mapped = map->window;
      }
      std::free(event);
      if (mapped) return mapped;
    }
    return std::nullopt;
  }

  // True once the window's drawing is on the screen: any of a grid of points inside it
  // is no longer black. False after 20 s.
  bool waitForPainted(xcb_window_t window) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    if (!geometry) return false;
    const int width = geometry->width;
    const int height = geometry->height;
    std::free(geometry);
    while (Clock::now() < deadline) {
      std::array<xcb_get_image_cookie_t, 9> asked{};
      for (std::size_t i = 0; i < asked.size(); ++i) {
        const auto x = static_cast<std::int16_t>(width * static_cast<int>(1 + i % 3) / 4);
        const auto y = static_cast<std::int16_t>(height * static_cast<int>(1 + i / 3) / 4);
        asked[i] = xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, window, x, y, 1, 1, ~0u);
      }
      bool drawn = false;
      for (const xcb_get_image_cookie_t& cookie : asked) {
        xcb_get_image_reply_t* image = xcb_get_image_reply(connection, cookie, nullptr);
        if (!image) return false;  // the window went
        std::uint32_t pixel = 0;
        std::memcpy(&pixel, xcb_get_image_data(image),
                    std::min<std::size_t>(sizeof pixel, xcb_get_image_data_length(image)));
        drawn = drawn || (pixel & 0xffffffu) != 0;
        std::free(image);
      }
      if (drawn) return true;
      ::usleep(1000);
    }
    return false;
  }

 private:
  static bool fail(std::string* why, const std::string& what) {
    *why = what;
    return false;
  }

  static std::vector<std::string> environmentWithout(const char* name) {
    std::vector<std::string> result;
    const std::string prefix = std::string(name) + "=";
    for (char** variable = environ; *variable; ++variable) {
      if (std::strncmp(*variable, prefix.c_str(), prefix.size()) != 0)
        result.emplace_back(*variable);
    }
    return result;
  }

  bool isLarge(xcb_window_t window) {
    xcb_get_geometry_reply_t* geometry =
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr);
    const bool large = geometry && geometry->width >= 400 && geometry->height >= 300;
    std::free(geometry);
    return large;
  }

  pid_t server = 0;
  std::string display;
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
};

struct Start {
  double mappedMs = 0.0;
  double paintedMs = 0.0;
};

// Starts `program` on `x` with `environment`, times it to mapped and painted, and ends it.
std::optional<Start> timeStart(XServer& x, const std::string& program,
                               const std::vector<std::string>& environment, std::string* why) {
  x.drain();
  const auto spawned = Clock::now();
  const pid_t pid = spawn({program}, environment);
  if (pid == 0) {
    *why = "cannot start " + program;
    return std::nullopt;
  }
  Start start;
  const std::optional<xcb_window_t> window = x.waitForMappedWindow();
  if (window) start.mappedMs = msSince(spawned);
  const bool painted = window && x.waitForPainted(*window);
  if (painted) start.paintedMs = msSince(spawned);
  endProcess(pid);
  if (!painted) {
    *why = program + (window ? " mapped a window that was never drawn" : " mapped no window");
    return std::nullopt;
  }
  return start;
}

// A folder for the board's settings, library and sockets, removed afterwards.
struct BoardHome {
  BoardHome() {
    char pattern[] = "/tmp/cueboard-startup-XXXXXX";
    if (::mkdtemp(pattern)) path = pattern;
  }
  ~BoardHome() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

std::vector<std::string> programEnvironment(const XServer& x, const BoardHome& home) {
  const auto isReplaced = [](const std::string& entry) {
    for (const char* name :
         {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=", "SDL_AUDIODRIVER=",
          "XDG_CONFIG_HOME=", "XDG_DATA_HOME=", "XDG_CACHE_HOME=", "XDG_RUNTIME_DIR="}) {
      if (entry.rfind(name, 0) == 0) return true;
    }
    return false;
  };
  std::vector<std::string> result;
  for (char** variable = environ; *variable; ++variable) {
    if (!isReplaced(*variable)) result.emplace_back(*variable);
  }
  result.push_back("DISPLAY=" + x.name());
  result.push_back("QT_QPA_PLATFORM=xcb");
  result.push_back("SDL_AUDIODRIVER=dummy");
  result.push_back("XDG_CONFIG_HOME=" + home.path + "/config");
  result.push_back("XDG_DATA_HOME=" + home.path + "/data");
  result.push_back("XDG_CACHE_HOME=" + home.path + "/cache");
  result.push_back("XDG_RUNTIME_DIR=" + home.path);
  return result;
}

double median(const std::vector<double>& values) { return percentile(values, 0.5); }

void StartupAgainstBareWindow(benchmark::State& state) {
  XServer x;
  std::string why;
  if (!x.start(&why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  BoardHome home;
  if (home.path.empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::vector<std::string> environment = programEnvironment(x, home);
  const std::string board = CUEBOARD_BINARY;
  const std::string bare = BARE_WINDOW_BINARY;

  for (auto _ : state) {
    // The first starts lay out the library and warm the file cache; not counted.
    for (const std::string* program : {&board, &bare, &board, &bare}) {
      if (!timeStart(x, *program, environment, &why)) {
        state.SkipWithError(why.c_str());
        return;
      }
    }
    std::vector<double> boardMapped, boardPainted, bareMapped, barePainted;
    for (int trial = 0; trial < kTrials; ++trial) {
      // In turns, each first every other time, so that neither always follows the other.
      const bool boardFirst = trial % 2 == 0;
      for (int turn = 0; turn < 2; ++turn) {
        const bool isBoard = (turn == 0) == boardFirst;
        const std::optional<Start> start = timeStart(x, isBoard ? board : bare, environment, &why);
        if (!start) {
          state.SkipWithError(why.c_str());
          return;
        }
        (isBoard ? boardMapped : bareMapped).push_back(start->mappedMs);
        (isBoard ? boardPainted : barePainted).push_back(start->paintedMs);
      }
    }
    state.SetIterationTime(median(boardPainted) / 1000.0);
    state.counters["board_mapped_ms"] = median(boardMapped);
    state.counters["bare_mapped_ms"] = median(bareMapped);
    state.counters["board_painted_ms"] = median(boardPainted);
    state.counters["bare_painted_ms"] = median(barePainted);
    state.counters["board_painted_p95_ms"] = percentile(boardPainted, 0.95);
    state.counters["bare_painted_p95_ms"] = percentile(barePainted, 0.95);
    state.counters["ratio_mapped"] = median(boardMapped) / median(bareMapped);
    state.counters["ratio_painted"] = median(boardPainted) / median(barePainted);
    state.counters["goal_ratio"] = kGoalRatio;
  }
}

}  // namespace

BENCHMARK(StartupAgainstBareWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
