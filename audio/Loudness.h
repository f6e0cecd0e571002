// Loudness: a sound's integrated loudness and true peak (EBU R 128, through
// libebur128), the gain that brings a sound to the board's level, and a meter that
// measures files one after another on a thread of its own.
//
// The level rule: a sound is brought to -14 LUFS, boosted by at most +12 dB, and never
// so far that its true peak goes above -1 dBTP; a sound not measured plays at unity.
//
// Ownership: Loudness is a plain value. A LoudnessMeter owns its thread and stops it on
// destruction (after the file it is measuring).
// Thread-safety: measure() and matchingGainDecibels() from any thread. A meter's
// request() and cancel() from any thread; its handler runs on the meter's thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct Loudness {
  static constexpr double kTargetLufs = -14.0;
  static constexpr double kMaxBoostDecibels = 12.0;
  static constexpr double kPeakCeilingDbtp = -1.0;

  double integratedLufs = 0.0;
  double truePeakDbtp = 0.0;

  // The file's loudness, or nothing with `error` set: not a sound, or too short or too
  // quiet to have a loudness (all silence).
  static std::optional<Loudness> measure(const std::string& path, std::string* error);

  // The gain in dB that the level rule gives `measured` (0 for nothing measured).
  static double matchingGainDecibels(const std::optional<Loudness>& measured);
};

class LoudnessMeter {
 public:
  // `handler(path, loudness, error)` is told each result, on the meter's thread.
  using Handler = std::function<void(const std::string& path, const std::optional<Loudness>&,
                                     const std::string& error)>;
  explicit LoudnessMeter(Handler handler);
  ~LoudnessMeter();
  LoudnessMeter(const LoudnessMeter&) = delete;
  LoudnessMeter& operator=(const LoudnessMeter&) = delete;

  // Queues `path` to be measured (once, while it waits).
  void request(const std::string& path);
  // Drops every request that is still waiting.
  void cancel();
  // Blocks until nothing waits and nothing is being measured (for tests and shutdown).
  void waitUntilIdle();

 private:
  void run();

  Handler _handler;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::deque<std::string> _waiting;
  bool _measuring = false;
  bool _quit = false;
  std::thread _thread;
};
