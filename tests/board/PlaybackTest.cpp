// Playing sounds from the board, heard through SDL's disk driver: what the device was
// given is read back after each test and measured.

#include <SDL2/SDL.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSocketNotifier>
#include <csignal>
#include <memory>

#include "../platform/PcmCapture.h"
#include "BoardFixture.h"
#include "PipeDevice.h"
#include "board/ViewController.h"
#include "platform/AudioDevice.h"

namespace {
QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

const QString kNoDeviceMark = QStringLiteral("（没有音频输出设备）");

}  // namespace

class PlaybackTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::string capturePath;

  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }
  QPushButton* stopButton() { return board->findChild<QPushButton*>("btnStop"); }
  QCheckBox* loopBox() { return board->findChild<QCheckBox*>("chkLoop"); }

  // Buttons 1-6 of category 1: 1 s of 440 Hz, 10 s of 440 Hz, a file that is gone, a
  // text file, an empty file, and a sound outside the sound folder named by full path.
  void startBoard() {
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    for (auto [from, to] : {std::pair{"sine440.mp3", "一秒.mp3"},
                            {"sine440-10s.mp3", "long.mp3"},
                            {"text.mp3", "notes.mp3"},
                            {"empty.mp3", "empty.mp3"}}) {
      QVERIFY(QFile::copy(fixture(from), sounds + to));
    }
    world->writeLibrary({{"S1", categoryId(1), 1, "一秒", "一秒.mp3", ""},
                         {"S2", categoryId(1), 2, "十秒", "long.mp3", ""},
                         {"S3", categoryId(1), 3, "丢了", "gone.mp3", ""},
                         {"S4", categoryId(1), 4, "文字", "notes.mp3", ""},
                         {"S5", categoryId(1), 5, "空的", "empty.mp3", ""},
                         {"S6", categoryId(1), 6, "外面", fixture("sine440.mp3").toStdString(), ""},
                         {"S7", categoryId(1), 7, "无文件", "", ""}});
    board = std::make_unique<ViewController>();
  }

  PcmCapture heard() {
    board.reset();
    AudioDevice::close();  // flushes the capture
    return PcmCapture::fromFile(capturePath, 2, 44100);
  }

  void waitForEnd() { QTRY_VERIFY_WITH_TIMEOUT(!stopButton()->isEnabled(), 20000); }

  // Waits until the device has been handed `seconds` more of output (sound or
  // silence), however fast the disk driver happens to run on this machine.
  void waitForDeviceTime(double seconds) {
    const qint64 bytesPerSecond = 44100 * 2 * 2;
    const qint64 target = QFileInfo(QString::fromStdString(capturePath)).size() +
                          static_cast<qint64>(seconds * bytesPerSecond);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(QString::fromStdString(capturePath)).size() >= target,
                             30000);
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    capturePath = world->path("device.pcm").toStdString();
    openDiskAudio(capturePath);
    QCOMPARE(AudioDevice::frequency(), 44100);
    QCOMPARE(AudioDevice::channels(), 2);
    startBoard();
  }
  void cleanup() {
    board.reset();
    AudioDevice::close();
    world.reset();
  }

  void clickPlaysTheSoundAtItsPitch() {
    button(1)->click();
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(board->currentButtonId(), std::string("S1"));
    waitForEnd();
    QCOMPARE(board->currentButtonId(), std::string());
    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  void volumeFollowsTheSlider() {
    board->setSliderVolumeValue(100);
    button(1)->click();
    waitForEnd();
    board->setSliderVolumeValue(42.6f);
    QCOMPARE(board->findChild<QLabel*>("tfVolume")->text(), QString("音量：42"));
    // The setting holds the whole number the label shows, not the slider's 42.6.
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("volume"),
             std::optional<std::string>("42"));
    QCOMPARE(board->currentPlayer()->volume(), 0.426f);  // the ended player follows too
    button(1)->click();
    QCOMPARE(board->currentPlayer()->volume(), 0.426f);
    waitForEnd();

    const PcmCapture pcm = heard();
    const auto spans = pcm.soundSpans(pcm.framesIn(0.05), 200);
    QCOMPARE(spans.size(), std::size_t(2));
    auto middle = [&](const PcmCapture::Span& s) {
      return pcm.rms(s.begin + pcm.framesIn(0.2), s.begin + pcm.framesIn(0.8));
    };
    const double ratio = middle(spans[1]) / middle(spans[0]);
    QVERIFY2(std::abs(ratio - 0.426) < 0.02, qPrintable(QString::number(ratio)));

    // The next start reads the whole number back from the settings file.
    UserDefaults::resetStandardUserDefaultsForTesting();
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("volume"),
             std::optional<std::string>("42"));
    board = std::make_unique<ViewController>();
    QCOMPARE(board->currentVolume(), 42.0f);
    QCOMPARE(board->sliderVolumeValue(), 42.0f);
  }

  void loopRestartsUntilStopped() {
    loopBox()->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("loop"), 1L);
    button(1)->click();
    waitForDeviceTime(3.0);  // three times the sound's length
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(board->currentButtonId(), std::string("S1"));
    stopButton()->click();
    QVERIFY(!stopButton()->isEnabled());
    QCOMPARE(board->currentButtonId(), std::string());

    const PcmCapture pcm = heard();
    const auto first = pcm.firstNonSilentFrame(0, 200);
    const auto last = pcm.lastNonSilentFrame(200);
    QVERIFY(first && last);
    QVERIFY2(pcm.seconds(*last - *first) > 2.0,
             qPrintable(QString::number(pcm.seconds(*last - *first))));
  }

  void loopTurnedOffLetsTheSoundEnd() {
    loopBox()->click();
    button(2)->click();
    loopBox()->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("loop"), 0L);
    waitForEnd();
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!board->currentPlayer()->isPlaying());
  }

  void secondClickStopsAndThirdStartsOver() {
    button(2)->click();
    waitForDeviceTime(0.5);
    button(2)->click();
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(!board->currentPlayer()->isPlaying());
    QCOMPARE(board->currentButtonId(), std::string());
    waitForDeviceTime(0.3);  // a stretch of silence between the two
    button(2)->click();
    QVERIFY(stopButton()->isEnabled());
    waitForEnd();

    const PcmCapture pcm = heard();
    const auto spans = pcm.soundSpans(pcm.framesIn(0.05), 200);
    QCOMPARE(spans.size(), std::size_t(2));
    QVERIFY(pcm.seconds(spans[0].frames()) < 9.0);
    // The whole ten seconds again: the third click played from the beginning.
    QVERIFY2(std::abs(pcm.seconds(spans[1].frames()) - 10.0) < 0.2,
             qPrintable(QString::number(pcm.seconds(spans[1].frames()))));
  }

  void clicksThatDoNotStartASound_data() {
    QTest::addColumn<int>("other");
    QTest::addColumn<bool>("keepsPlaying");
    QTest::newRow("empty button") << 10 << true;
    QTest::newRow("row without a file name") << 7 << true;
    QTest::newRow("file gone from the folder") << 3 << false;
  }
  void clicksThatDoNotStartASound() {
    QFETCH(int, other);
    QFETCH(bool, keepsPlaying);
    button(2)->click();
    button(other)->click();
    QCOMPARE(board->currentPlayer()->isPlaying(), keepsPlaying);
    QCOMPARE(stopButton()->isEnabled(), keepsPlaying);
    QCOMPARE(board->currentButtonId(), std::string(keepsPlaying ? "S2" : ""));
    QVERIFY(world->printed.empty());
  }

  void unplayableFileIsReportedAndNextClickIsAStop_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("id");
    QTest::newRow("text file") << 4 << "S4";
    QTest::newRow("zero bytes") << 5 << "S5";
  }
  void unplayableFileIsReportedAndNextClickIsAStop() {
    QFETCH(int, n);
    QFETCH(QString, id);
    button(2)->click();
    button(n)->click();
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(world->printed[0]).startsWith("播放出问题了: ") &&
                 world->printed[0].size() > std::string("播放出问题了: ").size(),
             world->printed[0].c_str());
    QVERIFY(!board->currentPlayer()->isPlaying());  // the old sound was stopped
    QVERIFY(!stopButton()->isEnabled());
    QCOMPARE(QString::fromStdString(board->currentButtonId()), id);

    button(n)->click();  // taken as a stop
    QCOMPARE(board->currentButtonId(), std::string());
    QCOMPARE(world->printed.size(), std::size_t(1));
    button(n)->click();  // and then tried again
    QCOMPARE(world->printed.size(), std::size_t(2));
  }

  void fullPathOutsideTheSoundFolderPlays() {
    button(6)->click();
    QCOMPARE(board->currentButtonId(), std::string("S6"));
    QVERIFY(board->currentPlayer()->isPlaying());
    waitForEnd();
  }

  void categorySwitchLeavesTheSoundPlaying() {
    button(2)->click();
    board->viewWithTag<QPushButton>(2)->click();  // category 2, which has no rows
    QCOMPARE(board->currentClassId(), categoryId(2));
    QCOMPARE(button(2)->text(), QString());
    QVERIFY(board->currentPlayer()->isPlaying());
    QCOMPARE(board->currentButtonId(), std::string("S2"));
    stopButton()->click();
    QVERIFY(!board->currentPlayer()->isPlaying());
    QCOMPARE(board->currentButtonId(), std::string());
  }

  // The stop button is disabled while idle, so a click never reaches the action; the
  // action is called here as the button's signal would call it.
  void stopWhileIdleChangesNothing() {
    board->btnStopPlay_Click(stopButton());  // before any sound
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(!board->currentPlayer());

    button(1)->click();
    waitForEnd();
    AudioPlayer* const ended = board->currentPlayer();
    QVERIFY(ended);
    board->btnStopPlay_Click(stopButton());  // after the sound ended by itself
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!stopButton()->isEnabled());
    QCOMPARE(board->currentPlayer(), ended);
    QVERIFY(!ended->isPlaying());
    QVERIFY(world->printed.empty());
  }

  // Started before the sound server, or before the headset was plugged in: the device
  // that is there by the next click plays it, and the title stops saying there is none.
  void aDeviceThatAppearsLaterPlaysAtTheNextClick_data() {
    QTest::addColumn<QByteArray>("driver");
    QTest::addColumn<QString>("file");
    QTest::newRow("no such driver") << QByteArray("cueboard-no-such-driver") << QString();
    QTest::newRow("driver cannot open its device")
        << QByteArray("disk") << QString("no-such-folder/device.pcm");
  }
  void aDeviceThatAppearsLaterPlaysAtTheNextClick() {
    QFETCH(QByteArray, driver);
    QFETCH(QString, file);
    board.reset();
    AudioDevice::close();
    qputenv("SDL_AUDIODRIVER", driver);
    qputenv("SDL_DISKAUDIOFILE", world->path(file).toUtf8());
    QVERIFY(!AudioDevice::open());
    board = std::make_unique<ViewController>();
    QCOMPARE(board->windowTitle(), QString("音效板") + kNoDeviceMark);

    button(1)->click();  // still nothing there
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(world->printed[0].rfind("播放出问题了: no sound output device (", 0) == 0,
             world->printed[0].c_str());
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(board->windowTitle().endsWith(kNoDeviceMark));

    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
    button(2)->click();
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(board->windowTitle(), QString("音效板"));
    QCOMPARE(board->currentButtonId(), std::string("S2"));
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(world->printed.size(), std::size_t(1));
    waitForDeviceTime(1.0);
    stopButton()->click();

    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  // SDL tells of a device plugged in while the board has none: it is opened at once,
  // before anyone clicks.
  void aDeviceReportedAddedIsOpenedWithoutAClick() {
    board.reset();
    AudioDevice::close();
    qputenv("SDL_DISKAUDIOFILE", world->path("no-such-folder/device.pcm").toUtf8());
    QVERIFY(!AudioDevice::open());
    board = std::make_unique<ViewController>();
    QVERIFY(board->windowTitle().endsWith(kNoDeviceMark));

    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
    SDL_Event added = {};
    added.type = SDL_AUDIODEVICEADDED;
    added.adevice.which = 1;
    added.adevice.iscapture = 1;  // a microphone is no output device
    QCOMPARE(SDL_PushEvent(&added), 1);
    QTest::qWait(600);
    QVERIFY(!AudioDevice::isOpen());
    added.adevice.iscapture = 0;
    QCOMPARE(SDL_PushEvent(&added), 1);
    QTRY_VERIFY_WITH_TIMEOUT(AudioDevice::isOpen(), 10000);
    QCOMPARE(board->windowTitle(), QString("音效板"));
    button(1)->click();
    QVERIFY(stopButton()->isEnabled());
    waitForEnd();
    QVERIFY(world->printed.empty());
  }

  // Unplugged while a sound plays: the board notices, shows that it has no device, and
  // goes on working; the next device plays the next click.
  void aDeviceLostWhilePlayingLeavesAWorkingBoard() {
    board.reset();
    AudioDevice::close();
    PipeDevice headset(world->path("headset"));
    QVERIFY(headset.isValid());
    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(headset.path()));
    std::string error;
    QVERIFY2(AudioDevice::open(&error), error.c_str());
    board = std::make_unique<ViewController>();
    QCOMPARE(board->windowTitle(), QString("音效板"));

    button(2)->click();  // ten seconds
    QTRY_VERIFY_WITH_TIMEOUT(headset.loudSamples() > 44100, 30000);
    QVERIFY(stopButton()->isEnabled());
    // Nothing is there to take over until the test says so.
    qputenv("SDL_DISKAUDIOFILE", world->path("no-such-folder/device.pcm").toUtf8());
    headset.unplug();

    QTRY_VERIFY_WITH_TIMEOUT(!AudioDevice::isOpen(), 10000);
    QVERIFY(board->windowTitle().endsWith(kNoDeviceMark));
    QVERIFY(!stopButton()->isEnabled());
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!board->currentPlayer()->isPlaying());
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(world->printed[0].rfind("音频输出设备断开了，声音无法播放：", 0) == 0,
             world->printed[0].c_str());

    button(1)->click();  // tried again, still no device
    QCOMPARE(world->printed.size(), std::size_t(2));
    QVERIFY(world->printed[1].rfind("播放出问题了: ", 0) == 0);

    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
    button(2)->click();
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(board->windowTitle(), QString("音效板"));
    QCOMPARE(board->currentButtonId(), std::string("S2"));
    waitForDeviceTime(1.0);
    stopButton()->click();
    QVERIFY(!stopButton()->isEnabled());

    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  // At start-up the window shows before the device opens: no mark in the title while
  // the open is put off, a click that comes first opens the device and plays, and the
  // open that follows finds it open.
  void aClickBeforeThePutOffOpenPlays() {
    board.reset();
    AudioDevice::close();
    AudioDevice::openLater();
    QVERIFY(!AudioDevice::isOpen());
    board = std::make_unique<ViewController>();
    QCOMPARE(board->windowTitle(), QString("音效板"));
    button(1)->click();
    QVERIFY(AudioDevice::isOpen());
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(board->windowTitle(), QString("音效板"));
    std::string error;
    QVERIFY2(AudioDevice::open(&error), error.c_str());
    QVERIFY(stopButton()->isEnabled());  // the sound plays on
    waitForEnd();
    QVERIFY(world->printed.empty());

    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  // A put-off open that fails marks the title then.
  void aPutOffOpenThatFailsMarksTheTitle() {
    board.reset();
    AudioDevice::close();
    qputenv("SDL_AUDIODRIVER", "cueboard-no-such-driver");
    AudioDevice::openLater();
    board = std::make_unique<ViewController>();
    QCOMPARE(board->windowTitle(), QString("音效板"));
    QVERIFY(!AudioDevice::open());
    QCOMPARE(board->windowTitle(), QString("音效板") + kNoDeviceMark);
  }

  void withoutADeviceEachPlayReportsAndNothingBreaks() {
    board.reset();
    AudioDevice::close();
    qputenv("SDL_AUDIODRIVER", "cueboard-no-such-driver");
    QVERIFY(!AudioDevice::open());
    board = std::make_unique<ViewController>();
    button(1)->click();
    button(1)->click();
    button(2)->click();
    QCOMPARE(world->printed.size(), std::size_t(2));
    for (const auto& line : world->printed) QVERIFY(line.rfind("播放出问题了: ", 0) == 0);
    QVERIFY(!stopButton()->isEnabled());
  }
};

QTEST_MAIN(PlaybackTest)
#include "PlaybackTest.moc"
