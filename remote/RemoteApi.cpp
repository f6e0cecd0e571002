#include "remote/RemoteApi.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include "remote/RemoteProtocol.h"
#include "remote/RequestHandler.h"

using namespace remote;
using StatusCode = QHttpServerResponder::StatusCode;

namespace {

// More than this sent with no answer yet, or left unread by the client, and the
// connection is cut: the HTTP parser keeps a whole request in memory.
constexpr qint64 kMaxPendingBytes = 1024 * 1024;
// Connections open at once; more are closed as they come.
constexpr int kMaxConnections = 256;

// A TCP server whose connections cannot grow the board's memory without bound.
class GuardedTcpServer : public QTcpServer {
 public:
  using QTcpServer::QTcpServer;

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
      delete socket;
      return;
    }
    if (open >= kMaxConnections) {
      socket->abort();
      socket->deleteLater();
      return;
    }
    ++open;
    connect(socket, &QObject::destroyed, this, [this] { --open; });
    // Connected before the HTTP server's own handler, so this sees each chunk first.
    // The HTTP server drops these connections when it hands a socket to a WebSocket.
    auto pending = std::make_shared<qint64>(0);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, pending] {
      *pending += socket->bytesAvailable();
      if (*pending > kMaxPendingBytes) socket->abort();
    });
    connect(socket, &QTcpSocket::bytesWritten, socket, [pending](qint64) { *pending = 0; });
    addPendingConnection(socket);
  }

 private:
  int open = 0;
};

QByteArray headerValue(const QHttpServerRequest& request, const QByteArray& name) {
  for (const auto& [key, value] : request.headers()) {
    if (key.compare(name, Qt::CaseInsensitive) == 0) return value;
  }
  return {};
}

bool hasHeader(const QHttpServerRequest& request, const QByteArray& name) {
  for (const auto& header : request.headers()) {
    if (header.first.compare(name, Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

StatusCode statusFor(const QJsonObject& reply) {
  if (!isError(reply)) return StatusCode::Ok;
  const QString code = errorCode(reply);
  if (code == kBadJson || code == kBadArgument) return StatusCode::BadRequest;
  if (code == kUnauthorized) return StatusCode::Unauthorized;
  if (code == kBadOrigin) return StatusCode::Forbidden;
  if (code == kUnknownOp || code == kNotFound) return StatusCode::NotFound;
  if (code == kTooLarge) return StatusCode::PayloadTooLarge;
  return StatusCode::UnprocessableEntity;
}

}  // namespace

RemoteApi::RemoteApi(RequestHandler& handler, QByteArray token, QObject* parent)
    : QAbstractHttpServer(parent), handler(handler), token(std::move(token)) {
  // Queued: the HTTP server announces a WebSocket while it is still handing the
  // connection over, before the handshake's answer has gone out.
  connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &RemoteApi::acceptWebSockets,
          Qt::QueuedConnection);
  connect(&handler, &RequestHandler::event, this, &RemoteApi::broadcast);
}

RemoteApi::~RemoteApi() {
  for (QWebSocket* client : clients) {
    client->disconnect(this);
    client->abort();
    delete client;
  }
}

bool RemoteApi::start(quint16 port, QString* why) {
  auto* server = new GuardedTcpServer(this);
  // The loopback address only: nothing on the network can reach the board.
  if (!server->listen(QHostAddress::LocalHost, port)) {
    *why = QString("cannot listen on 127.0.0.1:%1: %2").arg(port).arg(server->errorString());
    delete server;
    return false;
  }
  bind(server);
  return true;
}

QHostAddress RemoteApi::address() const {
  const auto listening = servers();
  return listening.isEmpty() ? QHostAddress() : listening.first()->serverAddress();
}

quint16 RemoteApi::port() const {
  const auto listening = servers();
  return listening.isEmpty() ? 0 : listening.first()->serverPort();
}

bool RemoteApi::originAllowed(const QByteArray& origin) {
  if (origin.isEmpty()) return true;  // not sent by a browser
  static const QRegularExpression local(R"(^http://(localhost|127\.0\.0\.1)(:[0-9]{1,5})?$)");
  return local.match(QString::fromLatin1(origin)).hasMatch();
}

bool RemoteApi::tokenMatches(const QByteArray& given, const QByteArray& token) {
  if (token.isEmpty() || given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (qsizetype i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return difference == 0;
}

bool RemoteApi::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  const QString path = request.url().path();
  const auto method = request.method();
  QJsonObject reply;
  StatusCode status = StatusCode::Ok;

  static const QRegularExpression opPath("^/api/v1/([A-Za-z]+)$");
  const QRegularExpressionMatch opMatch = opPath.match(path);
  const QString op = opMatch.captured(1);
  const bool upgrade =
      headerValue(request, "upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
  const QUrlQuery parameters(request.url());

  // A WebSocket is let through to its handshake (by answering nothing here and saying
  // it is handled) only with the right address, token and origin; otherwise it gets an
  // HTTP refusal, and "not handled" has the HTTP server close the connection.
  if (upgrade && path == "/ws" && originAllowed(headerValue(request, "origin")) &&
      tokenMatches(parameters.queryItemValue("token").toUtf8(), token)) {
    return true;
  }
  QHttpServerResponder responder = makeResponder(request, socket);
  const QByteArray authorization = headerValue(request, "authorization");

  if (hasHeader(request, "origin") && !originAllowed(headerValue(request, "origin"))) {
    reply = errorReply(kBadOrigin, "requests from web pages of other sites are refused");
  } else if (path == "/ws" && !upgrade) {
    reply = errorReply(kBadArgument, "/ws is a WebSocket address: connect with a WebSocket client");
    status = StatusCode::UpgradeRequired;
  } else if (path == "/ws") {
    reply = parameters.hasQueryItem("token")
                ? errorReply(kUnauthorized, "wrong token")
                : errorReply(kUnauthorized, "no token: connect to /ws?token=<token>");
  } else if (!opMatch.hasMatch()) {
    reply = errorReply(
        kNotFound, "no such address: " + path.left(200) + "; the API lives under /api/v1/ and /ws");
  } else if (!authorization.startsWith("Bearer ")) {
    reply = errorReply(kUnauthorized, "no token: send the header Authorization: Bearer <token>");
  } else if (!tokenMatches(authorization.mid(7).trimmed(), token)) {
    reply = errorReply(kUnauthorized, "wrong token");
  } else if (request.body().size() > kMaxRequestBytes) {
    reply =
        errorReply(kTooLarge, QString("a request body of %1 bytes is over the limit of %2 bytes")
                                  .arg(request.body().size())
                                  .arg(kMaxRequestBytes));
  } else if (op == "status" || op == "sounds") {
    if (method != QHttpServerRequest::Method::Get) {
      reply = errorReply(kBadArgument, "use GET for /api/v1/" + op);
      status = StatusCode::MethodNotAllowed;
    } else {
      QJsonObject query{{"op", op}};
      if (parameters.hasQueryItem("category")) {
        bool number = false;
        const int category = parameters.queryItemValue("category").toInt(&number);
        query.insert("category", number ? QJsonValue(category)
                                        : QJsonValue(parameters.queryItemValue("category")));
      }
      reply = handler.handle(query, RequestHandler::Surface::Network);
    }
  } else if (op == "play" || op == "stop" || op == "category" || op == "volume") {
    if (method != QHttpServerRequest::Method::Post) {
      reply = errorReply(kBadArgument, "use POST for /api/v1/" + op);
      status = StatusCode::MethodNotAllowed;
    } else {
      const QByteArray body = request.body().trimmed();
      std::optional<QJsonObject> parsed =
          body.isEmpty() ? std::optional<QJsonObject>(QJsonObject()) : parseRequest(body, &reply);
      if (parsed) {
        parsed->insert("op", op);
        parsed->remove("id");
        reply = handler.handle(*parsed, RequestHandler::Surface::Network);
      }
    }
  } else {
    reply = errorReply(kUnknownOp, "unknown op \"" + op.left(64) +
                                       "\"; known: play, stop, category, volume, status, sounds");
  }
  if (status == StatusCode::Ok) status = statusFor(reply);
  responder.write(QJsonDocument(reply).toJson(QJsonDocument::Compact),
                  {{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}}, status);
  if (socket->bytesToWrite() > kMaxPendingBytes) socket->abort();
  return !upgrade;
}

void RemoteApi::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
  // A refused WebSocket handshake has had its answer from handleRequest().
  if (headerValue(request, "upgrade").compare("websocket", Qt::CaseInsensitive) == 0) return;
  makeResponder(request, socket)
      .write(QJsonDocument(errorReply(kNotFound, "no such address")), StatusCode::NotFound);
}

void RemoteApi::acceptWebSockets() {
  while (hasPendingWebSocketConnections()) {
    QWebSocket* client = nextPendingWebSocketConnection().release();
    if (client == nullptr) continue;
    client->setParent(this);
    client->setMaxAllowedIncomingMessageSize(kMaxRequestBytes);
    client->setMaxAllowedIncomingFrameSize(kMaxRequestBytes);
    connect(client, &QWebSocket::disconnected, this, [this, client] {
      clients.removeOne(client);
      client->deleteLater();
    });

    const QUrl address = client->requestUrl();
    QJsonObject refusal;
    if (!originAllowed(client->origin().toLatin1())) {
      refusal = errorReply(kBadOrigin, "requests from web pages of other sites are refused");
    } else if (address.path() != "/ws") {
      refusal = errorReply(kNotFound, "no such address: " + address.path().left(200) +
                                          "; the WebSocket address is /ws?token=<token>");
    } else if (!QUrlQuery(address).hasQueryItem("token")) {
      refusal = errorReply(kUnauthorized, "no token: connect to /ws?token=<token>");
    } else if (!tokenMatches(QUrlQuery(address).queryItemValue("token").toUtf8(), token)) {
      refusal = errorReply(kUnauthorized, "wrong token");
    }
    if (!refusal.isEmpty()) {
      client->sendTextMessage(
          QString::fromUtf8(QJsonDocument(refusal).toJson(QJsonDocument::Compact)));
      client->close(QWebSocketProtocol::CloseCodePolicyViolated, errorMessage(refusal));
      continue;
    }
    connect(client, &QWebSocket::textMessageReceived, this,
            [this, client](const QString& message) { receive(client, message.toUtf8()); });
    connect(client, &QWebSocket::binaryMessageReceived, this,
            [this, client](const QByteArray& message) { receive(client, message); });
    clients.append(client);
    QJsonObject snapshot = handler.snapshot();
    send(client, snapshot);
  }
}

void RemoteApi::receive(QWebSocket* client, const QByteArray& message) {
  QJsonObject reply;
  if (auto request = parseRequest(message, &reply)) {
    reply = handler.handle(*request, RequestHandler::Surface::Network);
  }
  send(client, reply);
}

void RemoteApi::send(QWebSocket* client, const QJsonObject& message) {
  if (client->bytesToWrite() > kMaxPendingBytes) {
    // A client that reads nothing would have the board keep its messages forever.
    clients.removeOne(client);
    client->abort();
    return;
  }
  client->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

void RemoteApi::broadcast(const QJsonObject& message) {
  for (QWebSocket* client : QList<QWebSocket*>(clients)) send(client, message);
}
