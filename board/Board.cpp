#include "board/Board.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "library/Caches.h"
#include "library/LibraryCommands.h"
#include "library/SqlText.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/SoundCheck.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kClassIdPrefix = "00000000-0000-0000-0000-00000000000";

QString qs(const std::string& text) { return QString::fromStdString(text); }

struct Row {
  int n = 0;
  std::string buttonId;
  std::string title;
  std::string musicSrc;
  std::string hotkey;
};

// The rows of a category that sit on the grid. Only a whole number 1-40 is a place on
// it; anything else (0, 41, -99, 3.5, a huge number, text) reaches no button. On a
// failure `problem` holds the engine's reason and `rows` what was read before it;
// `queried` tells whether the query ran at all.
std::vector<Row> readCategory(LiteDatabase& db, const std::string& classId, std::string* problem,
                              bool* queried = nullptr) {
  std::vector<Row> rows;
  problem->clear();
  if (queried) *queried = false;
  if (!db.open()) {
    *problem = db.lastErrorMessage();
    return rows;
  }
  auto rs = db.executeQueryWithArgumentsInArray(Board::categoryQuerySql(classId), {});
  if (!rs) {
    *problem = db.lastErrorMessage();
    return rows;
  }
  if (queried) *queried = true;
  std::optional<LiteError> stepError;
  while (rs->nextWithError(&stepError)) {
    const long long number = rs->longLongIntForColumn("buttonNo");
    if (number < 1 || number > Board::kButtonCount ||
        double(number) != rs->doubleForColumn("buttonNo"))
      continue;
    rows.push_back(Row{static_cast<int>(number), rs->stringForColumn("buttonId").value_or(""),
                       rs->stringForColumn("title").value_or(""),
                       rs->stringForColumn("musicSrc").value_or(""),
                       rs->stringForColumn("hotkey").value_or("")});
  }
  rs->close();
  // A library damaged past its first rows fails part-way: keep what was read.
  if (stepError && stepError->code != 0) *problem = stepError->description;
  return rows;
}

Board::Sound soundOf(int n, const std::string& buttonId, const std::string& title,
                     const std::string& musicSrc, const std::string& hotkey) {
  return Board::Sound{n,          buttonId, qs(title),
                      qs(hotkey), musicSrc, !Board::missingFileText(musicSrc).isEmpty()};
}

void setReason(QString* reason, const QString& text) {
  if (reason) *reason = text;
}

}  // namespace

Board::Board(std::shared_ptr<LiteDatabase> database, QObject* parent)
    : QObject(parent),
      db(std::move(database)),
      library(std::make_unique<LibraryCommands>(db, [this] { return curClassId; })) {
  connect(library.get(), &LibraryCommands::shownSoundsEdited, this, [this] {
    emit soundsChanged();
    emit libraryChanged();
  });
  connect(library.get(), &LibraryCommands::libraryChanged, this, [this] {
    reload();
    emit libraryChanged();
  });
  loadSettings();
  loadCurrentCategory();
  // The editor saves a sound and says so.
  NotificationCenter::defaultCenter().addObserver(this, "refreshBtnMusic", [this] {
    reload();
    emit libraryChanged();
  });
  NotificationCenter::defaultCenter().addObserver(this, AudioDevice::kDeviceDidChange,
                                                  [this] { audioDeviceDidChange(); });
}

Board::~Board() {
  // The player's end notification must not reach a board that is gone.
  if (player) player->setDelegate(nullptr);
}

std::string Board::classIdForCategory(int number) {
  return kClassIdPrefix + std::to_string(number);
}

int Board::categoryForClassId(const std::string& classId) {
  for (int c = 1; c <= kCategoryCount; ++c) {
    if (classId == classIdForCategory(c)) return c;
  }
  return 0;
}

std::string Board::categoryQuerySql(const std::string& classId) {
  return std::string(" select *  ") + " from  tb_Button " + " where classId ='" +
         quotedSqlText(classId) + "'";
}

std::optional<std::string> Board::soundFilePath(const std::string& musicSrc) {
  if (musicSrc.empty()) return std::nullopt;
  auto& files = FileManager::defaultManager();
  std::string path = stringByAppendingPathComponent(soundPath(), musicSrc);
  if (files.fileExistsAtPath(path)) return path;
  if (musicSrc.front() == '/' && files.fileExistsAtPath(musicSrc)) return musicSrc;
  return std::nullopt;
}

QString Board::missingFileText(const std::string& musicSrc) {
  if (musicSrc.empty()) return "没有音效文件";
  const std::optional<std::string> path = soundFilePath(musicSrc);
  if (!path || ::access(path->c_str(), R_OK) != 0) return "找不到音效文件：" + qs(musicSrc);
  return QString();
}

// ---------------------------------------------------------------------------
// Settings and loading

void Board::loadSettings() {
  auto& defaults = UserDefaults::standardUserDefaults();
  curClassId = defaults.stringForKey("curClassId").value_or(classIdForCategory(1));
  level = defaults.floatForKey("volume");
  // A hand-edited settings file may hold anything; the level and the label must agree.
  if (!std::isfinite(level)) level = 0;
  level = std::clamp(level, 0.0f, 100.0f);
  if (level == 0) level = 85;
  loop = defaults.objectForKey("loop") ? defaults.boolForKey("loop") : false;
  const long stored = defaults.integerForKey("hotkeyTag");
  mode = stored == 1 || stored == 2 ? int(stored) : 0;
}

bool Board::loadCurrentCategory() {
  bool queried = false;
  std::vector<Row> rows = readCategory(*db, curClassId, &problem, &queried);
  // A library that cannot be read at all leaves the caches as they were; the window
  // shows no sounds and the board plays none until a load succeeds.
  loaded = queried;
  if (!queried) return false;
  dicButtonId().clear();
  dicMusicSrc().clear();
  dicTitle().clear();
  dicHotkey().clear();
  for (Row& row : rows) {
    dicButtonId()[row.n] = std::move(row.buttonId);
    dicMusicSrc()[row.n] = std::move(row.musicSrc);
    dicTitle()[row.n] = std::move(row.title);
    dicHotkey()[row.n] = std::move(row.hotkey);
  }
  return problem.empty();
}

void Board::reload() {
  loadCurrentCategory();
  emit soundsChanged();
}

int Board::currentCategory() const { return categoryForClassId(curClassId); }

std::vector<Board::Sound> Board::sounds(int category) const {
  std::vector<Sound> result;
  if (category == 0 || category == currentCategory()) {
    if (!loaded) return result;
    for (const auto& [n, id] : dicButtonId()) {
      auto text = [n = n](const ButtonTextMap& cache) {
        const auto found = cache.find(n);
        return found == cache.end() ? std::string() : found->second;
      };
      result.push_back(soundOf(n, id, text(dicTitle()), text(dicMusicSrc()), text(dicHotkey())));
    }
    return result;
  }
  if (category < 1 || category > kCategoryCount) return result;
  std::string readProblem;
  std::vector<Row> rows = readCategory(*db, classIdForCategory(category), &readProblem);
  // As on the grid, a later row of the same number takes the button.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.n < b.n; });
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i + 1 < rows.size() && rows[i + 1].n == rows[i].n) continue;
    const Row& row = rows[i];
    result.push_back(soundOf(row.n, row.buttonId, row.title, row.musicSrc, row.hotkey));
  }
  return result;
}

std::optional<Board::Sound> Board::storedSound(int category, int button,
                                               std::string* problem) const {
  std::optional<Sound> found;
  // As on the grid, a later row of the same number takes the button.
  for (const Row& row : readCategory(*db, classIdForCategory(category), problem)) {
    if (row.n == button) found = soundOf(row.n, row.buttonId, row.title, row.musicSrc, row.hotkey);
  }
  return found;
}

// ---------------------------------------------------------------------------
// Playback

bool Board::isPlaying() const { return playing && player && player->isPlaying(); }
int Board::playingCategory() const { return isPlaying() ? playingCat : 0; }
int Board::playingButton() const { return isPlaying() ? playingNo : 0; }
QString Board::playingTitle() const { return isPlaying() ? playingName : QString(); }
double Board::playingDuration() const { return isPlaying() ? player->duration() : 0; }

double Board::playingPosition() const {
  if (!isPlaying()) return 0;
  const double duration = player->duration();
  double position = player->currentTime();
  if (duration > 0) position = std::fmod(position, duration);
  return position;
}

void Board::endPlayback(const QString& reason) {
  const bool was = playing;
  playing = false;
  playingCat = 0;
  playingNo = 0;
  playingName.clear();
  curButtonId.clear();
  started = false;
  if (was) emit playbackStopped(reason);
}

bool Board::play(int category, int button, QString* reason) {
  if (category < 0 || category > kCategoryCount) {
    setReason(reason, QString("没有分类 %1（应为 1-%2）").arg(category).arg(kCategoryCount));
    return false;
  }
  if (button < 1 || button > kButtonCount) {
    setReason(reason, QString("没有按钮 %1（应为 1-%2）").arg(button).arg(kButtonCount));
    return false;
  }
  const bool shown = category == 0 || category == currentCategory();
  std::optional<Sound> sound;
  if (shown) {
    if (!loaded) {
      setReason(reason, "无法读取音效库：" + qs(problem));
      return false;
    }
    // The category shown plays what its buttons hold now, edits included.
    const auto src = dicMusicSrc().find(button);
    if (src != dicMusicSrc().end()) {
      const auto id = dicButtonId().find(button);
      const auto title = dicTitle().find(button);
      sound = Sound{button,
                    id == dicButtonId().end() ? std::string() : id->second,
                    title == dicTitle().end() ? QString() : qs(title->second),
                    QString(),
                    src->second,
                    false};
    }
  } else {
    std::string problem;
    sound = storedSound(category, button, &problem);
    if (!sound && !problem.empty()) {
      setReason(reason, "无法读取音效库：" + qs(problem));
      return false;
    }
  }
  if (!sound || sound->musicSrc.empty()) {
    setReason(reason, "没有音效文件");
    return false;
  }

  // A click on the sound that plays stops it.
  if (started && sound->buttonId == curButtonId) {
    if (player) player->stop();
    endPlayback("stopped");
    return true;
  }

  if (player) player->stop();
  const bool replacing = playing;
  playing = false;
  auto fail = [&](const QString& why) {
    setReason(reason, why);
    if (replacing) emit playbackStopped("error");
    return false;
  };
  const std::optional<std::string> path = soundFilePath(sound->musicSrc);
  if (!path) {
    endPlayback(QString());
    return fail("找不到音效文件：" + qs(sound->musicSrc));
  }
  endPlayback(QString());
  // Set before the player is made: a sound that cannot be played takes the next click
  // on its button as a stop, as a sound that plays would.
  curButtonId = sound->buttonId;
  started = true;
  std::string error;
  auto created = AudioPlayer::playerWithContentsOfFile(*path, &error);
  if (!created) {
    consolePrint("播放出问题了: " + error);
    // A file at fault (not a missing device) is marked on its button.
    const std::string problem = soundFileProblem(*path);
    if (!problem.empty()) emit soundUnplayable(qs(sound->musicSrc), qs(problem));
    return fail("播放出问题了: " + qs(error));
  }
  if (player) player->setDelegate(nullptr);
  player = std::move(created);
  player->setDelegate(this);
  player->setVolume(level / 100);
  player->prepareToPlay();
  player->play();
  playing = true;
  playingCat = shown ? currentCategory() : category;
  playingNo = button;
  playingName = sound->title;
  if (replacing) emit playbackStopped("replaced");
  emit playbackStarted(playingCat, button, playingName, player->duration());
  return true;
}

void Board::stop() {
  if (player) player->stop();
  endPlayback("stopped");
}

void Board::audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* finished, bool) {
  if (loop) {
    finished->play();
    return;
  }
  endPlayback("finished");
}

// The sound device can come (plugged in, or its sound server started after us) and go
// (unplugged) while the board runs.
void Board::audioDeviceDidChange() {
  if (AudioDevice::isOpen()) return;
  // The sound that played went with the device; a click starts it on the next one.
  endPlayback("deviceLost");
  const std::string why = AudioDevice::lastError();
  if (!why.empty()) consolePrint("音频输出设备断开了，声音无法播放：" + why);
}

// ---------------------------------------------------------------------------
// Category, volume, loop, hotkey mode

bool Board::setCategory(int category, QString* reason) {
  if (category < 1 || category > kCategoryCount) {
    setReason(reason, QString("没有分类 %1（应为 1-%2）").arg(category).arg(kCategoryCount));
    return false;
  }
  curClassId = classIdForCategory(category);
  reload();
  UserDefaults::standardUserDefaults().setObjectForKey(qs(curClassId), "curClassId");
  // Also when it was shown already: a click on the category shown shows it afresh.
  emit categoryChanged(category);
  return true;
}

bool Board::setVolume(int volume, QString* reason) {
  if (volume < 0 || volume > 100) {
    setReason(reason, QString("音量应为 0-100，不是 %1").arg(volume));
    return false;
  }
  setVolumeLevel(float(volume));
  return true;
}

void Board::setVolumeLevel(float value) {
  if (!std::isfinite(value)) value = 0;
  const int before = volume();
  level = std::clamp(value, 0.0f, 100.0f);
  if (player) player->setVolume(level / 100);
  UserDefaults::standardUserDefaults().setObjectForKey(volume(), "volume");
  if (volume() != before) emit volumeChanged(volume());
}

void Board::setLoop(bool on) {
  const bool changed = on != loop;
  loop = on;
  UserDefaults::standardUserDefaults().setObjectForKey(on ? 1 : 0, "loop");
  if (changed) emit loopChanged(on);
}

void Board::setHotkeyMode(int value) {
  if (value != 1 && value != 2) value = 0;
  const bool changed = value != mode;
  mode = value;
  UserDefaults::standardUserDefaults().setIntegerForKey(value, "hotkeyTag");
  if (changed) emit hotkeyModeChanged(value);
}
