// The loudness measure, the level rule, and sounds played at the rule's gain as heard
// at the device.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>

#include "audio/Loudness.h"
#include "tests/audio/EngineHarness.h"

namespace {

// Integrated loudness of frames [begin, end) of a capture.
double loudnessOf(const PcmCapture& pcm, std::size_t begin, std::size_t end) {
  ebur128_state* state =
      ebur128_init(2, static_cast<unsigned long>(pcm.frequency()), EBUR128_MODE_I);
  std::vector<short> frames;
  for (std::size_t f = begin; f < end; ++f) {
    frames.push_back(pcm.sample(f, 0));
    frames.push_back(pcm.sample(f, 1));
  }
  ebur128_add_frames_short(state, frames.data(), end - begin);
  double lufs = 0.0;
  ebur128_loudness_global(state, &lufs);
  ebur128_destroy(&state);
  return lufs;
}

}  // namespace

TEST(Loudness, MeasuresKnownLevels) {
  struct Case {
    const char* file;
    double lufs;
  };
  for (const Case& c :
       {Case{"loud-8.wav", -8.0}, Case{"loud-24.wav", -24.0}, Case{"loud-36.wav", -36.0}}) {
    std::string error;
    const auto measured = Loudness::measure(engineFixture(c.file), &error);
    ASSERT_TRUE(measured) << error;
    // A 1 kHz sine in both channels is about as loud in LUFS as its level in dBFS.
    EXPECT_NEAR(measured->integratedLufs, c.lufs, 0.5) << c.file;
    EXPECT_NEAR(measured->truePeakDbtp, c.lufs, 0.5) << c.file;
  }
}

TEST(Loudness, RefusesWhatIsNoSound) {
  for (const char* name : {"text.wav", "empty.wav", "no-such-file.wav"}) {
    std::string error;
    EXPECT_FALSE(Loudness::measure(engineFixture(name), &error)) << name;
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

TEST(Loudness, TheLevelRule) {
  struct Case {
    double lufs;
    double peak;
    double gain;
  };
  for (const Case& c : {
           Case{-14.0, -3.0, 0.0},    // on target
           Case{-8.0, -2.0, -6.0},    // turned down
           Case{-24.0, -14.0, 10.0},  // brought up
           Case{-36.0, -30.0, 12.0},  // brought up by no more than 12 dB
           Case{-20.0, -3.0, 2.0},    // brought up only until its peak is at -1 dBTP
           Case{-10.0, 2.0, -4.0},    // a hot sound: the target already keeps its peak down
           Case{-16.0, 0.5, -1.5},    // the peak wins over the target
       }) {
    EXPECT_NEAR(Loudness::matchingGainDecibels(Loudness{c.lufs, c.peak}), c.gain, 1e-9)
        << c.lufs << " LUFS, " << c.peak << " dBTP";
  }
  EXPECT_EQ(Loudness::matchingGainDecibels(std::nullopt), 0.0);
}

TEST(LoudnessMeter, MeasuresInTheBackground) {
  std::mutex mutex;
  std::map<std::string, std::optional<Loudness>> results;
  std::map<std::string, std::string> errors;
  LoudnessMeter meter([&](const std::string& path, const std::optional<Loudness>& loudness,
                          const std::string& error) {
    std::lock_guard lock(mutex);
    results[path] = loudness;
    errors[path] = error;
  });
  meter.request(engineFixture("loud-24.wav"));
  meter.request(engineFixture("text.wav"));
  meter.request(engineFixture("loud-24.wav"));
  meter.waitUntilIdle();
  std::lock_guard lock(mutex);
  ASSERT_EQ(results.size(), 2u);
  ASSERT_TRUE(results[engineFixture("loud-24.wav")]);
  EXPECT_NEAR(results[engineFixture("loud-24.wav")]->integratedLufs, -24.0, 0.5);
  EXPECT_FALSE(results[engineFixture("text.wav")]);
  EXPECT_FALSE(errors[engineFixture("text.wav")].empty());
}

using LoudnessMatching = EngineHarness;

// Played at the rule's gain, a -24 and a -8 LUFS sound come out within 1 LU of the
// target and of each other; a -36 LUFS one is boosted by the capped 12 dB only.
TEST_F(LoudnessMatching, SoundsComeOutAtTheTarget) {
  struct Case {
    const char* file;
    double heard;
  };
  std::vector<double> heard;
  for (const Case& c :
       {Case{"loud-24.wav", -14.0}, Case{"loud-8.wav", -14.0}, Case{"loud-36.wav", -24.0}}) {
    const auto measured = Loudness::measure(engineFixture(c.file), nullptr);
    ASSERT_TRUE(measured);
    const double gain = std::pow(10.0, Loudness::matchingGainDecibels(measured) / 20.0);
    auto sound = load(c.file);
    ASSERT_TRUE(sound);
    const std::size_t before = told.size();
    engine.play(sound, static_cast<float>(gain), true);
    ASSERT_TRUE(waitForNews(before + 1));
    waitForDeviceTime(0.1);
  }
  // The three sounds, four seconds each, one after the other.
  const PcmCapture pcm = audible(capture());
  const std::size_t each = pcm.framesIn(4.0);
  ASSERT_NEAR(static_cast<double>(pcm.frameCount()), 3.0 * each, pcm.framesIn(0.05));
  const double expected[] = {-14.0, -14.0, -24.0};
  for (std::size_t i = 0; i < 3; ++i) {
    heard.push_back(loudnessOf(pcm, i * each, (i + 1) * each));
    EXPECT_NEAR(heard[i], expected[i], 1.0) << i;
  }
  EXPECT_NEAR(heard[0], heard[1], 1.0);
}
