#include "audio/Mixer.h"

#include <algorithm>
#include <cmath>

Mixer::Mixer(int rate, std::size_t ringFrames)
    : _rate(rate),
      _rampFrames(
          std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(rate * kRampSeconds)))) {
  for (auto& slot : _slots) {
    slot = std::make_unique<Slot>(ringFrames);
  }
}

int Mixer::claim(std::uint64_t voice) {
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = slot(i);
    if (!s.busy.load(std::memory_order_acquire)) {
      s.samples.reset();
      s.endOfData.store(false, std::memory_order_relaxed);
      s.framesPlayed.store(0, std::memory_order_relaxed);
      s.finished.store(false, std::memory_order_relaxed);
      s.voice.store(voice, std::memory_order_relaxed);
      s.busy.store(true, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

void Mixer::release(int index) {
  Slot& s = slot(index);
  s.samples.reset();
  s.voice.store(0, std::memory_order_relaxed);
  s.busy.store(false, std::memory_order_release);
}

void Mixer::apply(const Command& command) {
  if (command.kind == Command::StopAll) {
    for (Voice& voice : _voices) {
      if (voice.active) {
        beginFade(voice);
      }
    }
    return;
  }
  if (command.slot < 0 || command.slot >= kSlots) {
    return;
  }
  Voice& voice = _voices[static_cast<std::size_t>(command.slot)];
  switch (command.kind) {
    case Command::Start:
      voice = Voice{};
      voice.active = true;
      voice.voice = command.voice;
      voice.gain = voice.target = command.gain;
      _sounding.fetch_add(1, std::memory_order_relaxed);
      break;
    case Command::Stop:
      if (voice.active && voice.voice == command.voice) {
        beginFade(voice);
      }
      break;
    case Command::Gain:
      if (voice.active && voice.voice == command.voice) {
        voice.target = command.gain;
        voice.step = (voice.target - voice.gain) / static_cast<float>(_rampFrames);
      }
      break;
    case Command::StopAll:
      break;
  }
}

void Mixer::beginFade(Voice& voice) {
  if (voice.fadeLeft == 0) {
    voice.fadeLeft = _rampFrames;
  }
}

void Mixer::finish(int index, bool ended) {
  Voice& voice = _voices[static_cast<std::size_t>(index)];
  voice.active = false;
  _sounding.fetch_sub(1, std::memory_order_relaxed);
  slot(index).finished.store(true, std::memory_order_release);
  // The queue holds more news than there are slots, each of which finishes once.
  _news.push(News{index, voice.voice, ended});
}

void Mixer::mix(float* out, std::size_t frames) {
  Command command;
  while (_commands.pop(command)) {
    apply(command);
  }
  std::fill(out, out + frames * 2, 0.0f);
  for (int index = 0; index < kSlots; ++index) {
    Voice& voice = _voices[static_cast<std::size_t>(index)];
    if (!voice.active) {
      continue;
    }
    Slot& s = slot(index);
    std::size_t done = 0;
    while (voice.active && done < frames) {
      const std::size_t want = std::min(frames - done, kChunkFrames);
      // Read before the ring: data pushed before the end was marked is all there.
      const bool dataEnded = s.endOfData.load(std::memory_order_acquire);
      const std::size_t got = s.samples.popSome(_chunk.data(), want * 2) / 2;
      float* target = out + done * 2;
      for (std::size_t f = 0; f < got; ++f) {
        float gain = voice.gain;
        if (voice.step != 0.0f) {
          voice.gain += voice.step;
          if ((voice.step > 0.0f && voice.gain >= voice.target) ||
              (voice.step < 0.0f && voice.gain <= voice.target)) {
            voice.gain = voice.target;
            voice.step = 0.0f;
          }
          gain = voice.gain;
        }
        if (voice.fadeLeft > 0) {
          gain *= static_cast<float>(voice.fadeLeft) / static_cast<float>(_rampFrames + 1);
          if (--voice.fadeLeft == 0) {
            s.framesPlayed.fetch_add(f + 1, std::memory_order_relaxed);
            finish(index, false);
            break;
          }
        }
        target[2 * f] += _chunk[2 * f] * gain;
        target[2 * f + 1] += _chunk[2 * f + 1] * gain;
      }
      if (!voice.active) {
        break;
      }
      s.framesPlayed.fetch_add(got, std::memory_order_relaxed);
      done += got;
      if (got < want) {
        if (dataEnded && s.samples.available() == 0) {
          finish(index, true);
        } else if (voice.fadeLeft > 0) {
          finish(index, false);  // nothing left to fade: stopping needs no more
        } else {
          _underruns.fetch_add(1, std::memory_order_relaxed);
        }
        break;  // a ring that ran dry before its end: this voice is silent until refilled
      }
    }
  }
}
