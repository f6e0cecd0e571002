#pragma once
// RemoteApi: the board's HTTP and WebSocket API for Stream Deck/Companion buttons,
// phones and scripts on this computer. It listens on 127.0.0.1 only, and every
// request must carry the board's token: HTTP in "Authorization: Bearer <token>", a
// WebSocket in its address (/ws?token=...), since generic WebSocket clients cannot
// send headers. A request from a web page of another site (an Origin header other than
// http://localhost or http://127.0.0.1, any port) is refused, so that a page in the
// host's browser cannot drive the board.
//
//   POST /api/v1/play|stop|category|volume   body: {"category": 2, "button": 17}, ...
//   GET  /api/v1/status, /api/v1/sounds[?category=C]
//   /ws?token=...   requests {"id": 1, "op": "play", ...} answered {"id": 1, "ok": true}
//                   or {"id": 1, "ok": false, "error": {"code", "message"}}; events
//                   {"event": "playbackStarted", ...} pushed, a snapshot first.
//
// Limits: a request or message over 64 KiB is refused; a connection that has sent
// over 1 MiB without an answer, or that leaves over 1 MiB of answers unread, is cut.
//
// Ownership: made and destroyed by RemoteControl as the settings turn it on and off;
// the request handler must outlive it.
// Thread-safety: main thread only.

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

class QWebSocket;
class RequestHandler;
class QJsonObject;

class RemoteApi : public QAbstractHttpServer {
  Q_OBJECT

 public:
  RemoteApi(RequestHandler& handler, QByteArray token, QObject* parent = nullptr);
  ~RemoteApi() override;

  // Listens on 127.0.0.1:`port` (0: any free port); false with the reason when it cannot.
  bool start(quint16 port, QString* why);
  QHostAddress address() const;
  quint16 port() const;
  int webSocketClientCount() const { return static_cast<int>(clients.size()); }

  // Whether an Origin header's value may drive the board ("" is no header).
  static bool originAllowed(const QByteArray& origin);
  // Compares without leaking through timing how much of the token matched.
  static bool tokenMatches(const QByteArray& given, const QByteArray& token);

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  void acceptWebSockets();
  void receive(QWebSocket* client, const QByteArray& message);
  void send(QWebSocket* client, const QJsonObject& message);
  void broadcast(const QJsonObject& message);

  RequestHandler& handler;
  const QByteArray token;
  QList<QWebSocket*> clients;
};
