// Several sounds at once ("叠加播放") and matched loudness ("音量均衡") on the board,
// heard through SDL's disk driver: what the device was given is read back and measured.

#include <QCheckBox>
#include <QPushButton>
#include <cmath>
#include <memory>

#include "../platform/PcmCapture.h"
#include "BoardFixture.h"
#include "PipeDevice.h"
#include "audio/AudioEngine.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "library/LoudnessStore.h"
#include "platform/AudioDevice.h"

namespace {
QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }
QString engineFixture(const char* name) { return QString(CUEBOARD_ENGINE_FIXTURE_DIR "/") + name; }

// The amplitude of the `hz` component of the left channel over [begin, end).
double amplitudeAt(const PcmCapture& pcm, double hz, std::size_t begin, std::size_t end) {
  double re = 0, im = 0;
  for (std::size_t f = begin; f < end; ++f) {
    const double phase = 2 * M_PI * hz * double(f) / pcm.frequency();
    re += pcm.sample(f, 0) * std::cos(phase);
    im += pcm.sample(f, 0) * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / double(end - begin);
}

// A steady sine's peak level in dBFS, from the middle half of `span`.
double sineLevelDb(const PcmCapture& pcm, const PcmCapture::Span& span) {
  const std::size_t quarter = span.frames() / 4;
  const double rms = pcm.rms(span.begin + quarter, span.end - quarter);
  return 20 * std::log10(rms * std::sqrt(2.0) / 32767.0);
}
}  // namespace

class SeveralSoundsTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::string capturePath;

  SoundButton* button(int n) { return board->soundButton(n); }
  QPushButton* stopButton() { return board->findChild<QPushButton*>("btnStop"); }
  QCheckBox* box(const char* name) { return board->findChild<QCheckBox*>(name); }
  Board& model() { return board->model(); }

  // Category 1: buttons 1 and 2 ten seconds of 440 and 880 Hz, button 3 one second of
  // 440 Hz, buttons 4-6 a 1 kHz tone at -24, -8 and -36 LUFS, button 7 a text file,
  // buttons 8-22 ten seconds of 440 Hz each.
  void startBoard() {
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    for (auto [from, to] : {std::pair{fixture("sine440-10s.mp3"), "a440.mp3"},
                            {fixture("sine880-10s.mp3"), "a880.mp3"},
                            {fixture("sine440.mp3"), "short.mp3"},
                            {engineFixture("loud-24.wav"), "quiet.wav"},
                            {engineFixture("loud-8.wav"), "loud.wav"},
                            {engineFixture("loud-36.wav"), "faint.wav"},
                            {fixture("text.mp3"), "notes.mp3"}}) {
      QVERIFY(QFile::copy(from, sounds + to));
    }
    std::vector<LibraryRow> rows = {{"S1", categoryId(1), 1, "甲", "a440.mp3", ""},
                                    {"S2", categoryId(1), 2, "乙", "a880.mp3", ""},
                                    {"S3", categoryId(1), 3, "短", "short.mp3", ""},
                                    {"S4", categoryId(1), 4, "轻", "quiet.wav", ""},
                                    {"S5", categoryId(1), 5, "响", "loud.wav", ""},
                                    {"S6", categoryId(1), 6, "微", "faint.wav", ""},
                                    {"S7", categoryId(1), 7, "字", "notes.mp3", ""}};
    for (int n = 8; n <= 22; ++n) {
      rows.push_back({"S" + std::to_string(n), categoryId(1), n, "长", "a440.mp3", ""});
    }
    // Not shown at start, so not measured until it is played.
    QVERIFY(QFile::copy(engineFixture("loud-24.wav"), sounds + "elsewhere.wav"));
    rows.push_back({"T1", categoryId(2), 1, "别处", "elsewhere.wav", ""});
    world->writeLibrary(rows);
    board = std::make_unique<ViewController>();
  }

  PcmCapture heard() {
    board.reset();
    AudioDevice::close();  // flushes the capture
    return PcmCapture::fromFile(capturePath, 2, 44100);
  }

  void waitForDeviceTime(double seconds) {
    const qint64 bytesPerSecond = 44100 * 2 * 2;
    const qint64 target = QFileInfo(QString::fromStdString(capturePath)).size() +
                          static_cast<qint64>(seconds * bytesPerSecond);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(QString::fromStdString(capturePath)).size() >= target,
                             30000);
  }

  std::vector<int> markedButtons() {
    std::vector<int> marked;
    for (int n = 1; n <= 40; ++n) {
      if (button(n)->isPlayingMarked()) marked.push_back(n);
    }
    return marked;
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    capturePath = world->path("device.pcm").toStdString();
    openDiskAudio(capturePath);
    startBoard();
  }
  void cleanup() {
    board.reset();
    AudioDevice::close();
    world.reset();
  }

  void bothAreOffUntilTicked() {
    QVERIFY(!box("chkOverlap")->isChecked());
    QVERIFY(!box("chkNormalize")->isChecked());
    QVERIFY(!model().overlaps() && !model().normalizes());
    QVERIFY(!AudioDevice::overlap());
    box("chkOverlap")->click();
    box("chkNormalize")->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("overlap"), 1L);
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("normalize"), 1L);
    QVERIFY(AudioDevice::overlap());

    // Read back by the next board.
    board.reset();
    UserDefaults::resetStandardUserDefaultsForTesting();
    board = std::make_unique<ViewController>();
    QVERIFY(box("chkOverlap")->isChecked() && box("chkNormalize")->isChecked());
    QVERIFY(model().overlaps() && model().normalizes());
    box("chkOverlap")->click();
    QVERIFY(!AudioDevice::overlap());
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("overlap"), 0L);
  }

  // Two sounds together, each with its own mark; a click on one stops that one only,
  // and the stop button stops the rest.
  void soundsPlayTogetherAndStopOneByOne() {
    box("chkOverlap")->click();
    button(1)->click();
    button(2)->click();
    QCOMPARE(markedButtons(), (std::vector<int>{1, 2}));
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(model().currentButtonId(), std::string("S2"));  // the one started last
    QCOMPARE(model().playingSounds().size(), std::size_t(2));
    QCOMPARE(AudioDevice::playingCount(), 2);
    waitForDeviceTime(1.0);

    button(2)->click();  // stops 880 Hz only
    QCOMPARE(markedButtons(), std::vector<int>{1});
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(model().currentButtonId(), std::string("S1"));
    QCOMPARE(model().playingButton(), 1);
    QCOMPARE(AudioDevice::playingCount(), 1);
    waitForDeviceTime(1.0);

    stopButton()->click();
    QVERIFY(markedButtons().empty());
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(!model().isPlaying());
    QCOMPARE(AudioDevice::playingCount(), 0);
    QVERIFY(world->printed.empty());

    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    // Both at the board's volume (85) on the sines' half scale while together...
    const double level = 0.5 * 0.85 * 32767;
    // (the second joins a moment after the first: from where it is heard on)
    std::size_t both = *start;
    while (both < *start + pcm.framesIn(0.8) &&
           amplitudeAt(pcm, 880, both, both + pcm.framesIn(0.05)) < level / 2) {
      both += pcm.framesIn(0.05);
    }
    both += pcm.framesIn(0.05);
    const double a440 = amplitudeAt(pcm, 440, both, both + pcm.framesIn(0.2));
    const double a880 = amplitudeAt(pcm, 880, both, both + pcm.framesIn(0.2));
    QVERIFY2(std::abs(a440 / level - 1) < 0.08 && std::abs(a880 / level - 1) < 0.08,
             qPrintable(QString("%1 %2").arg(a440 / level).arg(a880 / level)));
    // ... then, once 880 Hz is gone (the second click), 440 Hz alone for a while.
    const std::size_t window = pcm.framesIn(0.1);
    std::size_t alone = both;
    while (alone + window < pcm.frameCount() &&
           amplitudeAt(pcm, 880, alone, alone + window) > level * 0.02) {
      alone += window;
    }
    QVERIFY2(pcm.seconds(alone - *start) > 0.8,
             qPrintable(QString::number(pcm.seconds(alone - *start))));
    alone += window;
    QVERIFY(alone + 5 * window < pcm.frameCount());
    QVERIFY(amplitudeAt(pcm, 880, alone, alone + 5 * window) < level * 0.02);
    QVERIFY(amplitudeAt(pcm, 440, alone, alone + 5 * window) > level * 0.9);
  }

  void theSeventeenthStopsTheOldest() {
    // Every sound must outlast the clicks, which a sanitizer slows down: here the device
    // takes its sound at a real device's pace, not as fast as it can be mixed.
    AudioDevice::close();
    openDiskAudio(capturePath, "12");
    box("chkOverlap")->click();
    model().setVolume(5);
    for (int n : {1, 2}) button(n)->click();
    for (int n = 8; n <= 21; ++n) button(n)->click();
    QCOMPARE(markedButtons().size(), std::size_t(AudioEngine::kMaxVoices));
    QCOMPARE(AudioDevice::playingCount(), AudioEngine::kMaxVoices);
    button(7)->click();  // a text file: reported, and nothing stops for it
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY(world->printed[0].rfind("播放出问题了: ", 0) == 0);
    QCOMPARE(AudioDevice::playingCount(), AudioEngine::kMaxVoices);
    QCOMPARE(model().currentButtonId(), std::string("S21"));

    button(22)->click();
    QVERIFY(!button(1)->isPlayingMarked());
    QVERIFY(button(2)->isPlayingMarked() && button(22)->isPlayingMarked());
    QCOMPARE(AudioDevice::playingCount(), AudioEngine::kMaxVoices);
    QCOMPARE(model().playingSounds().size(), std::size_t(AudioEngine::kMaxVoices));
    QCOMPARE(model().playingSounds().front().button, 2);
    QCOMPARE(model().playingSounds().back().button, 22);
    model().stop();
    QCOMPARE(AudioDevice::playingCount(), 0);
    QVERIFY(markedButtons().empty());
  }

  // Looping applies to each sound: the one-second sound starts over beside the long one.
  void eachSoundLoops() {
    box("chkOverlap")->click();
    box("chkLoop")->click();
    button(2)->click();
    button(3)->click();
    waitForDeviceTime(3.0);
    QCOMPARE(markedButtons(), (std::vector<int>{2, 3}));
    QCOMPARE(model().currentButtonId(), std::string("S3"));
    box("chkLoop")->click();  // the short one ends at its next end, the long one plays on
    QTRY_COMPARE_WITH_TIMEOUT(markedButtons(), std::vector<int>{2}, 10000);
    QVERIFY(stopButton()->isEnabled());
    QCOMPARE(model().currentButtonId(), std::string("S2"));
    stopButton()->click();

    const PcmCapture pcm = heard();
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    // Well past the short sound's first end, it still sounds beside the long one (in
    // some stretch: a round starts over only once its end was told to the board).
    const double level = 0.5 * 0.85 * 32767;
    const std::size_t window = pcm.framesIn(0.1);
    double best440 = 0, with880 = 0;
    for (std::size_t at = *start + pcm.framesIn(1.5); at < *start + pcm.framesIn(2.8);
         at += window) {
      const double a440 = amplitudeAt(pcm, 440, at, at + window);
      if (a440 > best440) {
        best440 = a440;
        with880 = amplitudeAt(pcm, 880, at, at + window);
      }
    }
    QVERIFY2(best440 > level * 0.9 && with880 > level * 0.9,
             qPrintable(QString("%1 %2").arg(best440 / level).arg(with880 / level)));
  }

  void playOne(int category, int button) {
    QVERIFY(model().play(category, button));
    QTRY_VERIFY_WITH_TIMEOUT(!model().isPlaying(), 20000);
    waitForDeviceTime(0.6);  // a gap between two sounds, longer than any stall
  }

  // With matching on, a -24 and a -8 LUFS tone play at -14 LUFS, a -36 LUFS one only
  // the +12 dB the boost allows; a sound not measured yet plays as it is, and is matched
  // from its next play; a trim applies on top, matching on or off.
  void loudnessIsMatched() {
    model().setVolume(100);
    box("chkNormalize")->click();  // measures the sounds shown
    model().waitForLoudnessMeasures();
    playOne(0, 4);
    playOne(0, 5);
    playOne(0, 6);
    playOne(2, 1);  // unmeasured: as it is
    model().waitForLoudnessMeasures();
    playOne(2, 1);  // measured now
    LoudnessStore(model().database()).setTrim("quiet.wav", 6);
    box("chkNormalize")->click();
    playOne(0, 4);  // the trim alone
    // The one file that is no sound is said once, though every load looks again.
    model().reload();
    model().waitForLoudnessMeasures();
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(world->printed[0].rfind("无法测量音量：notes.mp3：", 0) == 0,
             world->printed[0].c_str());

    const PcmCapture pcm = heard();
    const auto spans = pcm.soundSpans(pcm.framesIn(0.4), 30);
    QCOMPARE(spans.size(), std::size_t(6));
    const double expected[] = {-14, -14, -24, -24, -14, -18};
    std::vector<double> levels;
    for (std::size_t i = 0; i < spans.size(); ++i) levels.push_back(sineLevelDb(pcm, spans[i]));
    for (std::size_t i = 0; i < spans.size(); ++i) {
      QVERIFY2(std::abs(levels[i] - expected[i]) < 1.0,
               qPrintable(QString("sound %1 at %2 dBFS").arg(i).arg(levels[i])));
    }
    QVERIFY(std::abs(levels[0] - levels[1]) < 1.0);
  }

  // Unplugged while eight sounds play: every mark goes, the board says so once, and
  // the next device plays the next clicks alongside each other as before.
  void aDeviceLostWithEightPlayingLeavesAWorkingBoard() {
    board.reset();
    AudioDevice::close();
    PipeDevice headset(world->path("headset"));
    QVERIFY(headset.isValid());
    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(headset.path()));
    std::string error;
    QVERIFY2(AudioDevice::open(&error), error.c_str());
    board = std::make_unique<ViewController>();
    box("chkOverlap")->click();
    model().setVolume(5);
    for (int n : {1, 2, 8, 9, 10, 11, 12, 13}) button(n)->click();
    QCOMPARE(AudioDevice::playingCount(), 8);
    QCOMPARE(markedButtons().size(), std::size_t(8));
    QTRY_VERIFY_WITH_TIMEOUT(headset.loudSamples() > 44100, 30000);
    qputenv("SDL_DISKAUDIOFILE", world->path("no-such-folder/device.pcm").toUtf8());
    headset.unplug();

    QTRY_VERIFY_WITH_TIMEOUT(!AudioDevice::isOpen(), 10000);
    QVERIFY(markedButtons().empty());
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(!model().isPlaying());
    QVERIFY(model().playingSounds().empty());
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(world->printed[0].rfind("音频输出设备断开了，声音无法播放：", 0) == 0,
             world->printed[0].c_str());

    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
    button(1)->click();
    button(2)->click();
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(markedButtons(), (std::vector<int>{1, 2}));
    QCOMPARE(AudioDevice::playingCount(), 2);
    waitForDeviceTime(0.5);
    stopButton()->click();
    QCOMPARE(AudioDevice::playingCount(), 0);
    QCOMPARE(world->printed.size(), std::size_t(1));
  }

  // Turned off while several play: the next click is a single-sound click again.
  void turnedOffTheNextClickStopsTheOthers() {
    box("chkOverlap")->click();
    button(1)->click();
    button(2)->click();
    box("chkOverlap")->click();
    QCOMPARE(AudioDevice::playingCount(), 2);  // nothing stops by itself
    button(3)->click();
    QCOMPARE(markedButtons(), std::vector<int>{3});
    QTRY_COMPARE(AudioDevice::playingCount(), 1);
    button(3)->click();
    QVERIFY(!model().isPlaying());
    QVERIFY(!stopButton()->isEnabled());
  }
};

QTEST_MAIN(SeveralSoundsTest)
#include "SeveralSoundsTest.moc"
