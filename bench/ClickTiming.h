// What the latency benchmarks share: a click as the board makes one, and the
// percentiles they report.
//
// Header-only. Thread-safety: main thread (the audio device's rule).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/AudioPlayer.h"

// What a click does once the player exists: the board's volume, prepare, play.
inline bool playAsClicked(AudioPlayer& player) {
  player.setVolume(0.85f);
  player.prepareToPlay();
  return player.play();
}

// The value below which `fraction` of `values` lie, interpolated between neighbours.
inline double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const double rank = fraction * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(rank);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}
