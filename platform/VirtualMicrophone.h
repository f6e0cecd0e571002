// The board's sounds as a microphone: on the desktop's sound server (PulseAudio, or
// PipeWire through pipewire-pulse) it loads a null sink "Cueboard Output" that the
// board plays into, a remap source "Cueboard Virtual Mic" on that sink's monitor (a
// real source, which voice-chat and streaming programs list as a microphone), and,
// while the host wants to hear the sounds too, a loopback from the monitor to the
// host's own output.
//
// The modules belong to the sound server, not to this process: they outlive a crash.
// They are recognised by their names alone (the sink "cueboard_output", the source
// "cueboard_mic", a loopback from "cueboard_output.monitor"), so a later start can
// remove what an earlier one left behind and never touches anyone else's modules.
//
// Each call opens its own short connection to the server and waits (a few seconds at
// most) for the answer; nothing runs in the background. Never starts a sound server.
//
// Owned by whoever switches it on; the destructor switches it off.
// Thread-safety: one thread at a time (the main thread in the program).
#pragma once

#include <string>
#include <vector>

class VirtualMicrophone {
 public:
  static constexpr const char* kSinkName = "cueboard_output";
  static constexpr const char* kSinkDescription = "Cueboard Output";
  static constexpr const char* kSourceName = "cueboard_mic";
  static constexpr const char* kSourceDescription = "Cueboard Virtual Mic";
  // The sound servers' own rate: nothing is resampled between the board and the stream.
  static constexpr int kRate = 48000;

  VirtualMicrophone() = default;
  VirtualMicrophone(const VirtualMicrophone&) = delete;
  VirtualMicrophone& operator=(const VirtualMicrophone&) = delete;
  ~VirtualMicrophone();

  // Loads the sink and the source (after removing any of ours left behind), and the
  // monitor loopback when `monitor`, towards the output whose description is
  // `monitorOutput` ("" or an unknown one: the server's default output as it was
  // before). The server's default output and input stay what they were. On failure
  // nothing of ours is left loaded, `error` says why and false is returned.
  bool switchOn(const std::string& monitorOutput, bool monitor, std::string* error);
  // Unloads our modules, the loopback first. Harmless when off.
  void switchOff();
  bool isOn() const { return on; }
  // Whether the server that holds the microphone is PipeWire (through pipewire-pulse),
  // which its own audio driver reaches with less buffering than PulseAudio's protocol.
  bool isOnPipeWire() const { return serverName.find("PipeWire") != std::string::npos; }

  // While on: loads or unloads the loopback (towards `monitorOutput`, as above).
  bool setMonitor(const std::string& monitorOutput, bool monitor, std::string* error);
  bool isMonitoring() const { return loopbackModule != kNoModule; }

  // Unloads every module of ours on the server, whoever loaded it, and returns how many;
  // -1 (and `error`) when the server cannot be reached.
  static int removeLeftoverModules(std::string* error);

  // Whether a module with this name and argument line is one of ours.
  static bool isOurModule(const std::string& name, const std::string& argument);
  // The key=value pairs of a module argument line, quotes removed.
  static std::vector<std::pair<std::string, std::string>> moduleArguments(
      const std::string& argument);

 private:
  static constexpr unsigned kNoModule = 0xffffffffu;
  bool on = false;
  unsigned sinkModule = kNoModule;
  unsigned sourceModule = kNoModule;
  unsigned loopbackModule = kNoModule;
  // The default output when we switched on: where "the default" monitor goes.
  std::string defaultSinkBefore;
  std::string serverName;  // as the server names itself
};
