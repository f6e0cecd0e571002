// The single-instance lock and the control socket, driven by a raw client: what a
// second launch, a dead board's socket and bad requests get.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QLocalSocket>
#include <QSignalSpy>

#include "RemoteFixture.h"
#include "remote/ControlServer.h"
#include "remote/RemoteProtocol.h"

namespace {

// Sends `bytes` and reads one reply line; an empty object when none came.
QJsonObject exchange(QLocalSocket& socket, const QByteArray& bytes) {
  socket.write(bytes);
  socket.flush();
  QDeadlineTimer deadline(5000);
  while (!socket.canReadLine() && !deadline.hasExpired()) QTest::qWait(5);
  if (!socket.canReadLine()) return {};
  return QJsonDocument::fromJson(socket.readLine()).object();
}

bool connectTo(QLocalSocket& socket) {
  socket.connectToServer(ControlServer::socketPath());
  return socket.waitForConnected(2000);
}

}  // namespace

class ControlServerTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  void theFirstClaimWinsAndTheFolderIsPrivate() {
    RemoteFixture world;
    // A folder left too open by something else is closed again.
    QVERIFY(QDir().mkpath(ControlServer::folderPath()));
    QVERIFY(::chmod(QFile::encodeName(ControlServer::folderPath()).constData(), 0755) == 0);

    ControlServer first;
    ControlServer second;
    QString why;
    QCOMPARE(first.claim(&why), ControlServer::Claim::Primary);
    QCOMPARE(second.claim(&why), ControlServer::Claim::AlreadyRunning);
    QVERIFY(ControlServer::boardIsRunning());
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(ControlServer::folderPath()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0700u);

    QVERIFY2(first.listen(world.handler.get(), &why), qPrintable(why));
    QVERIFY(QFileInfo::exists(ControlServer::socketPath()));
    first.close();
    QVERIFY(!QFileInfo::exists(ControlServer::socketPath()));
    QVERIFY(!ControlServer::boardIsRunning());
    QCOMPARE(second.claim(&why), ControlServer::Claim::Primary);
  }

  void aDeadBoardsSocketIsReplaced() {
    RemoteFixture world;
    QVERIFY(QDir().mkpath(ControlServer::folderPath()));
    // What a killed board leaves: a socket file nobody listens on, and no lock.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(ControlServer::socketPath());
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    QVERIFY(QFileInfo::exists(ControlServer::socketPath()));
    QVERIFY(!ControlServer::boardIsRunning());

    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY2(server.listen(world.handler.get(), &why), qPrintable(why));
    QLocalSocket client;
    QVERIFY(connectTo(client));
    const QJsonObject reply = exchange(client, "{\"op\":\"status\"}\n");
    QCOMPARE(reply.value("ok").toBool(), true);
    QCOMPARE(reply.value("category").toInt(), 1);
  }

  // Whatever a client sends, it gets a clear answer (or is cut off when it sends
  // without end), and the board goes on playing.
  void badRequestsGetClearErrorsAndTheBoardPlaysOn_data() {
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("code");  // "" for a successful reply
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << QByteArray("play 1\n") << "badJson"
                              << "";
    QTest::newRow("JSON but no object") << QByteArray("[1, 2]\n") << "badJson"
                                        << "a request must be a JSON object";
    QTest::newRow("no op") << QByteArray("{\"button\": 1}\n") << "badArgument"
                           << "";
    QTest::newRow("unknown op") << QByteArray("{\"op\": \"fly\"}\n") << "unknownOp"
                                << "unknown op \"fly\"; known: play, stop, category, volume, "
                                   "status, sounds";
    QTest::newRow("button 41") << QByteArray("{\"op\": \"play\", \"button\": 41}\n")
                               << "badArgument"
                               << "button must be a whole number from 1 to 40, not 41";
    QTest::newRow("button as text")
        << QByteArray("{\"op\": \"play\", \"button\": \"1\"}\n") << "badArgument"
        << "button must be a whole number from 1 to 40, not \"1\"";
    QTest::newRow("fractional volume")
        << QByteArray("{\"op\": \"volume\", \"volume\": 2.5}\n") << "badArgument"
        << "volume must be a whole number from 0 to 100, not 2.5";
    QTest::newRow("category 0") << QByteArray("{\"op\": \"category\", \"category\": 0}\n")
                                << "badArgument"
                                << "category must be a whole number from 1 to 5, not 0";
    QTest::newRow("missing button") << QByteArray("{\"op\": \"play\"}\n") << "badArgument"
                                    << "button is missing; button must be a whole number from 1 "
                                       "to 40";
    QTest::newRow("empty button") << QByteArray("{\"op\": \"play\", \"button\": 30}\n") << "failed"
                                  << "";
    QTest::newRow("ends in CR LF") << QByteArray("{\"op\": \"status\", \"id\": 7}\r\n") << ""
                                   << "";
    QTest::newRow("over 64 KiB") << QByteArray(70 * 1024, 'x') + "\n"
                                 << "tooLarge"
                                 << "a request line is over the limit of 65536 bytes";
  }
  void badRequestsGetClearErrorsAndTheBoardPlaysOn() {
    QFETCH(QByteArray, sent);
    QFETCH(QString, code);
    QFETCH(QString, message);
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY2(server.listen(world.handler.get(), &why), qPrintable(why));
    QVERIFY(world.board->play(1, 1));

    QLocalSocket client;
    QVERIFY(connectTo(client));
    const QJsonObject reply = exchange(client, sent);
    QVERIFY2(!reply.isEmpty(), "no reply");
    if (code.isEmpty()) {
      QCOMPARE(reply.value("ok").toBool(), true);
      QCOMPARE(reply.value("id").toInt(), 7);
    } else {
      QCOMPARE(reply.value("ok").toBool(), false);
      QCOMPARE(remote::errorCode(reply), code);
      QVERIFY(!remote::errorMessage(reply).isEmpty());
      if (!message.isEmpty()) QCOMPARE(remote::errorMessage(reply), message);
    }
    QVERIFY(world.board->isPlaying());
    QCOMPARE(world.board->playingButton(), 1);

    // The socket still serves everybody else.
    QLocalSocket next;
    QVERIFY(connectTo(next));
    QCOMPARE(exchange(next, "{\"op\":\"status\"}\n").value("ok").toBool(), true);
  }

  void requestsOnOneConnectionAreAnsweredInOrder() {
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    QLocalSocket client;
    QVERIFY(connectTo(client));
    client.write(
        "{\"op\":\"volume\",\"volume\":30,\"id\":1}\n{\"op\":\"play\",\"button\":30,\"id\":2}\n"
        "{\"op\":\"status\",\"id\":3}\n");
    QList<QJsonObject> replies;
    QDeadlineTimer deadline(5000);
    while (replies.size() < 3 && !deadline.hasExpired()) {
      if (client.canReadLine()) {
        replies << QJsonDocument::fromJson(client.readLine()).object();
      } else {
        QTest::qWait(5);
      }
    }
    QCOMPARE(replies.size(), 3);
    QCOMPARE(replies[0].value("id").toInt(), 1);
    QCOMPARE(replies[0].value("ok").toBool(), true);
    QCOMPARE(replies[1].value("id").toInt(), 2);
    QCOMPARE(remote::errorCode(replies[1]), QString("failed"));
    QCOMPARE(replies[2].value("id").toInt(), 3);
    QCOMPARE(replies[2].value("volume").toInt(), 30);
  }

  void aClientThatLeavesMidRequestHarmsNothing() {
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    QVERIFY(world.board->play(1, 1));
    {
      QLocalSocket client;
      QVERIFY(connectTo(client));
      client.write("{\"op\":\"play\",\"butt");
      client.flush();
      QTest::qWait(50);
      client.abort();
    }
    QTest::qWait(50);
    QVERIFY(world.board->isPlaying());
    QLocalSocket next;
    QVERIFY(connectTo(next));
    QCOMPARE(exchange(next, "{\"op\":\"stop\"}\n").value("ok").toBool(), true);
    QVERIFY(!world.board->isPlaying());
  }

  void activateAsksForTheWindow() {
    RemoteFixture world;
    ControlServer server;
    QString why;
    QCOMPARE(server.claim(&why), ControlServer::Claim::Primary);
    QVERIFY(server.listen(world.handler.get(), &why));
    QSignalSpy activated(world.handler.get(), &RequestHandler::activateRequested);
    QLocalSocket client;
    QVERIFY(connectTo(client));
    QCOMPARE(exchange(client, "{\"op\":\"activate\"}\n").value("ok").toBool(), true);
    QCOMPARE(activated.count(), 1);
    // Only the control socket may ask for it.
    const QJsonObject overNetwork =
        world.handler->handle({{"op", "activate"}}, RequestHandler::Surface::Network);
    QCOMPARE(remote::errorCode(overNetwork), QString("unknownOp"));
    QCOMPARE(activated.count(), 1);
  }
};

QTEST_MAIN(ControlServerTest)
#include "ControlServerTest.moc"
