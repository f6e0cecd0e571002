// How fast the board answers from outside its window.
//
// PlayCommandToFirstSound: from the start of a `cueboard play 1` process (the moment
// it is spawned) to the first non-silent sample the board hands to its output device,
// on SDL's dummy driver. The board runs in this program, listening on its control
// socket as the real one does; the command is the real program. Goal: median <= 30 ms.
//
// WebSocketStatusRoundTrip: a `status` request over the WebSocket API and its answer,
// with a Qt client in this program. Goal: median <= 1 ms.
//
// Time is the mean; median_ms and p95_ms are the figures that matter.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ClickTiming.h"
#include "board/Board.h"
#include "library/DBHelper.h"
#include "litedb/LiteDatabase.h"
#include "platform/AudioDevice.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "remote/ControlServer.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteControl.h"
#include "remote/RequestHandler.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTrials = 30;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

std::atomic<bool> watching{false};
std::atomic<std::int64_t> firstSoundNs{0};

void watchOutput(const std::int16_t* samples, int frames, void* /*unused*/) {
  if (!watching.load(std::memory_order_acquire)) return;
  for (int i = 0; i < frames * 2; ++i) {
    if (samples[i] != 0) {
      firstSoundNs.store(nowNs(), std::memory_order_release);
      watching.store(false, std::memory_order_release);
      return;
    }
  }
}

// The board and its surfaces, in scratch folders.
struct World {
  QTemporaryDir scratch;
  std::unique_ptr<Board> board;
  std::unique_ptr<RequestHandler> handler;
  std::unique_ptr<ControlServer> control;
  std::unique_ptr<RemoteControl> remote;
  QString problem;

  bool start() {
    for (const char* name : {"config", "data", "run"}) QDir().mkpath(scratch.path() + "/" + name);
    QFile::setPermissions(scratch.path() + "/run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_CONFIG_HOME", (scratch.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (scratch.path() + "/data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", (scratch.path() + "/run").toUtf8());
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    QFile::copy(CUEBOARD_BENCH_CLIP_DIR "/clip-1s.mp3", sounds + "clip.mp3");
    auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
    if (!db->open() ||
        !db->executeStatements(
            "CREATE TABLE tb_Button (ButtonId TEXT, ClassId TEXT, ButtonNo INTEGER, Title TEXT, "
            "MusicSrc TEXT, Hotkey TEXT DEFAULT NULL);"
            "INSERT INTO tb_Button VALUES ('B1', '00000000-0000-0000-0000-000000000001', 1, "
            "'clip', 'clip.mp3', NULL)")) {
      problem = "cannot write the library";
      return false;
    }
    db->close();
    board = std::make_unique<Board>(dbHelper().db());
    handler = std::make_unique<RequestHandler>(*board);
    control = std::make_unique<ControlServer>();
    QString why;
    if (control->claim(&why) != ControlServer::Claim::Primary ||
        !control->listen(handler.get(), &why)) {
      problem = why;
      return false;
    }
    UserDefaults::standardUserDefaults().setIntegerForKey(17381, "remotePort");
    remote = std::make_unique<RemoteControl>(*handler);
    remote->setEnabled(true);
    if (remote->api() == nullptr) {
      problem = remote->problem();
      return false;
    }
    return true;
  }
};

World* world = nullptr;

void PlayCommandToFirstSound(benchmark::State& state) {
  std::vector<double> latencies;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (auto _ : state) {
    world->board->stop();
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    firstSoundNs.store(0);
    watching.store(true, std::memory_order_release);
    QProcess command;
    command.setProcessEnvironment(env);
    const std::int64_t startNs = nowNs();
    command.start(CUEBOARD_BINARY, {"play", "1"});
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
    while (firstSoundNs.load(std::memory_order_acquire) == 0 && Clock::now() < giveUp) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    const std::int64_t heardNs = firstSoundNs.load(std::memory_order_acquire);
    watching.store(false);
    while (command.state() != QProcess::NotRunning) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    if (heardNs == 0 || command.exitCode() != 0) {
      state.SkipWithError(
          ("no sound within 5 s; the command said: " + command.readAllStandardError().toStdString())
              .c_str());
      return;
    }
    const double seconds = static_cast<double>(heardNs - startNs) / 1e9;
    state.SetIterationTime(seconds);
    latencies.push_back(seconds * 1e3);
  }
  world->board->stop();
  state.counters["median_ms"] = percentile(latencies, 0.5);
  state.counters["p95_ms"] = percentile(latencies, 0.95);
  state.counters["goal_median_ms"] = 30;
}

void WebSocketStatusRoundTrip(benchmark::State& state) {
  QWebSocket client;
  int received = 0;
  QObject::connect(&client, &QWebSocket::textMessageReceived, [&received] { ++received; });
  client.open(QUrl(QString("ws://127.0.0.1:%1/ws?token=%2")
                       .arg(world->remote->port())
                       .arg(world->remote->token())));
  QElapsedTimer wait;
  wait.start();
  while (received == 0 && wait.elapsed() < 5000) QCoreApplication::processEvents();
  if (received == 0) {
    state.SkipWithError("no snapshot from the WebSocket");
    return;
  }
  std::vector<double> trips;
  for (auto _ : state) {
    const int before = received;
    const std::int64_t sentNs = nowNs();
    client.sendTextMessage(R"({"op":"status"})");
    while (received == before) QCoreApplication::processEvents();
    const double seconds = static_cast<double>(nowNs() - sentNs) / 1e9;
    state.SetIterationTime(seconds);
    trips.push_back(seconds * 1e3);
  }
  state.counters["median_ms"] = percentile(trips, 0.5);
  state.counters["p95_ms"] = percentile(trips, 0.95);
  state.counters["goal_median_ms"] = 1;
}

}  // namespace

BENCHMARK(PlayCommandToFirstSound)
    ->Iterations(kTrials)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(WebSocketStatusRoundTrip)
    ->Iterations(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  benchmark::Initialize(&argc, argv);
  QApplication app(argc, argv);
  std::string error;
  if (!AudioDevice::open(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  World scratch;
  if (!scratch.start()) {
    std::fprintf(stderr, "%s\n", qPrintable(scratch.problem));
    return 1;
  }
  world = &scratch;
  AudioDevice::setOutputTap(&watchOutput, nullptr);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  AudioDevice::setOutputTap(nullptr, nullptr);
  world = nullptr;
  scratch.remote.reset();
  scratch.control.reset();
  scratch.handler.reset();
  scratch.board.reset();
  AudioDevice::close();
  return 0;
}
