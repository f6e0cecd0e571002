#pragma once
// ViewController: the logic of Cueboard's one window, the sound board. It loads the
// current category from the library onto 40 sound buttons and their hotkey labels,
// switches categories, plays one sound at a time and turns key presses into clicks.
// The window owns its controls (built from board.ui); the board owns its audio player
// and holds the library connection taken from dbHelper() at construction.
//
// Thread-safety: main thread only. The audio player's end-of-sound notification is
// delivered on the main thread.

#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <string>

#include "platform/AudioPlayer.h"

class GlobalHotkeys;
class LibraryCommands;
class LiteDatabase;
class QAction;
class QCheckBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;
class SoundButton;
class SoundOutput;

namespace Ui {
class BoardView;
}

// The built-in hotkey of each sound button position, entry i - 1 for button i.
extern const std::array<const char*, 40> buildInHotkeys;

class ViewController : public QWidget, public AudioPlayerDelegate {
  Q_OBJECT

 public:
  explicit ViewController(QWidget* parent = nullptr);
  ~ViewController() override;

  // Start-up, run once by the constructor after the layout is built.
  void viewDidLoad();
  void initVolume();
  void initClassMenu();
  void initMusicMenu();
  void initHotkeyMode();
  void initLoop();

  // The context menus' actions: they dispatch a chosen item by its title to the
  // library commands, acting on the button (or category) whose tag the item carries.
  void classSubMenu_ClickWithSender(QAction* sender);
  void musicSubMenu_ClickWithSender(QAction* sender);
  LibraryCommands& libraryCommands() { return *library; }
  // The opt-in system-wide hotkeys beside the hotkey-mode radios.
  GlobalHotkeys& globalHotkeys() { return *global; }
  // The output device choice and the virtual microphone, in the row under the board.
  SoundOutput& soundOutput() { return *output; }

  // Category loading and the hotkey labels.
  void loadBtnMusic();
  void showHotkeyLabels();
  void refreshBtnMusic();
  static std::string categoryQuerySql(const std::string& classId);

  // Category bar.
  void btnClassX_Click(QPushButton* sender);

  // Playback.
  void btnMusicX_Click(QPushButton* sender);
  void playBtnMusic(QPushButton* button);
  void btnStopPlay_Click(QPushButton* sender);
  void chkLoop_Click(QCheckBox* sender);
  void volumeScroll(QSlider* sender);
  void audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* player, bool flag) override;

  // Keyboard hotkeys.
  void addKeyMonitor();
  bool handleKeyDown(QKeyEvent* event);
  void radioHotkey_Click(QRadioButton* sender);

  // Links.
  void btnHome_Click(QPushButton* sender);
  void btnSupport_Click(QPushButton* sender);
  void btnContact_Click(QPushButton* sender);
  void btnSoundPath_Click(QPushButton* sender);
  void btnBazaar_Click(QPushButton* sender);

  // The control of kind T carrying the integer property "tag", or nullptr. Controls of
  // different kinds share tags (the hotkey radios 1 and 2, the category buttons 1 and 2).
  template <class T = QWidget>
  T* viewWithTag(int tag) const {
    auto [first, last] = taggedViews.equal_range(tag);
    for (auto it = first; it != last; ++it) {
      if (auto* view = qobject_cast<T*>(it->second)) return view;
    }
    return nullptr;
  }

  // Sound button n (1-40) and its hotkey label; nullptr for any other number, so that
  // no number read from the library can reach another control.
  SoundButton* soundButton(int n) const;
  QLabel* hotkeyLabel(int n) const;

  // Marks the button of the sound playing (when the category shown holds it) with its
  // progress; run about 20 times a second while a sound plays.
  void updatePlayingMark();
  // Why the library could not be shown, "" once it loaded.
  QString libraryProblem() const;
  // Follows the sound device: a lost device ends the sound that played, and the
  // window's title carries a mark for as long as no device is open.
  void audioDeviceDidChange();
  // Sets the window's title: the board's own, with marks for a missing sound device
  // and for what the sound output has to say.
  void showAudioDeviceState();

  const std::string DEF_CLASSID = "00000000-0000-0000-0000-000000000001";
  static std::string classIdForCategory(int number);

  // The volume slider's position on the 0-100 scale (the layout may give it a finer range).
  float sliderVolumeValue() const;
  void setSliderVolumeValue(float value);

  // State, readable by the program's other parts and by tests.
  const std::shared_ptr<LiteDatabase>& database() const { return db; }
  AudioPlayer* currentPlayer() const { return player.get(); }
  float currentVolume() const { return volume; }
  const std::string& currentClassId() const { return curClassId; }
  const std::string& currentButtonId() const { return curButtonId; }
  QRadioButton* customHotkeyRadio() const { return radioCustomHotkey; }

 private:
  // What the layout wires by itself: the actions of the controls other than the
  // category and sound buttons.
  void connectLayoutActions();
  void showLibraryProblem(const std::string& reason);
  void markMissingFile(int n, const std::string& musicSrc);
  void startPlayingMark();
  void restoreWindowGeometry();
  void saveWindowGeometry();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void setTitleColor(QPushButton* button, const QColor& color);

  std::unique_ptr<Ui::BoardView> ui;
  std::multimap<int, QWidget*> taggedViews;

  const std::shared_ptr<LiteDatabase> db;
  QSlider* sliderVolume = nullptr;
  QLabel* tfVolume = nullptr;
  QRadioButton* radioDisableHotkey = nullptr;
  QRadioButton* radioBuildInHotkey = nullptr;
  QRadioButton* radioCustomHotkey = nullptr;
  QPushButton* btnStop = nullptr;
  QCheckBox* chkLoop = nullptr;
  std::unique_ptr<AudioPlayer> player;
  std::unique_ptr<LibraryCommands> library;
  std::unique_ptr<GlobalHotkeys> global;
  std::unique_ptr<SoundOutput> output;
  QTimer* playingMarkTimer = nullptr;
  QTimer* geometrySaveTimer = nullptr;
  float volume = 0;
  std::string curClassId;
  std::string curButtonId;
  QString boardTitle;  // the window's title as laid out, without the no-device mark
};
