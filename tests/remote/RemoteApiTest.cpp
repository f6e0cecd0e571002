// The HTTP and WebSocket API with Qt's own clients: who is let in, what bad requests
// get, that the board plays on through all of it, and where the server listens.

#include <sys/stat.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include "RemoteFixture.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteProtocol.h"

namespace {

struct HttpAnswer {
  int status = 0;  // 0: no HTTP answer
  QJsonObject body;
  QNetworkReply::NetworkError error = QNetworkReply::NoError;
};

HttpAnswer httpRequest(QNetworkAccessManager& manager, const QByteArray& method, const QUrl& url,
                       const QList<QPair<QByteArray, QByteArray>>& headers,
                       const QByteArray& body = {}) {
  QNetworkRequest request(url);
  for (const auto& [name, value] : headers) request.setRawHeader(name, value);
  if (!body.isEmpty()) request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
  QSignalSpy finished(reply, &QNetworkReply::finished);
  HttpAnswer answer;
  if (!reply->isFinished() && !finished.wait(20000)) {
    reply->abort();
    reply->deleteLater();
    return answer;
  }
  answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  answer.body = QJsonDocument::fromJson(reply->readAll()).object();
  answer.error = reply->error();
  reply->deleteLater();
  return answer;
}

// Waits for the next text message of `socket`; empty when none came.
QJsonObject nextMessage(QWebSocket& /*socket*/, QList<QJsonObject>& inbox) {
  QDeadlineTimer deadline(10000);
  while (inbox.isEmpty() && !deadline.hasExpired()) QTest::qWait(5);
  return inbox.isEmpty() ? QJsonObject() : inbox.takeFirst();
}

}  // namespace

class RemoteApiTest : public QObject {
  Q_OBJECT

  std::unique_ptr<RemoteFixture> world;
  std::unique_ptr<RemoteControl> control;
  QNetworkAccessManager* manager = nullptr;
  QUrl base;
  QByteArray token;

  QUrl api(const QString& path) const { return base.resolved(QUrl(path)); }
  QList<QPair<QByteArray, QByteArray>> authorized() const {
    return {{"Authorization", "Bearer " + token}};
  }

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  void init() {
    world = std::make_unique<RemoteFixture>();
    UserDefaults::standardUserDefaults().setIntegerForKey(freePort(), "remotePort");
    control = std::make_unique<RemoteControl>(*world->handler);
    control->setEnabled(true);
    QVERIFY2(control->api() != nullptr, qPrintable(control->problem()));
    base = QUrl(control->url());
    token = control->token().toUtf8();
    manager = new QNetworkAccessManager(this);
    QVERIFY(world->board->play(1, 1));
  }
  void cleanup() {
    delete manager;
    manager = nullptr;
    control.reset();
    world.reset();
  }

  void itIsOffUnlessTurnedOnAndListensOnLoopbackOnly() {
    const quint16 port = control->port();
    QCOMPARE(control->api()->address(), QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(listeningAddresses(port), QStringList{"0100007F"});
    QCOMPARE(control->token().size(), 32);
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(control->token()).hasMatch());
    struct stat info = {};
    QCOMPARE(::stat(UserDefaults::standardUserDefaults().filePath().c_str(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0600u);

    control->setEnabled(false);
    QVERIFY(control->api() == nullptr);
    QCOMPARE(listeningAddresses(port), QStringList{});
    // Turned on again, it keeps its token.
    control->setEnabled(true);
    QCOMPARE(control->token().toUtf8(), token);

    // A board whose settings never turned it on listens nowhere.
    control.reset();
    UserDefaults::standardUserDefaults().removeObjectForKey("remoteControl");
    RemoteControl fresh(*world->handler);
    fresh.apply();
    QVERIFY(fresh.api() == nullptr);
    QCOMPARE(listeningAddresses(port), QStringList{});
    QVERIFY(fresh.problem().isEmpty());
  }

  void aPortInUseIsReported() {
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    UserDefaults::standardUserDefaults().setIntegerForKey(squatter.serverPort(), "remotePort");
    control->apply();
    QVERIFY(control->api() == nullptr);
    QVERIFY2(control->problem().startsWith(
                 QString("cannot listen on 127.0.0.1:%1: ").arg(squatter.serverPort())),
             qPrintable(control->problem()));
  }

  void httpRequestsGetAnswersOrClearRefusals_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("authorization");  // "TOKEN" stands for the right one
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");  // "" for ok
    const QByteArray bearer = "Bearer TOKEN";
    QTest::newRow("status") << QByteArray("GET") << "/api/v1/status" << bearer << QByteArray()
                            << QByteArray() << 200 << "";
    QTest::newRow("no token") << QByteArray("GET") << "/api/v1/status" << QByteArray()
                              << QByteArray() << QByteArray() << 401 << "unauthorized";
    QTest::newRow("wrong token") << QByteArray("POST") << "/api/v1/stop"
                                 << QByteArray("Bearer 0123456789abcdef0123456789abcdef")
                                 << QByteArray() << QByteArray() << 401 << "unauthorized";
    QTest::newRow("token cut short")
        << QByteArray("POST") << "/api/v1/stop" << QByteArray("Bearer ") << QByteArray()
        << QByteArray() << 401 << "unauthorized";
    QTest::newRow("another site's page")
        << QByteArray("POST") << "/api/v1/stop" << bearer << QByteArray("http://example.com")
        << QByteArray() << 403 << "badOrigin";
    QTest::newRow("a look-alike host")
        << QByteArray("POST") << "/api/v1/stop" << bearer
        << QByteArray("http://localhost.example.com") << QByteArray() << 403 << "badOrigin";
    QTest::newRow("a local file") << QByteArray("POST") << "/api/v1/stop" << bearer
                                  << QByteArray("null") << QByteArray() << 403 << "badOrigin";
    QTest::newRow("a local page") << QByteArray("GET") << "/api/v1/status" << bearer
                                  << QByteArray("http://127.0.0.1:8000") << QByteArray() << 200
                                  << "";
    QTest::newRow("not JSON") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                              << QByteArray("button=3") << 400 << "badJson";
    QTest::newRow("1 MB body") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                               << QByteArray(1000 * 1000, ' ') << 413 << "tooLarge";
    QTest::newRow("unknown op") << QByteArray("POST") << "/api/v1/explode" << bearer << QByteArray()
                                << QByteArray("{}") << 404 << "unknownOp";
    QTest::newRow("no such address") << QByteArray("GET") << "/admin" << bearer << QByteArray()
                                     << QByteArray() << 404 << "notFound";
    QTest::newRow("play by GET") << QByteArray("GET") << "/api/v1/play" << bearer << QByteArray()
                                 << QByteArray() << 405 << "badArgument";
    QTest::newRow("button 41") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                               << QByteArray(R"({"button": 41})") << 400 << "badArgument";
    QTest::newRow("empty button") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                                  << QByteArray(R"({"category": 1, "button": 30})") << 422
                                  << "failed";
    QTest::newRow("missing file") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                                  << QByteArray(R"({"button": 2})") << 422 << "failed";
    QTest::newRow("play") << QByteArray("POST") << "/api/v1/play" << bearer << QByteArray()
                          << QByteArray(R"({"category": 2, "button": 17})") << 200 << "";
    QTest::newRow("sounds of a category") << QByteArray("GET") << "/api/v1/sounds?category=2"
                                          << bearer << QByteArray() << QByteArray() << 200 << "";
    QTest::newRow("sounds of category 9")
        << QByteArray("GET") << "/api/v1/sounds?category=9" << bearer << QByteArray()
        << QByteArray() << 400 << "badArgument";
  }
  void httpRequestsGetAnswersOrClearRefusals() {
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, authorization);
    QFETCH(QByteArray, origin);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, code);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!authorization.isEmpty())
      headers << qMakePair(QByteArray("Authorization"), authorization.replace("TOKEN", token));
    if (!origin.isEmpty()) headers << qMakePair(QByteArray("Origin"), origin);

    const HttpAnswer answer = httpRequest(*manager, method, api(path), headers, body);
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.body.value("ok").toBool(), code.isEmpty());
    QCOMPARE(remote::errorCode(answer.body), code);
    if (!code.isEmpty()) QVERIFY(!remote::errorMessage(answer.body).isEmpty());
    // Whatever came in, the board plays on; only a click's own effects change it (a
    // button whose file is missing stops what played, as a click on it does).
    const QByteArray row = QTest::currentDataTag();
    QCOMPARE(world->board->isPlaying(), row != "missing file");
    if (row == "missing file") {
      QCOMPARE(answer.body["error"]["message"].toString(), QString("找不到音效文件：不存在.mp3"));
    } else if (row == "play") {
      QCOMPARE(world->board->playingCategory(), 2);
      QCOMPARE(world->board->playingButton(), 17);
    } else {
      QCOMPARE(world->board->playingButton(), 1);
    }
    if (row == "sounds of a category") {
      QCOMPARE(answer.body.value("sounds").toArray().size(), 1);
      QCOMPARE(answer.body.value("sounds")[0]["title"].toString(), QString("掌声"));
    }
  }

  void oversizedOrBrokenConnectionsAreCutAndTheBoardGoesOn() {
    // 4 MB: the connection is closed before the request is kept whole.
    const HttpAnswer huge = httpRequest(*manager, "POST", api("/api/v1/play"), authorized(),
                                        QByteArray(4 * 1000 * 1000, ' '));
    QCOMPARE(huge.status, 0);
    QVERIFY(huge.error != QNetworkReply::NoError);

    // A client that goes away in the middle of its request.
    {
      QTcpSocket client;
      client.connectToHost(QHostAddress::LocalHost, control->port());
      QVERIFY(client.waitForConnected(5000));
      client.write("POST /api/v1/play HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                   token + "\r\nContent-Length: 40\r\n\r\n{\"butt");
      client.flush();
      QTest::qWait(50);
      client.abort();
    }
    QTest::qWait(50);
    QVERIFY(world->board->isPlaying());
    QCOMPARE(httpRequest(*manager, "POST", api("/api/v1/stop"), authorized()).status, 200);
    QVERIFY(!world->board->isPlaying());
  }

  // A client that asks and asks but never reads its answers is cut off before the
  // board holds more than a bounded amount for it.
  void aClientThatNeverReadsIsCutOff() {
    // Long titles make long answers.
    for (int button = 4; button <= 40; ++button) {
      world->changeLibrary(QString("INSERT INTO tb_Button VALUES ('L%1', '%2', %1, '%3', "
                                   "'none.mp3', NULL)")
                               .arg(button)
                               .arg(QString::fromStdString(categoryId(1)))
                               .arg(QString(300, QChar(0x58F0)))
                               .toStdString());
    }
    world->board->reload();
    QCOMPARE(world->board->sounds().size(), std::size_t(40));
    QTcpSocket client;
    client.setReadBufferSize(4096);
    client.connectToHost(QHostAddress::LocalHost, control->port());
    QVERIFY(client.waitForConnected(5000));
    const QByteArray request =
        "GET /api/v1/sounds HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Authorization: Bearer " +
        token + "\r\n\r\n";
    QSignalSpy closed(&client, &QTcpSocket::disconnected);
    for (int i = 0; i < 2000 && closed.isEmpty(); ++i) {
      client.write(request);
      client.flush();
      if (i % 50 == 0) QTest::qWait(1);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!closed.isEmpty(), 30000);
    QVERIFY(world->board->isPlaying());
    QCOMPARE(httpRequest(*manager, "GET", api("/api/v1/status"), authorized()).status, 200);
  }

  void webSocketClientsGetASnapshotAnswersAndEvents() {
    QWebSocket client;
    QList<QJsonObject> inbox;
    connect(&client, &QWebSocket::textMessageReceived, this, [&inbox](const QString& text) {
      inbox << QJsonDocument::fromJson(text.toUtf8()).object();
    });
    QUrl address = base;
    address.setScheme("ws");
    address.setPath("/ws");
    address.setQuery("token=" + token);
    client.open(address);

    const QJsonObject snapshot = nextMessage(client, inbox);
    QCOMPARE(snapshot.value("event").toString(), QString("state"));
    QCOMPARE(snapshot.value("category").toInt(), 1);
    QCOMPARE(snapshot.value("playing")["button"].toInt(), 1);
    QCOMPARE(snapshot.value("sounds").toArray().size(), 3);

    // Answers carry the request's id; a trailing CR LF is ignored.
    client.sendTextMessage(R"({"id": "a1", "op": "volume", "volume": 55})"
                           "\r\n");
    // The event of the change may come before or after the answer.
    QJsonObject first = nextMessage(client, inbox);
    QJsonObject second = nextMessage(client, inbox);
    if (first.contains("event")) std::swap(first, second);
    QCOMPARE(first, (QJsonObject{{"id", "a1"}, {"ok", true}}));
    QCOMPARE(second, (QJsonObject{{"event", "volumeChanged"}, {"volume", 55}}));
    QCOMPARE(world->board->volume(), 55);

    // What another surface does is pushed too.
    QVERIFY(world->board->play(2, 17));
    const QJsonObject stopped = nextMessage(client, inbox);
    const QJsonObject started = nextMessage(client, inbox);
    QCOMPARE(stopped, (QJsonObject{{"event", "playbackStopped"}, {"reason", "replaced"}}));
    QCOMPARE(started.value("event").toString(), QString("playbackStarted"));
    QCOMPARE(started.value("category").toInt(), 2);
    QCOMPARE(started.value("button").toInt(), 17);
    QCOMPARE(started.value("title").toString(), QString("掌声"));
    QVERIFY(qAbs(started.value("duration").toDouble() - 10.0) < 0.2);
    QVERIFY(world->board->setCategory(2));
    QCOMPARE(nextMessage(client, inbox),
             (QJsonObject{{"event", "categoryChanged"}, {"category", 2}}));

    // Bad requests get their error and the connection stays.
    client.sendTextMessage("not json");
    QCOMPARE(remote::errorCode(nextMessage(client, inbox)), QString("badJson"));
    client.sendTextMessage(R"({"id": 2, "op": "explode"})");
    const QJsonObject unknown = nextMessage(client, inbox);
    QCOMPARE(unknown.value("id").toInt(), 2);
    QCOMPARE(remote::errorCode(unknown), QString("unknownOp"));
    client.sendTextMessage(R"({"id": 3, "op": "stop"})");
    QJsonObject stopAnswer = nextMessage(client, inbox);
    if (stopAnswer.contains("event")) stopAnswer = nextMessage(client, inbox);
    QCOMPARE(stopAnswer, (QJsonObject{{"id", 3}, {"ok", true}}));
    QVERIFY(!world->board->isPlaying());
  }

  // A WebSocket that may not drive the board is refused in its handshake, with the
  // reason in an HTTP answer, and never becomes a client.
  void webSocketRefusals_data() {
    QTest::addColumn<QString>("pathAndQuery");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");
    QTest::newRow("no token") << "/ws" << QByteArray() << 401 << "unauthorized";
    QTest::newRow("wrong token") << "/ws?token=0123456789abcdef0123456789abcdef" << QByteArray()
                                 << 401 << "unauthorized";
    QTest::newRow("another site's page")
        << "/ws?token=TOKEN" << QByteArray("http://example.com") << 403 << "badOrigin";
    QTest::newRow("another address") << "/socket?token=TOKEN" << QByteArray() << 404 << "notFound";
  }
  void webSocketRefusals() {
    QFETCH(QString, pathAndQuery);
    QFETCH(QByteArray, origin);
    QFETCH(int, status);
    QFETCH(QString, code);
    pathAndQuery.replace("TOKEN", token);
    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, control->port());
    QVERIFY(raw.waitForConnected(5000));
    QByteArray handshake = "GET " + pathAndQuery.toUtf8() +
                           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                           "Sec-WebSocket-Version: 13\r\n";
    if (!origin.isEmpty()) handshake += "Origin: " + origin + "\r\n";
    raw.write(handshake + "\r\n");
    QByteArray answer;
    QDeadlineTimer deadline(10000);
    // The refusal is the last thing said: the board closes the connection after it.
    while (raw.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
      QTest::qWait(5);
      answer += raw.readAll();
    }
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status) + " "), answer.constData());
    const QJsonObject body =
        QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4)).object();
    QVERIFY2(remote::errorCode(body) == code, answer.constData());

    // Qt's own client sees the handshake fail.
    QWebSocket client(QString::fromLatin1(origin));
    QSignalSpy failed(&client, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error));
    QSignalSpy connected(&client, &QWebSocket::connected);
    client.open(QUrl(QString("ws://127.0.0.1:%1").arg(control->port()) + pathAndQuery));
    QVERIFY(failed.wait(10000));
    QVERIFY(connected.isEmpty());
    QCOMPARE(control->api()->webSocketClientCount(), 0);
    QVERIFY(world->board->isPlaying());
  }

  void anOversizedWebSocketMessageClosesTheConnection() {
    QWebSocket client;
    QSignalSpy connected(&client, &QWebSocket::connected);
    QSignalSpy disconnected(&client, &QWebSocket::disconnected);
    client.open(QUrl(QString("ws://127.0.0.1:%1/ws?token=").arg(control->port()) + token));
    QVERIFY(connected.wait(10000));
    client.sendTextMessage(QString(1000 * 1000, 'x'));
    QTRY_VERIFY_WITH_TIMEOUT(!disconnected.isEmpty(), 10000);
    QCOMPARE(client.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QTRY_COMPARE(control->api()->webSocketClientCount(), 0);
    QVERIFY(world->board->isPlaying());
  }

  // Four clients, each sending 1,000 requests a second for five seconds: every
  // request is answered, memory stays bounded and the board keeps serving its own
  // event loop meanwhile.
  void underLoadEveryRequestIsAnswered() {
    constexpr int kClients = 4;
    constexpr int kPerTick = 10;  // every 10 ms: 1,000 a second
    constexpr int kTicks = 500;   // 5 seconds
    const auto residentKiB = [] {
      QFile status("/proc/self/status");
      status.open(QIODevice::ReadOnly);
      for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').first().toLong();
      }
      return 0L;
    };
    world->board->setLoop(true);  // the sound outlasts the load
    std::vector<std::unique_ptr<QNetworkAccessManager>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<QNetworkAccessManager>());
    int loopTurns = 0;  // the board's own timers still run
    QTimer heartbeat;
    connect(&heartbeat, &QTimer::timeout, this, [&loopTurns] { ++loopTurns; });
    heartbeat.start(100);

    // Sends kPerTick requests per client every 10 ms for `tickCount` ticks and waits
    // for every answer; gives how many were sent and how many answered as expected.
    const auto load = [&](int tickCount, int* sent, int* answeredOk) {
      int answered = 0;
      int ticks = 0;
      QTimer pacer;
      connect(&pacer, &QTimer::timeout, this, [&] {
        if (++ticks > tickCount) {
          pacer.stop();
          return;
        }
        for (auto& manager : clients) {
          for (int i = 0; i < kPerTick; ++i) {
            QNetworkRequest request(api(i % 5 == 0 ? "/api/v1/play" : "/api/v1/status"));
            request.setRawHeader("Authorization", "Bearer " + token);
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            QNetworkReply* reply = i % 5 == 0
                                       ? manager->post(request, QByteArray(R"({"button": 30})"))
                                       : manager->get(request);
            ++*sent;
            connect(reply, &QNetworkReply::finished, this, [reply, &answered, answeredOk] {
              ++answered;
              const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
              // The empty button's refusal is an answer too.
              if (status == 200 || status == 422) ++*answeredOk;
              reply->deleteLater();
            });
          }
        }
      });
      pacer.start(10);
      QTRY_VERIFY_WITH_TIMEOUT(!pacer.isActive() && answered == *sent, 240000);
      QTest::qWait(50);  // the replies' deferred deletion
    };

    int sent = 0;
    int answeredOk = 0;
    load(kTicks, &sent, &answeredOk);
    QCOMPARE(sent, kClients * kPerTick * kTicks);
    QCOMPARE(answeredOk, sent);
    QVERIFY(loopTurns > 0);
    // The looping sound may be between its end and its restart at this moment.
    QTRY_VERIFY(world->board->isPlaying());

    // Memory is bounded: once the first run has sized the buffers, another second of
    // the same load (4,000 requests) takes almost nothing more.
    const long before = residentKiB();
    int moreSent = 0;
    int moreAnswered = 0;
    load(kTicks / 5, &moreSent, &moreAnswered);
    QCOMPARE(moreAnswered, moreSent);
    const long grown = residentKiB() - before;
    QVERIFY2(grown < 32 * 1024, qPrintable(QString("grew by %1 KiB").arg(grown)));
    qInfo("memory grew by %ld KiB over the last 4,000 requests", grown);
  }
};

QTEST_MAIN(RemoteApiTest)
#include "RemoteApiTest.moc"
