#include "audio/AudioEngine.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "audio/SdlLibrary.h"

namespace {

std::string sdlError(const char* fallback) {
  const SdlLibrary* sdl = sdlLibrary();
  const char* text = sdl != nullptr ? sdl->GetError() : nullptr;
  return text != nullptr && *text != '\0' ? std::string(text) : std::string(fallback);
}

bool audioIsStarted = false;

// How often the decoder thread looks at the voices while any sounds: well within the
// head's 100 ms, and each look tops every ring up.
constexpr auto kBusyPoll = std::chrono::milliseconds(3);
constexpr auto kIdlePoll = std::chrono::milliseconds(250);
// The decoder's bite: enough to keep its calls few, small enough to go round quickly.
constexpr std::size_t kDecodeFrames = 2048;

}  // namespace

AudioEngine::AudioEngine() = default;

AudioEngine::~AudioEngine() { close(); }

bool AudioEngine::startAudio(bool restart, const std::string& driver, std::string* why) {
  // SDL2 is loaded here, the first time sound is wanted.
  const SdlLibrary* sdl = sdlLibrary(why);
  if (sdl == nullptr) {
    return false;
  }
  if (restart && audioIsStarted) {
    sdl->QuitSubSystem(SDL_INIT_AUDIO);
    audioIsStarted = false;
  }
  if (audioIsStarted) {
    return true;
  }
  // How the sound server lists us in its mixer (default hints only: the environment wins).
  sdl->SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Cueboard", SDL_HINT_DEFAULT);
  sdl->SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Sound board", SDL_HINT_DEFAULT);
  sdl->ClearError();
  if (sdl->InitSubSystem(SDL_INIT_AUDIO) != 0) {
    if (why != nullptr) {
      *why = sdlError("the sound system did not start");
    }
    return false;
  }
  audioIsStarted = true;
  const char* current = sdl->GetCurrentAudioDriver();
  if (!driver.empty() && (current == nullptr || driver != current)) {
    // The driver asked for replaces SDL's choice; one that cannot start hands back.
    if (sdl->AudioInit(driver.c_str()) != 0) {
      sdl->AudioInit(nullptr);
    }
  }
  // Starting reports every device already there as added; only later arrivals count.
  sdl->PumpEvents();
  sdl->FlushEvents(SDL_AUDIODEVICEADDED, SDL_AUDIODEVICEREMOVED);
  return true;
}

void AudioEngine::stopAudio() {
  if (audioIsStarted) {
    const SdlLibrary* sdl = sdlLibrary();
    sdl->QuitSubSystem(SDL_INIT_AUDIO);
    audioIsStarted = false;
  }
}

bool AudioEngine::audioStarted() { return audioIsStarted; }

std::vector<std::string> AudioEngine::outputDeviceNames() {
  std::vector<std::string> names;
  const SdlLibrary* sdl = sdlLibrary();
  if (!audioIsStarted || sdl == nullptr) {
    return names;
  }
  const int count = sdl->GetNumAudioDevices(0);
  for (int i = 0; i < count; ++i) {
    if (const char* name = sdl->GetAudioDeviceName(i, 0)) {
      names.emplace_back(name);
    }
  }
  return names;
}

AudioEngine::DeviceEvents AudioEngine::takeDeviceEvents() {
  DeviceEvents events;
  const SdlLibrary* sdl = sdlLibrary();
  if (!audioIsStarted || sdl == nullptr) {
    return events;
  }
  sdl->PumpEvents();
  SDL_Event event;
  while (sdl->PeepEvents(&event, 1, SDL_GETEVENT, SDL_AUDIODEVICEADDED, SDL_AUDIODEVICEREMOVED) >
         0) {
    if (event.adevice.iscapture != 0) {
      continue;  // microphones are none of ours
    }
    (event.type == SDL_AUDIODEVICEREMOVED ? events.removed : events.added) = true;
  }
  return events;
}

bool AudioEngine::open(const char* name, int frequency, int bufferFrames, std::string* error) {
  if (isOpen()) {
    return true;
  }
  const SdlLibrary* sdl = sdlLibrary(error);
  if (sdl == nullptr) {
    return false;
  }
  SDL_AudioSpec wanted{};
  wanted.freq = frequency;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = 2;
  wanted.samples = static_cast<Uint16>(bufferFrames);
  wanted.callback = &AudioEngine::callback;
  wanted.userdata = this;
  SDL_AudioSpec obtained{};
  // The mixer's rate must be known before the callback runs: the device starts paused.
  sdl->ClearError();
  const SDL_AudioDeviceID device =
      sdl->OpenAudioDevice(name, 0, &wanted, &obtained, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
  if (device == 0) {
    if (error != nullptr) {
      *error = sdlError("the device did not open");
    }
    return false;
  }
  _frequency = obtained.freq;
  _bufferFrames = obtained.samples;
  _mixer = std::make_unique<Mixer>(_frequency, kRingFrames);
  _mixBuffer.assign(static_cast<std::size_t>(std::max<int>(obtained.samples, 256)) * 2, 0.0f);
  _decodeBuffer.assign(kDecodeFrames * 2, 0.0f);
  _startBuffer.assign(kDecodeFrames * 2, 0.0f);
  ++_opening;
  std::unique_lock lock(_mutex);
  _quit = false;
  _decoderRunning = false;
  _decoder = std::thread(&AudioEngine::decoderLoop, this);
  // Under way before the first play, so that its first top-up does not wait for a new
  // thread to be scheduled.
  _wake.wait(lock, [this] { return _decoderRunning; });
  lock.unlock();
  _device = device;
  sdl->PauseAudioDevice(device, 0);
  return true;
}

void AudioEngine::close(int fadeMilliseconds) {
  if (!isOpen()) {
    return;
  }
  if (fadeMilliseconds > 0 && _mixer->soundingCount() > 0) {
    _mixer->send(Mixer::Command{Mixer::Command::StopAll, 0, 0, 0.0f});
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(fadeMilliseconds);
    while (_mixer->soundingCount() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  sdlLibrary()->CloseAudioDevice(_device);  // loaded: the device was opened
  _device = 0;
  {
    std::lock_guard lock(_mutex);
    _quit = true;
  }
  _wake.notify_all();
  _decoder.join();
  _jobs.clear();
  _live.clear();
  _mixer.reset();
  _frequency = 0;
  _bufferFrames = 0;
}

void AudioEngine::setNewsHandler(std::function<void(const News&)> handler) {
  std::lock_guard lock(_mutex);
  _handler = std::move(handler);
}

void AudioEngine::setOutputTap(OutputTap tap, void* context) {
  _tapContext.store(context);
  _tap.store(tap);
}

std::shared_ptr<Sound> AudioEngine::load(const std::string& path, std::string* error) {
  if (!isOpen()) {
    if (error != nullptr) {
      *error = "no sound output device is open";
    }
    return nullptr;
  }
  std::unique_ptr<SoundFile> file = SoundFile::open(path, _frequency, error);
  if (!file) {
    return nullptr;
  }
  auto sound = std::make_shared<Sound>();
  const auto headFrames = std::min<std::size_t>(
      static_cast<std::size_t>(std::lround(kHeadSeconds * _frequency)), kRingFrames);
  sound->_head.resize(headFrames * 2);
  const std::size_t got = file->read(sound->_head.data(), headFrames);
  if (got == 0) {
    if (error != nullptr) {
      *error = !file->problem().empty()
                   ? file->problem()
                   : path + ": not a sound file in a format that can be played (no sound in it)";
    }
    return nullptr;
  }
  sound->_head.resize(got * 2);
  sound->_head.shrink_to_fit();
  sound->_headIsWhole = got < headFrames;
  sound->_path = path;
  sound->_duration = file->duration();
  sound->_outputRate = _frequency;
  sound->_opening = _opening;
  sound->_file = std::move(file);
  return sound;
}

bool AudioEngine::isOver(const Live& live) const {
  const Mixer::Slot& slot = _mixer->slot(live.slot);
  return slot.voice.load(std::memory_order_relaxed) != live.voice ||
         slot.finished.load(std::memory_order_acquire);
}

void AudioEngine::prune() {
  // A voice that ended by itself is kept until its end is acknowledged, so that its
  // owner can tell "ended, news on its way" from "cut off"; a bounded number of them,
  // for owners that never acknowledge.
  int ended = 0;
  for (auto it = _live.rbegin(); it != _live.rend(); ++it) {
    if (!it->stopped && isOver(*it) && ++ended > kEndedKept) {
      it->stopped = true;  // forgotten below
    }
  }
  std::erase_if(_live, [this](const Live& live) { return live.stopped && isOver(live); });
}

const AudioEngine::Live* AudioEngine::find(std::uint64_t voice) const {
  for (const Live& live : _live) {
    if (live.voice == voice) {
      return &live;
    }
  }
  return nullptr;
}

void AudioEngine::stopLive(Live& live) {
  if (!live.stopped) {
    live.stopped = true;
    _mixer->send(Mixer::Command{Mixer::Command::Stop, live.slot, live.voice, 0.0f});
  }
}

std::uint64_t AudioEngine::play(const std::shared_ptr<Sound>& sound, float gain, bool exclusive) {
  if (!isOpen() || !sound || sound->_opening != _opening) {
    return 0;
  }
  prune();
  int sounding = 0;
  for (Live& live : _live) {
    if (isOver(live)) {
      continue;  // ended by itself, its news on the way
    }
    if (exclusive || live.sound == sound) {
      stopLive(live);
    }
    sounding += live.stopped ? 0 : 1;
  }
  for (Live& live : _live) {
    if (sounding < kMaxVoices) {
      break;
    }
    if (!live.stopped && !isOver(live)) {  // the oldest first: _live is in the order of starting
      stopLive(live);
      --sounding;
    }
  }
  const std::uint64_t voice = ++_lastVoice;
  const int index = _mixer->claim(voice);
  if (index < 0) {
    return 0;
  }
  Mixer::Slot& slot = _mixer->slot(index);
  slot.samples.pushSome(sound->_head.data(), sound->_head.size());
  if (sound->_headIsWhole) {
    slot.endOfData.store(true, std::memory_order_release);
  } else {
    // One decoder per Sound: a voice of it that is still ramping out is fed no more,
    // and the decoder thread lets go of the Sound until its new job is handed over.
    std::lock_guard lock(_mutex);
    std::erase_if(_jobs, [&](const Job& job) { return job.sound == sound; });
  }
  if (!_mixer->send(Mixer::Command{Mixer::Command::Start, index, voice, gain})) {
    std::lock_guard lock(_mutex);
    _mixer->release(index);
    return 0;
  }
  _live.push_back(Live{voice, index, sound, false});
  if (sound->_headIsWhole) {
    return voice;
  }
  // The head sounds from the next period on. Meanwhile this thread decodes a little
  // more, so that the decoder thread need not be scheduled within the head's 100 ms.
  Job job{index, voice, sound, false};
  if (fill(job, _startBuffer.data(), kStartFrames)) {
    std::lock_guard lock(_mutex);
    _jobs.push_back(std::move(job));
  }
  _wake.notify_all();
  return voice;
}

void AudioEngine::stop(std::uint64_t voice) {
  for (Live& live : _live) {
    if (live.voice == voice) {
      stopLive(live);
    }
  }
}

void AudioEngine::stopAll() {
  for (Live& live : _live) {
    stopLive(live);
  }
}

void AudioEngine::setGain(std::uint64_t voice, float gain) {
  if (const Live* live = find(voice); live != nullptr && !live->stopped) {
    _mixer->send(Mixer::Command{Mixer::Command::Gain, live->slot, voice, gain});
  }
}

bool AudioEngine::isPlaying(std::uint64_t voice) const {
  const Live* live = find(voice);
  if (live == nullptr || live->stopped) {
    return false;
  }
  const Mixer::Slot& slot = _mixer->slot(live->slot);
  return slot.voice.load(std::memory_order_relaxed) == voice &&
         !slot.finished.load(std::memory_order_acquire);
}

bool AudioEngine::hasEnded(std::uint64_t voice) const {
  const Live* live = find(voice);
  return live != nullptr && !live->stopped && isOver(*live);
}

void AudioEngine::acknowledgeEnd(std::uint64_t voice) {
  std::erase_if(_live, [&](const Live& live) {
    return live.voice == voice && (live.stopped || isOver(live));
  });
}

double AudioEngine::position(std::uint64_t voice) const {
  if (!isPlaying(voice)) {
    return 0.0;
  }
  const Mixer::Slot& slot = _mixer->slot(find(voice)->slot);
  return static_cast<double>(slot.framesPlayed.load(std::memory_order_relaxed)) / _frequency;
}

int AudioEngine::playingCount() const {
  int count = 0;
  for (const Live& live : _live) {
    count += isPlaying(live.voice) ? 1 : 0;
  }
  return count;
}

void AudioEngine::callback(void* self, std::uint8_t* stream, int length) {
  auto* engine = static_cast<AudioEngine*>(self);
  auto* out = reinterpret_cast<std::int16_t*>(stream);
  const std::size_t frames = static_cast<std::size_t>(length) / (2 * sizeof(std::int16_t));
  const std::size_t room = engine->_mixBuffer.size() / 2;
  float* mixed = engine->_mixBuffer.data();
  for (std::size_t done = 0; done < frames;) {
    const std::size_t count = std::min(frames - done, room);
    engine->_mixer->mix(mixed, count);
    std::int16_t* target = out + done * 2;
    for (std::size_t i = 0; i < count * 2; ++i) {
      const float value = std::clamp(mixed[i], -1.0f, 1.0f) * 32767.0f;
      target[i] = static_cast<std::int16_t>(std::lrint(value));
    }
    done += count;
  }
  if (OutputTap tap = engine->_tap.load(std::memory_order_acquire)) {
    tap(out, static_cast<int>(frames), engine->_tapContext.load(std::memory_order_relaxed));
  }
}

bool AudioEngine::fill(Job& job, float* buffer, std::size_t limit) {
  Sound& sound = *job.sound;
  Mixer::Slot& slot = _mixer->slot(job.slot);
  // The voice ends once the ring runs dry. Its problem is written before the end is
  // marked, so whoever takes the voice's news reads it after.
  auto end = [&](const std::string& problem) {
    _problems[static_cast<std::size_t>(job.slot)] = problem;
    slot.endOfData.store(true, std::memory_order_release);
    return false;
  };
  if (!job.begun && sound._pastHead) {
    // Played before: back to the start, and past the head that the voice began with.
    if (!sound._file->rewind()) {
      return end(sound._file->problem());
    }
    for (std::size_t skipped = 0; skipped < sound.headFrames();) {
      const std::size_t want = std::min(kDecodeFrames, sound.headFrames() - skipped);
      const std::size_t got = sound._file->read(buffer, want);
      skipped += got;
      if (got < want) {
        return end(sound._file->problem().empty()
                       ? sound._path + ": the file changed while it was played"
                       : sound._file->problem());
      }
    }
    sound._pastHead = false;
  }
  job.begun = true;
  for (std::size_t filled = 0; filled < limit;) {
    const std::size_t space = slot.samples.freeSpace() / 2;
    if (space < kDecodeFrames / 4) {
      return true;
    }
    const std::size_t want = std::min({space, kDecodeFrames, limit - filled});
    filled += want;
    const std::size_t got = sound._file->read(buffer, want);
    sound._pastHead = true;
    slot.samples.pushSome(buffer, got * 2);
    if (got < want) {
      return end(sound._file->problem());
    }
  }
  return true;
}

void AudioEngine::decoderLoop() {
  // The callback's thread runs at SDL's highest priority, and the rings it mixes from
  // are only as good as this thread's promptness: it takes the same priority (where
  // the system lets it), so that a busy machine starves neither. Its work is bounded
  // by what plays.
  sdlLibrary()->SetThreadPriority(SDL_THREAD_PRIORITY_TIME_CRITICAL);  // loaded by open()
  std::unique_lock lock(_mutex);
  _decoderRunning = true;
  _wake.notify_all();
  std::vector<News> news;
  while (!_quit) {
    Mixer::News item;
    while (_mixer->takeNews(item)) {
      const auto index = static_cast<std::size_t>(item.slot);
      std::erase_if(_jobs, [&](const Job& job) { return job.voice == item.voice; });
      news.push_back(News{item.voice, item.ended, std::move(_problems[index])});
      _problems[index].clear();
      _mixer->release(item.slot);
    }
    std::erase_if(_jobs,
                  [this](Job& job) { return !fill(job, _decodeBuffer.data(), kRingFrames); });
    if (!news.empty()) {
      const auto handler = _handler;
      lock.unlock();
      if (handler) {
        for (const News& told : news) {
          handler(told);
        }
      }
      news.clear();
      lock.lock();
      continue;
    }
    bool busy = !_jobs.empty();
    for (int i = 0; i < Mixer::kSlots && !busy; ++i) {
      busy = _mixer->slot(i).busy.load(std::memory_order_relaxed);
    }
    _wake.wait_for(lock, busy ? kBusyPoll : kIdlePoll);
  }
}
