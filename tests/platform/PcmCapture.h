// Reads back the sound the program handed to its output device, for tests: SDL's disk
// audio driver (SDL_AUDIODRIVER=disk) writes every buffer it is given to
// SDL_DISKAUDIOFILE as raw interleaved signed 16-bit samples in native byte order, at
// AudioDevice::frequency() and AudioDevice::channels(). Read the file after
// AudioDevice::close(), which flushes it.
//
// Besides the samples it measures what the tests ask about: loudness (RMS) of a range,
// the dominant frequency, where sound starts, and the separate stretches of sound.
//
// Header-only so that any test program can use it without linking anything.
// Thread-safety: a plain value; share it read-only.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class PcmCapture {
 public:
  // Frames [begin, end) of one stretch of sound.
  struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t frames() const { return end - begin; }
  };

  PcmCapture() = default;
  PcmCapture(std::vector<std::int16_t> samples, int channels, int frequency)
      : _samples(std::move(samples)), _channels(std::max(channels, 1)), _frequency(frequency) {}

  // An unreadable or missing file gives an empty capture (frameCount() 0).
  static PcmCapture fromFile(const std::string& path, int channels, int frequency) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(bytes.size() / sizeof(std::int16_t));
    std::copy_n(bytes.data(), samples.size() * sizeof(std::int16_t),
                reinterpret_cast<char*>(samples.data()));
    return PcmCapture(std::move(samples), channels, frequency);
  }

  int channels() const { return _channels; }
  int frequency() const { return _frequency; }
  std::size_t frameCount() const { return _samples.size() / static_cast<std::size_t>(_channels); }
  double seconds(std::size_t frames) const {
    return _frequency > 0 ? static_cast<double>(frames) / _frequency : 0.0;
  }
  std::size_t framesIn(double seconds) const {
    return static_cast<std::size_t>(std::llround(seconds * _frequency));
  }
  std::int16_t sample(std::size_t frame, int channel) const {
    return _samples[frame * static_cast<std::size_t>(_channels) +
                    static_cast<std::size_t>(channel)];
  }

  // Root mean square of every sample of frames [begin, end), all channels, in sample
  // units (a full-scale sine is about 23170). 0 for an empty range.
  double rms(std::size_t begin, std::size_t end) const {
    end = std::min(end, frameCount());
    if (begin >= end) {
      return 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = begin * _channels; i < end * _channels; ++i) {
      sum += static_cast<double>(_samples[i]) * _samples[i];
    }
    return std::sqrt(sum / static_cast<double>((end - begin) * _channels));
  }

  // Largest sample magnitude in frames [begin, end).
  int peak(std::size_t begin, std::size_t end) const {
    end = std::min(end, frameCount());
    int largest = 0;
    for (std::size_t i = begin * _channels; i < end * _channels; ++i) {
      largest = std::max(largest, std::abs(static_cast<int>(_samples[i])));
    }
    return largest;
  }

  // Frequency in Hz of the strongest component of frames [begin, end) (the channels
  // averaged): the peak of a Hann-windowed DFT over the longest power-of-two stretch
  // from `begin`, refined between bins. 0 when the range is too short or silent.
  //
  // Runs of digital silence inside the sound are left out: SDL's disk device at no
  // delay asks for sound as fast as it can be mixed, so a decoder that a loaded machine
  // holds back leaves a gap where a real device would have waited. The sound after the
  // gap goes on where it stopped, so the frames without the gaps are the sound itself;
  // a sound that skipped frames would still show at a wrong pitch.
  double dominantFrequency(std::size_t begin, std::size_t end) const {
    end = std::min(end, frameCount());
    std::vector<std::size_t> frames;
    frames.reserve(end > begin ? end - begin : 0);
    constexpr std::size_t kGapFrames = 4;  // a tone's own zero samples never run this long
    for (std::size_t frame = begin; frame < frameCount() && frames.size() < end - begin;) {
      std::size_t silent = frame;
      while (silent < frameCount() && isDigitalSilence(silent)) ++silent;
      if (silent - frame >= kGapFrames) {
        frame = silent;
        continue;
      }
      for (; frame <= silent && frame < frameCount() && frames.size() < end - begin; ++frame) {
        frames.push_back(frame);
      }
    }
    std::size_t size = 1;
    while (size * 2 <= frames.size() && size < (std::size_t{1} << 16)) {
      size *= 2;
    }
    if (size < 64 || _frequency <= 0) {
      return 0.0;
    }
    constexpr double kPi = 3.14159265358979323846;
    std::vector<std::complex<double>> bins(size);
    for (std::size_t i = 0; i < size; ++i) {
      double mono = 0.0;
      for (int c = 0; c < _channels; ++c) {
        mono += sample(frames[i], c);
      }
      const double window = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / (size - 1));
      bins[i] = mono / _channels * window;
    }
    fft(bins);
    std::size_t best = 1;
    for (std::size_t k = 1; k < size / 2; ++k) {
      if (std::abs(bins[k]) > std::abs(bins[best])) {
        best = k;
      }
    }
    if (std::abs(bins[best]) == 0.0) {
      return 0.0;
    }
    double offset = 0.0;
    if (best + 1 < size / 2) {
      const double a = std::log(std::abs(bins[best - 1]) + 1e-12);
      const double b = std::log(std::abs(bins[best]) + 1e-12);
      const double c = std::log(std::abs(bins[best + 1]) + 1e-12);
      const double denominator = a - 2.0 * b + c;
      if (denominator != 0.0) {
        offset = 0.5 * (a - c) / denominator;
      }
    }
    return (static_cast<double>(best) + offset) * _frequency / static_cast<double>(size);
  }

  // First frame at or after `from` in which a sample's magnitude exceeds `threshold`.
  std::optional<std::size_t> firstNonSilentFrame(std::size_t from = 0, int threshold = 0) const {
    for (std::size_t frame = from; frame < frameCount(); ++frame) {
      if (isLoud(frame, threshold)) {
        return frame;
      }
    }
    return std::nullopt;
  }

  std::optional<std::size_t> lastNonSilentFrame(int threshold = 0) const {
    for (std::size_t frame = frameCount(); frame > 0; --frame) {
      if (isLoud(frame - 1, threshold)) {
        return frame - 1;
      }
    }
    return std::nullopt;
  }

  // The stretches of sound, in order: a new one begins wherever at least
  // `minGapFrames` silent frames (no sample above `threshold`) lie between sounds.
  std::vector<Span> soundSpans(std::size_t minGapFrames, int threshold = 0) const {
    std::vector<Span> spans;
    std::size_t silentRun = 0;
    bool inSpan = false;
    for (std::size_t frame = 0; frame < frameCount(); ++frame) {
      if (isLoud(frame, threshold)) {
        if (!inSpan) {
          spans.push_back({frame, frame + 1});
          inSpan = true;
        } else {
          spans.back().end = frame + 1;
        }
        silentRun = 0;
      } else if (inSpan && ++silentRun >= minGapFrames) {
        inSpan = false;
      }
    }
    return spans;
  }

 private:
  bool isDigitalSilence(std::size_t frame) const { return !isLoud(frame, 0); }
  bool isLoud(std::size_t frame, int threshold) const {
    for (int c = 0; c < _channels; ++c) {
      if (std::abs(static_cast<int>(sample(frame, c))) > threshold) {
        return true;
      }
    }
    return false;
  }

  // In-place iterative radix-2 FFT; the size is a power of two.
  static void fft(std::vector<std::complex<double>>& data) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
      std::size_t bit = n >> 1;
      for (; j & bit; bit >>= 1) {
        j ^= bit;
      }
      j ^= bit;
      if (i < j) {
        std::swap(data[i], data[j]);
      }
    }
    constexpr double kPi = 3.14159265358979323846;
    for (std::size_t length = 2; length <= n; length <<= 1) {
      const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(length));
      for (std::size_t start = 0; start < n; start += length) {
        std::complex<double> w(1.0);
        for (std::size_t k = 0; k < length / 2; ++k) {
          const std::complex<double> even = data[start + k];
          const std::complex<double> odd = data[start + k + length / 2] * w;
          data[start + k] = even + odd;
          data[start + k + length / 2] = even - odd;
          w *= step;
        }
      }
    }
  }

  std::vector<std::int16_t> _samples;
  int _channels = 1;
  int _frequency = 0;
};
