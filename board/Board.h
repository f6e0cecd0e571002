#pragma once
// Board: the sound board without its window. It holds what the board is in (the
// category shown and its loaded sounds, the sound that plays, the volume, looping and
// the hotkey mode), offers what can be done to it (play a button, stop, switch the
// category, set the volume, looping and the hotkey mode) and tells of every change
// through its signals.
//
// One sound plays at a time unless sounds overlap (setting "overlap"): then a click
// starts its sound alongside the others, up to AudioEngine's 16 (the oldest stops for
// a 17th), and a click on a playing button stops that sound only. The single-sound
// state (isPlaying(), playingButton(), currentPlayer(), ...) then describes the sound
// started last of those that still play; playingSounds() lists them all. With
// "normalize" on, each sound plays at the gain that matches its measured loudness
// (library/LoudnessStore.h); sounds not measured yet are measured in the background.
// A sound's trim applies either way. The window, the focused and system-wide hotkeys and any other
// surface act through it and show what it signals; it knows none of them.
//
// The sounds of the category shown are the process-wide caches of library/Caches.h:
// the board fills them on each load, and the library commands (which it owns) update
// them in place. The volume, looping, hotkey mode and category are stored in the
// settings ("volume", "loop", "hotkeyTag", "curClassId") as they change and read back
// when a board is made.
//
// Ownership: one per program, made by the application (or by a window made without
// one); it owns its audio player and its library commands and shares the library
// connection.
// Thread-safety: main thread only. The audio player's end-of-sound notification is
// delivered on the main thread.

#include <QObject>
#include <QString>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/Loudness.h"
#include "platform/AudioPlayer.h"

class LibraryCommands;
class LoudnessStore;
class LiteDatabase;

class Board : public QObject, public AudioPlayerDelegate {
  Q_OBJECT

 public:
  static constexpr int kCategoryCount = 5;
  static constexpr int kButtonCount = 40;

  // One sound button with a row in the library.
  struct Sound {
    int button = 0;  // 1-40
    std::string buttonId;
    QString title;
    QString hotkey;        // the custom hotkey's key name, "" for none
    std::string musicSrc;  // as stored: a name in the sound folder or a full path
    bool fileMissing = false;
  };

  // Reads the settings and loads the category shown.
  explicit Board(std::shared_ptr<LiteDatabase> db, QObject* parent = nullptr);
  ~Board() override;

  static std::string classIdForCategory(int number);
  // The category whose id that is, 0 for none of the five.
  static int categoryForClassId(const std::string& classId);
  static std::string categoryQuerySql(const std::string& classId);
  // Where the sound stored as `musicSrc` is: in the sound folder, or, for a file chosen
  // outside it (stored by its full path), there; none when neither exists.
  static std::optional<std::string> soundFilePath(const std::string& musicSrc);
  // Why that sound cannot be played ("没有音效文件", "找不到音效文件：…"), "" when it
  // can be read.
  static QString missingFileText(const std::string& musicSrc);

  // State.
  // The category shown, 1-5; 0 when the stored category is none of the five.
  int currentCategory() const;
  const std::string& currentClassId() const { return curClassId; }
  // The buttons with a row in the library, in button order. Category 0: the one
  // shown, as loaded (and edited since); any other is read from the library.
  std::vector<Sound> sounds(int category = 0) const;
  // Why the library could not be read at the last load, "" when it was.
  const std::string& libraryProblem() const { return problem; }
  // Whether the last load read the category shown (perhaps only part of it, see
  // libraryProblem()); while not, the board has no sounds to show or play.
  bool soundsLoaded() const { return loaded; }

  bool isPlaying() const;
  // The category and button of the sound playing, 0 when nothing plays.
  int playingCategory() const;
  int playingButton() const;
  QString playingTitle() const;
  double playingDuration() const;
  // Seconds into the sound; a looping sound counts from the start of its loop.
  double playingPosition() const;
  // The ButtonId of the sound last started; "" once it stopped or ended.
  const std::string& currentButtonId() const { return curButtonId; }
  AudioPlayer* currentPlayer() const { return player.get(); }

  // Every sound that plays now, the one started first first (at most one unless sounds
  // overlap).
  struct PlayingSound {
    int category = 0;
    int button = 0;
    std::string buttonId;
    QString title;
    double position = 0;  // as playingPosition()
    double duration = 0;
  };
  std::vector<PlayingSound> playingSounds() const;
  bool overlaps() const { return overlap; }
  bool normalizes() const { return normalize; }
  // The gain in dB a sound plays at on top of the volume: its trim, plus its loudness
  // match while normalizes().
  double soundGainDecibels(const std::string& musicSrc, const std::string& path);

  int volume() const { return static_cast<int>(level); }  // 0-100, as the label shows it
  float volumeLevel() const { return level; }             // 0-100, as finely as it was set
  bool loops() const { return loop; }
  int hotkeyMode() const { return mode; }  // 0 none, 1 built-in, 2 custom

  const std::shared_ptr<LiteDatabase>& database() const { return db; }
  LibraryCommands& libraryCommands() { return *library; }

  // Operations. Those that can fail return false with a readable reason.

  // Does what a click on the button does: plays its sound, or stops it when it is the
  // one playing. Category 0 is the one shown; another category's button plays without
  // switching the category shown.
  bool play(int category, int button, QString* reason = nullptr);
  // Stops whatever plays; nothing happens while nothing plays.
  void stop();
  // Shows category 1-5 (loaded again, and signalled, also when it is already shown)
  // and stores it.
  bool setCategory(int category, QString* reason = nullptr);
  // 0-100; stored as a whole number.
  bool setVolume(int volume, QString* reason = nullptr);
  void setVolumeLevel(float level);  // the slider's finer position, clamped to 0-100
  void setLoop(bool on);
  // Several sounds at once (true) or one at a time; stored as "overlap". Sounds that
  // play go on; from then on a click follows the new rule.
  void setOverlap(bool on);
  // Loudness matching; stored as "normalize". Heard from each sound's next start.
  void setNormalize(bool on);
  // Blocks until every sound asked to be measured has been (tests, shutdown).
  void waitForLoudnessMeasures();
  // 0, 1 or 2; any other number is taken as 0.
  void setHotkeyMode(int mode);
  // Loads the category shown from the library again.
  void reload();

  void audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* player, bool flag) override;

 signals:
  // A category was chosen (after its sounds were loaded).
  void categoryChanged(int category);
  // The shown category's buttons were (re)loaded or edited: read sounds() again.
  void soundsChanged();
  void playbackStarted(int category, int button, QString title, double duration);
  // Why: "stopped" (asked for), "finished", "replaced" (another sound started),
  // "deviceLost", "error" (the next sound could not start).
  void playbackStopped(QString reason);
  void volumeChanged(int volume);
  void loopChanged(bool on);
  void overlapChanged(bool on);
  void normalizeChanged(bool on);
  // The set of sounds that play changed in a way the two signals above do not tell: a
  // sound among several stopped or ended while others go on.
  void playingChanged();
  // A sound's loudness was measured and stored (its file as stored in the library).
  void loudnessMeasured(QString musicSrc);
  void hotkeyModeChanged(int mode);
  // The library was changed (by the library commands or the editor).
  void libraryChanged();
  // The sound stored as `musicSrc` is there but would not play; `reason` says why.
  void soundUnplayable(const QString& musicSrc, const QString& reason);

 private:
  void loadSettings();
  bool loadCurrentCategory();
  std::optional<Sound> storedSound(int category, int button, std::string* problem) const;
  void endPlayback(const QString& reason);
  void audioDeviceDidChange();
  // A sound that plays besides the one started last (sounds overlap).
  struct Other {
    std::unique_ptr<AudioPlayer> player;
    std::string buttonId;
    int category = 0;
    int button = 0;
    QString title;
  };
  bool playOverlapping(const Sound& sound, int category, bool shown, QString* reason);
  // Stops the sounds besides the one started last; true when there were any.
  bool stopOthers();
  // Forgets the sounds besides the last that no longer play (the engine let them go).
  void pruneOthers();
  // The sound started last stopped or ended while others play: the newest of them
  // becomes the one the single-sound state tells of.
  void promoteNewestOther();
  void measureUnmeasured(const std::string& musicSrc, const std::string& path);
  void measureShownSounds();
  void loudnessDidMeasure(const std::string& path, const std::optional<Loudness>& measured,
                          const std::string& error);

  const std::shared_ptr<LiteDatabase> db;
  std::unique_ptr<AudioPlayer> player;
  std::vector<Other> others;  // oldest first
  std::unique_ptr<LibraryCommands> library;
  std::unique_ptr<LoudnessStore> loudness;
  std::unique_ptr<LoudnessMeter> meter;
  // Path -> MusicSrc of the files handed to the meter and not told back yet.
  std::map<std::string, std::string> measuring;
  // Paths that could not be measured (no sound, silence) since the board started.
  std::set<std::string> unmeasurable;
  std::string curClassId;
  std::string curButtonId;
  std::string problem;
  bool loaded = false;
  float level = 85;
  bool loop = false;
  bool overlap = false;
  bool normalize = false;
  int mode = 0;
  bool started = false;  // curButtonId names the sound last started (even one that failed)
  bool playing = false;  // a sound this board started has not stopped or ended
  int playingCat = 0;
  int playingNo = 0;
  QString playingName;
};
