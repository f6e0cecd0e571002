#include "platform/AudioDevice.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <QCoreApplication>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "platform/AudioPlayer.h"
#include "platform/NotificationCenter.h"

namespace {

// 512 frames is about 11.6 ms at 44.1 kHz: short enough that a click is heard at once,
// long enough not to starve on a busy machine.
constexpr int kBufferFrames = 512;
constexpr int kPreferredFrequency = MIX_DEFAULT_FREQUENCY;
constexpr int kChannels = 2;

struct DeviceState {
  bool open = false;
  // open() was asked for and close() was not called since: a missing device is retried.
  bool wanted = false;
  // SDL's audio subsystem runs (it may while no device is open, to report new ones).
  bool audioStarted = false;
  std::string lastError;
  int frequency = 0;
  int channels = 0;
  std::uint64_t openCount = 0;
  // The output asked for ("" default), the rate asked for (0 the usual one), and why
  // the device opened on the default output instead ("" when it did not).
  std::string outputName;
  int outputFrequency = 0;
  std::string outputDriver;
  std::string fallback;
  std::uint64_t lastTicket = 0;
  // Polls SDL's device reports while the device is wanted; owned here, main thread.
  QTimer* watcher = nullptr;
};

// How often SDL's reports of devices are looked at: a lost device is noticed within
// this time, and an idle board costs nothing measurable.
constexpr int kDeviceCheckMilliseconds = 250;

// Main thread only.
DeviceState& deviceState() {
  static DeviceState state;
  return state;
}

// Shared with the audio thread. The ticket of the run that sounds now, 0 for none:
// whoever takes it (the end hook, a stop, a new sound) decides whether an end notice
// is due, so exactly one of them does.
std::atomic<std::uint64_t> soundingTicket{0};
std::atomic<float> outputGain{1.0f};
// Lives on the main thread; the audio thread queues end notices on it.
std::atomic<QObject*> mainThreadReceiver{nullptr};

std::string sdlError(const char* fallback) {
  const char* text = SDL_GetError();
  return text != nullptr && *text != '\0' ? std::string(text) : std::string(fallback);
}

// The volume is applied to the final mix rather than through Mix_VolumeMusic, whose
// 128 steps cannot give 0.426 of the full loudness.
void SDLCALL applyOutputGain(void* /*unused*/, Uint8* stream, int length) {
  const float gain = outputGain.load(std::memory_order_relaxed);
  if (gain >= 1.0f) {
    return;
  }
  auto* samples = reinterpret_cast<Sint16*>(stream);
  const int count = length / static_cast<int>(sizeof(Sint16));
  for (int i = 0; i < count; ++i) {
    samples[i] = static_cast<Sint16>(std::lrint(static_cast<float>(samples[i]) * gain));
  }
}

void closeAtApplicationExit() { AudioDevice::close(); }

}  // namespace

bool AudioDevice::open(std::string* error) {
  DeviceState& state = deviceState();
  if (state.open) {
    return true;
  }
  state.wanted = true;
  if (QCoreApplication* app = QCoreApplication::instance()) {
    static const bool closesAtExit = [] {
      // Stops the audio thread and the watcher before Qt tears down what they reach.
      qAddPostRoutine(closeAtApplicationExit);
      return true;
    }();
    (void)closesAtExit;
    if (state.watcher == nullptr) {
      state.watcher = new QTimer();
      state.watcher->moveToThread(app->thread());
      QObject::connect(state.watcher, &QTimer::timeout, &AudioDevice::checkDevices);
      state.watcher->start(kDeviceCheckMilliseconds);
    }
  }
  return openDevice(/*restartAudio=*/false, error);
}

bool AudioDevice::reopenIfMissing(std::string* error) {
  DeviceState& state = deviceState();
  if (state.open) {
    return true;
  }
  if (!state.wanted) {
    const std::string why =
        state.lastError.empty() ? std::string("no sound output device is open") : state.lastError;
    if (error != nullptr) {
      *error = why;
    }
    return false;
  }
  return openDevice(/*restartAudio=*/true, error);
}

bool AudioDevice::openDevice(bool restartAudio, std::string* error) {
  DeviceState& state = deviceState();
  auto fail = [&](const std::string& why) {
    state.lastError = "no sound output device (" + why + ")";
    if (error != nullptr) {
      *error = state.lastError;
    }
    return false;
  };

  std::string why;
  if (!startAudio(restartAudio, &why)) {
    return fail(why);
  }
  static const bool decodersLoaded = [] {
    // Loaded once for the whole run and never unloaded: players may outlive a close().
    Mix_Init(MIX_INIT_MP3);
    return true;
  }();
  (void)decodersLoaded;
  // The format is fixed (signed 16-bit, stereo) so that SDL converts for odd hardware
  // and the mixed stream always has the layout the gain stage expects; only the rate
  // may follow the hardware, which spares a resampling step there.
  const int frequency = state.outputFrequency > 0 ? state.outputFrequency : kPreferredFrequency;
  // SDL quietly opens the default output for a name it does not know, so a named output
  // is opened only while SDL lists it.
  state.fallback.clear();
  const char* name = nullptr;
  if (!state.outputName.empty()) {
    if (isListed(state.outputName)) {
      name = state.outputName.c_str();
    } else {
      state.fallback = "the output \"" + state.outputName + "\" is not connected";
    }
  }
  SDL_ClearError();
  if (Mix_OpenAudioDevice(frequency, AUDIO_S16SYS, kChannels, kBufferFrames, name,
                          SDL_AUDIO_ALLOW_FREQUENCY_CHANGE) != 0) {
    const std::string why = sdlError("the device did not open");
    if (name == nullptr) {
      // SDL's audio stays up, so that a device plugged in later is reported.
      return fail(why);
    }
    state.fallback = "the output \"" + state.outputName + "\" did not open: " + why;
    SDL_ClearError();
    if (Mix_OpenAudioDevice(frequency, AUDIO_S16SYS, kChannels, kBufferFrames, nullptr,
                            SDL_AUDIO_ALLOW_FREQUENCY_CHANGE) != 0) {
      return fail(sdlError("the device did not open"));
    }
  }
  Uint16 format = 0;
  Mix_QuerySpec(&state.frequency, &format, &state.channels);

  auto* receiver = new QObject();
  if (QCoreApplication* app = QCoreApplication::instance()) {
    receiver->moveToThread(app->thread());
  }
  mainThreadReceiver.store(receiver);
  soundingTicket.store(0);
  outputGain.store(1.0f);
  Mix_SetPostMix(applyOutputGain, nullptr);
  Mix_HookMusicFinished(&AudioDevice::musicFinished);

  state.open = true;
  state.lastError.clear();
  ++state.openCount;
  postDidChange();
  return true;
}

bool AudioDevice::startAudio(bool restartAudio, std::string* why) {
  DeviceState& state = deviceState();
  if (restartAudio && state.audioStarted) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    state.audioStarted = false;
  }
  if (state.audioStarted) {
    return true;
  }
  // How the sound server lists us in its mixer (default hints only: the environment wins).
  SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Cueboard", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Sound board", SDL_HINT_DEFAULT);
  SDL_ClearError();
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    if (why != nullptr) {
      *why = sdlError("the sound system did not start");
    }
    return false;
  }
  state.audioStarted = true;
  const char* current = SDL_GetCurrentAudioDriver();
  if (!state.outputDriver.empty() && (current == nullptr || state.outputDriver != current)) {
    // The driver asked for replaces SDL's choice; one that cannot start hands back.
    if (SDL_AudioInit(state.outputDriver.c_str()) != 0) {
      SDL_AudioInit(nullptr);
    }
  }
  // Starting reports every device already there as added; only later arrivals count.
  SDL_PumpEvents();
  SDL_FlushEvents(SDL_AUDIODEVICEADDED, SDL_AUDIODEVICEREMOVED);
  return true;
}

bool AudioDevice::useOutput(const std::string& deviceName, int frequency,
                            const std::string& driver, std::string* error) {
  if (isOnOutput(deviceName, frequency, driver)) {
    return true;  // already there: the sound that plays goes on
  }
  DeviceState& state = deviceState();
  state.outputName = deviceName;
  state.outputFrequency = frequency;
  state.outputDriver = driver;
  if (!state.open && !state.wanted) {
    return false;
  }
  // Started afresh, SDL lists the outputs as they are now (one just made by the sound
  // server included) rather than as its last report had them.
  closeDevice(/*stopAudio=*/false);
  const bool opened = openDevice(/*restartAudio=*/true, error);
  if (!opened) {
    postDidChange();  // a successful open has posted already
  }
  return opened;
}

bool AudioDevice::isOnOutput(const std::string& deviceName, int frequency,
                             const std::string& driver) {
  const DeviceState& state = deviceState();
  return state.open && state.fallback.empty() && state.outputName == deviceName &&
         state.outputFrequency == frequency && state.outputDriver == driver;
}

std::string AudioDevice::outputDeviceName() { return deviceState().outputName; }

std::string AudioDevice::outputFallback() {
  const DeviceState& state = deviceState();
  return state.open ? state.fallback : std::string();
}

std::vector<std::string> AudioDevice::outputDeviceNames() {
  std::vector<std::string> names;
  if (!deviceState().audioStarted) {
    return names;  // open() starts SDL's audio: before it, its driver is not chosen yet
  }
  const int count = SDL_GetNumAudioDevices(0);
  for (int i = 0; i < count; ++i) {
    if (const char* name = SDL_GetAudioDeviceName(i, 0)) {
      names.emplace_back(name);
    }
  }
  return names;
}

bool AudioDevice::isListed(const std::string& deviceName) {
  const std::vector<std::string> names = outputDeviceNames();
  return std::find(names.begin(), names.end(), deviceName) != names.end();
}

bool AudioDevice::isOpen() { return deviceState().open; }

std::string AudioDevice::lastError() { return deviceState().lastError; }

void AudioDevice::close() {
  DeviceState& state = deviceState();
  state.wanted = false;
  state.outputName.clear();
  state.outputFrequency = 0;
  state.outputDriver.clear();
  delete state.watcher;
  state.watcher = nullptr;
  const bool wasOpen = state.open;
  closeDevice(/*stopAudio=*/true);
  if (wasOpen) {
    postDidChange();
  }
}

void AudioDevice::closeDevice(bool stopAudio) {
  DeviceState& state = deviceState();
  if (state.open) {
    soundingTicket.store(0);
    Mix_HaltMusic();
    Mix_HookMusicFinished(nullptr);
    Mix_SetPostMix(nullptr, nullptr);
    Mix_CloseAudio();
    // The audio thread has ended; notices still queued for the receiver go with it.
    delete mainThreadReceiver.exchange(nullptr);
    state.open = false;
    state.frequency = 0;
    state.channels = 0;
  }
  if (stopAudio && state.audioStarted) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    state.audioStarted = false;
  }
}

void AudioDevice::checkDevices() {
  DeviceState& state = deviceState();
  if (!state.audioStarted) {
    return;  // nothing reports devices until a player is made and SDL's audio restarts
  }
  SDL_PumpEvents();
  bool lost = false;
  bool added = false;
  SDL_Event event;
  while (SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_AUDIODEVICEADDED, SDL_AUDIODEVICEREMOVED) >
         0) {
    if (event.adevice.iscapture != 0) {
      continue;  // microphones are none of ours
    }
    // SDL reports the removal of opened devices only, and we open one.
    if (event.type == SDL_AUDIODEVICEREMOVED) {
      lost = true;
    } else {
      added = true;
    }
  }
  if (lost || added) {
    NotificationCenter::defaultCenter().postNotificationName(kDeviceListDidChange);
  }
  if (added && state.open && !state.fallback.empty()) {
    if (isListed(state.outputName)) {
      // The output asked for is back: move onto it, as if it had never been gone.
      closeDevice(/*stopAudio=*/false);
      openDevice(/*restartAudio=*/false, nullptr);
      postDidChange();
      return;
    }
  }
  if (lost && state.open) {
    // The disconnected device plays into nothing; closing it ends its thread at once.
    closeDevice(/*stopAudio=*/false);
    state.lastError = "no sound output device (the device was disconnected)";
    // A chosen output that went (an unplugged headset) gives way to the default one.
    if (state.outputName.empty() || !openDevice(/*restartAudio=*/false, nullptr)) {
      postDidChange();
    }
  }
  if (added && !state.open && state.wanted) {
    // The driver that reported the device is the one to open it with.
    openDevice(/*restartAudio=*/false, nullptr);
  }
}

void AudioDevice::postDidChange() {
  NotificationCenter::defaultCenter().postNotificationName(kDeviceDidChange);
}

int AudioDevice::frequency() { return deviceState().frequency; }

int AudioDevice::channels() { return deviceState().channels; }

std::uint64_t AudioDevice::openCount() { return deviceState().openCount; }

std::uint64_t AudioDevice::startMusic(Mix_Music* music, float gain) {
  if (!isOpen() || music == nullptr) {
    return 0;
  }
  // Taking the ticket first makes the halt below (and its synchronous end hook) a
  // silent one: the run it ends is superseded, not finished.
  soundingTicket.store(0);
  Mix_HaltMusic();
  const std::uint64_t ticket = ++deviceState().lastTicket;
  outputGain.store(gain);
  // Published before the start: a very short sound may end on the audio thread before
  // Mix_PlayMusic has even returned, and its end must find its ticket.
  soundingTicket.store(ticket);
  if (Mix_PlayMusic(music, 0) != 0) {
    std::uint64_t expected = ticket;
    soundingTicket.compare_exchange_strong(expected, 0);
    return 0;
  }
  return ticket;
}

void AudioDevice::stopMusic(std::uint64_t ticket) {
  std::uint64_t expected = ticket;
  if (ticket != 0 && soundingTicket.compare_exchange_strong(expected, 0)) {
    // Only the main thread starts sounds, so what this halts is still that run (or,
    // if it just ended by itself, nothing).
    Mix_HaltMusic();
  }
}

bool AudioDevice::isSounding(std::uint64_t ticket) {
  return ticket != 0 && soundingTicket.load() == ticket;
}

void AudioDevice::setGain(std::uint64_t ticket, float gain) {
  if (isSounding(ticket)) {
    outputGain.store(gain);
  }
}

void AudioDevice::musicFinished() {
  const std::uint64_t ticket = soundingTicket.exchange(0);
  if (ticket == 0) {
    return;  // silenced on purpose: by a stop, a newer sound or close()
  }
  // No SDL_mixer call may happen here (the audio lock is held); the main thread does
  // the rest.
  if (QObject* receiver = mainThreadReceiver.load()) {
    QMetaObject::invokeMethod(
        receiver, [ticket] { AudioPlayer::deliverFinished(ticket); }, Qt::QueuedConnection);
  }
}
