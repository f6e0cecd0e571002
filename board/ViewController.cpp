#include "board/ViewController.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <algorithm>

#include "board/BoardDrops.h"
#include "board/GlobalHotkeys.h"
#include "board/KeyMonitor.h"
#include "board/SoundButton.h"
#include "board/SoundOutput.h"
#include "editor/KeyNames.h"
#include "editor/MB.h"
#include "library/BackupCommands.h"
#include "library/Caches.h"
#include "library/ContextMenus.h"
#include "library/DBHelper.h"
#include "library/LibraryCommands.h"
#include "library/LibraryGuard.h"
#include "platform/Alert.h"
#include "platform/AudioDevice.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "platform/Workspace.h"
#include "ui_board.h"

const std::array<const char*, 40> buildInHotkeys = {
    "A", "B", "C", "D", "E", "F", "G", "H", "I",     "J",     "K",     "L",    "M", "N",
    "O", "P", "Q", "R", "S", "T", "U", "V", "W",     "X",     "Y",     "Z",    "0", "1",
    "2", "3", "4", "5", "6", "7", "8", "9", "Num 1", "Num 2", "Num 3", "Num 4"};

namespace {

constexpr int kCategoryCount = 5;
constexpr int kButtonCount = 40;
constexpr int kMusicTagBase = 100;
constexpr int kHotkeyTagBase = 200;
constexpr const char* kVolumePrefix = "音量：";
// Follows the window's title while no sound can be heard.
constexpr const char* kNoDeviceMark = "（没有音频输出设备）";
// The hotkey radios say how to stop a sound from the keyboard.
constexpr const char* kStopKeyTip = "在本窗口按 Esc 键停止正在播放的音效（任何热键模式下都可用）";

QString qs(const std::string& text) { return QString::fromStdString(text); }

template <class T>
T* taggedAs(const ViewController* board, int tag) {
  return board->viewWithTag<T>(tag);
}

}  // namespace

ViewController::ViewController(QWidget* parent) : ViewController(nullptr, parent) {}

ViewController::ViewController(Board& board, QWidget* parent) : ViewController(&board, parent) {}

ViewController::ViewController(Board* given, QWidget* parent)
    : QWidget(parent),
      ownBoard(given ? nullptr : std::make_unique<Board>(dbHelper().db())),
      board(given ? given : ownBoard.get()),
      ui(std::make_unique<Ui::BoardView>()) {
  ui->setupUi(this);
  for (QWidget* child : findChildren<QWidget*>()) {
    const QVariant tag = child->property("tag");
    if (tag.isValid()) taggedViews.emplace(tag.toInt(), child);
  }
  sliderVolume = ui->sliderVolume;
  tfVolume = ui->tfVolume;
  radioDisableHotkey = ui->radioDisableHotkey;
  radioBuildInHotkey = ui->radioBuildInHotkey;
  radioCustomHotkey = ui->radioCustomHotkey;
  btnStop = ui->btnStop;
  chkLoop = ui->chkLoop;
  chkOverlap = ui->chkOverlap;
  chkNormalize = ui->chkNormalize;
  global = std::make_unique<GlobalHotkeys>(*this, ui->chkGlobalHotkeys, ui->cmbGlobalModifiers,
                                           ui->lblGlobalHotkeys);
  output =
      std::make_unique<SoundOutput>(*this, ui->cmbOutputDevice, ui->chkVirtualMic, ui->chkMonitor);
  playingMarkTimer = new QTimer(this);
  playingMarkTimer->setInterval(50);
  connect(playingMarkTimer, &QTimer::timeout, this, [this] { updatePlayingMark(); });
  geometrySaveTimer = new QTimer(this);
  geometrySaveTimer->setSingleShot(true);
  geometrySaveTimer->setInterval(300);
  connect(geometrySaveTimer, &QTimer::timeout, this, [this] { saveWindowGeometry(); });
  connectLayoutActions();
  board->libraryCommands().setDialogParent(this);
  backups = std::make_unique<BackupCommands>(board->database());
  connect(backups.get(), &BackupCommands::libraryReplaced, this, [this] {
    board->reload();
    showHotkeyLabels();
    emit board->libraryChanged();
  });
  connectModel();
  dropHandler = new BoardDrops(*this, *board);
  viewDidLoad();
  boardTitle = windowTitle();
  NotificationCenter::defaultCenter().addObserver(this, AudioDevice::kDeviceDidChange,
                                                  [this] { audioDeviceDidChange(); });
  output->initSoundOutput();
  showAudioDeviceState();
  restoreWindowGeometry();
}

ViewController::~ViewController() {
  // The model's news must not reach a window that is being taken apart.
  board->disconnect(this);
  // The virtual microphone goes while the board it plays for still exists.
  output.reset();
}

void ViewController::connectModel() {
  connect(board, &Board::soundsChanged, this, [this] { showSounds(); });
  connect(board, &Board::categoryChanged, this, [this](int category) {
    showCategory(category);
    showHotkeyLabels();
  });
  // After the library commands the labels are all shown afresh; after the editor's
  // save only the custom ones of the rows are (see showSounds).
  LibraryCommands* library = &board->libraryCommands();
  connect(library, &LibraryCommands::shownSoundsEdited, this, [this] { showHotkeyLabels(); });
  connect(library, &LibraryCommands::libraryChanged, this, [this] { showHotkeyLabels(); });
  // Told after the command (or the drop) has finished, not from inside it.
  connect(library, &LibraryCommands::soundFilesRefused, this, &ViewController::showRefusedFiles,
          Qt::QueuedConnection);
  connect(board, &Board::soundUnplayable, this,
          [this](const QString& musicSrc, const QString& why) {
            unplayable.insert(musicSrc, why);
            showSounds();
          });
  connect(board, &Board::playbackStarted, this, [this] {
    btnStop->setEnabled(true);
    startPlayingMark();
  });
  connect(board, &Board::playbackStopped, this, [this] { showPlaybackStopped(); });
  connect(&libraryGuard(), &LibraryGuard::problemChanged, this,
          [this] { showLibraryProblem(board->libraryProblem()); });
  connect(board, &Board::volumeChanged, this, [this](int volume) { showVolume(volume); });
  connect(board, &Board::loopChanged, this, [this](bool on) { chkLoop->setChecked(on); });
  connect(board, &Board::overlapChanged, this, [this](bool on) { chkOverlap->setChecked(on); });
  connect(board, &Board::normalizeChanged, this, [this](bool on) { chkNormalize->setChecked(on); });
  // One sound of several stopped or ended: the others keep their marks.
  connect(board, &Board::playingChanged, this, [this] {
    btnStop->setEnabled(board->isPlaying());
    updatePlayingMark();
  });
  connect(board, &Board::hotkeyModeChanged, this, [this](int mode) {
    QRadioButton* radio = mode == 1   ? radioBuildInHotkey
                          : mode == 2 ? radioCustomHotkey
                                      : radioDisableHotkey;
    radio->setChecked(true);
    showHotkeyLabels();
  });
}

// ---------------------------------------------------------------------------
// Start-up

void ViewController::connectLayoutActions() {
  connect(sliderVolume, &QSlider::valueChanged, this, [this] { volumeScroll(sliderVolume); });
  connect(btnStop, &QPushButton::clicked, this, [this] { btnStopPlay_Click(btnStop); });
  connect(chkLoop, &QCheckBox::clicked, this, [this] { chkLoop_Click(chkLoop); });
  connect(chkOverlap, &QCheckBox::clicked, this, [this] { chkOverlap_Click(chkOverlap); });
  connect(chkNormalize, &QCheckBox::clicked, this, [this] { chkNormalize_Click(chkNormalize); });
  for (QRadioButton* radio : {radioDisableHotkey, radioBuildInHotkey, radioCustomHotkey}) {
    connect(radio, &QRadioButton::clicked, this, [this, radio] { radioHotkey_Click(radio); });
  }
  connect(ui->btnHome, &QPushButton::clicked, this, [this] { btnHome_Click(ui->btnHome); });
  connect(ui->btnSupport, &QPushButton::clicked, this,
          [this] { btnSupport_Click(ui->btnSupport); });
  connect(ui->btnContact, &QPushButton::clicked, this,
          [this] { btnContact_Click(ui->btnContact); });
  connect(ui->btnSoundPath, &QPushButton::clicked, this,
          [this] { btnSoundPath_Click(ui->btnSoundPath); });
  connect(ui->btnBazaar, &QPushButton::clicked, this, [this] { btnBazaar_Click(ui->btnBazaar); });
}

void ViewController::viewDidLoad() {
  initVolume();
  initClassMenu();
  initMusicMenu();
  initHotkeyMode();
  initLoop();
  global->initGlobalHotkeys();
  loadBtnMusic();
  showHotkeyLabels();
  addKeyMonitor();
  // On a first start the sounds arrive only now: look at the shown files again.
  if (DBHelper::seedSoundFolder()) {
    for (const auto& [n, musicSrc] : dicMusicSrc()) markMissingFile(n, musicSrc);
  }
  watchSoundFolder();
}

// A file restored into the sound folder, or the folder remounted, shows at once, as
// does a file that goes.
void ViewController::watchSoundFolder() {
  if (!soundFolderWatcher) {
    soundFolderWatcher = new QFileSystemWatcher(this);
    connect(soundFolderWatcher, &QFileSystemWatcher::directoryChanged, this,
            [this] { soundFolderDidChange(); });
  }
  // The watcher forgets a folder that was removed: the library's folder tells when it
  // is made again.
  for (const std::string& folder : {documentPath(), soundPath()}) {
    const QString path = QDir::cleanPath(qs(folder));
    if (QFileInfo(path).isDir() && !soundFolderWatcher->directories().contains(path)) {
      soundFolderWatcher->addPath(path);
    }
  }
}

void ViewController::soundFolderDidChange() {
  watchSoundFolder();
  unplayable.clear();  // a file put back may be another one
  if (!board->soundsLoaded()) return;
  for (const auto& [n, musicSrc] : dicMusicSrc()) markMissingFile(n, musicSrc);
}

void ViewController::initClassMenu() {
  for (int tag = 1; tag <= kCategoryCount; ++tag) {
    auto* button = taggedAs<QPushButton>(this, tag);
    if (!button) continue;
    attachContextMenu(
        button, menu_titles::kClassMenu, classMenuItems(), classMenuHasSeparatorBefore, tag,
        [this](QAction* item) { classSubMenu_ClickWithSender(item); },
        [this, tag](QMenu* menu) {
          for (const ExtraMenuItem& extra : extraClassMenuItems) addExtraItem(menu, tag, extra);
        });
    connect(button, &QPushButton::clicked, this, [this, button] { btnClassX_Click(button); });
    const bool current = board->currentClassId().find(std::to_string(tag)) != std::string::npos;
    setTitleColor(button, current ? Qt::red : Qt::black);
  }
}

// The chosen category's title turns red, and every other title that differs from it
// black (one that reads the same is left as it was).
void ViewController::showCategory(int category) {
  auto* chosen = taggedAs<QPushButton>(this, category);
  if (!chosen) return;
  for (int tag = 1; tag <= kCategoryCount; ++tag) {
    auto* button = taggedAs<QPushButton>(this, tag);
    if (button && button->text() != chosen->text()) setTitleColor(button, Qt::black);
  }
  setTitleColor(chosen, Qt::red);
}

void ViewController::initMusicMenu() {
  for (int n = 1; n <= kButtonCount; ++n) {
    QPushButton* button = soundButton(n);
    if (!button) continue;
    attachContextMenu(
        button, menu_titles::kMusicMenu, musicMenuItems(), musicMenuHasSeparatorBefore,
        kMusicTagBase + n, [this](QAction* item) { musicSubMenu_ClickWithSender(item); },
        [this, n](QMenu* menu) {
          connect(menu, &QMenu::aboutToShow, this, [this, n] { updateMusicMenu(n); });
        });
    connect(button, &QPushButton::clicked, this, [this, button] { btnMusicX_Click(button); });
    setTitleColor(button, Qt::black);
  }
}

float ViewController::sliderVolumeValue() const {
  const int maximum = sliderVolume->maximum();
  return maximum > 0 ? sliderVolume->value() * 100.0f / maximum : float(sliderVolume->value());
}

void ViewController::setSliderVolumeValue(float value) {
  const int maximum = sliderVolume->maximum();
  sliderVolume->setValue(maximum > 0 ? int(value * maximum / 100.0f + 0.5f) : int(value));
}

void ViewController::initVolume() { showVolume(board->volume()); }

void ViewController::showVolume(int volume) {
  // The slider may sit between two whole numbers; it moves only when it shows another.
  if (static_cast<int>(sliderVolumeValue()) != volume) {
    const QSignalBlocker quiet(sliderVolume);  // showing the model is not a user's change
    setSliderVolumeValue(float(volume));
  }
  tfVolume->setText(kVolumePrefix + QString::number(volume));
}

void ViewController::initHotkeyMode() {
  for (int n = 1; n <= kButtonCount; ++n) {
    if (auto* label = hotkeyLabel(n)) {
      QPalette palette = label->palette();
      palette.setColor(QPalette::WindowText, Qt::gray);
      label->setPalette(palette);
    }
  }
  for (QRadioButton* radio : {radioDisableHotkey, radioBuildInHotkey, radioCustomHotkey}) {
    radio->setToolTip(kStopKeyTip);
  }
  switch (board->hotkeyMode()) {
    case 1:
      radioBuildInHotkey->setChecked(true);
      break;
    case 2:
      radioCustomHotkey->setChecked(true);
      break;
    default:
      radioDisableHotkey->setChecked(true);
      break;
  }
}

void ViewController::initLoop() {
  chkLoop->setChecked(board->loops());
  chkOverlap->setChecked(board->overlaps());
  chkNormalize->setChecked(board->normalizes());
}

// ---------------------------------------------------------------------------
// Context menus

void ViewController::classSubMenu_ClickWithSender(QAction* sender) {
  using namespace menu_titles;
  const std::string title = sender->text().toStdString();
  if (title == kAddMusicBatch) {
    libraryCommands()
        .addMusicBatch();  // always into the category shown, whichever menu it came from
    return;
  }
  if (title == kRestoreBackup) {
    backups->restoreBackup(window());
    return;
  }
  if (title == kExportLibrary) {
    backups->exportLibrary(window());
    return;
  }
  if (title == kImportLibrary) {
    backups->importLibrary(window());
    return;
  }
  if (!MB::showConfirm(title + " ？", window())) return;
  const std::string classId = classIdForCategory(sender->property("tag").toInt());
  if (title == kDeleteClassMusic) {
    libraryCommands().deleteClassMusic(classId);
  } else if (title == kClearClassHotkeys) {
    libraryCommands().clearClassHotkeys(classId);
  }
}

void ViewController::musicSubMenu_ClickWithSender(QAction* sender) {
  using namespace menu_titles;
  const std::string title = sender->text().toStdString();
  const int tag = sender->property("tag").toInt();
  LibraryCommands& library = libraryCommands();
  if (title == kAddMusic) {
    library.addMusic(tag);
  } else if (title == kAddMusicBatch) {
    library.addMusicBatch();
  } else if (title == kEditHotkey || title == kEditMusic) {
    library.editMusic(tag);
  } else if (title == kDeleteMusic) {
    library.deleteMusic(tag);
  } else if (title == kCutMusic) {
    library.cutMusic(tag);
  } else if (title == kPasteMusic) {
    library.pasteMusic(tag);
  } else if (title == kCopyRemoteCommand) {
    QGuiApplication::clipboard()->setText(remoteCommandFor(tag - kMusicTagBase));
  }
  showCutMark();
}

QString ViewController::remoteCommandFor(int n) const {
  const int category = board->currentCategory();
  // A category none of the five (hand-edited settings): the command's own default.
  if (category == 0) return QString("cueboard play %1").arg(n);
  return QString("cueboard play %1 %2").arg(category).arg(n);
}

// The item goes into the category menus already built and into each one built later.
void ViewController::addClassMenuItem(const QString& title, std::function<void()> action) {
  extraClassMenuItems.push_back({title, std::move(action)});
  for (int tag = 1; tag <= kCategoryCount; ++tag) {
    auto* button = taggedAs<QPushButton>(this, tag);
    if (QMenu* menu = button ? builtContextMenuOf(button) : nullptr) {
      addExtraItem(menu, tag, extraClassMenuItems.back());
    }
  }
  showCutMark();
}

void ViewController::addExtraItem(QMenu* menu, int tag, const ExtraMenuItem& extra) {
  menu->addSeparator();
  QAction* item = menu->addAction(extra.title);
  item->setProperty("tag", tag);
  connect(item, &QAction::triggered, this, [action = extra.action] { action(); });
}

// Only what can be done is offered: an empty button has nothing to edit, delete or
// cut, and there is nothing to paste until a sound was cut.
void ViewController::updateMusicMenu(int n) {
  using namespace menu_titles;
  SoundButton* button = soundButton(n);
  QMenu* menu = button ? contextMenuOf(button) : nullptr;
  if (!menu) return;
  const bool filled = board->soundsLoaded() && dicButtonId().count(n);
  const auto src = dicMusicSrc().find(n);
  const bool hasFile = filled && src != dicMusicSrc().end() && !src->second.empty();
  for (QAction* item : menu->actions()) {
    const std::string title = item->text().toStdString();
    if (title == kEditHotkey || title == kEditMusic) {
      item->setEnabled(hasFile);
    } else if (title == kDeleteMusic || title == kCutMusic) {
      item->setEnabled(filled);
    } else if (title == kPasteMusic) {
      item->setEnabled(!cutButtonId().empty());
    }
  }
}

// The sound waiting to be pasted is framed with a dashed line on its button.
void ViewController::showCutMark() {
  const std::string& cut = cutButtonId();
  for (int n = 1; n <= kButtonCount; ++n) {
    SoundButton* button = soundButton(n);
    if (!button) continue;
    const auto id = dicButtonId().find(n);
    button->setCutMarked(!cut.empty() && board->soundsLoaded() && id != dicButtonId().end() &&
                         id->second == cut);
  }
}

// ---------------------------------------------------------------------------
// Category loading

void ViewController::loadBtnMusic() { board->reload(); }

// The sound buttons as the model has the category shown now: titles, missing-file
// marks and the playing mark. In the custom hotkey mode the labels of the buttons with
// a row show their keys; the other labels keep what they show.
void ViewController::showSounds() {
  for (int n = 1; n <= kButtonCount; ++n) {
    if (auto* button = soundButton(n)) {
      button->setText(QString());
      button->setMissingFile(QString());
      button->clearPlaying();
    }
  }
  showLibraryProblem(board->libraryProblem());
  showCutMark();
  if (!board->soundsLoaded()) return;
  const bool customLabels = board->hotkeyMode() == 2;
  for (const auto& [n, buttonId] : dicButtonId()) {
    SoundButton* button = soundButton(n);
    if (!button) continue;
    const auto title = dicTitle().find(n);
    button->setText(title == dicTitle().end() ? QString() : qs(title->second));
    const auto musicSrc = dicMusicSrc().find(n);
    markMissingFile(n, musicSrc == dicMusicSrc().end() ? std::string() : musicSrc->second);
    if (customLabels) {
      const auto hotkey = dicHotkey().find(n);
      if (auto* label = hotkeyLabel(n)) {
        label->setText(
            global->labelText(hotkey == dicHotkey().end() ? QString() : qs(hotkey->second)));
      }
    }
  }
  updatePlayingMark();
  global->hotkeyLabelsChanged();
}

// What the host must know about the library: that it cannot be read, that it cannot be
// written, and the last change that was not saved.
void ViewController::showLibraryProblem(const std::string& reason) {
  libraryLine = reason.empty()
                    ? QString()
                    : QString("无法读取音效库 %1：%2").arg(qs(dbHelper().dbURL()), qs(reason));
  showBanner();
}

QString ViewController::libraryProblem() const { return libraryLines().join('\n'); }

// What the host must know about the library: that it could not be read, that it cannot
// be written, and the last change that failed.
QStringList ViewController::libraryLines() const {
  QStringList lines;
  if (!libraryLine.isEmpty()) lines << libraryLine;
  const LibraryGuard& guard = libraryGuard();
  if (!guard.writeProblem().empty()) lines << qs(guard.writeProblem());
  if (!guard.lastFailure().empty()) lines << qs(guard.lastFailure());
  return lines;
}

// One line per fault the host must know about, each in Chinese with the technical
// reason after it; hidden when there is none.
QStringList ViewController::bannerLines() const {
  QStringList lines = libraryLines();
  if (!AudioDevice::isOpen() && !AudioDevice::isOpenPending()) {
    const std::string why = AudioDevice::lastError();
    lines << (why.empty() ? QString("没有音频输出设备，声音无法播放")
                          : QString("没有音频输出设备，声音无法播放：%1").arg(qs(why)));
  }
  if (output) lines << output->faultLines();
  return lines;
}

void ViewController::showBanner() {
  const QStringList lines = bannerLines();
  const QString text = lines.join('\n');
  ui->lblLibraryProblem->setText(text);
  ui->lblLibraryProblem->setToolTip(text);
  ui->lblLibraryProblem->setVisible(!lines.isEmpty());
}

// A sound that will not play is shown before the host needs it, not on air.
void ViewController::markMissingFile(int n, const std::string& musicSrc) {
  SoundButton* button = soundButton(n);
  if (!button) return;
  const QString missing = Board::missingFileText(musicSrc);
  button->setMissingFile(missing.isEmpty() ? unplayable.value(qs(musicSrc)) : missing);
}

void ViewController::showRefusedFiles(const QString& summary, const QString& details) {
  Alert alert;
  alert.setMessageText(summary.toStdString());
  alert.setInformativeText(details.toStdString());
  alert.setAlertStyle(Alert::Style::Warning);
  alert.addButtonWithTitle("好");
  alert.runModal(window());
}

void ViewController::showHotkeyLabels() {
  for (int i = 1; i <= kButtonCount; ++i) {
    auto* label = hotkeyLabel(i);
    if (!label) continue;
    if (board->hotkeyMode() == 0) {
      label->setText(QString());
    } else if (board->hotkeyMode() == 1) {
      label->setText(global->labelText(buildInHotkeys[i - 1]));
    } else {
      auto found = dicHotkey().find(i);
      label->setText(found == dicHotkey().end() ? QString() : global->labelText(qs(found->second)));
    }
  }
  global->hotkeyLabelsChanged();
}

void ViewController::refreshBtnMusic() { loadBtnMusic(); }

// ---------------------------------------------------------------------------
// Category bar

void ViewController::setTitleColor(QPushButton* button, const QColor& color) {
  QPalette palette = button->palette();
  palette.setColor(QPalette::ButtonText, color);
  button->setPalette(palette);
}

void ViewController::btnClassX_Click(QPushButton* sender) {
  board->setCategory(sender->property("tag").toInt());
}

// ---------------------------------------------------------------------------
// Playback

void ViewController::btnMusicX_Click(QPushButton* sender) { playBtnMusic(sender); }

void ViewController::playBtnMusic(QPushButton* button) {
  const int n = button->property("tag").toInt() - kMusicTagBase;
  if (!soundButton(n)) return;
  board->play(0, n);
}

void ViewController::btnStopPlay_Click(QPushButton*) { board->stop(); }

void ViewController::showPlaybackStopped() {
  btnStop->setEnabled(false);
  updatePlayingMark();
}

// The sound device can come (plugged in, or its sound server started after us) and go
// (unplugged) while the board runs.
void ViewController::audioDeviceDidChange() {
  if (output) output->audioDeviceDidChange();
  showAudioDeviceState();
}

void ViewController::showAudioDeviceState() {
  const bool markless = AudioDevice::isOpen() || AudioDevice::isOpenPending();
  QString title = markless ? boardTitle : boardTitle + kNoDeviceMark;
  if (output) title += output->titleMark();
  setWindowTitle(title);
  showBanner();
}

void ViewController::startPlayingMark() {
  updatePlayingMark();
  playingMarkTimer->start();
}

void ViewController::updatePlayingMark() {
  const std::vector<Board::PlayingSound> playing = board->playingSounds();
  if (playing.empty()) playingMarkTimer->stop();
  for (int n = 1; n <= kButtonCount; ++n) {
    SoundButton* button = soundButton(n);
    if (!button) continue;
    const auto id = dicButtonId().find(n);
    const auto sound =
        id == dicButtonId().end()
            ? playing.end()
            : std::find_if(playing.begin(), playing.end(),
                           [&](const Board::PlayingSound& p) { return p.buttonId == id->second; });
    if (sound != playing.end()) {
      button->setPlaying(sound->position, sound->duration);
    } else {
      button->clearPlaying();
    }
  }
}

void ViewController::chkLoop_Click(QCheckBox* sender) { board->setLoop(sender->isChecked()); }

void ViewController::chkOverlap_Click(QCheckBox* sender) { board->setOverlap(sender->isChecked()); }

void ViewController::chkNormalize_Click(QCheckBox* sender) {
  board->setNormalize(sender->isChecked());
}

void ViewController::volumeScroll(QSlider*) { board->setVolumeLevel(sliderVolumeValue()); }

// ---------------------------------------------------------------------------
// Keyboard hotkeys

void ViewController::addKeyMonitor() { KeyMonitor::shared().addBoard(this); }

bool ViewController::handleKeyDown(QKeyEvent* event) {
  QWidget* boardWindow = window();
  if (!boardWindow) return false;
  QWidget* keyWindow = QApplication::activeWindow();
  if (!keyWindow || keyWindow != boardWindow) return false;
  // The stop key, whatever the hotkey mode; never a sound's hotkey.
  if (event->key() == Qt::Key_Escape) {
    board->stop();
    return true;
  }

  const std::string name = keyNameForKeyCode(*event);
  if (name.empty()) return true;
  // While system-wide hotkeys are on the labels show their modifiers too; on the
  // focused board the key alone plays, as always.
  const QString keyName = global->labelText(qs(name));
  for (int n = 1; n <= kButtonCount; ++n) {
    auto* label = hotkeyLabel(n);
    if (label && label->text() == keyName) {
      if (auto* button = soundButton(n)) playBtnMusic(button);
      return true;
    }
  }
  return true;
}

void ViewController::radioHotkey_Click(QRadioButton* sender) {
  board->setHotkeyMode(sender->property("tag").toInt());
}

// ---------------------------------------------------------------------------
// Links

namespace {
const QUrl& homeURL() {
  static const QUrl url(QStringLiteral("https://cueboard.app/"));
  return url;
}
const QUrl& supportURL() {
  static const QUrl url(QStringLiteral("https://cueboard.app/soundboard/"));
  return url;
}
const QUrl& contactURL() {
  static const QUrl url(QStringLiteral("https://cueboard.app/contact/chat"));
  return url;
}
const QUrl& bazaarURL() {
  static const QUrl url(QStringLiteral("https://flathub.org/apps/app.cueboard.Cueboard"));
  return url;
}
// soundPath() is itself computed once; the address follows it.
QUrl soundFolderURL() { return QUrl::fromLocalFile(qs(soundPath())); }
}  // namespace

void ViewController::btnHome_Click(QPushButton*) {
  Workspace::sharedWorkspace().openURL(homeURL());
}
void ViewController::btnSupport_Click(QPushButton*) {
  Workspace::sharedWorkspace().openURL(supportURL());
}
void ViewController::btnContact_Click(QPushButton*) {
  Workspace::sharedWorkspace().openURL(contactURL());
}
void ViewController::btnSoundPath_Click(QPushButton*) {
  Workspace::sharedWorkspace().openURL(soundFolderURL());
}
void ViewController::btnBazaar_Click(QPushButton*) {
  Workspace::sharedWorkspace().openURL(bazaarURL());
}

// ---------------------------------------------------------------------------
// Controls by number, window geometry

SoundButton* ViewController::soundButton(int n) const {
  if (n < 1 || n > kButtonCount) return nullptr;
  return viewWithTag<SoundButton>(kMusicTagBase + n);
}

QLabel* ViewController::hotkeyLabel(int n) const {
  if (n < 1 || n > kButtonCount) return nullptr;
  return viewWithTag<QLabel>(kHotkeyTagBase + n);
}

void ViewController::restoreWindowGeometry() {
  const auto stored = UserDefaults::standardUserDefaults().objectForKey("windowGeometry");
  if (stored && restoreGeometry(QByteArray::fromBase64(stored->toString().toLatin1()))) return;
  // First start: the laid-out size, unless the screen is smaller (a laptop's 1024x576),
  // where the board takes the whole screen so that its bottom bar stays on it.
  const QScreen* screen = this->screen();
  if (!screen) return;
  const QSize room = screen->availableSize();
  if (room.width() >= width() && room.height() >= height()) return;
  resize(size().boundedTo(room));
  setWindowState(windowState() | Qt::WindowMaximized);
}

void ViewController::saveWindowGeometry() {
  if (!isWindow()) return;
  UserDefaults::standardUserDefaults().setObjectForKey(
      QString::fromLatin1(saveGeometry().toBase64()), "windowGeometry");
}

// Saved shortly after the host stops dragging, and when the window closes.
void ViewController::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isVisible()) geometrySaveTimer->start();
}

void ViewController::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible()) geometrySaveTimer->start();
}

void ViewController::closeEvent(QCloseEvent* event) {
  geometrySaveTimer->stop();
  saveWindowGeometry();
  QWidget::closeEvent(event);
}
