// The board model on its own: its state read from the settings and the library, its
// operations with their refusals, the signals and settings each one leaves, and the
// same outcome whether an operation comes from a click on the window or a call on the
// model.

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <functional>
#include <memory>

#include "BoardFixture.h"
#include "board/Board.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "library/LibraryCommands.h"
#include "platform/AudioDevice.h"
#include "platform/NotificationCenter.h"

namespace {

QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

// Every signal of a board, in the order it came, as one line each.
class SignalLog {
 public:
  explicit SignalLog(Board& board) {
    QObject::connect(&board, &Board::categoryChanged, &context,
                     [this](int c) { add(QString("categoryChanged(%1)").arg(c)); });
    QObject::connect(&board, &Board::soundsChanged, &context, [this] { add("soundsChanged"); });
    QObject::connect(&board, &Board::playbackStarted, &context,
                     [this](int c, int n, const QString& title, double duration) {
                       add(QString("playbackStarted(%1,%2,%3)").arg(c).arg(n).arg(title));
                       durations.push_back(duration);
                     });
    QObject::connect(&board, &Board::playbackStopped, &context,
                     [this](const QString& why) { add("playbackStopped(" + why + ")"); });
    QObject::connect(&board, &Board::volumeChanged, &context,
                     [this](int v) { add(QString("volumeChanged(%1)").arg(v)); });
    QObject::connect(&board, &Board::loopChanged, &context,
                     [this](bool on) { add(QString("loopChanged(%1)").arg(on)); });
    QObject::connect(&board, &Board::hotkeyModeChanged, &context,
                     [this](int m) { add(QString("hotkeyModeChanged(%1)").arg(m)); });
    QObject::connect(&board, &Board::libraryChanged, &context, [this] { add("libraryChanged"); });
  }
  void add(const QString& line) { lines.append(line); }

  QStringList lines;
  std::vector<double> durations;

 private:
  QObject context;
};

QString setting(const char* key) {
  const auto value = UserDefaults::standardUserDefaults().stringForKey(key);
  return value ? QString::fromStdString(*value) : QString("(none)");
}

// Buttons 1-3 and 5 of category 1 (1 s and 10 s of 440 Hz, a text file, a row without a
// file), button 1 of category 2 (1 s).
std::vector<LibraryRow> sampleRows() {
  return {{"S1", categoryId(1), 1, "一秒", "one.mp3", "Q"},
          {"S2", categoryId(1), 2, "十秒", "long.mp3", ""},
          {"S3", categoryId(1), 3, "文字", "notes.mp3", std::nullopt},
          {"S5", categoryId(1), 5, "无文件", "", std::nullopt},
          {"T1", categoryId(2), 1, "鼓点", "one.mp3", "W"}};
}

// One scratch board: its own folders and settings, the sound fixtures in its sound
// folder, SDL's disk driver as its device, and a model with a window on it.
struct World {
  World() {
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    for (auto [from, to] : {std::pair{"sine440.mp3", "one.mp3"},
                            {"sine440-10s.mp3", "long.mp3"},
                            {"text.mp3", "notes.mp3"}}) {
      QVERIFY(QFile::copy(fixture(from), sounds + to));
    }
    openDiskAudio(files.path("device.pcm").toStdString());
    files.writeLibrary(sampleRows());
  }
  ~World() {
    window.reset();
    model.reset();
    AudioDevice::close();
  }
  void start() {
    model = std::make_unique<Board>(dbHelper().db());
    window = std::make_unique<ViewController>(*model);
  }

  QPushButton* soundButton(int n) const { return window->viewWithTag<QPushButton>(100 + n); }
  QPushButton* categoryButton(int k) const { return window->viewWithTag<QPushButton>(k); }

  // What the model holds, what is stored and what the window shows.
  QStringList state() const {
    QStringList lines;
    lines << QString("category %1, class %2")
                 .arg(model->currentCategory())
                 .arg(QString::fromStdString(model->currentClassId()));
    lines << QString("playing %1/%2 %3 id %4")
                 .arg(model->playingCategory())
                 .arg(model->playingButton())
                 .arg(model->playingTitle())
                 .arg(QString::fromStdString(model->currentButtonId()));
    lines << QString("volume %1, loop %2, mode %3")
                 .arg(model->volume())
                 .arg(model->loops())
                 .arg(model->hotkeyMode());
    lines << "settings " + QStringList{setting("curClassId"), setting("volume"), setting("loop"),
                                       setting("hotkeyTag")}
                               .join(' ');
    QStringList red;
    for (int k = 1; k <= Board::kCategoryCount; ++k) {
      if (categoryButton(k)->palette().color(QPalette::ButtonText) == QColor(Qt::red)) {
        red << QString::number(k);
      }
    }
    QString radio;
    for (auto* r : window->findChildren<QRadioButton*>()) {
      if (r->isChecked() && r->property("tag").isValid()) radio += r->objectName();
    }
    lines << QString("shown: red %1, button 1 %2, %3, loop box %4, %5, stop %6, label 1 %7")
                 .arg(red.join(','))
                 .arg(soundButton(1)->text())
                 .arg(window->findChild<QLabel*>("tfVolume")->text())
                 .arg(window->findChild<QCheckBox*>("chkLoop")->isChecked())
                 .arg(radio)
                 .arg(window->findChild<QPushButton*>("btnStop")->isEnabled())
                 .arg(window->viewWithTag<QLabel>(201)->text());
    return lines;
  }

  BoardFixture files;
  std::unique_ptr<Board> model;
  std::unique_ptr<ViewController> window;
};

// An operation as a host does it on the window and as any other surface calls it.
struct Operation {
  const char* name;
  std::function<void(Board&)> before;  // brings both boards into the same state first
  std::function<void(World&)> onWindow;
  std::function<void(Board&)> onModel;
  QStringList signalsExpected;
};

const std::vector<Operation>& operations() {
  static const std::vector<Operation> table = {
      {"play a button",
       [](Board&) {},
       [](World& w) { w.soundButton(2)->click(); },
       [](Board& b) { b.play(0, 2); },
       {"playbackStarted(1,2,十秒)"}},
      {"play the button that plays",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.soundButton(2)->click(); },
       [](Board& b) { b.play(1, 2); },
       {"playbackStopped(stopped)"}},
      {"play another button",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.soundButton(1)->click(); },
       [](Board& b) { b.play(0, 1); },
       {"playbackStopped(replaced)", "playbackStarted(1,1,一秒)"}},
      {"play an unplayable file",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.soundButton(3)->click(); },
       [](Board& b) { b.play(0, 3); },
       {"playbackStopped(error)"}},
      {"play a row without a file",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.soundButton(5)->click(); },
       [](Board& b) { b.play(0, 5); },
       {}},
      {"play an empty button",
       [](Board&) {},
       [](World& w) { w.soundButton(9)->click(); },
       [](Board& b) { b.play(0, 9); },
       {}},
      {"stop",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.window->findChild<QPushButton*>("btnStop")->click(); },
       [](Board& b) { b.stop(); },
       {"playbackStopped(stopped)"}},
      {"switch the category",
       [](Board&) {},
       [](World& w) { w.categoryButton(2)->click(); },
       [](Board& b) { b.setCategory(2); },
       {"soundsChanged", "categoryChanged(2)"}},
      {"switch to the category shown",
       [](Board&) {},
       [](World& w) { w.categoryButton(1)->click(); },
       [](Board& b) { b.setCategory(1); },
       {"soundsChanged", "categoryChanged(1)"}},
      {"switch the category while a sound plays",
       [](Board& b) { b.play(0, 2); },
       [](World& w) { w.categoryButton(3)->click(); },
       [](Board& b) { b.setCategory(3); },
       {"soundsChanged", "categoryChanged(3)"}},
      {"set the volume",
       [](Board&) {},
       [](World& w) { w.window->setSliderVolumeValue(30); },
       [](Board& b) { b.setVolume(30); },
       {"volumeChanged(30)"}},
      {"turn looping on",
       [](Board&) {},
       [](World& w) { w.window->findChild<QCheckBox*>("chkLoop")->click(); },
       [](Board& b) { b.setLoop(true); },
       {"loopChanged(1)"}},
      {"turn looping off",
       [](Board& b) { b.setLoop(true); },
       [](World& w) { w.window->findChild<QCheckBox*>("chkLoop")->click(); },
       [](Board& b) { b.setLoop(false); },
       {"loopChanged(0)"}},
      {"custom hotkeys",
       [](Board&) {},
       [](World& w) { w.window->findChild<QRadioButton*>("radioCustomHotkey")->click(); },
       [](Board& b) { b.setHotkeyMode(2); },
       {"hotkeyModeChanged(2)"}},
      {"built-in hotkeys",
       [](Board& b) { b.setHotkeyMode(2); },
       [](World& w) { w.window->findChild<QRadioButton*>("radioBuildInHotkey")->click(); },
       [](Board& b) { b.setHotkeyMode(1); },
       {"hotkeyModeChanged(1)"}},
      {"no hotkeys",
       [](Board& b) { b.setHotkeyMode(1); },
       [](World& w) { w.window->findChild<QRadioButton*>("radioDisableHotkey")->click(); },
       [](Board& b) { b.setHotkeyMode(0); },
       {"hotkeyModeChanged(0)"}},
  };
  return table;
}

}  // namespace

class BoardTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<World> world;

 private slots:
  void init() { world = std::make_unique<World>(); }
  void cleanup() { world.reset(); }

  // Each operation, done once on the window and once on the model of a board in the
  // same state, leaves the same state, settings, window and signals.
  void windowAndModelAgree_data() {
    QTest::addColumn<int>("op");
    for (std::size_t i = 0; i < operations().size(); ++i) {
      QTest::newRow(operations()[i].name) << int(i);
    }
  }
  void windowAndModelAgree() {
    QFETCH(int, op);
    const Operation& operation = operations()[std::size_t(op)];
    QStringList outcome[2];
    QStringList printed[2];
    for (int surface = 0; surface < 2; ++surface) {
      world.reset();
      world = std::make_unique<World>();
      world->start();
      operation.before(*world->model);
      SignalLog log(*world->model);
      world->files.printed.clear();
      if (surface == 0) {
        operation.onWindow(*world);
      } else {
        operation.onModel(*world->model);
      }
      QCOMPARE(log.lines, operation.signalsExpected);
      outcome[surface] = world->state() + log.lines;
      // Each world has a scratch folder of its own.
      for (const auto& line : world->files.printed) {
        printed[surface] << QString::fromStdString(line).replace(world->files.scratch.path(), "…");
      }
    }
    QCOMPARE(outcome[1], outcome[0]);
    QCOMPARE(printed[1], printed[0]);
  }

  void settingsAreReadBack_data() {
    QTest::addColumn<QString>("volume");
    QTest::addColumn<QString>("loop");
    QTest::addColumn<QString>("hotkeyTag");
    QTest::addColumn<QString>("curClassId");
    QTest::addColumn<int>("wantVolume");
    QTest::addColumn<bool>("wantLoop");
    QTest::addColumn<int>("wantMode");
    QTest::addColumn<int>("wantCategory");
    QTest::newRow("none stored") << ""
                                 << ""
                                 << ""
                                 << "" << 85 << false << 0 << 1;
    QTest::newRow("all stored") << "42"
                                << "1"
                                << "2" << QString::fromStdString(categoryId(3)) << 42 << true << 2
                                << 3;
    QTest::newRow("zero volume") << "0"
                                 << "0"
                                 << "1"
                                 << "" << 85 << false << 1 << 1;
    QTest::newRow("volume over 100") << "250"
                                     << ""
                                     << ""
                                     << "" << 100 << false << 0 << 1;
    QTest::newRow("volume not a number") << "laut"
                                         << ""
                                         << ""
                                         << "" << 85 << false << 0 << 1;
    QTest::newRow("unknown hotkey mode") << ""
                                         << ""
                                         << "7"
                                         << "" << 85 << false << 0 << 1;
    QTest::newRow("category of no button") << ""
                                           << ""
                                           << ""
                                           << "x' OR '1'='1" << 85 << false << 0 << 0;
  }
  void settingsAreReadBack() {
    QFETCH(QString, volume);
    QFETCH(QString, loop);
    QFETCH(QString, hotkeyTag);
    QFETCH(QString, curClassId);
    QFETCH(int, wantVolume);
    QFETCH(bool, wantLoop);
    QFETCH(int, wantMode);
    QFETCH(int, wantCategory);
    auto& defaults = UserDefaults::standardUserDefaults();
    if (!volume.isEmpty()) defaults.setObjectForKey(volume, "volume");
    if (!loop.isEmpty()) defaults.setObjectForKey(loop, "loop");
    if (!hotkeyTag.isEmpty()) defaults.setObjectForKey(hotkeyTag, "hotkeyTag");
    if (!curClassId.isEmpty()) defaults.setObjectForKey(curClassId, "curClassId");
    UserDefaults::resetStandardUserDefaultsForTesting();

    Board board(dbHelper().db());
    QCOMPARE(board.volume(), wantVolume);
    QCOMPARE(board.loops(), wantLoop);
    QCOMPARE(board.hotkeyMode(), wantMode);
    QCOMPARE(board.currentCategory(), wantCategory);
    QCOMPARE(board.currentClassId(),
             curClassId.isEmpty() ? categoryId(1) : curClassId.toStdString());
    QVERIFY(board.soundsLoaded());
    // Reading the settings stores nothing.
    QCOMPARE(setting("volume"), volume.isEmpty() ? QString("(none)") : volume);
  }

  void operationsStoreTheirSettings() {
    world->start();
    Board& board = *world->model;
    QVERIFY(board.setCategory(4));
    QVERIFY(board.setVolume(7));
    board.setLoop(true);
    board.setHotkeyMode(1);
    QCOMPARE(setting("curClassId"), QString::fromStdString(categoryId(4)));
    QCOMPARE(setting("volume"), QString("7"));
    QCOMPARE(setting("loop"), QString("1"));
    QCOMPARE(setting("hotkeyTag"), QString("1"));

    // A second board (the next start) is in the same state.
    UserDefaults::resetStandardUserDefaultsForTesting();
    Board next(dbHelper().db());
    QCOMPARE(next.currentCategory(), 4);
    QCOMPARE(next.volume(), 7);
    QVERIFY(next.loops());
    QCOMPARE(next.hotkeyMode(), 1);
  }

  void badArgumentsAreRefusedAndChangeNothing_data() {
    QTest::addColumn<int>("op");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("reason");
    // op 0: play(value, 1); 1: play(1, value); 2: setCategory(value); 3: setVolume(value)
    QTest::newRow("category 0") << 2 << 0 << "没有分类 0（应为 1-5）";
    QTest::newRow("category 6") << 2 << 6 << "没有分类 6（应为 1-5）";
    QTest::newRow("play in category -1") << 0 << -1 << "没有分类 -1（应为 1-5）";
    QTest::newRow("play in category 6") << 0 << 6 << "没有分类 6（应为 1-5）";
    QTest::newRow("button 0") << 1 << 0 << "没有按钮 0（应为 1-40）";
    QTest::newRow("button 41") << 1 << 41 << "没有按钮 41（应为 1-40）";
    QTest::newRow("empty button") << 1 << 40 << "没有音效文件";
    QTest::newRow("row without a file") << 1 << 5 << "没有音效文件";
    QTest::newRow("volume -1") << 3 << -1 << "音量应为 0-100，不是 -1";
    QTest::newRow("volume 101") << 3 << 101 << "音量应为 0-100，不是 101";
  }
  void badArgumentsAreRefusedAndChangeNothing() {
    QFETCH(int, op);
    QFETCH(int, value);
    QFETCH(QString, reason);
    world->start();
    Board& board = *world->model;
    const QStringList before = world->state();
    SignalLog log(board);
    QString why;
    bool done = true;
    switch (op) {
      case 0:
        done = board.play(value, 1, &why);
        break;
      case 1:
        done = board.play(1, value, &why);
        break;
      case 2:
        done = board.setCategory(value, &why);
        break;
      case 3:
        done = board.setVolume(value, &why);
        break;
    }
    QVERIFY(!done);
    QCOMPARE(why, reason);
    QCOMPARE(log.lines, QStringList());
    QCOMPARE(world->state(), before);
  }

  void playFailuresSayWhy() {
    world->files.changeLibrary("INSERT INTO tb_Button VALUES ('G', '" + categoryId(1) +
                               "', 6, '丢了', 'gone.mp3', NULL)");
    world->start();
    Board& board = *world->model;
    QString why;
    QVERIFY(!board.play(0, 6, &why));
    QCOMPARE(why, QString("找不到音效文件：gone.mp3"));
    QVERIFY(!board.play(0, 3, &why));
    QVERIFY2(why.startsWith("播放出问题了: ") && why.size() > 8, qPrintable(why));
    // The same reason the program prints.
    QCOMPARE(world->files.printed.back(), why.toStdString());
    QVERIFY(!board.isPlaying());
  }

  // Another category's button plays without the category shown changing; the window
  // marks no button of the one shown.
  void playInAnotherCategory() {
    world->start();
    Board& board = *world->model;
    SignalLog log(board);
    QVERIFY(board.play(2, 1));
    QCOMPARE(log.lines, QStringList{"playbackStarted(2,1,鼓点)"});
    QVERIFY(log.durations.at(0) > 0.9 && log.durations.at(0) < 1.2);
    QCOMPARE(board.currentCategory(), 1);
    QCOMPARE(board.playingCategory(), 2);
    QCOMPARE(board.playingButton(), 1);
    QCOMPARE(board.currentButtonId(), std::string("T1"));
    QCOMPARE(dicButtonId().at(1), std::string("S1"));  // the caches still hold category 1
    for (int n = 1; n <= Board::kButtonCount; ++n) {
      QVERIFY(!world->window->soundButton(n)->isPlayingMarked());
    }
    QVERIFY(world->window->findChild<QPushButton*>("btnStop")->isEnabled());
    // Shown now, its button is marked; played again from there, it stops.
    QVERIFY(board.setCategory(2));
    QVERIFY(world->window->soundButton(1)->isPlayingMarked());
    QVERIFY(board.play(0, 1));
    QVERIFY(!board.isPlaying());
  }

  void soundEndsWithFinished() {
    world->start();
    Board& board = *world->model;
    QSignalSpy stopped(&board, &Board::playbackStopped);
    QVERIFY(board.play(0, 1));
    QVERIFY(board.isPlaying());
    QTRY_COMPARE_WITH_TIMEOUT(stopped.count(), 1, 20000);
    QCOMPARE(stopped.at(0).at(0).toString(), QString("finished"));
    QCOMPARE(board.playingButton(), 0);
    QCOMPARE(board.currentButtonId(), std::string());
    QVERIFY(!world->window->findChild<QPushButton*>("btnStop")->isEnabled());
  }

  void lostDeviceEndsTheSound() {
    world->start();
    Board& board = *world->model;
    QVERIFY(board.play(0, 2));
    SignalLog log(board);
    AudioDevice::close();
    NotificationCenter::defaultCenter().postNotificationName(AudioDevice::kDeviceDidChange);
    QVERIFY(log.lines.contains("playbackStopped(deviceLost)"));
    QCOMPARE(board.playingButton(), 0);
    QVERIFY(!world->window->findChild<QPushButton*>("btnStop")->isEnabled());
  }

  void soundsOfEachCategory() {
    world->start();
    Board& board = *world->model;
    const std::vector<Board::Sound> shown = board.sounds();
    QCOMPARE(shown.size(), std::size_t(4));
    QCOMPARE(shown[0].button, 1);
    QCOMPARE(shown[0].title, QString("一秒"));
    QCOMPARE(shown[0].hotkey, QString("Q"));
    QVERIFY(!shown[0].fileMissing);
    QCOMPARE(shown[3].button, 5);
    QVERIFY(shown[3].fileMissing);
    QCOMPARE(board.sounds(1).size(), shown.size());
    const std::vector<Board::Sound> other = board.sounds(2);
    QCOMPARE(other.size(), std::size_t(1));
    QCOMPARE(other[0].buttonId, std::string("T1"));
    QCOMPARE(other[0].musicSrc, std::string("one.mp3"));
    QVERIFY(board.sounds(4).empty());
    QVERIFY(board.sounds(9).empty());
  }

  // The library commands change the library and the model, and the window follows.
  void libraryCommandsSignalTheChange() {
    world->start();
    Board& board = *world->model;
    SignalLog log(board);
    board.libraryCommands().deleteMusic(101);
    QCOMPARE(log.lines, (QStringList{"soundsChanged", "libraryChanged"}));
    QCOMPARE(board.sounds().size(), std::size_t(3));
    QCOMPARE(world->soundButton(1)->text(), QString());

    log.lines.clear();
    board.libraryCommands().deleteClassMusic(categoryId(1));
    QCOMPARE(log.lines, (QStringList{"soundsChanged", "libraryChanged"}));
    QVERIFY(board.sounds().empty());
    QCOMPARE(world->soundButton(2)->text(), QString());
    QVERIFY(!board.play(0, 2));
  }

  void editorSaveReloads() {
    world->start();
    Board& board = *world->model;
    SignalLog log(board);
    world->files.changeLibrary("UPDATE tb_Button SET Title = '两秒' WHERE ButtonId = 'S1'");
    NotificationCenter::defaultCenter().postNotificationName("refreshBtnMusic");
    QCOMPARE(log.lines, (QStringList{"soundsChanged", "libraryChanged"}));
    QCOMPARE(board.sounds().at(0).title, QString("两秒"));
    QCOMPARE(world->soundButton(1)->text(), QString("两秒"));
  }

  // A library that cannot be read leaves no sound to play, even one the caches still
  // hold from before.
  void unreadableLibraryPlaysNothing() {
    world->files.changeLibrary("DROP TABLE tb_Button");
    dicMusicSrc()[1] = "one.mp3";
    dicButtonId()[1] = "OLD";
    world->start();
    Board& board = *world->model;
    QVERIFY(!board.soundsLoaded());
    QVERIFY(!board.libraryProblem().empty());
    QVERIFY(board.sounds().empty());
    QString why;
    QVERIFY(!board.play(0, 1, &why));
    QCOMPARE(why, "无法读取音效库：" + QString::fromStdString(board.libraryProblem()));
    QVERIFY(!board.isPlaying());
  }

  // A window made without a model makes its own; one handed a model acts on it.
  void windowActsOnTheModelItIsHanded() {
    world->start();
    QCOMPARE(&world->window->model(), world->model.get());
    world->soundButton(2)->click();
    QCOMPARE(world->model->playingButton(), 2);
    world->model->stop();

    ViewController own;
    QVERIFY(&own.model() != world->model.get());
    QCOMPARE(own.model().currentCategory(), 1);
  }
};

QTEST_MAIN(BoardTest)
#include "BoardTest.moc"
