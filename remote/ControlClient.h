#pragma once
// ControlClient: the command line's side of the control socket. Sends one request to
// the running board and waits for its reply.
//
// Blocks the calling thread until the reply or the deadline; needs no event loop.
// Thread-safety: one call at a time per thread; calls share nothing.

#include <QJsonObject>
#include <QString>

struct ControlReply {
  enum class Status {
    Answered,    // `reply` holds the board's reply (which may be an error)
    NotRunning,  // no board holds the lock
    Failed,      // a board runs but did not answer in time; `why` says what happened
  };
  Status status = Status::Failed;
  QJsonObject reply;
  QString why;
};

// Sends `request` to the board on the control socket. A board that is still starting
// (it holds the lock but does not listen yet) is waited for, up to `timeoutMs`.
ControlReply sendControlRequest(const QJsonObject& request, int timeoutMs = 5000);
