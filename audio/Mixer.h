// Mixer: the real-time half of the engine. A fixed set of voice slots, each with a ring
// of decoded stereo frames that another thread keeps filled; mix() (called by the audio
// callback) sums the sounding voices, each at its own gain. Starts, stops, gain changes
// and stop-all arrive through a lock-free command queue; each voice that ends, by
// itself or after a stop, is reported through a lock-free news queue. Every stop ramps
// the voice out over about 5 ms and every gain change glides over the same time, so
// that nothing is cut mid-wave.
//
// The slots' life: the control thread takes a free slot (claim), fills its ring with
// the sound's first frames and sends Start; a filler thread tops the ring up and marks
// the end of the data; mix() plays it and, once it ends or its ramp-out is over, lets
// go of it and posts the news; the thread that takes the news calls release(), after
// which the slot is free again.
//
// Ownership: owns the slots and the queues, all allocated at construction.
// Thread-safety: mix() on one thread (the audio callback): it never allocates, locks or
// waits. send(), claim() and the Start set-up on one control thread; the ring's filling
// and endOfData on one filler thread; takeNews() and release() on one thread.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/SpscRing.h"

class Mixer {
 public:
  // Voice slots: the 16 voices that may sound at once and room for voices still
  // ramping out after being stopped.
  static constexpr int kSlots = 24;
  static constexpr double kRampSeconds = 0.005;

  struct Command {
    enum Kind : std::uint8_t { Start, Stop, StopAll, Gain };
    Kind kind = Start;
    int slot = 0;
    std::uint64_t voice = 0;
    float gain = 1.0f;
  };
  struct News {
    int slot = 0;
    std::uint64_t voice = 0;
    // True when the voice played its data to the end, false when it was stopped.
    bool ended = false;
  };

  struct Slot {
    explicit Slot(std::size_t ringFrames) : samples(ringFrames * 2) {}
    // Interleaved stereo samples; whole frames only.
    SpscRing<float> samples;
    // Set by the filler after its last frame: once the ring runs dry, the voice ends.
    std::atomic<bool> endOfData{false};
    // The voice the slot holds, 0 for none.
    std::atomic<std::uint64_t> voice{0};
    // Frames mix() has taken from the ring for this voice.
    std::atomic<std::uint64_t> framesPlayed{0};
    // Set by mix() when it lets go of the voice.
    std::atomic<bool> finished{false};
    // Between claim() and release().
    std::atomic<bool> busy{false};
  };

  // `rate`: frames a second, for the ramps; `ringFrames`: each slot's ring size.
  Mixer(int rate, std::size_t ringFrames);
  Mixer(const Mixer&) = delete;
  Mixer& operator=(const Mixer&) = delete;

  int rate() const { return _rate; }
  std::size_t rampFrames() const { return _rampFrames; }
  Slot& slot(int index) { return *_slots[static_cast<std::size_t>(index)]; }

  // Control thread. A free slot made ready for `voice` (empty ring, counters at 0), or
  // -1 when every slot is taken.
  int claim(std::uint64_t voice);
  // Control thread. False when the queue is full (the command is dropped).
  bool send(const Command& command) { return _commands.push(command); }

  // Audio callback: writes `frames` mixed stereo frames to `out`.
  void mix(float* out, std::size_t frames);

  // News thread.
  bool takeNews(News& news) { return _news.pop(news); }
  // News thread: the slot of finished news is free for another voice.
  void release(int index);

  // How many voices mix() is playing now; any thread (a hint).
  int soundingCount() const { return _sounding.load(std::memory_order_relaxed); }
  // How many times a voice's ring ran dry before its end (its filler fell behind, and
  // the voice went silent for the rest of a period); any thread.
  std::uint64_t underruns() const { return _underruns.load(std::memory_order_relaxed); }

 private:
  // mix()'s own view of a slot.
  struct Voice {
    bool active = false;
    std::uint64_t voice = 0;
    float gain = 1.0f;
    float target = 1.0f;
    float step = 0.0f;
    // Frames left of the ramp-out; 0 when not stopping.
    std::size_t fadeLeft = 0;
  };
  static constexpr std::size_t kChunkFrames = 256;

  void apply(const Command& command);
  void beginFade(Voice& voice);
  void finish(int index, bool ended);

  int _rate;
  std::size_t _rampFrames;
  std::array<std::unique_ptr<Slot>, kSlots> _slots;
  std::array<Voice, kSlots> _voices{};
  SpscRing<Command> _commands{256};
  SpscRing<News> _news{256};
  std::atomic<int> _sounding{0};
  std::atomic<std::uint64_t> _underruns{0};
  std::array<float, kChunkFrames * 2> _chunk{};
};
