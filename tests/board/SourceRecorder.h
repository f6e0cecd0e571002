#pragma once
// Records a sound server's source (a microphone, or a sink's monitor) as a program
// listening to it would: 48 kHz stereo float through libpulse, in small fragments, on a
// thread of its own; the left channel is kept (a server's mono downmix may add the two). Each fragment keeps the moment it arrived, so that the time from
// a click to the first sound heard can be read off.
//
// Header-only. Thread-safety: start() and stop() from one thread; the samples may be
// read while it records.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
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
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 2};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = kFragmentFrames * 2 * sizeof(float);
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

  size_t sampleCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded.size();
  }
  // The samples recorded from index `first` on.
  std::vector<float> samplesFrom(size_t first) const {
    std::lock_guard<std::mutex> lock(mutex);
    if (first >= recorded.size()) return {};
    return std::vector<float>(recorded.begin() + static_cast<long>(first), recorded.end());
  }

  // The arrival time of the first fragment that arrived at or after `since` and holds
  // a sample louder than `threshold`; nullopt when none.
  std::optional<Clock::time_point> firstLoudArrival(Clock::time_point since,
                                                    float threshold = 0.01f) const {
    std::lock_guard<std::mutex> lock(mutex);
    for (const Fragment& fragment : fragments) {
      if (fragment.arrival < since) continue;
      for (size_t i = fragment.first; i < fragment.first + kFragmentFrames; ++i) {
        if (std::fabs(recorded[i]) > threshold) return fragment.arrival;
      }
    }
    return std::nullopt;
  }

 private:
  struct Fragment {
    Clock::time_point arrival;
    size_t first;
  };

  void record() {
    float buffer[kFragmentFrames * 2];
    while (running) {
      int error = 0;
      if (pa_simple_read(stream, buffer, sizeof buffer, &error) < 0) break;
      const Clock::time_point arrival = Clock::now();
      std::lock_guard<std::mutex> lock(mutex);
      fragments.push_back({arrival, recorded.size()});
      for (int i = 0; i < kFragmentFrames; ++i) recorded.push_back(buffer[2 * i]);
    }
  }

  pa_simple* stream = nullptr;
  std::atomic<bool> running{false};
  std::thread worker;
  mutable std::mutex mutex;
  std::vector<float> recorded;
  std::vector<Fragment> fragments;
};

// The frequency of a steady tone, from the median time between its rising zero
// crossings (interpolated): a dropout on a busy machine lengthens a few periods but
// moves the median none.
inline double toneFrequency(const std::vector<float>& samples, int rate) {
  std::vector<double> periods;
  double last = -1;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      const double at = static_cast<double>(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]);
      if (last >= 0) periods.push_back(at - last);
      last = at;
    }
  }
  if (periods.empty()) return 0;
  std::nth_element(periods.begin(), periods.begin() + long(periods.size() / 2), periods.end());
  return rate / periods[periods.size() / 2];
}

// The loudness of a steady tone: the median of its 10 ms blocks' root mean squares,
// which a dropout here and there does not move.
inline double toneLevel(const std::vector<float>& samples, int rate) {
  const size_t block = static_cast<size_t>(rate / 100);
  std::vector<double> levels;
  for (size_t start = 0; start + block <= samples.size(); start += block) {
    double sum = 0;
    for (size_t i = start; i < start + block; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    levels.push_back(std::sqrt(sum / static_cast<double>(block)));
  }
  if (levels.empty()) return 0;
  std::nth_element(levels.begin(), levels.begin() + long(levels.size() / 2), levels.end());
  return levels[levels.size() / 2];
}
