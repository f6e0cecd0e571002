#include "platform/AudioPlayer.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>
#include <unordered_map>

#include "platform/AudioDevice.h"

namespace {

// Ticket of a started run -> its player, for the runs whose end has not been told yet.
// Main thread only; a player removes its entries when it stops, restarts or dies, which
// is what keeps a late notice from reaching a player that is gone.
std::unordered_map<std::uint64_t, AudioPlayer*>& pendingEnds() {
  static std::unordered_map<std::uint64_t, AudioPlayer*> pending;
  return pending;
}

std::string mixerError() {
  const char* text = Mix_GetError();
  return text != nullptr ? std::string(text) : std::string();
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

  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    return fail(path + ": no such file");
  }
  if (std::filesystem::is_directory(status)) {
    return fail(path + ": a folder, not a sound file");
  }
  // Anything but a plain file (a pipe, a device) could block the decoder forever.
  if (!std::filesystem::is_regular_file(status)) {
    return fail(path + ": not a sound file");
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    return fail(path + ": cannot be read (" + ec.message() + ")");
  }
  if (size == 0) {
    return fail(path + ": the file is empty");
  }

  SDL_ClearError();
  SDL_RWops* source = SDL_RWFromFile(path.c_str(), "rb");
  if (source == nullptr) {
    return fail(path + ": cannot be read (" + mixerError() + ")");
  }
  // Judged by content, never by name: Mix_LoadMUS would take ".mp3" at its word and
  // hand a renamed WAV or a text file to the mp3 decoder.
  Mix_Music* music = Mix_LoadMUS_RW(source, 1);
  if (music == nullptr) {
    const std::string why = mixerError();
    // Detection looks at the first bytes only; an mp3 with junk before its first frame
    // is still one. The mp3 decoder accepts it only if it finds real frames.
    SDL_ClearError();
    if (SDL_RWops* retry = SDL_RWFromFile(path.c_str(), "rb")) {
      music = Mix_LoadMUSType_RW(retry, MUS_MP3, 1);
    }
    if (music == nullptr) {
      return fail(path + ": not a sound file in a format that can be played" +
                  (why.empty() ? std::string() : " (" + why + ")"));
    }
  }
  return std::unique_ptr<AudioPlayer>(new AudioPlayer(path, music));
}

AudioPlayer::AudioPlayer(std::string path, Mix_Music* music)
    : _path(std::move(path)), _music(music), _openCount(AudioDevice::openCount()) {}

AudioPlayer::~AudioPlayer() {
  stop();
  Mix_FreeMusic(_music);
}

void AudioPlayer::setDelegate(AudioPlayerDelegate* delegate) { _delegate = delegate; }

AudioPlayerDelegate* AudioPlayer::delegate() const { return _delegate; }

void AudioPlayer::setVolume(float volume) {
  _volume = std::isnan(volume) ? 0.0f : std::clamp(volume, 0.0f, 1.0f);
  AudioDevice::setGain(_ticket, _volume);
}

float AudioPlayer::volume() const { return _volume; }

bool AudioPlayer::prepareToPlay() { return _music != nullptr; }

bool AudioPlayer::play() {
  if (!AudioDevice::isOpen() || _openCount != AudioDevice::openCount()) {
    return false;
  }
  if (isPlaying()) {
    return true;
  }
  // An end notice of the previous run may still be on its way; it is stale now.
  forgetTicket();
  const std::uint64_t ticket = AudioDevice::startMusic(_music, _volume);
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

bool AudioPlayer::isPlaying() const { return AudioDevice::isSounding(_ticket); }

double AudioPlayer::duration() const {
  const double seconds = Mix_MusicDuration(_music);
  return seconds > 0.0 ? seconds : 0.0;
}

double AudioPlayer::currentTime() const {
  if (!isPlaying()) return 0.0;
  const double seconds = Mix_GetMusicPosition(_music);
  return seconds > 0.0 ? seconds : 0.0;
}

void AudioPlayer::forgetTicket() {
  if (_ticket != 0) {
    pendingEnds().erase(_ticket);
    _ticket = 0;
  }
}

void AudioPlayer::deliverFinished(std::uint64_t ticket) {
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
    player->_delegate->audioPlayerDidFinishPlayingSuccessfully(player, true);
  }
}
