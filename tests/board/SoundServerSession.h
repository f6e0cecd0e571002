#pragma once
// A desktop sound server of the test's own: in a private runtime folder, with a
// private D-Bus session bus, either PipeWire (pipewire, wireplumber and pipewire-pulse)
// or plain PulseAudio. Both answer on the PulseAudio socket in that folder, and both
// have two playback devices standing in for a host's hardware: "Test Speakers" (the
// default output) and "Test Headset". The processes started are exactly the ones
// stopped again, the runtime folder's environment is restored, and a server that
// cannot start is reported (the test skips with the reason).
//
// Every wait is bounded: a server, socket or module load that does not answer fails in
// seconds and says what it waited for. The session prints what it starts and when the
// server is ready. StepWatch bounds the steps a test takes through other code (an audio
// driver opening a device) the same way.
//
// Header-only. Thread-safety: main thread only (StepWatch: begin() and end() from one
// thread).

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrivateSessionBus.h"

enum class SoundServerKind { PipeWire, PulseAudio };

// Ends the test program, saying what it waited for, when a step takes longer than it
// may: a stuck sound server or audio driver fails the test in seconds rather than at
// ctest's timeout, with the step named.
class StepWatch {
 public:
  StepWatch() : worker([this] { watch(); }) {}
  ~StepWatch() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      quitting = true;
    }
    changed.notify_all();
    worker.join();
  }
  StepWatch(const StepWatch&) = delete;
  StepWatch& operator=(const StepWatch&) = delete;

  void begin(const std::string& what, std::chrono::seconds limit) {
    std::lock_guard<std::mutex> lock(mutex);
    step = what;
    allowed = limit;
    deadline = std::chrono::steady_clock::now() + limit;
    changed.notify_all();
  }
  void end() {
    std::lock_guard<std::mutex> lock(mutex);
    step.clear();
  }

 private:
  void watch() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!quitting) {
      if (!step.empty() && std::chrono::steady_clock::now() >= deadline) {
        std::fprintf(stderr, "FAIL!  : gave up after %lld s waiting for %s\n",
                     static_cast<long long>(allowed.count()), step.c_str());
        std::fflush(stderr);
        std::fflush(stdout);
        // Where every thread stood, when a debugger is at hand.
        const std::string stacks = "timeout -k 2 30 gdb -p " + std::to_string(::getpid()) +
                                   " -batch -ex 'thread apply all bt' 1>&2 2>/dev/null";
        if (std::system("command -v gdb >/dev/null 2>&1") == 0) std::system(stacks.c_str());
        std::abort();
      }
      changed.wait_for(lock, std::chrono::milliseconds(200));
    }
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::string step;
  std::chrono::seconds allowed{0};
  std::chrono::steady_clock::time_point deadline;
  bool quitting = false;
  std::thread worker;
};

class SoundServerSession {
 public:
  static constexpr const char* kSpeakersSink = "test_speakers";
  static constexpr const char* kSpeakers = "Test Speakers";
  static constexpr const char* kHeadsetSink = "test_headset";
  static constexpr const char* kHeadset = "Test Headset";

  SoundServerSession() = default;
  SoundServerSession(const SoundServerSession&) = delete;
  SoundServerSession& operator=(const SoundServerSession&) = delete;
  ~SoundServerSession() { stop(); }

  // Starts the server; false with `why` when it could not.
  bool start(SoundServerKind kind, std::string* why) {
    if (!folder.isValid()) return fail(why, "no temporary folder");
    remember("XDG_RUNTIME_DIR");
    remember("XDG_STATE_HOME");
    remember("PULSE_SERVER");
    remember("PULSE_CLIENTCONFIG");
    remember("DBUS_SESSION_BUS_ADDRESS");
    const std::string runtime = folder.path().toStdString() + "/run";
    ::mkdir(runtime.c_str(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (folder.path().toStdString() + "/state").c_str(), 1);
    ::unsetenv("PULSE_SERVER");
    // A client never starts a server of its own: the test's is the only one.
    const std::string clientConfig = folder.path().toStdString() + "/client.conf";
    std::ofstream(clientConfig) << "autospawn = no\n";
    ::setenv("PULSE_CLIENTCONFIG", clientConfig.c_str(), 1);
    socketPath = runtime + "/pulse/native";

    const auto started = std::chrono::steady_clock::now();
    if (kind == SoundServerKind::PipeWire) {
      bus = std::make_unique<PrivateSessionBus>();
      std::string busError;
      if (!bus->start(&busError)) return fail(why, busError);
      say("private D-Bus session bus started");
      if (!spawn({"pipewire"})) return fail(why, "pipewire did not start" + logTail());
      if (!waitForFile(runtime + "/pipewire-0")) {
        return fail(why, "pipewire made no socket pipewire-0 within 5 s" + logTail());
      }
      if (!spawn({"wireplumber"}) || !spawn({"pipewire-pulse"})) {
        return fail(why, "wireplumber or pipewire-pulse did not start" + logTail());
      }
    } else {
      if (!spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                  "--log-target=stderr", "-L", "module-native-protocol-unix"})) {
        return fail(why, "pulseaudio did not start");
      }
    }
    if (!waitUntilAnswering()) {
      return fail(why, "nothing answered on " + socketPath + " within 5 s" + logTail());
    }
    say("the server answers on " + socketPath);
    // The host's own outputs; a high priority keeps the speakers the default output.
    if (!loadModule("module-null-sink", std::string("sink_name=") + kSpeakersSink +
                                            " rate=48000 sink_properties='device.description=\"" +
                                            kSpeakers + "\" priority.session=2000'") ||
        !loadModule("module-null-sink", std::string("sink_name=") + kHeadsetSink +
                                            " rate=48000 sink_properties='device.description=\"" +
                                            kHeadset + "\" priority.session=1000'")) {
      return fail(why, "the sound server refused a null sink" + logTail());
    }
    setDefaultSink(kSpeakersSink);
    // Ready once the server reports the speakers as its default output and, on PipeWire,
    // the session manager (which links every stream) is connected.
    std::string defaultSink;
    bool managed = kind != SoundServerKind::PipeWire;
    for (int i = 0; i < 100 && (defaultSink != kSpeakersSink || !managed); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      defaultSink = serverDefault("Sink");
      if (!managed)
        managed = pactl("list short clients").find("\twireplumber") != std::string::npos;
    }
    if (defaultSink != kSpeakersSink) {
      return fail(why, "the server's default output was \"" + defaultSink + "\", not " +
                           kSpeakersSink + ", after 10 s" + logTail());
    }
    if (!managed) return fail(why, "wireplumber did not connect within 10 s" + logTail());
    say("ready after " +
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count()) +
        " ms, with " + kSpeakers + " (the default output) and " + kHeadset);
    return true;
  }

  // Stops what start() started, the last first, and restores the environment.
  void stop() {
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
      ::kill(*it, SIGTERM);
      for (int i = 0; i < 300 && ::waitpid(*it, nullptr, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (::waitpid(*it, nullptr, WNOHANG) == 0) {
        ::kill(*it, SIGKILL);
        ::waitpid(*it, nullptr, 0);
      }
    }
    children.clear();
    bus.reset();
    for (const auto& [name, value] : saved) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
    saved.clear();
  }

  // Runs pactl with these arguments against the server; its standard output. A server
  // that does not answer within kAnswerSeconds gives "" and is named on the output.
  std::string pactl(const std::string& arguments) const {
    const std::string command = timeLimited("pactl " + arguments) + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
      reportTimeout(::pclose(pipe), "pactl " + arguments);
    }
    return out;
  }

  // Loads a module; `arguments` reach the server as written, quotes included.
  bool loadModule(const std::string& name, const std::string& arguments) const {
    std::string quoted = "'";
    for (char c : arguments) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command = "pactl load-module " + name + " " + quoted;
    const int status = std::system((timeLimited(command) + " >/dev/null 2>&1").c_str());
    reportTimeout(status, command);
    return status == 0;
  }

  void setDefaultSink(const std::string& name) const {
    const std::string command = "pactl set-default-sink " + name;
    reportTimeout(std::system((timeLimited(command) + " >/dev/null 2>&1").c_str()), command);
  }

  // The server's default "Sink" or "Source", as it reports it.
  std::string serverDefault(const std::string& what) const {
    std::istringstream lines(pactl("info"));
    std::string line;
    const std::string prefix = "Default " + what + ": ";
    while (std::getline(lines, line)) {
      if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    }
    return std::string();
  }

  // The names of the sinks or sources (`what`: "sinks", "sources", "modules"), one
  // entry a line as `pactl list short` gives them, second column.
  std::vector<std::string> list(const std::string& what) const {
    std::vector<std::string> names;
    std::istringstream lines(pactl("list short " + what));
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string index, name;
      if (fields >> index >> name) names.push_back(name);
    }
    return names;
  }

  std::string runtimeDir() const { return folder.path().toStdString() + "/run"; }

 private:
  static bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
  }

  // How long one pactl command may wait for the server.
  static constexpr int kAnswerSeconds = 10;

  static void say(const std::string& line) {
    std::printf("sound server session: %s\n", line.c_str());
    std::fflush(stdout);
  }

  static std::string timeLimited(const std::string& command) {
    return "timeout -k 2 " + std::to_string(kAnswerSeconds) + " " + command;
  }

  // Names a command that `timeout` ended (its status 124, or 137 when it had to kill).
  static void reportTimeout(int status, const std::string& command) {
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 124 || WEXITSTATUS(status) == 137)) {
      say("no answer within " + std::to_string(kAnswerSeconds) + " s to: " + command);
    }
  }

  void remember(const char* name) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }

  bool spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const std::string log = folder.path().toStdString() + "/server.log";
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the test
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    children.push_back(child);
    // A program that is missing or fails at once has ended by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const bool running = ::waitpid(child, nullptr, WNOHANG) == 0;
    say(arguments.front() +
        (running ? " started, pid " + std::to_string(child) : std::string(" ended at once")));
    return running;
  }

  std::string logTail() const {
    std::ifstream in(folder.path().toStdString() + "/server.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > 600) text = text.substr(text.size() - 600);
    return text.empty() ? std::string() : ": " + text;
  }

  static bool waitForFile(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
      if (::access(path.c_str(), F_OK) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Polls the PulseAudio socket until a client gets an answer (five seconds at most).
  bool waitUntilAnswering() const {
    for (int i = 0; i < 250; ++i) {
      if (::access(socketPath.c_str(), F_OK) == 0 && answers()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  static bool answers() {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "test");
    bool ready = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      for (int i = 0; i < 200; ++i) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) ready = true;
        if (ready || !PA_CONTEXT_IS_GOOD(state)) break;
        pa_mainloop_iterate(loop, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return ready;
  }

  QTemporaryDir folder;
  std::string socketPath;
  std::unique_ptr<PrivateSessionBus> bus;
  std::vector<pid_t> children;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};
