#include "platform/VirtualMicrophone.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <optional>

namespace {

// A sound server that does not answer within this time is treated as absent.
constexpr std::chrono::milliseconds kAnswerTime{3000};

// Quoted for a module's argument line, where spaces separate arguments: in single
// quotes, or double ones when the text holds a single quote. A text holding both
// cannot be passed; nullopt then.
std::optional<std::string> quotedArgument(const std::string& text) {
  if (text.find('\'') == std::string::npos) return "'" + text + "'";
  if (text.find('"') == std::string::npos) return "\"" + text + "\"";
  return std::nullopt;
}

// A property list value: the descriptions go inside the quoted list, in double quotes.
std::string properties(const std::string& description, const std::string& more) {
  return "'device.description=\"" + description + "\" " + more + "'";
}

struct ModuleInfo {
  unsigned index;
  std::string name;
  std::string argument;
};

struct SinkInfo {
  std::string name;
  std::string description;
};

// One short connection to the sound server, driven by its own main loop on the
// calling thread until each answer arrives.
class PulseConnection {
 public:
  PulseConnection() : loop(pa_mainloop_new()) {
    context = pa_context_new(pa_mainloop_get_api(loop), "Cueboard");
  }
  ~PulseConnection() {
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_mainloop_free(loop);
  }
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  bool connect(std::string* error) {
    if (context == nullptr) return fail(error, "the sound server could not be asked");
    // Never starts a server of its own: without one there is no microphone to offer.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return fail(error, "no sound server answered (" + reason() + ")");
    }
    const bool ready = runUntil([&] {
      const pa_context_state_t state = pa_context_get_state(context);
      return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!ready || pa_context_get_state(context) != PA_CONTEXT_READY) {
      return fail(error, "no sound server answered (" + reason() + ")");
    }
    return true;
  }

  // Loads a module; its index, or PA_INVALID_INDEX with `error` set.
  unsigned loadModule(const std::string& name, const std::string& argument, std::string* error) {
    struct Answer {
      bool done = false;
      uint32_t index = PA_INVALID_INDEX;
    } answer;
    pa_operation* operation = pa_context_load_module(
        context, name.c_str(), argument.c_str(),
        [](pa_context*, uint32_t index, void* data) {
          auto* a = static_cast<Answer*>(data);
          a->index = index;
          a->done = true;
        },
        &answer);
    if (!wait(operation, answer.done) || answer.index == PA_INVALID_INDEX) {
      fail(error, timedOut ? "the sound server did not load " + name + " within 3 s"
                           : "the sound server refused " + name + " (" + reason() + ")");
      return PA_INVALID_INDEX;
    }
    return answer.index;
  }

  bool unloadModule(unsigned index) {
    struct Answer {
      bool done = false;
      bool success = false;
    } answer;
    pa_operation* operation = pa_context_unload_module(
        context, index,
        [](pa_context*, int success, void* data) {
          auto* a = static_cast<Answer*>(data);
          a->success = success != 0;
          a->done = true;
        },
        &answer);
    return wait(operation, answer.done) && answer.success;
  }

  // What the server gave, or "" for none.
  static std::string text(const char* value) { return value ? value : ""; }

  // Asks the server for a whole list (modules, sinks) and keeps each entry as `convert`
  // makes it; false when the server does not answer in time.
  template <class Info, class Item>
  bool list(pa_operation* (*ask)(pa_context*, void (*)(pa_context*, const Info*, int, void*),
                                 void*),
            std::vector<Item>& items, Item (*convert)(const Info&)) {
    struct Answer {
      bool done = false;
      std::vector<Item>* items;
      Item (*convert)(const Info&);
    } answer{false, &items, convert};
    pa_operation* operation = ask(
        context,
        [](pa_context*, const Info* info, int eol, void* data) {
          auto* a = static_cast<Answer*>(data);
          if (eol != 0) {
            a->done = true;
            return;
          }
          a->items->push_back(a->convert(*info));
        },
        &answer);
    return wait(operation, answer.done);
  }

  bool listModules(std::vector<ModuleInfo>& modules) {
    return list<pa_module_info, ModuleInfo>(
        pa_context_get_module_info_list, modules, [](const pa_module_info& info) {
          return ModuleInfo{info.index, text(info.name), text(info.argument)};
        });
  }

  bool listSinks(std::vector<SinkInfo>& sinks) {
    return list<pa_sink_info, SinkInfo>(pa_context_get_sink_info_list, sinks,
                                        [](const pa_sink_info& info) {
                                          return SinkInfo{text(info.name), text(info.description)};
                                        });
  }

  // The server's default output and input names, and its own name.
  bool defaults(std::string& sink, std::string& source, std::string* serverName = nullptr) {
    struct Answer {
      bool done = false;
      std::string *sink, *source, *serverName;
    } answer{false, &sink, &source, serverName};
    pa_operation* operation = pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* data) {
          auto* a = static_cast<Answer*>(data);
          if (info != nullptr) {
            *a->sink = text(info->default_sink_name);
            *a->source = text(info->default_source_name);
            if (a->serverName != nullptr) *a->serverName = text(info->server_name);
          }
          a->done = true;
        },
        &answer);
    return wait(operation, answer.done);
  }

  void setDefaults(const std::string& sink, const std::string& source) {
    struct Answer {
      bool done = false;
    } sinkAnswer, sourceAnswer;
    auto finished = [](pa_context*, int, void* data) { static_cast<Answer*>(data)->done = true; };
    if (!sink.empty()) {
      wait(pa_context_set_default_sink(context, sink.c_str(), finished, &sinkAnswer),
           sinkAnswer.done);
    }
    if (!source.empty()) {
      wait(pa_context_set_default_source(context, source.c_str(), finished, &sourceAnswer),
           sourceAnswer.done);
    }
  }

  std::string reason() const {
    if (timedOut) return "no answer within 3 s";
    const int code = context != nullptr ? pa_context_errno(context) : PA_ERR_INTERNAL;
    return code == PA_OK ? std::string("no reason given") : std::string(pa_strerror(code));
  }

 private:
  static bool fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  }

  bool wait(pa_operation* operation, const bool& done) {
    if (operation == nullptr) return false;
    const bool answered = runUntil([&] {
      return done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING ||
             !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
    });
    if (!answered) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return answered && done;
  }

  bool runUntil(const std::function<bool()>& finished) {
    const auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
    while (!finished()) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        return false;
      }
      if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0 ||
          pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0) {
        return false;
      }
    }
    return true;
  }

  pa_mainloop* loop;
  pa_context* context = nullptr;
  bool timedOut = false;  // a wait ran out of time
};

// The sink to send the monitor to: the one described as `output`, else `fallback`.
std::string monitorSinkName(PulseConnection& server, const std::string& output,
                            const std::string& fallback) {
  std::vector<SinkInfo> sinks;
  if (!output.empty() && server.listSinks(sinks)) {
    for (const SinkInfo& sink : sinks) {
      if (sink.description == output && sink.name != VirtualMicrophone::kSinkName) return sink.name;
    }
  }
  return fallback;
}

unsigned loadLoopback(PulseConnection& server, const std::string& sink, std::string* error) {
  std::string argument = std::string("source=") + VirtualMicrophone::kSinkName +
                         ".monitor latency_msec=20 source_dont_move=true";
  // Without a sink the server would pick its default, which must never be our own sink.
  const std::optional<std::string> quoted = quotedArgument(sink);
  if (!sink.empty() && sink != VirtualMicrophone::kSinkName && quoted) {
    argument += " sink=" + *quoted;
  }
  return server.loadModule("module-loopback", argument, error);
}

int removeLeftovers(PulseConnection& server) {
  std::vector<ModuleInfo> modules;
  if (!server.listModules(modules)) return -1;
  // Loopbacks and sources hang on the sink: the reverse of the order they were loaded in.
  int removed = 0;
  for (const char* kind : {"module-loopback", "module-remap-source", "module-null-sink"}) {
    for (const ModuleInfo& module : modules) {
      if (module.name == kind && VirtualMicrophone::isOurModule(module.name, module.argument) &&
          server.unloadModule(module.index)) {
        ++removed;
      }
    }
  }
  return removed;
}

}  // namespace

VirtualMicrophone::~VirtualMicrophone() { switchOff(); }

std::vector<std::pair<std::string, std::string>> VirtualMicrophone::moduleArguments(
    const std::string& argument) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t i = 0;
  const size_t n = argument.size();
  while (i < n) {
    while (i < n && (argument[i] == ' ' || argument[i] == '\t' || argument[i] == '\n')) ++i;
    if (i >= n) break;
    std::string key;
    while (i < n && argument[i] != '=' && argument[i] != ' ' && argument[i] != '\t' &&
           argument[i] != '\n') {
      key += argument[i++];
    }
    std::string value;
    if (i < n && argument[i] == '=') {
      ++i;
      if (i < n && (argument[i] == '"' || argument[i] == '\'')) {
        const char quote = argument[i++];
        while (i < n && argument[i] != quote) {
          if (argument[i] == '\\' && i + 1 < n) ++i;
          value += argument[i++];
        }
        ++i;  // the closing quote
      } else {
        while (i < n && argument[i] != ' ' && argument[i] != '\t' && argument[i] != '\n') {
          if (argument[i] == '\\' && i + 1 < n) ++i;
          value += argument[i++];
        }
      }
    }
    pairs.emplace_back(std::move(key), std::move(value));
  }
  return pairs;
}

bool VirtualMicrophone::isOurModule(const std::string& name, const std::string& argument) {
  std::string key;
  std::string wanted;
  if (name == "module-null-sink") {
    key = "sink_name";
    wanted = kSinkName;
  } else if (name == "module-remap-source") {
    key = "source_name";
    wanted = kSourceName;
  } else if (name == "module-loopback") {
    key = "source";
    wanted = std::string(kSinkName) + ".monitor";
  } else {
    return false;
  }
  for (const auto& [k, v] : moduleArguments(argument)) {
    if (k == key) return v == wanted;
  }
  return false;
}

int VirtualMicrophone::removeLeftoverModules(std::string* error) {
  PulseConnection server;
  if (!server.connect(error)) return -1;
  const int removed = removeLeftovers(server);
  if (removed < 0 && error != nullptr) *error = "the sound server did not list its modules";
  return removed;
}

bool VirtualMicrophone::switchOn(const std::string& monitorOutput, bool monitor,
                                 std::string* error) {
  if (on) return setMonitor(monitorOutput, monitor, error);
  PulseConnection server;
  if (!server.connect(error)) return false;
  if (removeLeftovers(server) < 0) {
    if (error != nullptr) *error = "the sound server did not list its modules";
    return false;
  }
  std::string defaultSource;
  server.defaults(defaultSinkBefore, defaultSource, &serverName);

  const std::string rate = std::to_string(kRate);
  // A session priority of 0 keeps a desktop from taking our sink or source as its default.
  sinkModule = server.loadModule(
      "module-null-sink",
      std::string("sink_name=") + kSinkName + " rate=" + rate +
          " sink_properties=" + properties(kSinkDescription, "priority.session=0 priority.driver=0"),
      error);
  if (sinkModule == PA_INVALID_INDEX) {
    sinkModule = kNoModule;
    return false;
  }
  sourceModule = server.loadModule(
      "module-remap-source",
      std::string("source_name=") + kSourceName + " master=" + kSinkName + ".monitor rate=" +
          rate + " source_properties=" + properties(kSourceDescription, "priority.session=0"),
      error);
  if (sourceModule == PA_INVALID_INDEX) {
    sourceModule = kNoModule;
    server.unloadModule(sinkModule);
    sinkModule = kNoModule;
    return false;
  }
  on = true;

  // Some servers make a newly loaded sink or source the default; the host's stay theirs.
  std::string sinkNow;
  std::string sourceNow;
  if (server.defaults(sinkNow, sourceNow)) {
    const bool sinkTaken = sinkNow == kSinkName && defaultSinkBefore != kSinkName;
    const bool sourceTaken = sourceNow != defaultSource &&
                             (sourceNow == kSourceName || sourceNow.rfind(kSinkName, 0) == 0);
    server.setDefaults(sinkTaken ? defaultSinkBefore : std::string(),
                       sourceTaken ? defaultSource : std::string());
  }
  if (defaultSinkBefore == kSinkName) defaultSinkBefore.clear();

  if (monitor) {
    loopbackModule =
        loadLoopback(server, monitorSinkName(server, monitorOutput, defaultSinkBefore), error);
    if (loopbackModule == PA_INVALID_INDEX) {
      loopbackModule = kNoModule;
      server.unloadModule(sourceModule);
      server.unloadModule(sinkModule);
      sourceModule = sinkModule = kNoModule;
      on = false;
      return false;
    }
  }
  return true;
}

bool VirtualMicrophone::setMonitor(const std::string& monitorOutput, bool monitor,
                                   std::string* error) {
  if (!on) {
    if (error != nullptr) *error = "the virtual microphone is off";
    return false;
  }
  PulseConnection server;
  if (!server.connect(error)) return false;
  if (loopbackModule != kNoModule) {
    server.unloadModule(loopbackModule);
    loopbackModule = kNoModule;
  }
  if (!monitor) return true;
  const unsigned module =
      loadLoopback(server, monitorSinkName(server, monitorOutput, defaultSinkBefore), error);
  if (module == PA_INVALID_INDEX) return false;
  loopbackModule = module;
  return true;
}

void VirtualMicrophone::switchOff() {
  if (!on) return;
  on = false;
  PulseConnection server;
  if (server.connect(nullptr)) {
    for (unsigned* module : {&loopbackModule, &sourceModule, &sinkModule}) {
      if (*module != kNoModule) server.unloadModule(*module);
    }
  }
  loopbackModule = sourceModule = sinkModule = kNoModule;
}
