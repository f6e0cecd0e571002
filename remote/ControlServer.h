#pragma once
// ControlServer: makes the board a single instance and lets the program's own command
// line drive it. The running board holds a lock on "control.lock" and listens on the
// local socket "control.sock", both in $XDG_RUNTIME_DIR/cueboard (a folder only the
// user can enter, mode 0700). A second launch finds the lock taken and talks to the
// socket instead of opening a second board; a board that was killed leaves its
// socket file behind but not its lock, so the next launch knows the socket is stale
// and replaces it. Two launches at the same moment race for the lock: one wins.
//
// On the socket each side sends one JSON object per line (see RemoteProtocol.h); each
// request gets one reply line, in order, and a connection may carry many requests.
//
// Ownership: one per program, made by main() before the board; the lock is held until
// it is destroyed (or the process ends, whichever comes first).
// Thread-safety: main thread only.

#include <QObject>
#include <QString>

#include "remote/ControlPaths.h"

class QLocalServer;
class QLocalSocket;
class RequestHandler;

class ControlServer : public QObject {
  Q_OBJECT

 public:
  // Where the board is found (ControlPaths.h).
  static QString folderPath() { return ControlPaths::folderPath(); }
  static QString socketPath() { return ControlPaths::socketPath(); }
  static QString lockPath() { return ControlPaths::lockPath(); }
  static bool boardIsRunning() { return ControlPaths::boardIsRunning(); }

  enum class Claim { Primary, AlreadyRunning, Failed };

  explicit ControlServer(QObject* parent = nullptr);
  ~ControlServer() override;

  // Takes the single-instance lock, making the folder when needed. Primary: this
  // process is the board; AlreadyRunning: another process holds it; Failed: the folder
  // or lock could not be made (why says so).
  Claim claim(QString* why);
  // Replaces a stale socket and listens; after claim() gave Primary. Requests are
  // handed to `handler`, which must outlive the server.
  bool listen(RequestHandler* handler, QString* why);
  // Stops listening, removes the socket and gives the lock up.
  void close();

  bool isListening() const;

 private:
  void serve(QLocalSocket* socket);
  void readRequests(QLocalSocket* socket);

  int lockFd = -1;
  QLocalServer* server = nullptr;
  RequestHandler* handler = nullptr;
};
