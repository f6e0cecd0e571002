// How soon a click is heard, and what the audio engine costs in memory.
//
// ClickToFirstSound: from the start of what a click does (make the player, set its
// volume, prepare, play) to the moment the first non-silent sample is handed to the
// output device, on SDL's dummy driver (which paces buffers like a real device). The
// trials are spread over the device's buffer period, which the latency depends on.
// Time is the mean; median_ms and p95_ms are the figures that matter.
//
// With "playing8", eight other sounds (ten minutes each, at volume 0 so that the
// output stays silent until the click's sound) already play alongside: the mixer and
// the decoder thread are busy when the click comes.
//
// SixteenVoicesCpu: the process's CPU time while 16 three-minute 44.1 kHz stereo mp3s
// play together on a device opened at 48 kHz (decoding, resampling and mixing), as a
// share of one core over the same wall-clock time. Goal: under 5 %.
//
// CategoryMemory: the resident memory that 40 ready players of three-minute sounds add
// to the process with the device open and nothing made (a whole category, as if every
// button's sound were loaded at once): idle_rss_delta_MiB with all 40 idle (goal: at
// most 8 MiB), rss_delta_MiB with one of them playing; against what holding the same
// sounds decoded would take.
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ClickTiming.h"
#include "platform/AudioDevice.h"
#include "platform/AudioPlayer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTrials = 30;

std::string clip(const char* name) { return std::string(CUEBOARD_BENCH_CLIP_DIR "/") + name; }

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Set by the output tap, on the audio thread.
std::atomic<bool> watching{false};
std::atomic<std::int64_t> firstSoundNs{0};

// Runs on the final mix of every buffer, just before it goes to the device.
void watchOutput(const std::int16_t* samples, int frames, void* /*unused*/) {
  if (!watching.load(std::memory_order_acquire)) {
    return;
  }
  for (int i = 0; i < frames * 2; ++i) {
    if (samples[i] != 0) {
      firstSoundNs.store(nowNs(), std::memory_order_release);
      watching.store(false, std::memory_order_release);
      return;
    }
  }
}

// Sounds that play, silent, alongside the measured clicks; stopped when it goes.
struct Background {
  explicit Background(int count) {
    AudioDevice::setOverlap(count > 0);
    for (int i = 0; i < count; ++i) {
      std::string error;
      auto player = AudioPlayer::playerWithContentsOfFile(clip("clip-10min.mp3"), &error);
      if (!player) {
        problem = "cannot open the clip: " + error;
        return;
      }
      player->setVolume(0.0f);
      player->play();
      players.push_back(std::move(player));
    }
  }
  ~Background() {
    players.clear();
    AudioDevice::setOverlap(false);
  }
  std::vector<std::unique_ptr<AudioPlayer>> players;
  std::string problem;
};

void ClickToFirstSound(benchmark::State& state, const char* name, int alongside) {
  const std::string path = clip(name);
  Background background(alongside);
  if (!background.problem.empty()) {
    state.SkipWithError(background.problem.c_str());
    return;
  }
  std::vector<double> latencies;
  std::vector<double> opens;
  std::uint32_t seed = 12345;
  for (auto _ : state) {
    // A pseudo-random pause first, so the clicks land at every phase of the buffer.
    seed = seed * 1664525u + 1013904223u;
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + (seed >> 8) % 12000));

    firstSoundNs.store(0);
    watching.store(true, std::memory_order_release);
    const std::int64_t clickNs = nowNs();
    std::string error;
    auto player = AudioPlayer::playerWithContentsOfFile(path, &error);
    const std::int64_t openedNs = nowNs();
    if (!player) {
      state.SkipWithError(("cannot open the clip: " + error).c_str());
      return;
    }
    if (!playAsClicked(*player)) {
      state.SkipWithError("play() failed");
      return;
    }
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(2);
    while (firstSoundNs.load(std::memory_order_acquire) == 0 && Clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    const std::int64_t heardNs = firstSoundNs.load(std::memory_order_acquire);
    watching.store(false);
    player->stop();
    if (heardNs == 0) {
      state.SkipWithError("no sound reached the device within 2 s");
      return;
    }
    const double seconds = static_cast<double>(heardNs - clickNs) / 1e9;
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e3);
    opens.push_back(static_cast<double>(openedNs - clickNs) / 1e6);
  }
  if (AudioDevice::playingCount() < alongside) {
    state.SkipWithError("a sound alongside stopped before the clicks were done");
    return;
  }
  state.counters["median_ms"] = percentile(latencies, 0.5);
  state.counters["p95_ms"] = percentile(latencies, 0.95);
  state.counters["max_ms"] = percentile(latencies, 1.0);
  state.counters["open_median_ms"] = percentile(opens, 0.5);
}

std::int64_t residentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0;
  std::int64_t resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void SixteenVoicesCpu(benchmark::State& state) {
  std::string error;
  if (!AudioDevice::useOutput("", 48000, "", &error) || AudioDevice::frequency() != 48000) {
    state.SkipWithError(("cannot open the device at 48 kHz: " + error).c_str());
    return;
  }
  AudioDevice::setOverlap(true);
  std::vector<std::unique_ptr<AudioPlayer>> players;
  for (int i = 0; i < 16; ++i) {
    auto player = AudioPlayer::playerWithContentsOfFile(clip("clip-3min.mp3"), &error);
    if (!player) {
      state.SkipWithError(("cannot open the clip: " + error).c_str());
      return;
    }
    player->setVolume(0.05f);
    player->play();
    players.push_back(std::move(player));
  }
  for (auto _ : state) {
    const double cpuBefore = cpuSeconds();
    const Clock::time_point wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    state.SetIterationTime(wall);
    state.counters["playing"] = AudioDevice::playingCount();
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
  }
  players.clear();
  AudioDevice::setOverlap(false);
  AudioDevice::useOutput("", 0, "", nullptr);
}

void CategoryMemory(benchmark::State& state) {
  const std::string path = clip("clip-3min.mp3");
  constexpr int kButtons = 40;
  for (auto _ : state) {
    const std::int64_t before = residentBytes();
    std::vector<std::unique_ptr<AudioPlayer>> players;
    double seconds = 0.0;
    for (int i = 0; i < kButtons; ++i) {
      std::string error;
      auto player = AudioPlayer::playerWithContentsOfFile(path, &error);
      if (!player) {
        state.SkipWithError(("cannot open the clip: " + error).c_str());
        return;
      }
      player->prepareToPlay();
      seconds += player->duration();
      players.push_back(std::move(player));
    }
    // All of them made and idle, as after a category is shown.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::int64_t idle = residentBytes();
    // One of them sounding, as on the board.
    players.front()->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::int64_t after = residentBytes();
    players.front()->stop();

    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["idle_rss_delta_MiB"] = static_cast<double>(idle - before) / kMiB;
    state.counters["rss_delta_MiB"] = static_cast<double>(after - before) / kMiB;
    state.counters["per_sound_KiB"] = static_cast<double>(after - before) / 1024.0 / kButtons;
    const double decodedBytes = seconds * AudioDevice::frequency() * AudioDevice::channels() * 2.0;
    state.counters["decoded_would_be_MiB"] = decodedBytes / kMiB;
  }
}

}  // namespace

BENCHMARK_CAPTURE(ClickToFirstSound, clip_1s, "clip-1s.mp3", 0)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ClickToFirstSound, clip_10min, "clip-10min.mp3", 0)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ClickToFirstSound, clip_10min_no_info_frame, "clip-10min-noinfo.mp3", 0)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ClickToFirstSound, clip_1s_playing8, "clip-1s.mp3", 8)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ClickToFirstSound, clip_10min_playing8, "clip-10min.mp3", 8)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SixteenVoicesCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(CategoryMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // The dummy driver paces buffers like a device but needs no sound hardware.
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  benchmark::Initialize(&argc, argv);
  // End notices travel to a Qt main thread.
  QCoreApplication app(argc, argv);
  std::string error;
  if (!AudioDevice::open(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  benchmark::AddCustomContext("audio_driver", SDL_GetCurrentAudioDriver());
  benchmark::AddCustomContext("device", std::to_string(AudioDevice::frequency()) + " Hz, " +
                                            std::to_string(AudioDevice::channels()) +
                                            " channels, 512 frames");
  AudioDevice::setOutputTap(&watchOutput, nullptr);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  AudioDevice::setOutputTap(nullptr, nullptr);
  AudioDevice::close();
  return 0;
}
