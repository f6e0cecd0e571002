// The audio engine, heard through SDL's disk driver: every test opens the device on
// its own capture file, plays real mp3 fixtures (made at build time with sox and
// lame) and reads back the samples the device was given.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "platform/AudioDevice.h"
#include "platform/AudioPlayer.h"
#include "tests/platform/PcmCapture.h"

namespace {

std::string fixture(const char* name) { return std::string(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

// Records the end notices a player sends, and where they arrive.
class EndRecorder : public AudioPlayerDelegate {
 public:
  struct Notice {
    AudioPlayer* player;
    bool flag;
    bool onMainThread;
  };
  std::vector<Notice> notices;
  std::function<void(AudioPlayer*)> onEnd;

  void audioPlayerDidFinishPlayingSuccessfully(AudioPlayer* player, bool flag) override {
    notices.push_back(
        {player, flag, QThread::currentThread() == QCoreApplication::instance()->thread()});
    if (onEnd) {
      onEnd(player);
    }
  }
};

// Lets queued notices arrive for `ms` milliseconds.
void processEventsFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
}

// Seconds of `span` whose windows sound at `hz` (within 3%).
double secondsAt(const PcmCapture& pcm, const PcmCapture::Span& span, double hz) {
  const std::size_t window = 2048;
  std::size_t matching = 0;
  for (std::size_t begin = span.begin; begin + window <= span.end; begin += window) {
    if (std::abs(pcm.dominantFrequency(begin, begin + window) - hz) < hz * 0.03) {
      matching += window;
    }
  }
  return pcm.seconds(matching);
}

double energy(const PcmCapture& pcm, std::size_t begin, std::size_t end) {
  const double rms = pcm.rms(begin, end);
  return rms * rms * static_cast<double>(std::min(end, pcm.frameCount()) - std::min(begin, end));
}

}  // namespace

class AudioPlayerTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;
  std::string capturePath;
  int frequency = 0;
  int channels = 0;

  // Waits until the device has been handed `seconds` more of output, however fast the
  // disk driver runs on this machine.
  void waitForDeviceTime(double seconds) {
    const QString file = QString::fromStdString(capturePath);
    const qint64 target =
        QFileInfo(file).size() +
        static_cast<qint64>(seconds * frequency * channels * qint64(sizeof(std::int16_t)));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() >= target, 30000);
  }

  // Closing the device flushes the capture file.
  PcmCapture capture() {
    AudioDevice::close();
    return PcmCapture::fromFile(capturePath, channels, frequency);
  }

  // A gap between sounds: at least 10 ms of silence.
  std::vector<PcmCapture::Span> spans(const PcmCapture& pcm) const {
    return pcm.soundSpans(static_cast<std::size_t>(frequency / 100));
  }

  std::unique_ptr<AudioPlayer> load(const char* name) {
    std::string error;
    auto player = AudioPlayer::playerWithContentsOfFile(fixture(name), &error);
    if (!player) {
      qWarning("cannot load %s: %s", name, error.c_str());
    }
    return player;
  }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    capturePath = dir->filePath("device.pcm").toStdString();
    // One buffer per millisecond: about ten times faster than real time, so sounds end
    // quickly without the driver spinning a core.
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QByteArray::fromStdString(capturePath));
    qputenv("SDL_DISKAUDIODELAY", "1");
    std::string error;
    QVERIFY2(AudioDevice::open(&error), error.c_str());
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(AudioDevice::lastError(), std::string());
    frequency = AudioDevice::frequency();
    channels = AudioDevice::channels();
    QVERIFY(frequency > 0);
    QVERIFY(channels > 0);
  }

  void cleanup() { AudioDevice::close(); }

  // The measuring tool itself, on a signal whose answers are known.
  void pcmCaptureMeasuresKnownSignals() {
    const int rate = 44100;
    std::vector<std::int16_t> samples;
    auto addTone = [&](double seconds, double hz, double amplitude) {
      const auto count = static_cast<std::size_t>(seconds * rate);
      for (std::size_t i = 0; i < count; ++i) {
        const double value =
            amplitude * std::sin(2.0 * 3.14159265358979 * hz * static_cast<double>(i) / rate);
        samples.push_back(static_cast<std::int16_t>(std::lrint(value)));
        samples.push_back(static_cast<std::int16_t>(std::lrint(value)));
      }
    };
    addTone(0.1, 0.0, 0.0);
    addTone(0.5, 1000.0, 10000.0);
    addTone(0.1, 0.0, 0.0);
    addTone(0.5, 313.0, 5000.0);
    const PcmCapture pcm(samples, 2, rate);
    QCOMPARE(pcm.frameCount(), std::size_t(52920));
    QCOMPARE(pcm.firstNonSilentFrame().value_or(0), std::size_t(4411));
    const auto found = pcm.soundSpans(441);
    QCOMPARE(found.size(), std::size_t(2));
    QVERIFY(std::abs(pcm.dominantFrequency(found[0].begin, found[0].end) - 1000.0) < 1.0);
    QVERIFY(std::abs(pcm.dominantFrequency(found[1].begin, found[1].end) - 313.0) < 1.0);
    QVERIFY(std::abs(pcm.rms(found[0].begin, found[0].end) - 10000.0 / std::sqrt(2.0)) < 20.0);
    QVERIFY(std::abs(pcm.rms(found[1].begin, found[1].end) - 5000.0 / std::sqrt(2.0)) < 20.0);
    QCOMPARE(pcm.peak(0, pcm.frameCount()), 10000);
  }

  void playsTheSoundAtItsPitchAndLength_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("mp3, 44.1 kHz stereo") << "sine440.mp3";
    QTest::newRow("mp3, 22.05 kHz mono, no info frame") << "sine440-22k-mono.mp3";
    QTest::newRow("mp3, 48 kHz") << "sine440-48k.mp3";
    QTest::newRow("mp3 after leading junk") << "junk-then-sine440.mp3";
    QTest::newRow("WAV content named .mp3") << "wav-content.mp3";
  }

  void playsTheSoundAtItsPitchAndLength() {
    QFETCH(QString, file);
    EndRecorder recorder;
    auto player = load(file.toUtf8().constData());
    QVERIFY(player);
    QVERIFY(std::abs(player->duration() - 1.0) < 0.2);
    player->setDelegate(&recorder);
    QVERIFY(player->prepareToPlay());
    QVERIFY(player->play());
    QVERIFY(player->isPlaying());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
    QVERIFY(!player->isPlaying());

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(1));
    const double seconds = pcm.seconds(found[0].frames());
    QVERIFY2(std::abs(seconds - 1.0) < 0.1, qPrintable(QString("heard for %1 s").arg(seconds)));
    const double hz = pcm.dominantFrequency(found[0].begin, found[0].end);
    QVERIFY2(std::abs(hz - 440.0) < 2.0, qPrintable(QString("heard at %1 Hz").arg(hz)));
  }

  void volumeScalesTheLoudness_data() {
    QTest::addColumn<float>("volume");
    QTest::addColumn<double>("expectedRatio");
    QTest::newRow("0.426") << 0.426f << 0.426;
    QTest::newRow("0.1") << 0.1f << 0.1;
    QTest::newRow("0 is silent") << 0.0f << 0.0;
    QTest::newRow("above 1 is full") << 1.7f << 1.0;
    QTest::newRow("below 0 is silent") << -0.5f << 0.0;
  }

  void volumeScalesTheLoudness() {
    QFETCH(float, volume);
    QFETCH(double, expectedRatio);
    EndRecorder recorder;
    auto player = load("sine440.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QCOMPARE(player->volume(), 1.0f);
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
    processEventsFor(50);  // silence between the two runs
    player->setVolume(volume);
    QCOMPARE(player->volume(), static_cast<float>(expectedRatio));
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(2), 10000);

    // Everything after the full-volume run is the second run: comparing energies needs
    // no guess at where a silent run would have been.
    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QVERIFY(!found.empty());
    const double reference = energy(pcm, found[0].begin, found[0].end);
    const double second = energy(pcm, found[0].end, pcm.frameCount());
    const double ratio = std::sqrt(second / reference);
    QVERIFY2(std::abs(ratio - expectedRatio) < 0.002,
             qPrintable(QString("loudness ratio %1").arg(ratio)));
  }

  void volumeChangesWhilePlaying() {
    auto player = load("sine440-10s.mp3");
    QVERIFY(player);
    QVERIFY(player->play());
    processEventsFor(250);
    player->setVolume(0.5f);
    processEventsFor(250);
    QVERIFY(player->isPlaying());
    player->stop();

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(1));
    const std::size_t window = pcm.framesIn(0.2);
    QVERIFY(found[0].frames() > 3 * window);
    const double before = pcm.rms(found[0].begin, found[0].begin + window);
    const double after = pcm.rms(found[0].end - window, found[0].end);
    QVERIFY2(std::abs(after / before - 0.5) < 0.01,
             qPrintable(QString("ratio %1").arg(after / before)));
  }

  void endNotifiesOnceOnTheMainThread() {
    EndRecorder recorder;
    auto player = load("sine440.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
    QCOMPARE(recorder.notices[0].player, player.get());
    QVERIFY(recorder.notices[0].flag);
    QVERIFY(recorder.notices[0].onMainThread);
    processEventsFor(300);
    QCOMPARE(recorder.notices.size(), std::size_t(1));
  }

  void playWhilePlayingDoesNotRestart() {
    EndRecorder recorder;
    auto player = load("sine440.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    processEventsFor(30);
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
    processEventsFor(100);
    QCOMPARE(recorder.notices.size(), std::size_t(1));

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(1));
    QVERIFY(std::abs(pcm.seconds(found[0].frames()) - 1.0) < 0.1);
  }

  // The fixture is 0.5 s at 440 Hz, then 0.5 s at 880 Hz.
  void playStartsOverFromTheBeginning_data() {
    QTest::addColumn<bool>("stopFirst");
    QTest::newRow("after its end") << false;
    QTest::newRow("after a stop") << true;
  }

  void playStartsOverFromTheBeginning() {
    QFETCH(bool, stopFirst);
    EndRecorder recorder;
    auto player = load("tones440-880.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    if (stopFirst) {
      waitForDeviceTime(0.2);  // a fifth of the sound has been heard, the rest not
      player->stop();
    } else {
      QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
    }
    processEventsFor(50);
    QVERIFY(!player->isPlaying());
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(stopFirst ? 1 : 2), 10000);

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(2));
    const PcmCapture::Span again = found[1];
    QVERIFY(std::abs(pcm.seconds(again.frames()) - 1.0) < 0.1);
    const std::size_t part = pcm.framesIn(0.4);
    QVERIFY(std::abs(pcm.dominantFrequency(again.begin, again.begin + part) - 440.0) < 3.0);
    QVERIFY(std::abs(pcm.dominantFrequency(again.end - part, again.end) - 880.0) < 3.0);
  }

  void stopSendsNoEndNotice() {
    EndRecorder recorder;
    auto player = load("sine440-10s.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    processEventsFor(50);
    QVERIFY(player->isPlaying());
    player->stop();
    QVERIFY(!player->isPlaying());
    player->stop();  // twice is harmless
    processEventsFor(300);
    QCOMPARE(recorder.notices.size(), std::size_t(0));

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(1));
    QVERIFY(pcm.seconds(found[0].frames()) < 5.0);
  }

  // The sound ends while the main thread is busy, so its notice is already queued when
  // the player is stopped, restarted or destroyed.
  void aQueuedNoticeOfAnOldRunIsDropped_data() {
    QTest::addColumn<QString>("then");
    QTest::newRow("stop") << "stop";
    QTest::newRow("destroy") << "destroy";
    QTest::newRow("play again") << "play";
  }

  void aQueuedNoticeOfAnOldRunIsDropped() {
    QFETCH(QString, then);
    EndRecorder recorder;
    auto player = load("sine440-short.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    QElapsedTimer timer;
    timer.start();
    while (AudioDevice::playingCount() > 0 && timer.elapsed() < 10000) {
      QThread::msleep(5);  // no event processing: the notice stays queued
    }
    QCOMPARE(AudioDevice::playingCount(), 0);
    QThread::msleep(100);  // the engine's news reaches the queue
    // Ended, but nobody has been told: it still counts as playing.
    QVERIFY(player->isPlaying());
    QCOMPARE(recorder.notices.size(), std::size_t(0));
    if (then == "stop") {
      player->stop();
    } else if (then == "destroy") {
      player.reset();
    } else {
      QVERIFY(player->play());
    }
    processEventsFor(then == "play" ? 50 : 300);
    if (then == "play") {
      // Only the second run's end may be told, once.
      QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(1), 10000);
      processEventsFor(200);
      QCOMPARE(recorder.notices.size(), std::size_t(1));
    } else {
      QCOMPARE(recorder.notices.size(), std::size_t(0));
    }
  }

  void delegateCanPlayAgainFromItsNotice() {
    EndRecorder recorder;
    auto player = load("sine440.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    recorder.onEnd = [&recorder](AudioPlayer* ended) {
      if (recorder.notices.size() < 2) {
        QVERIFY(ended->play());
      }
    };
    QVERIFY(player->play());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notices.size(), std::size_t(2), 10000);
    processEventsFor(100);
    QCOMPARE(recorder.notices.size(), std::size_t(2));

    const PcmCapture pcm = capture();
    std::size_t heard = 0;
    for (const auto& span : spans(pcm)) {
      heard += span.frames();
    }
    QVERIFY(std::abs(pcm.seconds(heard) - 2.0) < 0.15);
  }

  // A delegate that starts the sound over from its notice (looping): the player reads
  // as playing all along, also between the end of one round and the notice.
  void aLoopingPlayerNeverReadsStopped() {
    EndRecorder recorder;
    auto player = load("sine440-short.mp3");
    QVERIFY(player);
    player->setDelegate(&recorder);
    recorder.onEnd = [](AudioPlayer* ended) { QVERIFY(ended->play()); };
    QVERIFY(player->play());
    int stoppedReadings = 0;
    QElapsedTimer timer;
    timer.start();
    while (recorder.notices.size() < 4 && timer.elapsed() < 20000) {
      if (!player->isPlaying()) ++stoppedReadings;
      // Busy stretches let the end happen while no event is processed.
      QThread::msleep(recorder.notices.size() % 2 == 0 ? 40 : 2);
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    QVERIFY(recorder.notices.size() >= 4);
    QCOMPARE(stoppedReadings, 0);
    player->stop();
    QVERIFY(!player->isPlaying());
  }

  // A sound cut off by another one's start sends no notice: it does not read as
  // playing while it waits for one.
  void aSoundCutOffByAnotherReadsStopped() {
    auto first = load("sine440-10s.mp3");
    auto second = load("sine440.mp3");
    QVERIFY(first && second);
    QVERIFY(first->play());
    QVERIFY(second->play());  // one at a time: the first is ramped out
    QVERIFY(!first->isPlaying());
    QVERIFY(second->isPlaying());
    processEventsFor(200);
    QVERIFY(!first->isPlaying());
    second->stop();
  }

  // `old` (880 Hz, 10 s) is playing when `current` (440 Hz, 1 s) starts; whatever is then
  // done to `old` must leave `current`'s sound whole and at its own volume.
  void anOldPlayerNeverTouchesTheCurrentSound_data() {
    QTest::addColumn<QString>("action");
    QTest::newRow("stop") << "stop";
    QTest::newRow("destroy") << "destroy";
    QTest::newRow("set volume") << "volume";
    QTest::newRow("nothing") << "nothing";
  }

  void anOldPlayerNeverTouchesTheCurrentSound() {
    QFETCH(QString, action);
    EndRecorder oldRecorder;
    EndRecorder currentRecorder;
    auto old = load("sine880-10s.mp3");
    auto current = load("sine440.mp3");
    QVERIFY(old && current);
    old->setDelegate(&oldRecorder);
    current->setDelegate(&currentRecorder);
    QVERIFY(old->play());
    processEventsFor(30);
    QVERIFY(current->play());
    QVERIFY(!old->isPlaying());
    QVERIFY(current->isPlaying());
    if (action == "stop") {
      old->stop();
    } else if (action == "destroy") {
      old.reset();
    } else if (action == "volume") {
      old->setVolume(0.1f);
    }
    QVERIFY(current->isPlaying());
    QTRY_COMPARE_WITH_TIMEOUT(currentRecorder.notices.size(), std::size_t(1), 10000);
    processEventsFor(200);
    QCOMPARE(oldRecorder.notices.size(), std::size_t(0));
    QCOMPARE(currentRecorder.notices.size(), std::size_t(1));

    const PcmCapture pcm = capture();
    const auto found = spans(pcm);
    QCOMPARE(found.size(), std::size_t(1));  // the new sound follows the old one at once
    const double at440 = secondsAt(pcm, found[0], 440.0);
    QVERIFY2(std::abs(at440 - 1.0) < 0.1, qPrintable(QString("%1 s at 440 Hz").arg(at440)));
    const std::size_t tail = pcm.framesIn(0.5);
    QVERIFY(std::abs(pcm.dominantFrequency(found[0].end - tail, found[0].end) - 440.0) < 3.0);
    // The fixture's sine has an amplitude of half the full scale.
    const double expectedRms = 0.5 * 32767.0 / std::sqrt(2.0);
    QVERIFY(std::abs(pcm.rms(found[0].end - tail, found[0].end) / expectedRms - 1.0) < 0.05);
  }

  void filesThatAreNotSoundFail_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << "no-such-file.mp3"
                             << "no such file";
    QTest::newRow("zero bytes") << "empty.mp3"
                                << "empty";
    QTest::newRow("text named .mp3") << "text.mp3"
                                     << "not a sound file";
    QTest::newRow("compressed data named .mp3") << "binary.mp3"
                                                << "not a sound file";
    QTest::newRow("mp3 tag, then text") << "tag-then-text.mp3"
                                        << "not a sound file";
    QTest::newRow("a folder") << "folder.mp3"
                              << "folder";
  }

  void filesThatAreNotSoundFail() {
    QFETCH(QString, file);
    QFETCH(QString, reason);
    const std::string path = fixture(file.toUtf8().constData());
    std::string error;
    auto player = AudioPlayer::playerWithContentsOfFile(path, &error);
    QVERIFY(!player);
    QVERIFY2(QString::fromStdString(error).contains(QString::fromStdString(path)), error.c_str());
    QVERIFY2(QString::fromStdString(error).contains(reason), error.c_str());
    QVERIFY(!AudioPlayer::playerWithContentsOfFile(path, nullptr));
    // The device is unharmed.
    QVERIFY(load("sine440.mp3"));
  }

  void withoutADeviceEverythingFailsGracefully() {
    AudioDevice::close();
    qputenv("SDL_AUDIODRIVER", "cueboard-no-such-driver");
    std::string error;
    QVERIFY(!AudioDevice::open(&error));
    QVERIFY(!AudioDevice::isOpen());
    QVERIFY(!error.empty());
    QCOMPARE(AudioDevice::lastError(), error);
    QCOMPARE(AudioDevice::frequency(), 0);
    QCOMPARE(AudioDevice::channels(), 0);

    std::string playError;
    QVERIFY(!AudioPlayer::playerWithContentsOfFile(fixture("sine440.mp3"), &playError));
    QCOMPARE(playError, error);
    QVERIFY(!AudioDevice::open());  // trying again is as harmless
    AudioDevice::close();
  }

  void closingTheDeviceSilencesAndDisarmsPlayers() {
    EndRecorder recorder;
    auto player = load("sine440-10s.mp3");
    auto idle = load("sine440.mp3");
    QVERIFY(player && idle);
    player->setDelegate(&recorder);
    QVERIFY(player->play());
    processEventsFor(30);
    AudioDevice::close();
    QVERIFY(!player->isPlaying());
    QVERIFY(!player->play());
    processEventsFor(200);
    QCOMPARE(recorder.notices.size(), std::size_t(0));
    idle.reset();  // destroyed while there is no device
    // Closed on purpose: making a player does not open it again behind our back.
    std::string error;
    QVERIFY(!AudioPlayer::playerWithContentsOfFile(fixture("sine440.mp3"), &error));
    QCOMPARE(error, std::string("no sound output device is open"));
    QVERIFY(!AudioDevice::isOpen());

    // Made for the old device, it stays silent on a new one.
    QVERIFY(AudioDevice::open());
    QVERIFY(!player->play());
    QVERIFY(load("sine440.mp3"));
    player.reset();
  }
};

QTEST_GUILESS_MAIN(AudioPlayerTest)
#include "AudioPlayerTest.moc"
