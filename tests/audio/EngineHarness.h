// Opens an AudioEngine on SDL's disk driver for a test, collects its news and reads the
// mixed output back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "tests/platform/PcmCapture.h"

inline std::string engineFixture(const char* name) {
  return std::string(AUDIO_FIXTURE_DIR "/") + name;
}

class EngineHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterised test's name ("Name/2") would make a folder within a folder, and
    // only the inner one would be removed afterwards.
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '-');
    dir = std::filesystem::temp_directory_path() /
          ("cueboard-engine-" + std::to_string(::getpid()) + "-" + test);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    capturePath = (dir / "device.pcm").string();
    // One 512-frame buffer a millisecond: about ten times real time.
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", capturePath.c_str(), 1);
    ::setenv("SDL_DISKAUDIODELAY", "1", 1);
    std::string why;
    ASSERT_TRUE(AudioEngine::startAudio(true, "", &why)) << why;
    ASSERT_TRUE(engine.open(nullptr, 44100, 512, &why)) << why;
    engine.setNewsHandler([this](const AudioEngine::News& news) {
      std::lock_guard lock(mutex);
      told.push_back(news);
    });
  }

  void TearDown() override {
    engine.close();
    AudioEngine::stopAudio();
    std::filesystem::remove_all(dir);
  }

  std::shared_ptr<Sound> load(const char* name) {
    std::string error;
    auto sound = engine.load(engineFixture(name), &error);
    EXPECT_TRUE(sound) << error;
    return sound;
  }

  std::vector<AudioEngine::News> news() {
    std::lock_guard lock(mutex);
    return told;
  }

  // Waits (up to 20 s) until `count` news have come.
  bool waitForNews(std::size_t count) {
    for (int i = 0; i < 4000; ++i) {
      if (news().size() >= count) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Waits until the device has been handed `seconds` more output.
  void waitForDeviceTime(double seconds) {
    const auto start = fileSize();
    const auto bytes = static_cast<std::uintmax_t>(seconds * engine.frequency() * 4);
    for (int i = 0; i < 6000 && fileSize() < start + bytes; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Closes the device (flushing the file) and reads what it was given.
  PcmCapture capture() {
    const int frequency = engine.frequency();
    engine.close();
    return PcmCapture::fromFile(capturePath, 2, frequency);
  }

  std::uintmax_t fileSize() const {
    std::error_code ec;
    const auto size = std::filesystem::file_size(capturePath, ec);
    return ec ? 0 : size;
  }

  std::filesystem::path dir;
  std::string capturePath;
  AudioEngine engine;
  std::mutex mutex;
  std::vector<AudioEngine::News> told;
};

// The capture with its silences left out: what was heard, in order. A decoder thread
// starved by a busy machine leaves gaps, which lose nothing; the tests judge what
// played, the benchmarks how promptly.
inline PcmCapture audible(const PcmCapture& pcm) {
  std::vector<std::int16_t> samples;
  for (const auto& span : pcm.soundSpans(1)) {
    for (std::size_t f = span.begin; f < span.end; ++f) {
      for (int c = 0; c < pcm.channels(); ++c) {
        samples.push_back(pcm.sample(f, c));
      }
    }
  }
  return PcmCapture(std::move(samples), pcm.channels(), pcm.frequency());
}

// Amplitude (in sample units) of the component at `hz` in frames [begin, end), left channel.
inline double amplitudeAt(const PcmCapture& pcm, double hz, std::size_t begin, std::size_t end) {
  constexpr double kPi = 3.14159265358979323846;
  double re = 0.0;
  double im = 0.0;
  for (std::size_t f = begin; f < end; ++f) {
    const double phase = 2.0 * kPi * hz * static_cast<double>(f) / pcm.frequency();
    re += pcm.sample(f, 0) * std::cos(phase);
    im += pcm.sample(f, 0) * std::sin(phase);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(end - begin);
}
