#include "remote/ControlClient.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocalSocket>
#include <QThread>
#include <algorithm>

#include "remote/ControlPaths.h"
#include "remote/RemoteProtocol.h"

ControlReply sendControlRequest(const QJsonObject& request, int timeoutMs) {
  ControlReply result;
  QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  for (;;) {
    socket.connectToServer(ControlPaths::socketPath());
    if (socket.waitForConnected(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0))))
      break;
    // The socket may be a dead board's, or the board may not have got to listening yet:
    // only the lock tells which.
    if (!ControlPaths::boardIsRunning()) {
      result.status = ControlReply::Status::NotRunning;
      return result;
    }
    if (deadline.hasExpired()) {
      result.why = "the board does not answer on " + ControlPaths::socketPath() + ": " +
                   socket.errorString();
      return result;
    }
    QThread::msleep(10);
  }
  socket.write(remote::toLine(request));
  while (!socket.canReadLine()) {
    const int left = static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0));
    if (deadline.hasExpired() || !socket.waitForReadyRead(left)) {
      result.why = socket.state() == QLocalSocket::ConnectedState
                       ? QString("the board did not answer in time")
                       : "the board closed the connection: " + socket.errorString();
      return result;
    }
  }
  QJsonParseError error;
  const QJsonDocument reply = QJsonDocument::fromJson(socket.readLine(), &error);
  if (!reply.isObject()) {
    result.why = "the board's reply was not understood: " + error.errorString();
    return result;
  }
  result.status = ControlReply::Status::Answered;
  result.reply = reply.object();
  return result;
}
