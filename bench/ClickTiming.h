// What the latency benchmarks share: a click as the board makes one, and the
// percentiles they report.
//
// Header-only. Thread-safety: main thread (the audio device's rule).
#pragma once

#include "Percentile.h"
#include "platform/AudioPlayer.h"

// What a click does once the player exists: the board's volume, prepare, play.
inline bool playAsClicked(AudioPlayer& player) {
  player.setVolume(0.85f);
  player.prepareToPlay();
  return player.play();
}
