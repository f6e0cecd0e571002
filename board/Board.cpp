#include "board/Board.h"

#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

#include "audio/AudioEngine.h"
#include "library/Caches.h"
#include "library/LibraryCommands.h"
#include "library/LoudnessStore.h"
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
      library(std::make_unique<LibraryCommands>(db, [this] { return curClassId; })),
      loudness(std::make_unique<LoudnessStore>(db)) {
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
  if (normalize) measureShownSounds();
  // Sounds added or changed are measured while the host works on.
  connect(this, &Board::soundsChanged, this, [this] {
    if (normalize) measureShownSounds();
  });
  // The editor saves a sound and says so.
  NotificationCenter::defaultCenter().addObserver(this, "refreshBtnMusic", [this] {
    reload();
    emit libraryChanged();
  });
  NotificationCenter::defaultCenter().addObserver(this, AudioDevice::kDeviceDidChange,
                                                  [this] { audioDeviceDidChange(); });
}

Board::~Board() {
  // The meter's news must not reach a board that is being taken apart.
  meter.reset();
  // The players' end notifications must not reach a board that is gone.
  if (player) player->setDelegate(nullptr);
  for (Other& other : others) other.player->setDelegate(nullptr);
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
  overlap = defaults.objectForKey("overlap") ? defaults.boolForKey("overlap") : false;
  normalize = defaults.objectForKey("normalize") ? defaults.boolForKey("normalize") : false;
  AudioDevice::setOverlap(overlap);
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

  if (overlap) return playOverlapping(*sound, category, shown, reason);
  // Sounds left playing together from before overlapping was turned off go too.
  stopOthers();

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
  player->setGainDecibels(soundGainDecibels(sound->musicSrc, *path));
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
  const bool hadOthers = stopOthers();
  endPlayback("stopped");
  if (hadOthers) emit playingChanged();
}

void Board::audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* finished, bool) {
  if (loop) {
    finished->play();
    return;
  }
  const auto other = std::find_if(others.begin(), others.end(),
                                  [&](const Other& o) { return o.player.get() == finished; });
  if (other != others.end()) {
    others.erase(other);  // the player is not touched after this call
    emit playingChanged();
    return;
  }
  if (finished == player.get() && !others.empty()) {
    promoteNewestOther();
    emit playingChanged();
    return;
  }
  endPlayback("finished");
}

std::vector<Board::PlayingSound> Board::playingSounds() const {
  std::vector<PlayingSound> result;
  for (const Other& other : others) {
    if (!other.player->isPlaying()) continue;
    const double duration = other.player->duration();
    double position = other.player->currentTime();
    if (duration > 0) position = std::fmod(position, duration);
    result.push_back(PlayingSound{other.category, other.button, other.buttonId, other.title,
                                  position, duration});
  }
  if (isPlaying()) {
    result.push_back(PlayingSound{playingCat, playingNo, curButtonId, playingName,
                                  playingPosition(), playingDuration()});
  }
  return result;
}

bool Board::playOverlapping(const Sound& sound, int category, bool shown, QString* reason) {
  pruneOthers();
  // A click on a sound that plays stops that one; the others go on.
  if (isPlaying() && sound.buttonId == curButtonId) {
    player->stop();
    if (others.empty()) {
      endPlayback("stopped");
    } else {
      promoteNewestOther();
      emit playingChanged();
    }
    return true;
  }
  const auto other = std::find_if(others.begin(), others.end(),
                                  [&](const Other& o) { return o.buttonId == sound.buttonId; });
  if (other != others.end()) {
    other->player->stop();
    others.erase(other);
    emit playingChanged();
    return true;
  }

  // A sound that cannot start leaves every other one playing.
  const std::optional<std::string> path = soundFilePath(sound.musicSrc);
  if (!path) {
    setReason(reason, "找不到音效文件：" + qs(sound.musicSrc));
    return false;
  }
  std::string error;
  auto created = AudioPlayer::playerWithContentsOfFile(*path, &error);
  if (!created) {
    consolePrint("播放出问题了: " + error);
    setReason(reason, "播放出问题了: " + qs(error));
    return false;
  }
  // Room for one more: the oldest sound goes first.
  const bool current = isPlaying();
  bool dropped = false;
  while (!others.empty() && int(others.size()) + (current ? 1 : 0) >= AudioEngine::kMaxVoices) {
    others.front().player->stop();
    others.erase(others.begin());
    dropped = true;
  }
  if (current) {
    others.push_back(Other{std::move(player), curButtonId, playingCat, playingNo, playingName});
  } else if (player) {
    player->stop();
    player->setDelegate(nullptr);
  }
  player = std::move(created);
  player->setDelegate(this);
  player->setVolume(level / 100);
  player->setGainDecibels(soundGainDecibels(sound.musicSrc, *path));
  player->prepareToPlay();
  player->play();
  curButtonId = sound.buttonId;
  started = true;
  playing = true;
  playingCat = shown ? currentCategory() : category;
  playingNo = sound.button;
  playingName = sound.title;
  if (dropped) emit playingChanged();
  emit playbackStarted(playingCat, playingNo, playingName, player->duration());
  return true;
}

bool Board::stopOthers() {
  if (others.empty()) return false;
  for (Other& other : others) {
    other.player->setDelegate(nullptr);
    other.player->stop();
  }
  others.clear();
  return true;
}

void Board::pruneOthers() {
  std::erase_if(others, [](const Other& o) { return !o.player->isPlaying(); });
}

void Board::promoteNewestOther() {
  Other newest = std::move(others.back());
  others.pop_back();
  if (player) player->setDelegate(nullptr);
  player = std::move(newest.player);
  curButtonId = newest.buttonId;
  started = true;
  playing = true;
  playingCat = newest.category;
  playingNo = newest.button;
  playingName = newest.title;
}

void Board::setOverlap(bool on) {
  const bool changed = on != overlap;
  overlap = on;
  AudioDevice::setOverlap(on);
  UserDefaults::standardUserDefaults().setObjectForKey(on ? 1 : 0, "overlap");
  if (changed) emit overlapChanged(on);
}

// The sound device can come (plugged in, or its sound server started after us) and go
// (unplugged) while the board runs.
void Board::audioDeviceDidChange() {
  if (AudioDevice::isOpen()) return;
  // The sounds that played went with the device; a click starts one on the next one.
  const bool hadOthers = stopOthers();
  endPlayback("deviceLost");
  if (hadOthers) emit playingChanged();
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
  for (Other& other : others) other.player->setVolume(level / 100);
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

// ---------------------------------------------------------------------------
// Loudness

double Board::soundGainDecibels(const std::string& musicSrc, const std::string& path) {
  double decibels = loudness->trimForFile(musicSrc);
  if (normalize) {
    const std::optional<Loudness> measured = loudness->loudnessForFile(musicSrc, path);
    // Unmeasured: unity now, matched from its next start on.
    if (!measured) measureUnmeasured(musicSrc, path);
    decibels += Loudness::matchingGainDecibels(measured);
  }
  return decibels;
}

void Board::setNormalize(bool on) {
  const bool changed = on != normalize;
  normalize = on;
  UserDefaults::standardUserDefaults().setObjectForKey(on ? 1 : 0, "normalize");
  if (on) measureShownSounds();
  if (changed) emit normalizeChanged(on);
}

void Board::measureShownSounds() {
  if (!loaded) return;
  for (const auto& [n, musicSrc] : dicMusicSrc()) {
    const std::optional<std::string> path = soundFilePath(musicSrc);
    if (path && !loudness->loudnessForFile(musicSrc, *path)) measureUnmeasured(musicSrc, *path);
  }
}

void Board::measureUnmeasured(const std::string& musicSrc, const std::string& path) {
  if (measuring.count(path) || unmeasurable.count(path)) return;
  if (!meter) {
    // On the meter's thread: the result is stored on the main thread, where the
    // library's connection is used.
    meter = std::make_unique<LoudnessMeter>([this](const std::string& file,
                                                   const std::optional<Loudness>& measured,
                                                   const std::string& error) {
      QMetaObject::invokeMethod(
          this, [this, file, measured, error] { loudnessDidMeasure(file, measured, error); },
          Qt::QueuedConnection);
    });
  }
  measuring[path] = musicSrc;
  meter->request(path);
}

void Board::loudnessDidMeasure(const std::string& path, const std::optional<Loudness>& measured,
                               const std::string& error) {
  const auto found = measuring.find(path);
  if (found == measuring.end()) return;
  const std::string musicSrc = found->second;
  measuring.erase(found);
  if (!measured) {
    // Too short or silent to have a loudness, or no longer readable: it plays at unity
    // (and its trim), as an unmeasured sound does. Said once, not at every load.
    unmeasurable.insert(path);
    consolePrint("无法测量音量：" + musicSrc + "：" + error);
    return;
  }
  if (!loudness->prepare() || !loudness->setLoudness(musicSrc, path, *measured)) return;
  emit loudnessMeasured(qs(musicSrc));
}

void Board::waitForLoudnessMeasures() {
  if (meter) meter->waitUntilIdle();
  QCoreApplication::sendPostedEvents(this);
}
