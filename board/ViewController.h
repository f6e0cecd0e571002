#pragma once
// ViewController: Cueboard's one window, the sound board. It shows the board model
// (board/Board.h): the category shown on 40 sound buttons and their hotkey labels,
// the sound that plays, the volume, looping and the hotkey mode; and it turns clicks,
// key presses and menu choices into the model's operations and the library commands.
// The window owns its controls (built from board.ui). It is handed the model, or,
// made without one, makes its own on the library connection of dbHelper().
//
// Thread-safety: main thread only.

#include <QHash>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/Board.h"

class BackupCommands;
class BoardDrops;
class GlobalHotkeys;
class QFileSystemWatcher;
class LibraryCommands;
class LiteDatabase;
class QAction;
class QCheckBox;
class QKeyEvent;
class QLabel;
class QMenu;
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

class ViewController : public QWidget {
  Q_OBJECT

 public:
  // A window with a board model of its own.
  explicit ViewController(QWidget* parent = nullptr);
  // A window on `board`, which must outlive it.
  explicit ViewController(Board& board, QWidget* parent = nullptr);
  ~ViewController() override;

  // The board model the window shows and acts on.
  Board& model() const { return *board; }

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
  // What "复制远程命令" copies for sound button n of the category shown.
  QString remoteCommandFor(int n) const;
  // Adds an item at the end of every category button's menu, for the program's own
  // settings (the library's items stay as they are).
  void addClassMenuItem(const QString& title, std::function<void()> action);
  LibraryCommands& libraryCommands() { return board->libraryCommands(); }
  // Enables the items of sound button n's menu that can act now; run as it opens.
  void updateMusicMenu(int n);
  // Frames the button of the sound that was cut and waits to be pasted.
  void showCutMark();
  // Marks the shown sounds' files again when the sound folder changes on disk.
  void watchSoundFolder();
  void soundFolderDidChange();
  // The opt-in system-wide hotkeys beside the hotkey-mode radios.
  GlobalHotkeys& globalHotkeys() { return *global; }
  // The output device choice and the virtual microphone, in the row under the board.
  SoundOutput& soundOutput() { return *output; }
  // Sound files and sound buttons dropped on the board's buttons.
  BoardDrops& drops() { return *dropHandler; }

  // Category loading and the hotkey labels.
  void loadBtnMusic();
  void showHotkeyLabels();
  void refreshBtnMusic();
  static std::string categoryQuerySql(const std::string& classId) {
    return Board::categoryQuerySql(classId);
  }

  // Category bar.
  void btnClassX_Click(QPushButton* sender);

  // Playback.
  void btnMusicX_Click(QPushButton* sender);
  void playBtnMusic(QPushButton* button);
  void btnStopPlay_Click(QPushButton* sender);
  void chkLoop_Click(QCheckBox* sender);
  void chkOverlap_Click(QCheckBox* sender);
  void chkNormalize_Click(QCheckBox* sender);
  void volumeScroll(QSlider* sender);

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

  // Marks the buttons of the sounds playing (those the category shown holds) with their
  // progress; run about 20 times a second while a sound plays.
  void updatePlayingMark();
  // Why the library could not be shown or changed (libraryLines() as one text), ""
  // while it loaded and takes changes.
  QString libraryProblem() const;
  QStringList libraryLines() const;
  // What the banner above the grid says: the library that cannot be read, a missing
  // sound device, an output or virtual microphone that failed, one line each.
  QStringList bannerLines() const;
  // Follows the sound device: the window's title carries a mark for as long as no
  // device is open (the model ends the sound that played).
  void audioDeviceDidChange();
  // Sets the window's title: the board's own, with marks for a missing sound device
  // and for what the sound output has to say.
  void showAudioDeviceState();

  const std::string DEF_CLASSID = "00000000-0000-0000-0000-000000000001";
  static std::string classIdForCategory(int number) { return Board::classIdForCategory(number); }

  // The volume slider's position on the 0-100 scale (the layout may give it a finer range).
  float sliderVolumeValue() const;
  void setSliderVolumeValue(float value);

  // State, readable by the program's other parts and by tests.
  const std::shared_ptr<LiteDatabase>& database() const { return board->database(); }
  AudioPlayer* currentPlayer() const { return board->currentPlayer(); }
  float currentVolume() const { return board->volumeLevel(); }
  const std::string& currentClassId() const { return board->currentClassId(); }
  const std::string& currentButtonId() const { return board->currentButtonId(); }
  QRadioButton* customHotkeyRadio() const { return radioCustomHotkey; }

 private:
  ViewController(Board* board, QWidget* parent);
  // What the layout wires by itself: the actions of the controls other than the
  // category and sound buttons.
  void connectLayoutActions();
  // What the window shows of the model, each on the model's news.
  void connectModel();
  void showSounds();
  void showCategory(int category);
  void showVolume(int volume);
  void showPlaybackStopped();
  void showLibraryProblem(const std::string& reason);
  void showBanner();
  void markMissingFile(int n, const std::string& musicSrc);
  // Names the files an add refused, and why, in a box over the window.
  void showRefusedFiles(const QString& summary, const QString& details);
  void startPlayingMark();
  void restoreWindowGeometry();
  void saveWindowGeometry();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // An item the program added to every category menu (addClassMenuItem).
  struct ExtraMenuItem {
    QString title;
    std::function<void()> action;
  };

  void setTitleColor(QPushButton* button, const QColor& color);
  void addExtraItem(QMenu* menu, int tag, const ExtraMenuItem& extra);

  // Declared first, so that it goes last: the window's parts refer to it.
  std::unique_ptr<Board> ownBoard;
  Board* board;
  std::unique_ptr<Ui::BoardView> ui;
  std::multimap<int, QWidget*> taggedViews;

  QSlider* sliderVolume = nullptr;
  QLabel* tfVolume = nullptr;
  QRadioButton* radioDisableHotkey = nullptr;
  QRadioButton* radioBuildInHotkey = nullptr;
  QRadioButton* radioCustomHotkey = nullptr;
  QPushButton* btnStop = nullptr;
  QCheckBox* chkLoop = nullptr;
  QCheckBox* chkOverlap = nullptr;
  QCheckBox* chkNormalize = nullptr;
  std::unique_ptr<GlobalHotkeys> global;
  std::unique_ptr<SoundOutput> output;
  std::unique_ptr<BackupCommands> backups;
  std::vector<ExtraMenuItem> extraClassMenuItems;
  BoardDrops* dropHandler = nullptr;
  QFileSystemWatcher* soundFolderWatcher = nullptr;
  QTimer* playingMarkTimer = nullptr;
  QTimer* geometrySaveTimer = nullptr;
  // Sounds whose file is there but did not play, by MusicSrc: why, shown on their button.
  QHash<QString, QString> unplayable;
  QString libraryLine;  // the banner's line about the library, "" when it was read
  QString boardTitle;   // the window's title as laid out, without the no-device mark
};
