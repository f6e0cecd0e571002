// AudioEngine: the program's sound output. It opens one SDL audio device with a
// callback that runs the Mixer, runs a decoder thread that keeps each sounding voice's
// ring filled from its sound file, and plays Sounds: up to 16 voices heard at once, or
// one at a time (starting a sound then ramps out every other). It also lists the
// playback devices and reports them coming and going.
//
// A Sound is made from a file and decodes its first ~100 ms at once, so that playing it
// puts sound in the device's next period whatever its length; the decoder thread goes
// on from there. While it is not playing, a Sound holds only that head and its
// decoder's state.
//
// News of voices (ended, or gone after a stop) comes to the handler given to
// setNewsHandler(), called on the decoder thread, never from the audio callback.
//
// Ownership: the program owns one engine; a Sound is shared by whoever plays it and the
// decoder thread while it decodes for it.
// Thread-safety: every member function from one control thread (the main thread),
// except that the news handler runs on the decoder thread; the audio callback touches
// only the Mixer.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/Mixer.h"
#include "audio/SoundFile.h"

class AudioEngine;

class Sound {
 public:
  const std::string& path() const { return _path; }
  double duration() const { return _duration; }
  int outputRate() const { return _outputRate; }
  // Frames (at the output's rate) decoded ahead.
  std::size_t headFrames() const { return _head.size() / 2; }
  // Bytes of decoded samples this Sound holds while it does not play.
  std::size_t headBytes() const { return _head.capacity() * sizeof(float); }

 private:
  friend class AudioEngine;
  std::string _path;
  double _duration = 0.0;
  int _outputRate = 0;
  std::vector<float> _head;
  bool _headIsWhole = false;
  // Decoder thread only, after creation: the decoder and whether it has gone past the
  // head (and must go back before the next play).
  std::unique_ptr<SoundFile> _file;
  bool _pastHead = false;
  // The opening of the device it was decoded for.
  std::uint64_t _opening = 0;
};

class AudioEngine {
 public:
  static constexpr int kMaxVoices = 16;
  static constexpr double kHeadSeconds = 0.1;

  struct News {
    std::uint64_t voice = 0;
    // Played to its end (false: stopped).
    bool ended = false;
    // Why it ended early, when decoding failed ("" otherwise).
    std::string problem;
  };

  AudioEngine();
  ~AudioEngine();
  AudioEngine(const AudioEngine&) = delete;
  AudioEngine& operator=(const AudioEngine&) = delete;

  // Starts SDL's audio (afresh when `restart`), with `driver` when not "" (one that
  // does not start gives way to SDL's own choice). False with `why` set on failure.
  static bool startAudio(bool restart, const std::string& driver, std::string* why);
  static void stopAudio();
  static bool audioStarted();
  // The playback devices SDL reports now, in its order.
  static std::vector<std::string> outputDeviceNames();
  // SDL's reports of playback devices since the last call.
  struct DeviceEvents {
    bool added = false;
    bool removed = false;
  };
  static DeviceEvents takeDeviceEvents();

  // Opens the device `name` (nullptr: the default) at `frequency` (it may take
  // another), 16-bit stereo, `bufferFrames` a period. SDL's audio must be started.
  bool open(const char* name, int frequency, int bufferFrames, std::string* error);
  // Ramps every voice out (waiting at most `fadeMilliseconds`), then closes the device.
  // No news of the voices that sounded follows.
  void close(int fadeMilliseconds = 0);
  bool isOpen() const { return _device != 0; }
  int frequency() const { return _frequency; }
  int channels() const { return 2; }
  int bufferFrames() const { return _bufferFrames; }

  // Called on the decoder thread for each voice that ends or goes after a stop.
  void setNewsHandler(std::function<void(const News&)> handler);

  // A Sound for the file at `path`, decoded for this device's rate, or nullptr with
  // `error` saying why (no device open, or the file's own reason).
  std::shared_ptr<Sound> load(const std::string& path, std::string* error);

  // Plays `sound` from its start at `gain` (linear). `exclusive`: every other voice
  // ramps out. Otherwise, with kMaxVoices already sounding, the oldest ramps out. A
  // voice of the same Sound that still sounds is ramped out first. Returns the voice,
  // 0 when it could not start (no device, a Sound made for another opening).
  std::uint64_t play(const std::shared_ptr<Sound>& sound, float gain, bool exclusive);
  void stop(std::uint64_t voice);
  void stopAll();
  void setGain(std::uint64_t voice, float gain);
  // Whether `voice` sounds and was not stopped.
  bool isPlaying(std::uint64_t voice) const;
  // Whether `voice` played to its end by itself (it was not stopped, by stop(), stopAll()
  // or another voice's start) and its end was not acknowledged yet: its ended news is
  // on its way, or was not acted on yet.
  bool hasEnded(std::uint64_t voice) const;
  // The news of `voice`'s end was acted on: the engine forgets it.
  void acknowledgeEnd(std::uint64_t voice);
  // Seconds of `voice` heard so far (0 when it is not playing).
  double position(std::uint64_t voice) const;
  // Voices sounding now (not counting ramps).
  int playingCount() const;
  // Times a voice's ring ran dry before its end since the device opened.
  std::uint64_t underruns() const { return _mixer ? _mixer->underruns() : 0; }

  // Each mixed period, just before it goes to the device: for benchmarks and meters.
  // Runs in the audio callback: it must not allocate, lock or block.
  using OutputTap = void (*)(const std::int16_t* samples, int frames, void* context);
  void setOutputTap(OutputTap tap, void* context);

  // Frames of a voice's ring.
  static constexpr std::size_t kRingFrames = 32768;
  // Frames beyond the head that play() decodes itself before handing a voice over.
  static constexpr std::size_t kStartFrames = 16384;

 private:
  struct Job {
    int slot = 0;
    std::uint64_t voice = 0;
    std::shared_ptr<Sound> sound;
    // Filled at least once (a Sound played before is taken back to its start first).
    bool begun = false;
  };
  struct Live {
    std::uint64_t voice = 0;
    int slot = 0;
    std::shared_ptr<Sound> sound;
    bool stopped = false;
  };

  static void callback(void* self, std::uint8_t* stream, int length);
  void decoderLoop();
  // Tops `job`'s ring up by at most `limit` frames, decoding through `buffer`; false
  // once its sound ended (its problem, if it ended early, kept for its news). On the
  // decoder thread with the jobs locked, or on the control thread for a job not yet
  // handed over.
  bool fill(Job& job, float* buffer, std::size_t limit);
  void prune();
  const Live* find(std::uint64_t voice) const;
  // Whether `live`'s voice no longer sounds (it ended, or its slot was let go).
  bool isOver(const Live& live) const;
  void stopLive(Live& live);

  std::uint32_t _device = 0;
  int _frequency = 0;
  int _bufferFrames = 0;
  std::unique_ptr<Mixer> _mixer;
  std::vector<float> _mixBuffer;
  std::atomic<OutputTap> _tap{nullptr};
  std::atomic<void*> _tapContext{nullptr};

  // Control thread.
  std::uint64_t _opening = 0;
  std::uint64_t _lastVoice = 0;
  // Voices started and not yet forgotten, in the order of starting: those that sound,
  // and those that ended by themselves until their end is acknowledged (at most
  // kEndedKept of these).
  std::vector<Live> _live;
  static constexpr int kEndedKept = 64;

  // Shared by the control and decoder threads (never the callback).
  std::mutex _mutex;
  std::condition_variable _wake;
  std::vector<Job> _jobs;
  bool _quit = false;
  bool _decoderRunning = false;
  std::function<void(const News&)> _handler;
  std::thread _decoder;
  std::vector<float> _decodeBuffer;  // decoder thread
  std::vector<float> _startBuffer;   // control thread
  // By slot: why its voice's data ended early. Written before the end is marked, read
  // with the voice's news.
  std::array<std::string, Mixer::kSlots> _problems;
};
