// A player for one sound file, in the manner of a desktop audio player object: made
// from a path (failing with a readable reason for anything that is not a playable
// sound), with a volume, play and stop, and a delegate told on the main thread when
// the sound reaches its end. The board owns the player of the last sound it started.
//
// The file is streamed: creating a player reads only the file's first frames, so the
// time from play() to the first sound does not depend on the sound's length, and a
// player costs a decoder's state rather than the decoded sound.
//
// All players share the one output of AudioDevice and only one sound is heard at a
// time: playing one player silences the sound of any other (without telling it).
// Stopping or destroying a player never silences another player's sound.
//
// Thread-safety: main thread only. The delegate is called on the main thread from the
// event loop, never from inside play() or stop(); once a player is stopped, started
// again or destroyed, no end notice of its earlier run reaches the delegate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

typedef struct _Mix_Music Mix_Music;

class AudioPlayer;

class AudioPlayerDelegate {
 public:
  virtual ~AudioPlayerDelegate() = default;
  // The sound of `player` has played to its end; `flag` is true when it decoded
  // without trouble (always, as far as the decoder tells).
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
  bool isPlaying() const;
  // Length of the sound in seconds (0 when the file does not tell).
  double duration() const;
  // How far the sound has played, in seconds: 0 before it starts and after it was
  // stopped or ended.
  double currentTime() const;
  const std::string& path() const { return _path; }

 private:
  AudioPlayer(std::string path, Mix_Music* music);

  // Runs on the main thread for each sound that reached its end.
  static void deliverFinished(std::uint64_t ticket);
  void forgetTicket();

  std::string _path;
  Mix_Music* _music;
  std::uint64_t _openCount;
  AudioPlayerDelegate* _delegate = nullptr;
  float _volume = 1.0f;
  // Names the run of the sound this player started last, 0 when none is pending: an
  // end notice whose ticket no longer matches is stale and is dropped.
  std::uint64_t _ticket = 0;

  friend class AudioDevice;
};
