#include "audio/Loudness.h"

#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

std::optional<Loudness> Loudness::measure(const std::string& path, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) {
      *error = path + ": " + why;
    }
    return std::optional<Loudness>();
  };
  SF_INFO info{};
  std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(path.c_str(), SFM_READ, &info),
                                                   &sf_close);
  if (!file || info.channels <= 0 || info.samplerate <= 0) {
    return fail("not a sound file in a format that can be measured");
  }
  sf_command(file.get(), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  std::unique_ptr<ebur128_state, void (*)(ebur128_state*)> state(
      ebur128_init(static_cast<unsigned>(info.channels),
                   static_cast<unsigned long>(info.samplerate),
                   EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK),
      [](ebur128_state* s) { ebur128_destroy(&s); });
  if (!state) {
    return fail("the loudness meter does not take this layout");
  }
  constexpr sf_count_t kBlock = 4096;
  std::vector<float> block(static_cast<std::size_t>(kBlock * info.channels));
  sf_count_t total = 0;
  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), block.data(), kBlock);
    if (got <= 0) {
      break;
    }
    total += got;
    if (ebur128_add_frames_float(state.get(), block.data(), static_cast<std::size_t>(got)) !=
        EBUR128_SUCCESS) {
      return fail("the loudness meter failed");
    }
  }
  if (total == 0) {
    return fail("no sound in it");
  }
  double lufs = 0.0;
  if (ebur128_loudness_global(state.get(), &lufs) != EBUR128_SUCCESS || !std::isfinite(lufs)) {
    return fail("too short or too quiet to measure");
  }
  double peak = 0.0;
  for (int c = 0; c < info.channels; ++c) {
    double channelPeak = 0.0;
    if (ebur128_true_peak(state.get(), static_cast<unsigned>(c), &channelPeak) == EBUR128_SUCCESS) {
      peak = std::max(peak, channelPeak);
    }
  }
  Loudness loudness;
  loudness.integratedLufs = lufs;
  loudness.truePeakDbtp = peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
  return loudness;
}

double Loudness::matchingGainDecibels(const std::optional<Loudness>& measured) {
  if (!measured) {
    return 0.0;
  }
  double gain = std::min(kTargetLufs - measured->integratedLufs, kMaxBoostDecibels);
  if (std::isfinite(measured->truePeakDbtp)) {
    gain = std::min(gain, kPeakCeilingDbtp - measured->truePeakDbtp);
  }
  return gain;
}

LoudnessMeter::LoudnessMeter(Handler handler)
    : _handler(std::move(handler)), _thread(&LoudnessMeter::run, this) {}

LoudnessMeter::~LoudnessMeter() {
  {
    std::lock_guard lock(_mutex);
    _quit = true;
    _waiting.clear();
  }
  _changed.notify_all();
  _thread.join();
}

void LoudnessMeter::request(const std::string& path) {
  {
    std::lock_guard lock(_mutex);
    if (std::find(_waiting.begin(), _waiting.end(), path) != _waiting.end()) {
      return;
    }
    _waiting.push_back(path);
  }
  _changed.notify_all();
}

void LoudnessMeter::cancel() {
  std::lock_guard lock(_mutex);
  _waiting.clear();
  _changed.notify_all();
}

void LoudnessMeter::waitUntilIdle() {
  std::unique_lock lock(_mutex);
  _changed.wait(lock, [this] { return _waiting.empty() && !_measuring; });
}

void LoudnessMeter::run() {
  std::unique_lock lock(_mutex);
  for (;;) {
    _changed.wait(lock, [this] { return _quit || !_waiting.empty(); });
    if (_quit) {
      return;
    }
    const std::string path = std::move(_waiting.front());
    _waiting.pop_front();
    _measuring = true;
    lock.unlock();
    std::string error;
    const std::optional<Loudness> loudness = Loudness::measure(path, &error);
    if (_handler) {
      _handler(path, loudness, error);
    }
    lock.lock();
    _measuring = false;
    _changed.notify_all();
  }
}
