#pragma once
// RequestHandler: carries out one remote request on the board model. The control
// socket (and so the command line) and the HTTP and WebSocket API all hand their
// requests here, so every surface acts on the board the same way and gets the same
// replies. It also turns the board's signals into the events the WebSocket clients are
// sent, and writes the state snapshot they get on connecting.
//
// Ownership: made by the program next to its board, which must outlive it.
// Thread-safety: main thread only, as the board.

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>

class Board;

class RequestHandler : public QObject {
  Q_OBJECT

 public:
  // Which requests a surface may make: "activate" (raise the window) is for the
  // control socket, which only the user's own processes reach.
  enum class Surface { ControlSocket, Network };

  explicit RequestHandler(Board& board, QObject* parent = nullptr);

  // The reply to one request; its "id", if any, is repeated in the reply.
  QJsonObject handle(const QJsonObject& request, Surface surface);

  // What the board is in: category shown, what plays, volume, loop and hotkey mode.
  QJsonObject status() const;
  // The buttons of category 1-5 (0: the one shown) that hold a sound.
  QJsonArray sounds(int category) const;
  // The first message a WebSocket client gets: the status and the shown category's sounds.
  QJsonObject snapshot() const;

 signals:
  // A second launch of the program asked for the window.
  void activateRequested();
  // An event for the WebSocket clients: {"event": name, ...}.
  void event(const QJsonObject& message);

 private:
  Board& board;
};
