// Where the board's sounds go, on a real sound server the test starts for itself (the
// same source builds one test program for PipeWire, one for PulseAudio and one for a
// desktop with no sound server at all): the output device list, the virtual
// microphone, its monitor, and what is left on the server afterwards.

#include <SDL2/SDL.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <chrono>
#include <csignal>
#include <map>
#include <memory>

#include "BoardFixture.h"
#include "SoundServerSession.h"
#include "SourceRecorder.h"
#include "board/SoundOutput.h"
#include "board/ViewController.h"
#include "platform/AudioDevice.h"
#include "platform/VirtualMicrophone.h"

#ifndef CUEBOARD_SOUND_SERVER
#error "CUEBOARD_SOUND_SERVER names the server: pipewire, pulseaudio or none"
#endif

namespace {
QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

const std::string kServer = CUEBOARD_SOUND_SERVER;

// The fixture is a 440 Hz sine at half the full scale.
constexpr double kFixtureRms = 0.5 / 1.4142135623730951;

#if defined(CUEBOARD_WITH_SOUND_SERVER)
int countOf(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

// The modules on the server, as (name, argument) pairs.
std::vector<std::pair<std::string, std::string>> modules(const SoundServerSession& server) {
  std::vector<std::pair<std::string, std::string>> found;
  std::istringstream lines(server.pactl("list short modules"));
  std::string line;
  while (std::getline(lines, line)) {
    const size_t nameStart = line.find('\t');
    if (nameStart == std::string::npos) continue;
    const size_t argumentStart = line.find('\t', nameStart + 1);
    const std::string name = line.substr(nameStart + 1, argumentStart - nameStart - 1);
    std::string argument =
        argumentStart == std::string::npos ? std::string() : line.substr(argumentStart + 1);
    while (!argument.empty() && (argument.back() == '\t' || argument.back() == ' ')) {
      argument.pop_back();
    }
    found.emplace_back(name, argument);
  }
  return found;
}

int ourModules(const SoundServerSession& server, const std::string& kind) {
  int count = 0;
  for (const auto& [name, argument] : modules(server)) {
    if (name == kind && VirtualMicrophone::isOurModule(name, argument)) ++count;
  }
  return count;
}

// The value of `key` in the argument line of the first loopback of ours, "" if none.
std::string loopbackArgument(const SoundServerSession& server, const std::string& key) {
  for (const auto& [name, argument] : modules(server)) {
    if (name != "module-loopback" || !VirtualMicrophone::isOurModule(name, argument)) continue;
    for (const auto& [k, v] : VirtualMicrophone::moduleArguments(argument)) {
      if (k == key) return v;
    }
  }
  return std::string();
}

// Unloads the modules whose argument line contains `text`.
void unloadModulesWith(const SoundServerSession& server, const std::string& text) {
  std::istringstream lines(server.pactl("list short modules"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(text) != std::string::npos) {
      server.pactl("unload-module " + line.substr(0, line.find('\t')));
    }
  }
}

std::string defaultOf(const SoundServerSession& server, const std::string& what) {
  return server.serverDefault(what);
}

// The index of the first module of ours of this kind, "" if none.
std::string ourModuleIndex(const SoundServerSession& server, const std::string& kind) {
  std::istringstream lines(server.pactl("list short modules"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string index, name;
    if (!(fields >> index >> name) || name != kind) continue;
    const size_t argumentStart = line.find('\t', line.find('\t') + 1);
    const std::string argument =
        argumentStart == std::string::npos ? std::string() : line.substr(argumentStart + 1);
    if (VirtualMicrophone::isOurModule(name, argument)) return index;
  }
  return std::string();
}

// The modules the server removes, in the order it announces them (`pactl subscribe`).
class ModuleRemovals {
 public:
  explicit ModuleRemovals(const SoundServerSession& server) : server(server) {}
  ~ModuleRemovals() {
    listener.kill();
    listener.waitForFinished(3000);
  }

  // Listens, and returns once the listener hears the server (five seconds at most).
  bool start() {
    listener.start("pactl", {"subscribe"});
    if (!listener.waitForStarted(5000)) return false;
    // A sink loaded and unloaded again: its announcement shows the listener is heard.
    for (int i = 0; i < 5 && !heard.contains("Event 'remove' on sink"); ++i) {
      server.loadModule("module-null-sink", "sink_name=cueboard_test_probe");
      unloadModulesWith(server, "sink_name=cueboard_test_probe");
      waitFor("Event 'remove' on sink", 1000);
    }
    const bool listening = heard.contains("Event 'remove' on sink");
    heard.clear();
    return listening;
  }

  // Waits (without running the event loop, which would let the board react meanwhile)
  // until `text` is heard, `milliseconds` at most.
  bool waitFor(const QString& text, int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!read().contains(text) && timer.elapsed() < milliseconds) {
      listener.waitForReadyRead(
          static_cast<int>(std::max<qint64>(1, milliseconds - timer.elapsed())));
    }
    return heard.contains(text);
  }

  // The indices of the modules removed so far, in order.
  QStringList removed() {
    read();
    QStringList indices;
    static const QRegularExpression event("Event 'remove' on module #(\\d+)");
    for (auto match = event.globalMatch(heard); match.hasNext();) {
      indices << match.next().captured(1);
    }
    return indices;
  }

 private:
  const QString& read() {
    heard += QString::fromUtf8(listener.readAllStandardOutput());
    return heard;
  }

  const SoundServerSession& server;
  QProcess listener;
  QString heard;
};

#endif

}  // namespace

class SoundOutputTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  SoundServerSession server;
  // Each test function may take this long (a stuck audio driver or server ends the run
  // in that time, naming the function); opening the device, less.
  static constexpr std::chrono::seconds kTestLimit{90};
  StepWatch watch;
  QTemporaryDir noServer;
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;

  QCheckBox* virtualMicBox() { return board->findChild<QCheckBox*>("chkVirtualMic"); }
  QCheckBox* monitorBox() { return board->findChild<QCheckBox*>("chkMonitor"); }
  QComboBox* outputBox() { return board->findChild<QComboBox*>("cmbOutputDevice"); }
  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }

  // The printed lines, for failure messages.
  QByteArray printedLines() const {
    std::string all;
    for (const std::string& line : world->printed) all += line + "\n";
    return QByteArray::fromStdString(all);
  }

  void startBoard() {
    board = std::make_unique<ViewController>();
    board->setSliderVolumeValue(50);
  }

  // Listeners on the host's outputs, kept for the whole run: a PulseAudio null sink
  // renders two seconds ahead until a client asks it for less, so a listener that
  // arrives just before a click would hear the sound late.
  std::map<std::string, std::unique_ptr<SourceRecorder>> listeners;

  // Records `source` while button 1's sound plays; the samples heard. `source` is
  // listened to from now on unless it is one of the kept listeners.
  std::vector<float> recordClick(const std::string& source) {
    SourceRecorder fresh;
    SourceRecorder* recorder = &fresh;
    if (auto kept = listeners.find(source); kept != listeners.end()) {
      recorder = kept->second.get();
    } else {
      std::string why;
      if (!fresh.start(source, &why)) {
        qWarning("%s", why.c_str());
        return {};
      }
    }
    QTest::qWait(100);
    return recordClick(*recorder);
  }

  // What `recorder` hears while button 1's sound plays.
  std::vector<float> recordClick(const SourceRecorder& recorder) {
    const size_t first = recorder.sampleCount();
    button(1)->click();
    QTest::qWait(1300);
    return recorder.samplesFrom(first);
  }

  // A null sink new on PulseAudio renders its first two seconds ahead (until a client
  // asks it for less), so a sound played at once would be heard that much later.
  static void letANewSinkSettle() {
    if (kServer == "pulseaudio") QTest::qWait(2100);
  }

  static bool isLoud(const std::vector<float>& samples) {
    return std::any_of(samples.begin(), samples.end(),
                       [](float s) { return std::fabs(s) > 0.05f; });
  }

  void choose(const QString& output) {
    const int index = outputBox()->findText(output);
    QVERIFY2(index >= 0, qPrintable(output + " is not listed"));
    outputBox()->setCurrentIndex(index);
    board->soundOutput().cmbOutputDevice_Change(outputBox());
  }

 private slots:
  void initTestCase() {
    if (kServer == "none") {
      // Nowhere to find a server, and no client may start one.
      qputenv("XDG_RUNTIME_DIR", (noServer.path() + "/run").toUtf8());
      QDir().mkpath(noServer.path() + "/run");
      QFile config(noServer.path() + "/client.conf");
      QVERIFY(config.open(QIODevice::WriteOnly));
      config.write("autospawn = no\n");
      config.close();
      qputenv("PULSE_CLIENTCONFIG", (noServer.path() + "/client.conf").toUtf8());
      qunsetenv("PULSE_SERVER");
      return;
    }
    std::string why;
    if (!server.start(
            kServer == "pipewire" ? SoundServerKind::PipeWire : SoundServerKind::PulseAudio,
            &why)) {
      QSKIP(
          qPrintable(QString::fromStdString("no " + kServer + " server could be started: " + why)));
    }
    // SDL picks its driver as it would for a host: the server's.
    qunsetenv("SDL_AUDIODRIVER");
    for (const char* sink : {SoundServerSession::kSpeakersSink, SoundServerSession::kHeadsetSink}) {
      auto recorder = std::make_unique<SourceRecorder>();
      std::string why;
      watch.begin(std::string("a recording of ") + sink + ".monitor to start",
                  std::chrono::seconds(20));
      QVERIFY2(recorder->start(std::string(sink) + ".monitor", &why), why.c_str());
      listeners.emplace(std::string(sink) + ".monitor", std::move(recorder));
    }
    watch.end();
  }

  void cleanupTestCase() {
    watch.begin("the recorders and the sound server to stop", std::chrono::seconds(20));
    listeners.clear();
    server.stop();
    watch.end();
  }

  void init() {
    world = std::make_unique<BoardFixture>();
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    QVERIFY(QFile::copy(fixture("sine440-48k.mp3"), sounds + "tone.mp3"));
    world->writeLibrary({{"S1", categoryId(1), 1, "音调", "tone.mp3", ""}});
    if (kServer == "none") {
      openDiskAudio(world->path("heard.raw").toStdString(), "0");
    } else {
      std::string error;
      watch.begin("the audio driver to open the default output", std::chrono::seconds(20));
      QVERIFY2(AudioDevice::open(&error), error.c_str());
    }
    watch.begin(std::string(QTest::currentTestFunction()) + " to finish", kTestLimit);
  }

  void cleanup() {
    watch.begin("the board and the audio device to close", std::chrono::seconds(20));
    board.reset();
    AudioDevice::close();
    world.reset();
    if (kServer != "none") qunsetenv("SDL_AUDIODRIVER");
    watch.end();
  }

#if defined(CUEBOARD_WITH_SOUND_SERVER)
  void virtualMicMakesOneSinkAndOneSourceAndTakesThemAway() {
    const std::string speakersBefore = defaultOf(server, "Sink");
    const std::string micBefore = defaultOf(server, "Source");
    startBoard();
    QVERIFY(!virtualMicBox()->isChecked());
    QCOMPARE(AudioDevice::outputDeviceName(), std::string());

    virtualMicBox()->click();
    QVERIFY2(virtualMicBox()->isChecked(), printedLines().constData());
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("virtualMic"), 1L);
    QCOMPARE(countOf(server.list("sinks"), VirtualMicrophone::kSinkName), 1);
    QCOMPARE(countOf(server.list("sources"), VirtualMicrophone::kSourceName), 1);
    QCOMPARE(ourModules(server, "module-null-sink"), 1);
    QCOMPARE(ourModules(server, "module-remap-source"), 1);
    QVERIFY(server.pactl("list sources").find("Cueboard Virtual Mic") != std::string::npos);
    QCOMPARE(AudioDevice::outputDeviceName(), std::string("Cueboard Output"));
    QCOMPARE(AudioDevice::outputFallback(), std::string());
    QCOMPARE(AudioDevice::frequency(), 48000);
    // PipeWire is reached through its own driver, which adds no buffer of its own.
    QCOMPARE(std::string(SDL_GetCurrentAudioDriver()),
             std::string(kServer == "pipewire" ? "pipewire" : "pulseaudio"));
    // The host's own speakers and microphone stay the desktop's defaults.
    QCOMPARE(defaultOf(server, "Sink"), speakersBefore);
    QCOMPARE(defaultOf(server, "Source"), micBefore);
    // Our sink is where the board plays, never an output to choose.
    QCOMPARE(outputBox()->findText("Cueboard Output"), -1);

    // The loopback is unloaded by the program, before the sink: the server would also drop
    // it with the sink, so its mere absence afterwards shows nothing.
    const QString loopback = QString::fromStdString(ourModuleIndex(server, "module-loopback"));
    const QString sink = QString::fromStdString(ourModuleIndex(server, "module-null-sink"));
    QVERIFY(!loopback.isEmpty() && !sink.isEmpty());
    ModuleRemovals removals(server);
    QVERIFY2(removals.start(), "pactl subscribe heard nothing");
    virtualMicBox()->click();
    QVERIFY(!virtualMicBox()->isChecked());
    QVERIFY2(removals.waitFor("Event 'remove' on module #" + sink + '\n', 5000),
             "the server did not announce that our sink went");
    QVERIFY2(removals.removed().contains(loopback) &&
                 removals.removed().indexOf(loopback) < removals.removed().indexOf(sink),
             qPrintable(removals.removed().join(' ') + " (loopback " + loopback + ", sink " + sink +
                        ")"));
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("virtualMic"), 0L);
    QCOMPARE(countOf(server.list("sinks"), VirtualMicrophone::kSinkName), 0);
    QCOMPARE(countOf(server.list("sources"), VirtualMicrophone::kSourceName), 0);
    for (const char* kind : {"module-null-sink", "module-remap-source", "module-loopback"}) {
      QCOMPARE(ourModules(server, kind), 0);
    }
    QCOMPARE(AudioDevice::outputDeviceName(), std::string());
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(board->windowTitle().contains("（"), false);
  }

  void soundIsHeardAtTheVirtualMicAtTheBoardsVolume() {
    startBoard();
    virtualMicBox()->click();
    QVERIFY2(virtualMicBox()->isChecked(), printedLines().constData());
    letANewSinkSettle();
    const std::vector<float> heard = recordClick(VirtualMicrophone::kSourceName);
    // A steady half second, well inside the one-second tone.
    const auto onset =
        std::find_if(heard.begin(), heard.end(), [](float s) { return std::fabs(s) > 0.02f; });
    const long start = (onset - heard.begin()) + SourceRecorder::kRate / 10;
    const long length = SourceRecorder::kRate / 2;
    std::vector<float> recorded;
    if (onset != heard.end() && start + length <= long(heard.size())) {
      recorded.assign(heard.begin() + start, heard.begin() + start + length);
    }
    QVERIFY2(!recorded.empty(), "nothing was heard at the virtual microphone");
    const double frequency = toneFrequency(recorded, SourceRecorder::kRate);
    QVERIFY2(std::fabs(frequency - 440.0) <= 440.0 * 0.02, qPrintable(QString::number(frequency)));
    const double ratio = toneLevel(recorded, SourceRecorder::kRate) / kFixtureRms;
    QVERIFY2(std::fabs(ratio - 0.5) <= 0.05, qPrintable(QString::number(ratio)));
  }

  void monitorLoopbackFollowsItsCheckBox_data() {
    QTest::addColumn<bool>("monitor");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
  }

  void monitorLoopbackFollowsItsCheckBox() {
    QFETCH(bool, monitor);
    UserDefaults::standardUserDefaults().setIntegerForKey(monitor ? 1 : 0, "monitor");
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "virtualMic");
    startBoard();
    QCOMPARE(monitorBox()->isChecked(), monitor);
    QVERIFY2(virtualMicBox()->isChecked(), printedLines().constData());
    QCOMPARE(ourModules(server, "module-loopback"), monitor ? 1 : 0);
    letANewSinkSettle();
    // With the monitor on the host hears the sound on the chosen output (the default).
    QCOMPARE(isLoud(recordClick(std::string(SoundServerSession::kSpeakersSink) + ".monitor")),
             monitor);
    if (monitor)
      QCOMPARE(loopbackArgument(server, "sink"), std::string(SoundServerSession::kSpeakersSink));

    monitorBox()->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("monitor"), monitor ? 0L : 1L);
    QCOMPARE(ourModules(server, "module-loopback"), monitor ? 0 : 1);

    // Choosing another output moves what the host hears, not what the microphone gets.
    if (!monitorBox()->isChecked()) monitorBox()->click();
    choose(SoundServerSession::kHeadset);
    QCOMPARE(ourModules(server, "module-loopback"), 1);
    QCOMPARE(loopbackArgument(server, "sink"), std::string(SoundServerSession::kHeadsetSink));
    QCOMPARE(AudioDevice::outputDeviceName(), std::string("Cueboard Output"));
  }

  void leftoversOfAKilledRunAreRemovedAndOthersKept() {
    // What a run killed with the microphone on leaves, next to modules of someone else.
    QVERIFY(server.loadModule("module-null-sink", "sink_name=cueboard_output"));
    QVERIFY(server.loadModule("module-remap-source",
                              "source_name=cueboard_mic master=cueboard_output.monitor"));
    QVERIFY(server.loadModule("module-loopback", "source=cueboard_output.monitor"));
    QVERIFY(server.loadModule("module-null-sink", "sink_name=cueboard_output_2"));
    QVERIFY(server.loadModule("module-loopback", "source=test_headset.monitor"));
    const auto countOthers = [&] {
      int others = 0;
      for (const auto& [name, argument] : modules(server)) {
        if (argument.find("cueboard_output_2") != std::string::npos ||
            argument.find("source=test_headset.monitor") != std::string::npos) {
          ++others;
        }
      }
      return others;
    };
    QCOMPARE(countOthers(), 2);
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "virtualMic");

    startBoard();
    QVERIFY2(virtualMicBox()->isChecked(), printedLines().constData());
    for (const char* kind : {"module-null-sink", "module-remap-source", "module-loopback"}) {
      QCOMPARE(ourModules(server, kind), 1);
    }
    QCOMPARE(countOf(server.list("sinks"), VirtualMicrophone::kSinkName), 1);
    QCOMPARE(countOthers(), 2);

    // Quitting takes ours away and leaves the others.
    board.reset();
    for (const char* kind : {"module-null-sink", "module-remap-source", "module-loopback"}) {
      QCOMPARE(ourModules(server, kind), 0);
    }
    QCOMPARE(countOthers(), 2);
    unloadModulesWith(server, "cueboard_output_2");
    unloadModulesWith(server, "source=test_headset.monitor");
  }

  void quittingTakesTheMicrophoneAway_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
  }

  // The program itself, started with the microphone on and ended by a signal.
  void quittingTakesTheMicrophoneAway() {
    QFETCH(int, signal);
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "virtualMic");
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("SDL_AUDIODRIVER");
    program.setProcessEnvironment(env);
    program.start(CUEBOARD_BINARY, {});
    QVERIFY(program.waitForStarted(10000));
    // Bounded by the clock: QTRY counts its tries, each a pactl run here, not the time.
    QVERIFY2(QTest::qWaitFor([&] { return ourModules(server, "module-loopback") == 1; }, 20000),
             "the program loaded no loopback of ours within 20 s");
    QCOMPARE(ourModules(server, "module-null-sink"), 1);
    QCOMPARE(ourModules(server, "module-remap-source"), 1);
    ::kill(program.processId(), signal);
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    for (const char* kind : {"module-null-sink", "module-remap-source", "module-loopback"}) {
      QCOMPARE(ourModules(server, kind), 0);
    }
  }

  void chosenOutputSurvivesARestart() {
    startBoard();
    QCOMPARE(outputBox()->itemText(0), QStringLiteral("系统默认"));
    QVERIFY(outputBox()->findText(SoundServerSession::kSpeakers) > 0);
    // A sound that plays stops cleanly when the output changes under it.
    button(1)->click();
    QVERIFY(board->currentPlayer() != nullptr && board->currentPlayer()->isPlaying());
    choose(SoundServerSession::kHeadset);
    QVERIFY(!board->currentPlayer()->isPlaying());
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!board->findChild<QPushButton*>("btnStop")->isEnabled());
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("outputDevice").value_or(""),
             std::string(SoundServerSession::kHeadset));
    QCOMPARE(AudioDevice::outputDeviceName(), std::string(SoundServerSession::kHeadset));
    QVERIFY(isLoud(recordClick(std::string(SoundServerSession::kHeadsetSink) + ".monitor")));

    board.reset();
    UserDefaults::resetStandardUserDefaultsForTesting();
    startBoard();
    QCOMPARE(outputBox()->currentText(), QString(SoundServerSession::kHeadset));
    QCOMPARE(AudioDevice::outputDeviceName(), std::string(SoundServerSession::kHeadset));
    QCOMPARE(AudioDevice::outputFallback(), std::string());
    QVERIFY(!isLoud(recordClick(std::string(SoundServerSession::kSpeakersSink) + ".monitor")));

    choose(QStringLiteral("系统默认"));
    QVERIFY(!UserDefaults::standardUserDefaults().stringForKey("outputDevice").has_value());
    QVERIFY(isLoud(recordClick(std::string(SoundServerSession::kSpeakersSink) + ".monitor")));
  }

  void choosingAnOutputWithoutADeviceOpensItAtOnce() {
    UserDefaults::standardUserDefaults().setObjectForKey(QString(SoundServerSession::kHeadset),
                                                         "outputDevice");
    // No device: the driver asked for does not exist.
    AudioDevice::close();
    qputenv("SDL_AUDIODRIVER", "no-such-driver");
    QVERIFY(!AudioDevice::open());
    startBoard();
    QVERIFY(!AudioDevice::isOpen());
    QVERIFY2(board->windowTitle().contains("（没有音频输出设备）"),
             qPrintable(board->windowTitle()));

    qunsetenv("SDL_AUDIODRIVER");
    choose(QString(SoundServerSession::kHeadset) + "（未连接）");
    QVERIFY2(AudioDevice::isOpen(), AudioDevice::lastError().c_str());
    QCOMPARE(AudioDevice::outputDeviceName(), std::string(SoundServerSession::kHeadset));
    QCOMPARE(AudioDevice::outputFallback(), std::string());
    QVERIFY2(!board->windowTitle().contains("（没有音频输出设备）"),
             qPrintable(board->windowTitle()));
    QVERIFY(isLoud(recordClick(std::string(SoundServerSession::kHeadsetSink) + ".monitor")));
  }

  void missingOutputFallsBackToTheDefaultUntilItReturns() {
    UserDefaults::standardUserDefaults().setObjectForKey(QStringLiteral("USB Headset"),
                                                         "outputDevice");
    startBoard();
    const QString line = QStringLiteral("找不到输出设备“USB Headset”，改用系统默认");
    QCOMPARE(std::count(world->printed.begin(), world->printed.end(), line.toStdString()), 1L);
    QVERIFY2(board->windowTitle().contains("（" + line + "）"), qPrintable(board->windowTitle()));
    QCOMPARE(outputBox()->currentText(), QStringLiteral("USB Headset（未连接）"));
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("outputDevice").value_or(""),
             std::string("USB Headset"));
    QVERIFY(isLoud(recordClick(std::string(SoundServerSession::kSpeakersSink) + ".monitor")));
    // The default stands in for the chosen output; it is not the chosen output, so choosing
    // that again tries it again.
    QVERIFY(!AudioDevice::isOnOutput("USB Headset"));
    const std::uint64_t opens = AudioDevice::openCount();
    choose(QStringLiteral("USB Headset（未连接）"));
    QCOMPARE(AudioDevice::openCount(), opens + 1);
    QVERIFY(AudioDevice::isOpen());
    QVERIFY(!AudioDevice::outputFallback().empty());

    // Plugged in: the board moves onto it by itself.
    QVERIFY(server.loadModule("module-null-sink",
                              "sink_name=usb_headset rate=48000 "
                              "sink_properties='device.description=\"USB Headset\"'"));
    SourceRecorder headset;
    std::string why;
    QVERIFY2(headset.start("usb_headset.monitor", &why), why.c_str());
    QTRY_COMPARE_WITH_TIMEOUT(AudioDevice::outputFallback(), std::string(), 5000);
    QVERIFY(AudioDevice::isOpen());
    QTRY_VERIFY(!board->windowTitle().contains(line));
    QCOMPARE(outputBox()->currentText(), QStringLiteral("USB Headset"));
    letANewSinkSettle();
    QVERIFY(isLoud(recordClick(headset)));
    headset.stop();
    board.reset();
    unloadModulesWith(server, "sink_name=usb_headset");
  }
#else
  void withoutASoundServerTheMicSwitchesItselfOffAndTheBoardPlays() {
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "virtualMic");
    startBoard();
    QVERIFY(!virtualMicBox()->isChecked());
    const auto refusal =
        std::find_if(world->printed.begin(), world->printed.end(),
                     [](const std::string& l) { return l.rfind("虚拟麦克风无法开启：", 0) == 0; });
    QVERIFY(refusal != world->printed.end());
    QVERIFY2(board->windowTitle().contains(QString::fromStdString("（" + *refusal + "）")),
             qPrintable(board->windowTitle()));
    // The banner above the grid says it too, whole.
    QCOMPARE(board->bannerLines(), QStringList{QString::fromStdString(*refusal)});
    // Asked for again, it says so again and stays off.
    virtualMicBox()->click();
    QVERIFY(!virtualMicBox()->isChecked());
    QCOMPARE(
        std::count_if(world->printed.begin(), world->printed.end(),
                      [](const std::string& l) { return l.rfind("虚拟麦克风无法开启：", 0) == 0; }),
        2L);
    // The sound plays on the board's own driver as before.
    QVERIFY(AudioDevice::isOpen());
    button(1)->click();
    QTRY_VERIFY(board->currentPlayer() != nullptr && !board->currentPlayer()->isPlaying());
    board.reset();
    AudioDevice::close();
    QFile heard(world->path("heard.raw"));
    QVERIFY(heard.open(QIODevice::ReadOnly));
    const QByteArray bytes = heard.readAll();
    const auto* samples = reinterpret_cast<const std::int16_t*>(bytes.constData());
    qint64 loud = 0;
    for (qint64 i = 0; i < bytes.size() / 2; ++i) loud += std::abs(samples[i]) > 1000;
    QVERIFY2(loud > 10000, qPrintable(QString::number(loud)));
  }
#endif
};

QTEST_MAIN(SoundOutputTest)
#include "SoundOutputTest.moc"
