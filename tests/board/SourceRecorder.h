#pragma once
// Records a sound server's source (a microphone, or a sink's monitor) as a program
// listening to it would: 48 kHz mono float through libpulse, in small fragments, on a
// thread of its own. Each fragment keeps the moment it arrived, so that the time from
// a click to the first sound heard can be read off.
//
// Header-only. Thread-safety: start() and stop() from one thread; the samples are
// read after stop().

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class SourceRecorder {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kRate = 48000;
  // 2.5 ms a fragment: the arrival time of a sample is known to that much.
  static constexpr int kFragmentFrames = 120;

  SourceRecorder() = default;
  SourceRecorder(const SourceRecorder&) = delete;
  SourceRecorder& operator=(const SourceRecorder&) = delete;
  ~SourceRecorder() { stop(); }

  // Connects to `source` and starts recording; returns once the stream runs, or false
  // with `why`.
  bool start(const std::string& source, std::string* why) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 1};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = kFragmentFrames * sizeof(float);
    int error = 0;
    stream = pa_simple_new(nullptr, "Cueboard test recorder", PA_STREAM_RECORD, source.c_str(),
                           "record", &spec, nullptr, &attributes, &error);
    if (stream == nullptr) {
      if (why) *why = std::string("cannot record ") + source + ": " + pa_strerror(error);
      return false;
    }
    running = true;
    worker = std::thread([this] { record(); });
    return true;
  }

  void stop() {
    running = false;
    if (worker.joinable()) worker.join();
    if (stream != nullptr) pa_simple_free(stream);
    stream = nullptr;
  }

  const std::vector<float>& samples() const { return recorded; }

  // The arrival time of the first fragment, at or after `since`, holding a sample
  // louder than `threshold`; nullopt when none.
  std::optional<Clock::time_point> firstLoudArrival(Clock::time_point since,
                                                    float threshold = 0.01f) const {
    for (const Fragment& fragment : fragments) {
      if (fragment.arrival < since) continue;
      for (size_t i = fragment.first; i < fragment.first + kFragmentFrames; ++i) {
        if (std::fabs(recorded[i]) > threshold) return fragment.arrival;
      }
    }
    return std::nullopt;
  }

  // The samples from the first one louder than `threshold` on, `count` of them at most.
  std::vector<float> soundFrom(float threshold, size_t count) const {
    for (size_t i = 0; i < recorded.size(); ++i) {
      if (std::fabs(recorded[i]) > threshold) {
        const size_t end = std::min(recorded.size(), i + count);
        return std::vector<float>(recorded.begin() + static_cast<long>(i),
                                  recorded.begin() + static_cast<long>(end));
      }
    }
    return {};
  }

 private:
  struct Fragment {
    Clock::time_point arrival;
    size_t first;
  };

  void record() {
    float buffer[kFragmentFrames];
    while (running) {
      int error = 0;
      if (pa_simple_read(stream, buffer, sizeof buffer, &error) < 0) break;
      fragments.push_back({Clock::now(), recorded.size()});
      recorded.insert(recorded.end(), buffer, buffer + kFragmentFrames);
    }
  }

  pa_simple* stream = nullptr;
  std::atomic<bool> running{false};
  std::thread worker;
  std::vector<float> recorded;
  std::vector<Fragment> fragments;
};

// The frequency of a steady tone, from its rising zero crossings (interpolated).
inline double toneFrequency(const std::vector<float>& samples, int rate) {
  double first = -1;
  double last = -1;
  int crossings = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      const double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) * rate / (last - first);
}

inline double rootMeanSquare(const std::vector<float>& samples) {
  double sum = 0;
  for (float s : samples) sum += static_cast<double>(s) * s;
  return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}
