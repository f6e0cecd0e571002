#include "platform/AudioPlayer.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "audio/AudioEngine.h"
#include "platform/AudioDevice.h"

namespace {

// Ticket of a started run -> its player, for the runs whose end has not been told yet.
// Main thread only; a player removes its entries when it stops, restarts or dies, which
// is what keeps a late notice from reaching a player that is gone.
std::unordered_map<std::uint64_t, AudioPlayer*>& pendingEnds() {
  static std::unordered_map<std::uint64_t, AudioPlayer*> pending;
  return pending;
}

}  // namespace

std::unique_ptr<AudioPlayer> AudioPlayer::playerWithContentsOfFile(const std::string& path,
                                                                   std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error != nullptr) {
      *error = why;
    }
    return std::unique_ptr<AudioPlayer>();
  };
  // A device that was missing or lost may be there by now (a headset plugged in, the
  // sound server started after us): the host's click is the moment to look again.
  std::string noDevice;
  if (!AudioDevice::reopenIfMissing(&noDevice)) {
    return fail(noDevice);
  }

  std::shared_ptr<Sound> sound = AudioDevice::engine().load(path, error);
  if (!sound) {
    return std::unique_ptr<AudioPlayer>();
  }
  return std::unique_ptr<AudioPlayer>(new AudioPlayer(path, std::move(sound)));
}

AudioPlayer::AudioPlayer(std::string path, std::shared_ptr<Sound> sound)
    : _path(std::move(path)), _sound(std::move(sound)), _openCount(AudioDevice::openCount()) {}

AudioPlayer::~AudioPlayer() { stop(); }

void AudioPlayer::setDelegate(AudioPlayerDelegate* delegate) { _delegate = delegate; }

AudioPlayerDelegate* AudioPlayer::delegate() const { return _delegate; }

void AudioPlayer::setVolume(float volume) {
  _volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
  AudioDevice::setGain(_ticket, gain());
}

float AudioPlayer::volume() const { return _volume; }

void AudioPlayer::setGainDecibels(double decibels) {
  _gainDecibels = std::isfinite(decibels) ? decibels : 0.0;
  AudioDevice::setGain(_ticket, gain());
}

float AudioPlayer::gain() const {
  return static_cast<float>(_volume * std::pow(10.0, _gainDecibels / 20.0));
}

bool AudioPlayer::prepareToPlay() { return _sound != nullptr; }

bool AudioPlayer::play() {
  if (!AudioDevice::isOpen() || _openCount != AudioDevice::openCount()) {
    return false;
  }
  if (isPlaying()) {
    return true;
  }
  // An end notice of the previous run may still be on its way; it is stale now.
  forgetTicket();
  const std::uint64_t ticket = AudioDevice::startMusic(_sound, gain());
  if (ticket == 0) {
    return false;
  }
  _ticket = ticket;
  pendingEnds()[ticket] = this;
  return true;
}

void AudioPlayer::stop() {
  AudioDevice::stopMusic(_ticket);
  forgetTicket();
}

// A sound that reached its end plays until its end notice is delivered: the delegate
// decides then whether it starts over (looping), so that nothing reads "stopped" in
// between.
bool AudioPlayer::isPlaying() const {
  return AudioDevice::isSounding(_ticket) || AudioDevice::endIsPending(_ticket);
}

double AudioPlayer::duration() const { return _sound->duration(); }

double AudioPlayer::currentTime() const {
  if (AudioDevice::isSounding(_ticket)) return AudioDevice::engine().position(_ticket);
  // Reached its end, its notice not delivered yet: all of it was heard.
  return AudioDevice::endIsPending(_ticket) ? duration() : 0.0;
}

void AudioPlayer::forgetTicket() {
  if (_ticket != 0) {
    pendingEnds().erase(_ticket);
    _ticket = 0;
  }
}

void AudioPlayer::deliverFinished(std::uint64_t ticket, bool whole) {
  AudioDevice::forgetEnd(ticket);
  auto& pending = pendingEnds();
  const auto found = pending.find(ticket);
  if (found == pending.end()) {
    return;  // stopped, restarted or destroyed since
  }
  AudioPlayer* player = found->second;
  pending.erase(found);
  player->_ticket = 0;
  // The delegate may play the player again, or even destroy it; nothing of it is
  // touched after this call.
  if (player->_delegate != nullptr) {
    player->_delegate->audioPlayerDidFinishPlayingSuccessfully(player, whole);
  }
}
