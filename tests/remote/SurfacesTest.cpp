// Every way into the board does what the same mouse click does: a table over the
// surfaces (the command line's verbs, HTTP, WebSocket) and the operations they share
// with the window (play, play again to stop, stop, category, volume). Each row does the
// operation by click on one fresh board and through its surface on another, and
// compares what follows: the board's state, the stored settings and the model's
// signals, in order. Looping and the hotkey mode are the window's alone.

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QWebSocket>

#include "RemoteFixture.h"
#include "board/ViewController.h"
#include "remote/CommandLine.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteProtocol.h"

namespace {

enum class Surface { Click, CommandLine, Http, WebSocket };

// What a board came to after an operation.
struct Outcome {
  QStringList state;
  QStringList settings;
  QStringList signalsSeen;
  QString reply;  // the surface's answer: "ok" or the error's code
};

// Everything the model says, in the order it says it.
QStringList* recordSignals(Board& board, QStringList& log) {
  QObject::connect(&board, &Board::categoryChanged, &board,
                   [&log](int category) { log << QString("categoryChanged %1").arg(category); });
  QObject::connect(&board, &Board::soundsChanged, &board, [&log] { log << "soundsChanged"; });
  QObject::connect(&board, &Board::playbackStarted, &board,
                   [&log](int category, int button, const QString& title, double duration) {
                     log << QString("playbackStarted %1 %2 %3 %4")
                                .arg(category)
                                .arg(button)
                                .arg(title)
                                .arg(duration, 0, 'f', 3);
                   });
  QObject::connect(&board, &Board::playbackStopped, &board,
                   [&log](const QString& why) { log << "playbackStopped " + why; });
  QObject::connect(&board, &Board::volumeChanged, &board,
                   [&log](int volume) { log << QString("volumeChanged %1").arg(volume); });
  QObject::connect(&board, &Board::loopChanged, &board,
                   [&log](bool on) { log << QString("loopChanged %1").arg(on); });
  QObject::connect(&board, &Board::hotkeyModeChanged, &board,
                   [&log](int mode) { log << QString("hotkeyModeChanged %1").arg(mode); });
  QObject::connect(&board, &Board::libraryChanged, &board, [&log] { log << "libraryChanged"; });
  return &log;
}

QStringList stateOf(const Board& board) {
  return {QString("category %1").arg(board.currentCategory()),
          QString("playing %1 %2 %3 %4")
              .arg(board.isPlaying())
              .arg(board.playingCategory())
              .arg(board.playingButton())
              .arg(board.playingTitle()),
          QString("volume %1 (%2)").arg(board.volume()).arg(board.volumeLevel()),
          QString("loop %1").arg(board.loops()),
          QString("hotkeys %1").arg(board.hotkeyMode()),
          QString("sounds %1").arg(board.sounds().size())};
}

QStringList settingsOf() {
  QStringList settings;
  for (const char* key : {"volume", "curClassId", "loop", "hotkeyTag"}) {
    const auto value = UserDefaults::standardUserDefaults().objectForKey(key);
    settings << QString("%1=%2").arg(key, value ? value->toString() : QString("(absent)"));
  }
  return settings;
}

QString replyCode(const QJsonObject& reply) {
  return remote::isError(reply) ? remote::errorCode(reply) : QString("ok");
}

}  // namespace

class SurfacesTest : public QObject {
  Q_OBJECT

  // One operation on a fresh board with its window, through `surface`. `before`, run
  // on the board first, sets the scene (a sound playing, say).
  Outcome run(Surface surface, const QStringList& verb, const QString& before) {
    Outcome outcome;
    RemoteFixture world;
    Board& board = *world.board;
    ViewController window(board);
    RemoteControl control(*world.handler);
    UserDefaults::standardUserDefaults().setIntegerForKey(freePort(), "remotePort");
    if (surface == Surface::Http || surface == Surface::WebSocket) {
      control.setEnabled(true);
      if (control.api() == nullptr) {
        outcome.reply = "no API: " + control.problem();
        return outcome;
      }
    }
    if (before == "playing" && !board.play(0, 1)) outcome.reply = "could not set the scene";
    // A slider already at 85 does not move: the same volume is a click only once stored.
    if (before == "volume stored" && !board.setVolume(85)) outcome.reply = "no scene";
    QWebSocket client;
    QList<QJsonObject> inbox;
    if (surface == Surface::WebSocket) {
      connect(&client, &QWebSocket::textMessageReceived, this, [&inbox](const QString& text) {
        inbox << QJsonDocument::fromJson(text.toUtf8()).object();
      });
      client.open(
          QUrl(QString("ws://127.0.0.1:%1/ws?token=%2").arg(control.port()).arg(control.token())));
      QDeadlineTimer deadline(10000);
      while (inbox.isEmpty() && !deadline.hasExpired()) QTest::qWait(5);  // the snapshot
      if (inbox.isEmpty()) {
        outcome.reply = "no WebSocket snapshot";
        return outcome;
      }
      inbox.clear();
    }

    QStringList log;
    recordSignals(board, log);
    const CommandLine command = CommandLine::parse(QStringList{"cueboard"} + verb);
    if (command.kind != CommandLine::Kind::Command) {
      outcome.reply = "the verb did not parse: " + command.error;
      return outcome;
    }
    const QJsonObject request = command.request;
    const QString op = request.value("op").toString();
    switch (surface) {
      case Surface::Click: {
        if (op == "play") {
          window.viewWithTag<QPushButton>(100 + request.value("button").toInt())->click();
        } else if (op == "stop") {
          window.findChild<QPushButton*>("btnStop")->click();
        } else if (op == "category") {
          window.viewWithTag<QPushButton>(request.value("category").toInt())->click();
        } else if (op == "volume") {
          window.setSliderVolumeValue(float(request.value("volume").toInt()));
        }
        outcome.reply = "ok";
        break;
      }
      case Surface::CommandLine: {
        // What the control socket does with the verb's line.
        QJsonObject refusal;
        const auto line = remote::parseRequest(remote::toLine(request), &refusal);
        outcome.reply =
            line ? replyCode(world.handler->handle(*line, RequestHandler::Surface::ControlSocket))
                 : replyCode(refusal);
        break;
      }
      case Surface::Http: {
        QNetworkAccessManager manager;
        QNetworkRequest http(QUrl(control.url() + "/api/v1/" + op));
        http.setRawHeader("Authorization", "Bearer " + control.token().toUtf8());
        http.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QJsonObject body = request;
        body.remove("op");
        QNetworkReply* answer = manager.post(http, QJsonDocument(body).toJson());
        QSignalSpy finished(answer, &QNetworkReply::finished);
        if (!answer->isFinished() && !finished.wait(10000)) {
          outcome.reply = "no HTTP answer";
        } else {
          outcome.reply = replyCode(QJsonDocument::fromJson(answer->readAll()).object());
        }
        delete answer;
        break;
      }
      case Surface::WebSocket: {
        QJsonObject message = request;
        message.insert("id", 7);
        client.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
        QJsonObject reply;
        QDeadlineTimer deadline(10000);
        while (reply.isEmpty() && !deadline.hasExpired()) {
          QTest::qWait(5);
          for (const QJsonObject& received : inbox) {
            if (received.value("id").toInt() == 7) reply = received;
          }
        }
        outcome.reply = reply.isEmpty() ? QString("no WebSocket answer") : replyCode(reply);
        break;
      }
    }
    // The events of this one operation have all been handed out by now.
    QCoreApplication::processEvents();
    outcome.state = stateOf(board);
    outcome.settings = settingsOf();
    outcome.signalsSeen = log;
    board.disconnect(&board);
    return outcome;
  }

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  void eachSurfaceDoesWhatTheClickDoes_data() {
    QTest::addColumn<int>("surface");
    QTest::addColumn<QStringList>("verb");  // as typed after `cueboard`
    QTest::addColumn<QString>(
        "before");  // "", "playing" (button 1 of category 1) or "volume stored"
    const QList<QPair<const char*, Surface>> surfaces = {{"command line", Surface::CommandLine},
                                                         {"HTTP", Surface::Http},
                                                         {"WebSocket", Surface::WebSocket}};
    const QList<std::tuple<const char*, QStringList, QString>> operations = {
        {"play", {"play", "1"}, ""},
        {"play another over one playing", {"play", "3"}, "playing"},
        {"play the one playing: it stops", {"play", "1"}, "playing"},
        {"play an empty button", {"play", "30"}, ""},
        {"stop", {"stop"}, "playing"},
        {"stop with nothing playing", {"stop"}, ""},
        {"category", {"category", "2"}, ""},
        {"category shown, while playing", {"category", "1"}, "playing"},
        {"volume", {"volume", "40"}, ""},
        {"volume 0", {"volume", "0"}, "playing"},
        {"volume unchanged", {"volume", "85"}, "volume stored"},
    };
    for (const auto& [surfaceName, surface] : surfaces) {
      for (const auto& [operation, verb, before] : operations) {
        QTest::addRow("%s: %s", surfaceName, operation) << int(surface) << verb << before;
      }
    }
  }

  void eachSurfaceDoesWhatTheClickDoes() {
    QFETCH(int, surface);
    QFETCH(QStringList, verb);
    QFETCH(QString, before);
    const Outcome clicked = run(Surface::Click, verb, before);
    QCOMPARE(clicked.reply, QString("ok"));
    QVERIFY(!clicked.state.isEmpty());
    const Outcome remote = run(static_cast<Surface>(surface), verb, before);
    QCOMPARE(remote.state, clicked.state);
    QCOMPARE(remote.settings, clicked.settings);
    QCOMPARE(remote.signalsSeen, clicked.signalsSeen);
    // The click on an empty button does nothing; the surfaces say why.
    const bool emptyButton = verb == QStringList{"play", "30"};
    QCOMPARE(remote.reply, emptyButton ? QString(remote::kFailed) : QString("ok"));
  }
};

QTEST_MAIN(SurfacesTest)
#include "SurfacesTest.moc"
