// A player for one sound file, in the manner of a desktop audio player object: made
// from a path (failing with a readable reason for anything that is not a playable
// sound), with a volume, play and stop, and a delegate told on the main thread when
// the sound reaches its end. The board owns the player of the last sound it started.
//
// The file is streamed: creating a player decodes only the file's first 100 ms, so the
// time from play() to the first sound does not depend on the sound's length, and a
// player costs a decoder's state and that head rather than the decoded sound. It plays
// MP3, WAV, AIFF, FLAC, Ogg Vorbis and Opus, judged by content.
//
// All players share the one output of AudioDevice, and by default only one sound is
// heard at a time: playing one player silences the sound of any other (without telling
// it), ramping it out over 5 ms. With AudioDevice::setOverlap(true), up to 16 players
// are heard at once. Stopping or destroying a player never silences another player's
// sound; a stop ramps the player's own sound out.
//
// Thread-safety: main thread only. The delegate is called on the main thread from the
// event loop, never from inside play() or stop(); once a player is stopped, started
// again or destroyed, no end notice of its earlier run reaches the delegate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class Sound;

class AudioPlayer;

class AudioPlayerDelegate {
 public:
  virtual ~AudioPlayerDelegate() = default;
  // The sound of `player` has played to its end; `flag` is true when it decoded
  // without trouble (false when the file could not be read to its end).
  virtual void audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* player, bool flag) = 0;
};

class AudioPlayer {
 public:
  // A player for the sound file at `path`, or nullptr with `error` (when given) set to
  // a readable reason: no output device, a missing, unreadable or empty file, or a
  // file whose content is not a sound in a known format (its name does not matter).
  // While the device is missing, each call first tries to open it again.
  static std::unique_ptr<AudioPlayer> playerWithContentsOfFile(const std::string& path,
                                                               std::string* error);
  ~AudioPlayer();
  AudioPlayer(const AudioPlayer&) = delete;
  AudioPlayer& operator=(const AudioPlayer&) = delete;

  // Not owned; nullptr for none. It must outlive the player or be unset first.
  void setDelegate(AudioPlayerDelegate* delegate);
  AudioPlayerDelegate* delegate() const;

  // 0.0 to 1.0 (clamped); heard at once, also while the sound plays.
  void setVolume(float volume);
  float volume() const;
  // A gain of the player's own in dB (loudness matching, a trim), applied on top of
  // the volume; 0 (the default) leaves the sound as it is. Heard at once, also while
  // the sound plays.
  void setGainDecibels(double decibels);
  double gainDecibels() const { return _gainDecibels; }

  // The decoder is ready from creation on, so this only reports that the player can
  // play.
  bool prepareToPlay();
  // Plays from the current position: while the sound plays this changes nothing;
  // after it ended or was stopped, it starts over from the beginning. False when the
  // device is gone or the decoder refuses.
  bool play();
  // Silences the sound at once. No end notice follows, not even one already on its
  // way to the main thread.
  void stop();
  // True from a successful play() until the sound is stopped or its end notice has
  // been delivered (a sound that reached its end still plays until the delegate heard
  // of it, so a looping sound never reads as stopped between two rounds).
  bool isPlaying() const;
  // Length of the sound in seconds (0 when the file does not tell).
  double duration() const;
  // How far the sound has played, in seconds: 0 before it starts and after it was
  // stopped or ended.
  double currentTime() const;
  const std::string& path() const { return _path; }

 private:
  AudioPlayer(std::string path, std::shared_ptr<Sound> sound);

  // Runs on the main thread for each sound that reached its end; `whole` is false when
  // decoding stopped early.
  static void deliverFinished(std::uint64_t ticket, bool whole);
  void forgetTicket();
  float gain() const;

  std::string _path;
  std::shared_ptr<Sound> _sound;
  std::uint64_t _openCount;
  AudioPlayerDelegate* _delegate = nullptr;
  float _volume = 1.0f;
  double _gainDecibels = 0.0;
  // Names the run of the sound this player started last, 0 when none is pending: an
  // end notice whose ticket no longer matches is stale and is dropped.
  std::uint64_t _ticket = 0;

  friend class AudioDevice;
};
