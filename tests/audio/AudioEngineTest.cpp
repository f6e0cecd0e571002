// The engine heard through SDL's disk driver: sounds made at build time, played, and the
// device's samples read back.
#include <gtest/gtest.h>

#include <cmath>

#include "audio/AudioEngine.h"
#include "tests/audio/EngineHarness.h"

namespace {

constexpr double kHalfScaleRms = 0.5 * 32767.0 / 1.4142135623730951;

}  // namespace

class EachFormat : public EngineHarness, public ::testing::WithParamInterface<const char*> {};

TEST_P(EachFormat, PlaysAtItsPitchLevelAndLength) {
  auto sound = load(GetParam());
  ASSERT_TRUE(sound);
  EXPECT_NEAR(sound->duration(), 1.0, 0.1);
  const std::uint64_t voice = engine.play(sound, 1.0f, true);
  ASSERT_NE(voice, 0u);
  EXPECT_TRUE(engine.isPlaying(voice));
  ASSERT_TRUE(waitForNews(1));
  EXPECT_FALSE(engine.isPlaying(voice));
  EXPECT_TRUE(news()[0].ended);
  EXPECT_EQ(news()[0].voice, voice);
  EXPECT_EQ(news()[0].problem, "");

  const PcmCapture pcm = audible(capture());
  EXPECT_NEAR(pcm.seconds(pcm.frameCount()), 1.0, 0.1);
  const std::size_t middle = pcm.frameCount() / 2;
  const std::size_t half = pcm.framesIn(0.2);
  EXPECT_NEAR(pcm.dominantFrequency(middle - half, middle + half), 440.0, 2.0);
  EXPECT_NEAR(pcm.rms(middle - half, middle + half) / kHalfScaleRms, 1.0, 0.1);
}

INSTANTIATE_TEST_SUITE_P(Formats, EachFormat,
                         ::testing::Values("sine440.wav", "sine440.flac", "sine440.ogg",
                                           "sine440.opus", "sine440.aiff", "sine440.mp3",
                                           "sine440-48k-6ch.wav", "sine440-8k-mono.wav"));

using Engine = EngineHarness;

TEST_F(Engine, TwoSoundsAtOnceAreBothHeardAtTheirLevels) {
  auto low = load("sine660-10s.wav");
  auto high = load("sine990-10s.wav");
  ASSERT_TRUE(low && high);
  const std::uint64_t a = engine.play(low, 1.0f, false);
  const std::uint64_t b = engine.play(high, 0.5f, false);
  EXPECT_TRUE(engine.isPlaying(a));
  EXPECT_TRUE(engine.isPlaying(b));
  EXPECT_EQ(engine.playingCount(), 2);
  waitForDeviceTime(1.0);
  engine.stopAll();
  EXPECT_FALSE(engine.isPlaying(a));
  EXPECT_FALSE(engine.isPlaying(b));
  ASSERT_TRUE(waitForNews(2));
  for (const auto& item : news()) {
    EXPECT_FALSE(item.ended);
  }

  const PcmCapture whole = capture();
  // Levels from the longest stretch without a gap (a starved decoder leaves some, and a
  // measure across one would mix two phases of each tone).
  PcmCapture::Span longest;
  for (const auto& span : whole.soundSpans(1)) {
    longest = span.frames() > longest.frames() ? span : longest;
  }
  ASSERT_GT(longest.frames(), whole.framesIn(0.1));
  const std::size_t begin = longest.begin + std::min(longest.frames() / 4, whole.framesIn(0.1));
  const std::size_t end = std::min(longest.end - longest.frames() / 4, begin + whole.framesIn(0.5));
  EXPECT_NEAR(amplitudeAt(whole, 660, begin, end) / (0.25 * 32767), 1.0, 0.05);
  EXPECT_NEAR(amplitudeAt(whole, 990, begin, end) / (0.125 * 32767), 1.0, 0.05);
  const PcmCapture pcm = audible(whole);
  ASSERT_GT(pcm.frameCount(), pcm.framesIn(0.8));
  // Stopped together, they fade: the last frames are near silence, not the full mix.
  EXPECT_LT(pcm.peak(pcm.frameCount() - 40, pcm.frameCount()), 0.25 * 0.375 * 32767);
}

TEST_F(Engine, TheSeventeenthVoiceStopsTheOldest) {
  std::vector<std::shared_ptr<Sound>> sounds;
  std::vector<std::uint64_t> voices;
  for (int i = 0; i < AudioEngine::kMaxVoices + 1; ++i) {
    sounds.push_back(load(i % 2 == 0 ? "sine660-10s.wav" : "sine990-10s.wav"));
    ASSERT_TRUE(sounds.back());
    voices.push_back(engine.play(sounds.back(), 0.05f, false));
    ASSERT_NE(voices.back(), 0u);
  }
  EXPECT_FALSE(engine.isPlaying(voices[0]));
  for (std::size_t i = 1; i < voices.size(); ++i) {
    EXPECT_TRUE(engine.isPlaying(voices[i])) << i;
  }
  EXPECT_EQ(engine.playingCount(), AudioEngine::kMaxVoices);
  ASSERT_TRUE(waitForNews(1));
  EXPECT_EQ(news()[0].voice, voices[0]);
  EXPECT_FALSE(news()[0].ended);
  // An eighteenth stops the second.
  voices.push_back(engine.play(sounds[0], 0.05f, false));
  EXPECT_FALSE(engine.isPlaying(voices[1]));
  EXPECT_EQ(engine.playingCount(), AudioEngine::kMaxVoices);
}

TEST_F(Engine, AnExclusiveStartRampsOutTheOthers) {
  auto first = load("sine660-10s.wav");
  auto second = load("sine440.wav");
  const std::uint64_t a = engine.play(first, 1.0f, false);
  waitForDeviceTime(0.3);
  const std::uint64_t b = engine.play(second, 1.0f, true);
  EXPECT_FALSE(engine.isPlaying(a));
  EXPECT_TRUE(engine.isPlaying(b));
  ASSERT_TRUE(waitForNews(2));

  const PcmCapture pcm = audible(capture());
  const std::size_t tail = pcm.framesIn(0.8);
  ASSERT_GT(pcm.frameCount(), tail);
  EXPECT_NEAR(pcm.dominantFrequency(pcm.frameCount() - tail, pcm.frameCount()), 440.0, 2.0);
  EXPECT_NEAR(amplitudeAt(pcm, 660, pcm.frameCount() - tail, pcm.frameCount()), 0.0, 50.0);
}

// Played again after its end, a sound starts over from its first frame: the decoder
// goes back and past the head it begins with, with no gap or repeat at the seam.
TEST_F(Engine, PlaysAgainFromTheStart) {
  auto sound = load("sine440.mp3");
  ASSERT_TRUE(sound);
  ASSERT_NE(engine.play(sound, 1.0f, true), 0u);
  ASSERT_TRUE(waitForNews(1));
  waitForDeviceTime(0.05);
  ASSERT_NE(engine.play(sound, 1.0f, true), 0u);
  ASSERT_TRUE(waitForNews(2));

  const PcmCapture pcm = audible(capture());
  ASSERT_NEAR(pcm.seconds(pcm.frameCount()), 2.0, 0.1);
  // The same samples both times.
  const std::size_t length = pcm.frameCount() / 2;
  int largestDifference = 0;
  for (std::size_t f = 0; f < length; ++f) {
    largestDifference =
        std::max(largestDifference, std::abs(pcm.sample(f, 0) - pcm.sample(length + f, 0)));
  }
  EXPECT_LE(largestDifference, 2);
}

TEST_F(Engine, AnIdleSoundHoldsOnlyItsHead) {
  auto sound = load("sine440-10s.mp3");
  ASSERT_TRUE(sound);
  const std::size_t headLimit =
      static_cast<std::size_t>(AudioEngine::kHeadSeconds * engine.frequency()) * 2 * sizeof(float);
  EXPECT_EQ(sound->headFrames(), static_cast<std::size_t>(0.1 * engine.frequency()));
  EXPECT_LE(sound->headBytes(), headLimit);
  EXPECT_NEAR(sound->duration(), 10.0, 0.1);
}

TEST_F(Engine, GainAndPosition) {
  auto sound = load("sine660-10s.wav");
  const std::uintmax_t startBytes = fileSize();
  const std::uint64_t voice = engine.play(sound, 1.0f, false);
  waitForDeviceTime(0.5);
  const double position = engine.position(voice);
  // No further than the device has gone since (its file may trail by a buffer or two).
  const double deviceSeconds =
      static_cast<double>(fileSize() - startBytes) / (engine.frequency() * 4.0);
  EXPECT_GT(position, 0.05);
  EXPECT_LE(position, deviceSeconds + 0.05);
  engine.setGain(voice, 0.5f);
  waitForDeviceTime(1.0);
  EXPECT_GT(engine.position(voice), position);
  engine.stop(voice);
  EXPECT_EQ(engine.position(voice), 0.0);

  const PcmCapture pcm = audible(capture());
  const std::size_t window = pcm.framesIn(0.04);
  ASSERT_GT(pcm.frameCount(), 3 * window);
  const double before = pcm.rms(0, window);
  const double after = pcm.rms(pcm.frameCount() - window - 300, pcm.frameCount() - 300);
  EXPECT_NEAR(after / before, 0.5, 0.01);
}

struct BadFile {
  const char* name;
  const char* reason;
};

class BadFiles : public EngineHarness, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, AreRefusedWithAReason) {
  const std::string path = engineFixture(GetParam().name);
  std::string error;
  EXPECT_FALSE(engine.load(path, &error));
  EXPECT_NE(error.find(path), std::string::npos) << error;
  EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
  EXPECT_TRUE(load("sine440.wav"));
}

INSTANTIATE_TEST_SUITE_P(Engine, BadFiles,
                         ::testing::Values(BadFile{"text.wav", "not a sound file"},
                                           BadFile{"empty.wav", "empty"},
                                           BadFile{"gzip.mp3", "not a sound file"},
                                           BadFile{"cut-header.wav", "not a sound file"},
                                           BadFile{"tags-only.mp3", "not a sound file"},
                                           BadFile{"no-such-file.ogg", "no such file"},
                                           BadFile{".", "a folder"}));

// A cut mp3 plays as far as it goes.
TEST_F(Engine, ATruncatedFilePlaysWhatItHas) {
  auto sound = load("half.mp3");
  ASSERT_TRUE(sound);
  engine.play(sound, 1.0f, true);
  ASSERT_TRUE(waitForNews(1));
  const PcmCapture pcm = audible(capture());
  EXPECT_GT(pcm.seconds(pcm.frameCount()), 0.5);
  EXPECT_LT(pcm.seconds(pcm.frameCount()), 1.5);
}

// The file goes away, or is cut short, while it plays: the sound ends (or plays on from
// what is open), the engine goes on.
TEST_F(Engine, AFileThatChangesWhilePlayingEndsQuietly) {
  for (const bool cut : {false, true}) {
    const std::filesystem::path copy = dir / (cut ? "cut.mp3" : "gone.mp3");
    std::filesystem::copy_file(engineFixture("sine440-10s.mp3"), copy);
    std::string error;
    auto sound = engine.load(copy.string(), &error);
    ASSERT_TRUE(sound) << error;
    const std::uint64_t voice = engine.play(sound, 1.0f, true);
    waitForDeviceTime(0.2);
    if (cut) {
      std::filesystem::resize_file(copy, 2000);
    } else {
      std::filesystem::remove(copy);
    }
    // Longer than what the ring held when the file changed.
    waitForDeviceTime(2.0);
    if (cut) {
      EXPECT_FALSE(engine.isPlaying(voice));
    }
    engine.stop(voice);
  }
  ASSERT_TRUE(waitForNews(2));
  ASSERT_NE(engine.play(load("sine440.wav"), 1.0f, true), 0u);
  ASSERT_TRUE(waitForNews(3));
  EXPECT_TRUE(news()[2].ended);
}

TEST_F(Engine, WithoutADeviceNothingPlays) {
  auto sound = load("sine440.wav");
  engine.close();
  EXPECT_EQ(engine.play(sound, 1.0f, true), 0u);
  std::string error;
  EXPECT_FALSE(engine.load(engineFixture("sine440.wav"), &error));
  EXPECT_EQ(error, "no sound output device is open");
  // A sound made for an earlier opening stays silent on a new one.
  ASSERT_TRUE(engine.open(nullptr, 44100, 512, &error)) << error;
  EXPECT_EQ(engine.play(sound, 1.0f, true), 0u);
  EXPECT_NE(engine.play(load("sine440.wav"), 1.0f, true), 0u);
}
