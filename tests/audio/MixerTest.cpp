// The mixer on its own, driven by hand: rings filled with known sines, mix() called as
// the audio callback would, the result measured.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "audio/Mixer.h"
#include "tests/platform/PcmCapture.h"

namespace {

constexpr int kRate = 48000;
constexpr double kPi = 3.14159265358979323846;

std::vector<float> sine(double hz, double amplitude, std::size_t frames) {
  std::vector<float> samples(frames * 2);
  for (std::size_t f = 0; f < frames; ++f) {
    const auto value = static_cast<float>(amplitude * std::sin(2.0 * kPi * hz * f / kRate));
    samples[2 * f] = samples[2 * f + 1] = value;
  }
  return samples;
}

// Output of mix() in periods of 512 frames, as the device would take it.
std::vector<float> run(Mixer& mixer, std::size_t frames) {
  std::vector<float> out(frames * 2);
  for (std::size_t done = 0; done < frames; done += 512) {
    mixer.mix(out.data() + done * 2, std::min<std::size_t>(512, frames - done));
  }
  return out;
}

PcmCapture toPcm(const std::vector<float>& samples) {
  std::vector<std::int16_t> pcm(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * 32767.0f));
  }
  return PcmCapture(std::move(pcm), 2, kRate);
}

// Amplitude of the component at `hz` (a single-bin DFT over whole periods).
double amplitudeAt(const std::vector<float>& samples, double hz, std::size_t begin,
                   std::size_t end) {
  double re = 0.0;
  double im = 0.0;
  for (std::size_t f = begin; f < end; ++f) {
    re += samples[2 * f] * std::cos(2.0 * kPi * hz * f / kRate);
    im += samples[2 * f] * std::sin(2.0 * kPi * hz * f / kRate);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(end - begin);
}

double largestStep(const std::vector<float>& samples) {
  double largest = 0.0;
  for (std::size_t i = 2; i < samples.size(); ++i) {
    largest = std::max(largest, static_cast<double>(std::abs(samples[i] - samples[i - 2])));
  }
  return largest;
}

struct Started {
  int slot;
  std::uint64_t voice;
};

Started start(Mixer& mixer, std::uint64_t voice, const std::vector<float>& samples, float gain,
              bool whole = true) {
  const int slot = mixer.claim(voice);
  EXPECT_GE(slot, 0);
  mixer.slot(slot).samples.pushSome(samples.data(), samples.size());
  mixer.slot(slot).endOfData.store(whole);
  EXPECT_TRUE(mixer.send({Mixer::Command::Start, slot, voice, gain}));
  return {slot, voice};
}

std::vector<Mixer::News> news(Mixer& mixer) {
  std::vector<Mixer::News> all;
  Mixer::News item;
  while (mixer.takeNews(item)) {
    all.push_back(item);
    mixer.release(item.slot);
  }
  return all;
}

}  // namespace

TEST(Mixer, TwoVoicesAtTheirPitchesAndLevels) {
  Mixer mixer(kRate, 1 << 16);
  start(mixer, 1, sine(660, 0.25, kRate), 1.0f);
  start(mixer, 2, sine(990, 0.5, kRate), 0.5f);
  const std::vector<float> out = run(mixer, kRate / 2);
  EXPECT_NEAR(amplitudeAt(out, 660, 0, kRate / 2), 0.25, 0.005);
  EXPECT_NEAR(amplitudeAt(out, 990, 0, kRate / 2), 0.25, 0.005);
  EXPECT_NEAR(amplitudeAt(out, 440, 0, kRate / 2), 0.0, 0.005);
}

TEST(Mixer, AVoiceEndsWhenItsDataRunsOutAndSaysSo) {
  Mixer mixer(kRate, 1 << 16);
  const Started a = start(mixer, 7, sine(440, 0.5, 1000), 1.0f);
  const std::vector<float> out = run(mixer, 2048);
  const auto told = news(mixer);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].voice, 7u);
  EXPECT_TRUE(told[0].ended);
  EXPECT_EQ(mixer.slot(a.slot).framesPlayed.load(), 1000u);
  EXPECT_EQ(toPcm(out).lastNonSilentFrame().value_or(0) < 1000, true);
  EXPECT_EQ(mixer.soundingCount(), 0);
}

// A ring that runs dry before its end is marked is a late decoder, not an end.
TEST(Mixer, ADryRingWaitsForMoreData) {
  Mixer mixer(kRate, 1 << 16);
  const Started a = start(mixer, 1, sine(440, 0.5, 1000), 1.0f, /*whole=*/false);
  run(mixer, 2048);
  EXPECT_TRUE(news(mixer).empty());
  const std::vector<float> more = sine(440, 0.5, 1000);
  mixer.slot(a.slot).samples.pushSome(more.data(), more.size());
  mixer.slot(a.slot).endOfData.store(true);
  const std::vector<float> out = run(mixer, 2048);
  EXPECT_GT(amplitudeAt(out, 440, 0, 960), 0.4);
  EXPECT_EQ(news(mixer).size(), 1u);
}

// Stopped at different points of the wave, a voice fades within the ramp, with no step
// larger than the sine's own steepest one plus a ramp's share of its amplitude.
TEST(Mixer, StopRampsOutWithoutAStep) {
  for (std::size_t stopAt : {256u, 777u, 1301u}) {
    Mixer mixer(kRate, 1 << 16);
    const Started a = start(mixer, 1, sine(440, 0.9, kRate), 1.0f);
    std::vector<float> out(kRate / 10 * 2);
    mixer.mix(out.data(), stopAt);
    mixer.send({Mixer::Command::Stop, a.slot, a.voice, 0.0f});
    mixer.mix(out.data() + stopAt * 2, out.size() / 2 - stopAt);
    const double sineStep = 0.9 * 2.0 * kPi * 440 / kRate;
    EXPECT_LT(largestStep(out), sineStep + 0.9 / static_cast<double>(mixer.rampFrames()) + 1e-4)
        << "stopped at " << stopAt;
    const auto last = toPcm(out).lastNonSilentFrame();
    ASSERT_TRUE(last.has_value());
    EXPECT_LE(*last, stopAt + mixer.rampFrames());
    EXPECT_GE(*last, stopAt + mixer.rampFrames() / 2);
    const auto told = news(mixer);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_FALSE(told[0].ended);
  }
}

TEST(Mixer, StopAllFadesEveryVoice) {
  Mixer mixer(kRate, 1 << 16);
  for (std::uint64_t voice = 1; voice <= 5; ++voice) {
    start(mixer, voice, sine(200.0 * voice, 0.1, kRate), 1.0f);
  }
  std::vector<float> out = run(mixer, 1024);
  EXPECT_EQ(mixer.soundingCount(), 5);
  mixer.send({Mixer::Command::StopAll, 0, 0, 0.0f});
  out = run(mixer, 1024);
  EXPECT_EQ(mixer.soundingCount(), 0);
  EXPECT_EQ(news(mixer).size(), 5u);
  EXPECT_EQ(toPcm(out).lastNonSilentFrame().value_or(0) <= mixer.rampFrames(), true);
}

// A stop meant for an earlier voice of the slot leaves the new one alone.
TEST(Mixer, AStaleStopDoesNotTouchANewerVoice) {
  Mixer mixer(kRate, 1 << 16);
  const Started a = start(mixer, 1, sine(440, 0.5, 100), 1.0f);
  run(mixer, 512);
  ASSERT_EQ(news(mixer).size(), 1u);
  const Started b = start(mixer, 2, sine(440, 0.5, kRate), 1.0f);
  EXPECT_EQ(b.slot, a.slot);
  mixer.send({Mixer::Command::Stop, a.slot, a.voice, 0.0f});
  mixer.send({Mixer::Command::Gain, a.slot, a.voice, 0.0f});
  const std::vector<float> out = run(mixer, 4096);
  EXPECT_NEAR(amplitudeAt(out, 440, 3072, 4096), 0.5, 0.01);
  EXPECT_TRUE(news(mixer).empty());
}

TEST(Mixer, GainGlidesToItsTarget) {
  Mixer mixer(kRate, 1 << 16);
  const Started a = start(mixer, 1, sine(440, 0.8, kRate), 1.0f);
  std::vector<float> out(8192 * 2);
  mixer.mix(out.data(), 4096);
  mixer.send({Mixer::Command::Gain, a.slot, a.voice, 0.25f});
  mixer.mix(out.data() + 4096 * 2, 4096);
  EXPECT_NEAR(amplitudeAt(out, 440, 1024, 4096), 0.8, 0.01);
  EXPECT_NEAR(amplitudeAt(out, 440, 5120, 8192), 0.2, 0.01);
  EXPECT_LT(largestStep(out),
            0.8 * 2.0 * kPi * 440 / kRate + 0.8 * 0.75 / mixer.rampFrames() + 1e-4);
}

TEST(Mixer, ClaimRunsOutOfSlotsAndGetsThemBack) {
  Mixer mixer(kRate, 1024);
  std::vector<int> slots;
  for (int i = 0; i < Mixer::kSlots; ++i) {
    slots.push_back(mixer.claim(static_cast<std::uint64_t>(i + 1)));
    EXPECT_GE(slots.back(), 0);
  }
  EXPECT_EQ(mixer.claim(100), -1);
  mixer.release(slots[3]);
  EXPECT_EQ(mixer.claim(101), slots[3]);
}

// The engine's three threads on the mixer at once: a control thread starting, stopping
// and changing voices, a filler keeping their rings topped up, and the "callback"
// mixing. Every voice started is told once, and the output stays within bounds.
TEST(MixerConcurrency, CommandsRingsAndNewsUnderLoad) {
  Mixer mixer(kRate, 4096);
  std::atomic<bool> done{false};
  std::atomic<int> told{0};
  std::atomic<bool> outOfBounds{false};
  std::vector<std::atomic<std::uint64_t>> feeding(Mixer::kSlots);

  std::thread callback([&] {
    std::vector<float> out(512 * 2);
    while (!done.load()) {
      mixer.mix(out.data(), 512);
      for (float v : out) {
        if (!(std::abs(v) <= Mixer::kSlots * 0.05f + 1e-3f)) outOfBounds = true;
      }
      std::this_thread::yield();
    }
  });
  // The filler, which also takes the news (as the engine's decoder thread does).
  std::thread filler([&] {
    const std::vector<float> block = sine(440, 0.05, 256);
    while (!done.load() || mixer.soundingCount() > 0) {
      Mixer::News item;
      while (mixer.takeNews(item)) {
        feeding[static_cast<std::size_t>(item.slot)] = 0;
        mixer.release(item.slot);
        ++told;
      }
      for (int i = 0; i < Mixer::kSlots; ++i) {
        Mixer::Slot& slot = mixer.slot(i);
        if (feeding[static_cast<std::size_t>(i)].load() != 0 &&
            slot.samples.freeSpace() >= block.size()) {
          slot.samples.pushSome(block.data(), block.size());
        }
      }
      std::this_thread::yield();
    }
  });

  std::mt19937 random(22);
  std::vector<Started> live;
  int started = 0;
  for (int round = 0; round < 3000; ++round) {
    const int choice = static_cast<int>(random() % 4);
    if (choice == 0 || live.empty()) {
      const std::uint64_t voice = static_cast<std::uint64_t>(round + 1);
      const int slot = mixer.claim(voice);
      if (slot >= 0) {
        Mixer::Slot& s = mixer.slot(slot);
        // Short voices end by themselves; long ones wait for a stop.
        const bool shortVoice = random() % 2 == 0;
        const std::vector<float> head = sine(440, 0.05, 128);
        s.samples.pushSome(head.data(), head.size());
        // The ring's producer passes from this thread to the filler here.
        s.endOfData.store(shortVoice);
        if (!shortVoice) feeding[static_cast<std::size_t>(slot)] = voice;
        if (mixer.send({Mixer::Command::Start, slot, voice, 1.0f})) {
          live.push_back({slot, voice});
          ++started;
        } else {
          feeding[static_cast<std::size_t>(slot)] = 0;
          s.endOfData.store(true);
          ASSERT_TRUE(false) << "command queue full";
        }
      }
    } else if (choice == 1) {
      const Started victim = live[random() % live.size()];
      mixer.send({Mixer::Command::Stop, victim.slot, victim.voice, 0.0f});
    } else if (choice == 2) {
      const Started target = live[random() % live.size()];
      mixer.send({Mixer::Command::Gain, target.slot, target.voice, 0.5f});
    } else if (round % 500 == 0) {
      mixer.send({Mixer::Command::StopAll, 0, 0, 0.0f});
    }
    if (live.size() > 32) live.erase(live.begin(), live.begin() + 16);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  while (!mixer.send({Mixer::Command::StopAll, 0, 0, 0.0f})) {
  }
  for (int i = 0; i < 2000 && told.load() < started; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  done = true;
  callback.join();
  filler.join();
  EXPECT_EQ(told.load(), started);
  EXPECT_FALSE(outOfBounds.load());
}
