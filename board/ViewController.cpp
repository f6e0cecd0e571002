#include "board/ViewController.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <optional>

#include "board/GlobalHotkeys.h"
#include "board/KeyMonitor.h"
#include "board/SoundButton.h"
#include "board/SoundOutput.h"
#include "editor/KeyNames.h"
#include "editor/MB.h"
#include "library/Caches.h"
#include "library/ContextMenus.h"
#include "library/DBHelper.h"
#include "library/LibraryCommands.h"
#include "library/SqlText.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
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
constexpr const char* kClassIdPrefix = "00000000-0000-0000-0000-00000000000";
constexpr const char* kVolumePrefix = "音量：";
// Follows the window's title while no sound can be heard.
constexpr const char* kNoDeviceMark = "（没有音频输出设备）";

QString qs(const std::string& text) { return QString::fromStdString(text); }

// Where the sound stored as `musicSrc` is: in the sound folder, or, for a file chosen
// outside it (stored by its full path), there; none when neither exists.
std::optional<std::string> soundFilePath(const std::string& musicSrc) {
  if (musicSrc.empty()) return std::nullopt;
  auto& files = FileManager::defaultManager();
  std::string path = stringByAppendingPathComponent(soundPath(), musicSrc);
  if (files.fileExistsAtPath(path)) return path;
  if (musicSrc.front() == '/' && files.fileExistsAtPath(musicSrc)) return musicSrc;
  return std::nullopt;
}

template <class T>
T* taggedAs(const ViewController* board, int tag) {
  return board->viewWithTag<T>(tag);
}

}  // namespace

ViewController::ViewController(QWidget* parent)
    : QWidget(parent),
      ui(std::make_unique<Ui::BoardView>()),
      db(dbHelper().db()),
      library(std::make_unique<LibraryCommands>(*this)) {
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
  global = std::make_unique<GlobalHotkeys>(*this, ui->chkGlobalHotkeys, ui->cmbGlobalModifiers,
                                           ui->lblGlobalHotkeys);
  output = std::make_unique<SoundOutput>(*this, ui->cmbOutputDevice, ui->chkVirtualMic,
                                         ui->chkMonitor);
  playingMarkTimer = new QTimer(this);
  playingMarkTimer->setInterval(50);
  connect(playingMarkTimer, &QTimer::timeout, this, [this] { updatePlayingMark(); });
  geometrySaveTimer = new QTimer(this);
  geometrySaveTimer->setSingleShot(true);
  geometrySaveTimer->setInterval(300);
  connect(geometrySaveTimer, &QTimer::timeout, this, [this] { saveWindowGeometry(); });
  connectLayoutActions();
  viewDidLoad();
  boardTitle = windowTitle();
  NotificationCenter::defaultCenter().addObserver(this, AudioDevice::kDeviceDidChange,
                                                  [this] { audioDeviceDidChange(); });
  output->initSoundOutput();
  showAudioDeviceState();
  restoreWindowGeometry();
}

ViewController::~ViewController() {
  // The player's end notification must not reach a board that is gone.
  if (player) player->setDelegate(nullptr);
  // The virtual microphone goes while the board it plays for still exists.
  output.reset();
}

std::string ViewController::classIdForCategory(int number) {
  return kClassIdPrefix + std::to_string(number);
}

// ---------------------------------------------------------------------------
// Start-up

void ViewController::connectLayoutActions() {
  connect(sliderVolume, &QSlider::valueChanged, this, [this] { volumeScroll(sliderVolume); });
  connect(btnStop, &QPushButton::clicked, this, [this] { btnStopPlay_Click(btnStop); });
  connect(chkLoop, &QCheckBox::clicked, this, [this] { chkLoop_Click(chkLoop); });
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
  NotificationCenter::defaultCenter().addObserver(this, "refreshBtnMusic",
                                                  [this] { refreshBtnMusic(); });
  addKeyMonitor();
  // On a first start the sounds arrive only now: look at the shown files again.
  if (DBHelper::seedSoundFolder()) {
    for (const auto& [n, musicSrc] : dicMusicSrc()) markMissingFile(n, musicSrc);
  }
}

void ViewController::initClassMenu() {
  curClassId =
      UserDefaults::standardUserDefaults().stringForKey("curClassId").value_or(DEF_CLASSID);
  for (int tag = 1; tag <= kCategoryCount; ++tag) {
    auto* button = taggedAs<QPushButton>(this, tag);
    if (!button) continue;
    attachContextMenu(button, menu_titles::kClassMenu, classMenuItems(),
                      classMenuHasSeparatorBefore, tag,
                      [this](QAction* item) { classSubMenu_ClickWithSender(item); });
    connect(button, &QPushButton::clicked, this, [this, button] { btnClassX_Click(button); });
    const bool current = curClassId.find(std::to_string(tag)) != std::string::npos;
    setTitleColor(button, current ? Qt::red : Qt::black);
  }
}

void ViewController::initMusicMenu() {
  for (int n = 1; n <= kButtonCount; ++n) {
    QPushButton* button = soundButton(n);
    if (!button) continue;
    attachContextMenu(button, menu_titles::kMusicMenu, musicMenuItems(),
                      musicMenuHasSeparatorBefore, kMusicTagBase + n,
                      [this](QAction* item) { musicSubMenu_ClickWithSender(item); });
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

void ViewController::initVolume() {
  volume = UserDefaults::standardUserDefaults().floatForKey("volume");
  // A hand-edited settings file may hold anything; the level and the label must agree.
  if (!std::isfinite(volume)) volume = 0;
  volume = std::clamp(volume, 0.0f, 100.0f);
  if (volume == 0) volume = 85;
  if (player) player->setVolume(volume / 100);
  const int whole = static_cast<int>(volume);
  const QSignalBlocker quiet(sliderVolume);  // restoring is not a user's change
  setSliderVolumeValue(float(whole));
  tfVolume->setText(kVolumePrefix + QString::number(whole));
}

void ViewController::initHotkeyMode() {
  for (int n = 1; n <= kButtonCount; ++n) {
    if (auto* label = hotkeyLabel(n)) {
      QPalette palette = label->palette();
      palette.setColor(QPalette::WindowText, Qt::gray);
      label->setPalette(palette);
    }
  }
  switch (UserDefaults::standardUserDefaults().integerForKey("hotkeyTag")) {
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
  auto& defaults = UserDefaults::standardUserDefaults();
  if (!defaults.objectForKey("loop")) return;
  chkLoop->setChecked(defaults.boolForKey("loop"));
}

// ---------------------------------------------------------------------------
// Context menus

void ViewController::classSubMenu_ClickWithSender(QAction* sender) {
  using namespace menu_titles;
  const std::string title = sender->text().toStdString();
  if (title == kAddMusicBatch) {
    library->addMusicBatch();  // always into the category shown, whichever menu it came from
    return;
  }
  if (!MB::showConfirm(title + " ？", window())) return;
  const std::string classId = classIdForCategory(sender->property("tag").toInt());
  if (title == kDeleteClassMusic) {
    library->deleteClassMusic(classId);
  } else if (title == kClearClassHotkeys) {
    library->clearClassHotkeys(classId);
  }
}

void ViewController::musicSubMenu_ClickWithSender(QAction* sender) {
  using namespace menu_titles;
  const std::string title = sender->text().toStdString();
  const int tag = sender->property("tag").toInt();
  if (title == kAddMusic) {
    library->addMusic(tag);
  } else if (title == kAddMusicBatch) {
    library->addMusicBatch();
  } else if (title == kEditHotkey || title == kEditMusic) {
    library->editMusic(tag);
  } else if (title == kDeleteMusic) {
    library->deleteMusic(tag);
  } else if (title == kCutMusic) {
    library->cutMusic(tag);
  } else if (title == kPasteMusic) {
    library->pasteMusic(tag);
  }
}

// ---------------------------------------------------------------------------
// Category loading

std::string ViewController::categoryQuerySql(const std::string& classId) {
  return std::string(" select *  ") + " from  tb_Button " + " where classId ='" +
         quotedSqlText(classId) + "'";
}

void ViewController::loadBtnMusic() {
  for (int n = 1; n <= kButtonCount; ++n) {
    if (auto* button = soundButton(n)) {
      button->setText(QString());
      button->setMissingFile(QString());
      button->clearPlaying();
    }
  }
  if (!db->open()) {
    showLibraryProblem(db->lastErrorMessage());
    return;
  }
  auto rs = db->executeQueryWithArgumentsInArray(categoryQuerySql(curClassId), {});
  if (!rs) {
    showLibraryProblem(db->lastErrorMessage());
    return;
  }
  showLibraryProblem(std::string());

  dicButtonId().clear();
  dicMusicSrc().clear();
  dicTitle().clear();
  dicHotkey().clear();
  const bool customLabels = radioCustomHotkey->isChecked();
  std::optional<LiteError> stepError;
  while (rs->nextWithError(&stepError)) {
    // Only a whole number 1-40 is a place on the grid; anything else (0, 41, -99, 3.5,
    // a huge number, text) reaches no button, label or cache.
    const long long number = rs->longLongIntForColumn("buttonNo");
    if (number < 1 || number > kButtonCount || double(number) != rs->doubleForColumn("buttonNo"))
      continue;
    const int n = static_cast<int>(number);
    SoundButton* button = soundButton(n);
    if (!button) continue;
    std::string buttonId = rs->stringForColumn("buttonId").value_or("");
    std::string title = rs->stringForColumn("title").value_or("");
    std::string musicSrc = rs->stringForColumn("musicSrc").value_or("");
    std::string hotkey = rs->stringForColumn("hotkey").value_or("");

    button->setText(qs(title));
    markMissingFile(n, musicSrc);
    if (customLabels) {
      if (auto* label = hotkeyLabel(n)) label->setText(global->labelText(qs(hotkey)));
    }
    dicButtonId()[n] = std::move(buttonId);
    dicMusicSrc()[n] = std::move(musicSrc);
    dicTitle()[n] = std::move(title);
    dicHotkey()[n] = std::move(hotkey);
  }
  rs->close();
  // A library damaged past its first rows fails part-way: say so, keep what was read.
  if (stepError && stepError->code != 0) showLibraryProblem(stepError->description);
  updatePlayingMark();
  global->hotkeyLabelsChanged();
}

void ViewController::showLibraryProblem(const std::string& reason) {
  if (reason.empty()) {
    ui->lblLibraryProblem->clear();
    ui->lblLibraryProblem->hide();
    return;
  }
  const QString text = QString("无法读取音效库 %1：%2").arg(qs(dbHelper().dbURL()), qs(reason));
  ui->lblLibraryProblem->setText(text);
  ui->lblLibraryProblem->setToolTip(text);
  ui->lblLibraryProblem->show();
}

QString ViewController::libraryProblem() const {
  return ui->lblLibraryProblem->isHidden() ? QString() : ui->lblLibraryProblem->text();
}

// A sound that will not play is shown before the host needs it, not on air.
void ViewController::markMissingFile(int n, const std::string& musicSrc) {
  SoundButton* button = soundButton(n);
  if (!button) return;
  if (musicSrc.empty()) {
    button->setMissingFile("没有音效文件");
    return;
  }
  const std::optional<std::string> path = soundFilePath(musicSrc);
  if (!path || ::access(path->c_str(), R_OK) != 0) {
    button->setMissingFile("找不到音效文件：" + qs(musicSrc));
  } else {
    button->setMissingFile(QString());
  }
}

void ViewController::showHotkeyLabels() {
  for (int i = 1; i <= kButtonCount; ++i) {
    auto* label = hotkeyLabel(i);
    if (!label) continue;
    if (radioDisableHotkey->isChecked()) {
      label->setText(QString());
    } else if (radioBuildInHotkey->isChecked()) {
      label->setText(global->labelText(buildInHotkeys[i - 1]));
    } else if (radioCustomHotkey->isChecked()) {
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
  for (int tag = 1; tag <= kCategoryCount; ++tag) {
    auto* button = taggedAs<QPushButton>(this, tag);
    if (button && button->text() != sender->text()) setTitleColor(button, Qt::black);
  }
  setTitleColor(sender, Qt::red);
  curClassId = classIdForCategory(sender->property("tag").toInt());
  loadBtnMusic();
  showHotkeyLabels();
  UserDefaults::standardUserDefaults().setObjectForKey(qs(curClassId), "curClassId");
}

// ---------------------------------------------------------------------------
// Playback

void ViewController::btnMusicX_Click(QPushButton* sender) { playBtnMusic(sender); }

void ViewController::playBtnMusic(QPushButton* button) {
  const int n = button->property("tag").toInt() - kMusicTagBase;
  if (!soundButton(n)) return;
  auto musicSrc = dicMusicSrc().find(n);
  if (musicSrc == dicMusicSrc().end() || musicSrc->second.empty()) return;

  auto buttonId = dicButtonId().find(n);
  const std::string id = buttonId == dicButtonId().end() ? std::string() : buttonId->second;
  if (buttonId != dicButtonId().end() && id == curButtonId) {
    if (player) player->stop();
    curButtonId.clear();
    btnStop->setEnabled(false);
    updatePlayingMark();
    return;
  }

  if (player) player->stop();
  curButtonId.clear();
  btnStop->setEnabled(false);

  const std::optional<std::string> found = soundFilePath(musicSrc->second);
  if (!found) return;
  const std::string& path = *found;

  curButtonId = id;
  std::string error;
  auto created = AudioPlayer::playerWithContentsOfFile(path, &error);
  if (!created) {
    consolePrint("播放出问题了: " + error);
    return;
  }
  if (player) player->setDelegate(nullptr);
  player = std::move(created);
  player->setDelegate(this);
  player->setVolume(volume / 100);
  player->prepareToPlay();
  player->play();
  btnStop->setEnabled(true);
  startPlayingMark();
}

void ViewController::btnStopPlay_Click(QPushButton*) {
  if (player) player->stop();
  curButtonId.clear();
  btnStop->setEnabled(false);
  updatePlayingMark();
}

void ViewController::audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* finished, bool) {
  if (chkLoop->isChecked()) {
    finished->play();
    return;
  }
  curButtonId.clear();
  btnStop->setEnabled(false);
  updatePlayingMark();
}

// The sound device can come (plugged in, or its sound server started after us) and go
// (unplugged) while the board runs.
void ViewController::audioDeviceDidChange() {
  if (!AudioDevice::isOpen()) {
    // The sound that played went with the device; a click starts it on the next one.
    curButtonId.clear();
    btnStop->setEnabled(false);
    updatePlayingMark();
    const std::string why = AudioDevice::lastError();
    if (!why.empty()) consolePrint("音频输出设备断开了，声音无法播放：" + why);
  }
  if (output) output->audioDeviceDidChange();
  showAudioDeviceState();
}

void ViewController::showAudioDeviceState() {
  QString title = AudioDevice::isOpen() ? boardTitle : boardTitle + kNoDeviceMark;
  if (output) title += output->titleMark();
  setWindowTitle(title);
}

void ViewController::startPlayingMark() {
  updatePlayingMark();
  playingMarkTimer->start();
}

void ViewController::updatePlayingMark() {
  const bool playing = !curButtonId.empty() && player && player->isPlaying();
  if (!playing) playingMarkTimer->stop();
  for (int n = 1; n <= kButtonCount; ++n) {
    SoundButton* button = soundButton(n);
    if (!button) continue;
    const auto id = dicButtonId().find(n);
    if (playing && id != dicButtonId().end() && id->second == curButtonId) {
      const double duration = player->duration();
      double position = player->currentTime();
      // A looping sound shows where it is within the loop.
      if (duration > 0) position = std::fmod(position, duration);
      button->setPlaying(position, duration);
    } else {
      button->clearPlaying();
    }
  }
}

void ViewController::chkLoop_Click(QCheckBox* sender) {
  UserDefaults::standardUserDefaults().setObjectForKey(sender->isChecked() ? 1 : 0, "loop");
}

void ViewController::volumeScroll(QSlider*) {
  volume = sliderVolumeValue();
  if (player) player->setVolume(volume / 100);
  const int whole = static_cast<int>(volume);
  tfVolume->setText(kVolumePrefix + QString::number(whole));
  UserDefaults::standardUserDefaults().setObjectForKey(whole, "volume");
}

// ---------------------------------------------------------------------------
// Keyboard hotkeys

void ViewController::addKeyMonitor() { KeyMonitor::shared().addBoard(this); }

bool ViewController::handleKeyDown(QKeyEvent* event) {
  QWidget* boardWindow = window();
  if (!boardWindow) return false;
  QWidget* keyWindow = QApplication::activeWindow();
  if (!keyWindow || keyWindow != boardWindow) return false;

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
  showHotkeyLabels();
  UserDefaults::standardUserDefaults().setIntegerForKey(sender->property("tag").toInt(),
                                                        "hotkeyTag");
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
