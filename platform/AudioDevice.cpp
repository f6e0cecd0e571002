#include "platform/AudioDevice.h"

#include <QCoreApplication>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>

#include "audio/AudioEngine.h"
#include "platform/AudioPlayer.h"
#include "platform/NotificationCenter.h"

namespace {

// 512 frames is about 11.6 ms at 44.1 kHz: short enough that a click is heard at once,
// long enough not to starve on a busy machine.
constexpr int kBufferFrames = 512;
constexpr int kPreferredFrequency = 44100;
// What a switch of output or a close waits at most for the sound to ramp out.
constexpr int kFadeMilliseconds = 20;

struct DeviceState {
  bool open = false;
  // open() was asked for and close() was not called since: a missing device is retried.
  bool wanted = false;
  // Wanted through openLater(), and no open tried since.
  bool pending = false;
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
  bool overlap = false;
  AudioDevice::OutputTap tap = nullptr;
  void* tapContext = nullptr;
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

// Lives on the main thread; the decoder thread queues end notices on it.
std::atomic<QObject*> mainThreadReceiver{nullptr};

void closeAtApplicationExit() { AudioDevice::close(); }

}  // namespace

AudioEngine& AudioDevice::engine() {
  // Never destroyed: players may outlive everything else at exit; close() stops it.
  static AudioEngine* const engine = new AudioEngine();
  return *engine;
}

void AudioDevice::openLater() {
  DeviceState& state = deviceState();
  if (!state.open) {
    state.wanted = true;
    state.pending = true;
  }
}

bool AudioDevice::isOpenPending() { return deviceState().pending; }

bool AudioDevice::open(std::string* error) {
  DeviceState& state = deviceState();
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
  if (state.open) {
    return true;  // already, perhaps by a click while the open was pending
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
  const bool wasPending = state.pending;
  state.pending = false;
  auto fail = [&](const std::string& why) {
    state.lastError = "no sound output device (" + why + ")";
    if (error != nullptr) {
      *error = state.lastError;
    }
    // The first try of an open that was put off: now there is something to say.
    if (wasPending) {
      postDidChange();
    }
    return false;
  };

  std::string why;
  if (!startAudio(restartAudio, &why)) {
    return fail(why);
  }
  // The format is fixed (signed 16-bit, stereo) so that SDL converts for odd hardware;
  // only the rate may follow the hardware, which spares a resampling step there.
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
  AudioEngine& output = engine();
  std::string openError;
  if (!output.open(name, frequency, kBufferFrames, &openError)) {
    if (name == nullptr) {
      // SDL's audio stays up, so that a device plugged in later is reported.
      return fail(openError);
    }
    state.fallback = "the output \"" + state.outputName + "\" did not open: " + openError;
    if (!output.open(nullptr, frequency, kBufferFrames, &openError)) {
      return fail(openError);
    }
  }
  state.frequency = output.frequency();
  state.channels = output.channels();

  auto* receiver = new QObject();
  if (QCoreApplication* app = QCoreApplication::instance()) {
    receiver->moveToThread(app->thread());
  }
  mainThreadReceiver.store(receiver);
  // On the decoder thread: a sound that played to its end is told on the main thread;
  // one silenced on purpose (a stop, a newer sound, close()) is not.
  output.setNewsHandler([](const AudioEngine::News& news) {
    if (!news.ended) {
      return;
    }
    const std::uint64_t ticket = news.voice;
    const bool whole = news.problem.empty();
    if (QObject* receiver = mainThreadReceiver.load()) {
      QMetaObject::invokeMethod(
          receiver, [ticket, whole] { AudioPlayer::deliverFinished(ticket, whole); },
          Qt::QueuedConnection);
    }
  });
  output.setOutputTap(state.tap, state.tapContext);

  state.open = true;
  state.lastError.clear();
  ++state.openCount;
  postDidChange();
  return true;
}

bool AudioDevice::startAudio(bool restartAudio, std::string* why) {
  DeviceState& state = deviceState();
  const bool started = AudioEngine::startAudio(restartAudio, state.outputDriver, why);
  state.audioStarted = AudioEngine::audioStarted();
  return started;
}

bool AudioDevice::useOutput(const std::string& deviceName, int frequency, const std::string& driver,
                            std::string* error) {
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
  // server included) rather than as its last report had them. The sound that played
  // ramps out first.
  closeDevice(/*stopAudio=*/false, kFadeMilliseconds);
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
  if (!deviceState().audioStarted) {
    return {};  // open() starts SDL's audio: before it, its driver is not chosen yet
  }
  return AudioEngine::outputDeviceNames();
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
  state.pending = false;
  state.outputName.clear();
  state.outputFrequency = 0;
  state.outputDriver.clear();
  delete state.watcher;
  state.watcher = nullptr;
  const bool wasOpen = state.open;
  closeDevice(/*stopAudio=*/true, kFadeMilliseconds);
  if (wasOpen) {
    postDidChange();
  }
}

void AudioDevice::closeDevice(bool stopAudio, int fadeMilliseconds) {
  DeviceState& state = deviceState();
  if (state.open) {
    engine().close(fadeMilliseconds);
    // The engine's threads have ended; notices still queued for the receiver go with it.
    delete mainThreadReceiver.exchange(nullptr);
    state.open = false;
    state.frequency = 0;
    state.channels = 0;
  }
  if (stopAudio && state.audioStarted) {
    AudioEngine::stopAudio();
    state.audioStarted = false;
  }
}

void AudioDevice::checkDevices() {
  DeviceState& state = deviceState();
  if (!state.audioStarted) {
    return;  // nothing reports devices until a player is made and SDL's audio restarts
  }
  // SDL reports the removal of opened devices only, and we open one.
  const AudioEngine::DeviceEvents events = AudioEngine::takeDeviceEvents();
  const bool lost = events.removed;
  const bool added = events.added;
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

void AudioDevice::setOverlap(bool overlap) { deviceState().overlap = overlap; }

bool AudioDevice::overlap() { return deviceState().overlap; }

void AudioDevice::stopAll() {
  if (isOpen()) {
    engine().stopAll();
  }
}

int AudioDevice::playingCount() { return isOpen() ? engine().playingCount() : 0; }

void AudioDevice::setOutputTap(OutputTap tap, void* context) {
  DeviceState& state = deviceState();
  state.tap = tap;
  state.tapContext = context;
  if (isOpen()) {
    engine().setOutputTap(tap, context);
  }
}

std::uint64_t AudioDevice::startMusic(const std::shared_ptr<Sound>& sound, float gain) {
  if (!isOpen() || !sound) {
    return 0;
  }
  return engine().play(sound, gain, !deviceState().overlap);
}

void AudioDevice::stopMusic(std::uint64_t ticket) {
  if (ticket != 0 && isOpen()) {
    engine().stop(ticket);
  }
}

bool AudioDevice::isSounding(std::uint64_t ticket) {
  return ticket != 0 && isOpen() && engine().isPlaying(ticket);
}

void AudioDevice::setGain(std::uint64_t ticket, float gain) {
  if (ticket != 0 && isOpen()) {
    engine().setGain(ticket, gain);
  }
}

bool AudioDevice::endIsPending(std::uint64_t ticket) {
  return ticket != 0 && isOpen() && engine().hasEnded(ticket);
}

void AudioDevice::forgetEnd(std::uint64_t ticket) {
  if (ticket != 0 && isOpen()) {
    engine().acknowledgeEnd(ticket);
  }
}
