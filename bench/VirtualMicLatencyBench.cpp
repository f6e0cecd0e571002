// How soon a click is heard by a program listening to the virtual microphone.
//
// ClickToVirtualMic: from the start of what a click does (make the player, set its
// volume, prepare, play) to the arrival of the first non-silent fragment recorded from
// "Cueboard Virtual Mic", as a streaming or voice-chat program would record it (libpulse,
// 48 kHz, 2.5 ms fragments, so arrival is known to that much). It runs on a private
// sound server started for the run, PipeWire (with wireplumber and pipewire-pulse) or
// plain PulseAudio, with the board's device at 512 frames and the monitor loopback on,
// through the audio driver the board uses for the microphone on that server.
// Time is the mean; median_ms and p95_ms are the figures that matter.
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SoundServerSession.h"
#include "SourceRecorder.h"
#include "ClickTiming.h"
#include "platform/AudioDevice.h"
#include "platform/AudioPlayer.h"
#include "platform/VirtualMicrophone.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTrials = 30;

void ClickToVirtualMic(benchmark::State& state, SoundServerKind kind) {
  SoundServerSession server;
  std::string why;
  if (!server.start(kind, &why)) {
    state.SkipWithError(("the sound server did not start: " + why).c_str());
    return;
  }
  if (!AudioDevice::open(&why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  VirtualMicrophone microphone;
  if (!microphone.switchOn("", /*monitor=*/true, &why) ||
      !AudioDevice::useOutput(VirtualMicrophone::kSinkDescription, VirtualMicrophone::kRate,
                              microphone.isOnPipeWire() ? "pipewire" : "", &why) ||
      !AudioDevice::outputFallback().empty()) {
    state.SkipWithError(("no virtual microphone: " + why + AudioDevice::outputFallback()).c_str());
    AudioDevice::close();
    return;
  }
  state.SetLabel(std::string("SDL driver ") + SDL_GetCurrentAudioDriver());
  SourceRecorder recorder;
  if (!recorder.start(VirtualMicrophone::kSourceName, &why)) {
    state.SkipWithError(why.c_str());
    AudioDevice::close();
    return;
  }
  // A new PulseAudio null sink renders its first two seconds ahead.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));

  const std::string clip = CUEBOARD_BENCH_CLIP_DIR "/clip-1s.mp3";
  std::vector<double> latencies;
  std::uint32_t seed = 12345;
  for (auto _ : state) {
    // A pseudo-random pause first, so the clicks land at every phase of the buffers.
    seed = seed * 1664525u + 1013904223u;
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + (seed >> 8) % 12000));

    const Clock::time_point click = Clock::now();
    auto player = AudioPlayer::playerWithContentsOfFile(clip, &why);
    if (!player) {
      state.SkipWithError(("cannot open the clip: " + why).c_str());
      break;
    }
    if (!playAsClicked(*player)) {
      state.SkipWithError("play() failed");
      break;
    }
    std::optional<Clock::time_point> heard;
    const Clock::time_point giveUp = click + std::chrono::seconds(2);
    while (!(heard = recorder.firstLoudArrival(click)) && Clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    player->stop();
    if (!heard) {
      state.SkipWithError("nothing reached the virtual microphone within 2 s");
      break;
    }
    const double seconds = std::chrono::duration<double>(*heard - click).count();
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e3);
    // The tail of this sound must not count as the start of the next one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  recorder.stop();
  AudioDevice::useOutput("");
  microphone.switchOff();
  AudioDevice::close();
  if (!latencies.empty()) {
    state.counters["median_ms"] = percentile(latencies, 0.5);
    state.counters["p95_ms"] = percentile(latencies, 0.95);
    state.counters["max_ms"] = percentile(latencies, 1.0);
  }
}

}  // namespace

BENCHMARK_CAPTURE(ClickToVirtualMic, pipewire, SoundServerKind::PipeWire)
    ->Iterations(kTrials)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ClickToVirtualMic, pulseaudio, SoundServerKind::PulseAudio)
    ->Iterations(kTrials)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // SDL's own choice of driver, as for a host (the board picks PipeWire's driver for
  // the microphone on PipeWire).
  unsetenv("SDL_AUDIODRIVER");
  benchmark::Initialize(&argc, argv);
  // End notices travel to a Qt main thread.
  QCoreApplication app(argc, argv);
  benchmark::AddCustomContext("device",
                              "48000 Hz, 2 channels, 512 frames, into \"Cueboard Output\"");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
