#pragma once
// A desktop sound server of the test's own: in a private runtime folder, with a
// private D-Bus session bus, either PipeWire (pipewire, wireplumber and pipewire-pulse)
// or plain PulseAudio. Both answer on the PulseAudio socket in that folder, and both
// have two playback devices standing in for a host's hardware: "Test Speakers" (the
// default output) and "Test Headset". The processes started are exactly the ones
// stopped again, the runtime folder's environment is restored, and a server that
// cannot start is reported (the test skips with the reason).
//
// Header-only. Thread-safety: main thread only.

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PrivateSessionBus.h"

enum class SoundServerKind { PipeWire, PulseAudio };

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

    if (kind == SoundServerKind::PipeWire) {
      bus = std::make_unique<PrivateSessionBus>();
      std::string busError;
      if (!bus->start(&busError)) return fail(why, busError);
      if (!spawn({"pipewire"}) || !waitForFile(runtime + "/pipewire-0")) {
        return fail(why, "pipewire did not start" + logTail());
      }
      if (!spawn({"wireplumber"}) || !spawn({"pipewire-pulse"})) {
        return fail(why, "wireplumber or pipewire-pulse did not start" + logTail());
      }
    } else {
      if (!spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                  "--use-pid-file=no", "--log-target=stderr", "-L",
                  "module-native-protocol-unix"})) {
        return fail(why, "pulseaudio did not start");
      }
    }
    if (!waitUntilAnswering()) return fail(why, "the sound server did not answer" + logTail());
    // The host's own outputs; a high priority keeps the speakers the default output.
    if (!loadModule("module-null-sink",
                    std::string("sink_name=") + kSpeakersSink +
                        " rate=48000 sink_properties='device.description=\"" + kSpeakers +
                        "\" priority.session=2000'") ||
        !loadModule("module-null-sink",
                    std::string("sink_name=") + kHeadsetSink +
                        " rate=48000 sink_properties='device.description=\"" + kHeadset +
                        "\" priority.session=1000'")) {
      return fail(why, "the sound server refused a null sink" + logTail());
    }
    setDefaultSink(kSpeakersSink);
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

  // Runs pactl with these arguments against the server; its standard output.
  std::string pactl(const std::string& arguments) const {
    const std::string command = "pactl " + arguments + " 2>/dev/null";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
      char buffer[4096];
      size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
      ::pclose(pipe);
    }
    return out;
  }

  // Loads a module; `arguments` reach the server as written, quotes included.
  bool loadModule(const std::string& name, const std::string& arguments) const {
    std::string quoted = "'";
    for (char c : arguments) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    const std::string command = "pactl load-module " + name + " " + quoted + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  void setDefaultSink(const std::string& name) const {
    std::system(("pactl set-default-sink " + name + " >/dev/null 2>&1").c_str());
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

  void remember(const char* name) {
    const char* value = std::getenv(name);
    saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
  }

  bool spawn(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
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
    return ::waitpid(child, nullptr, WNOHANG) == 0;
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
