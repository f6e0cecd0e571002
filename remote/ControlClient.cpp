#include "remote/ControlClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "remote/ControlPaths.h"
#include "remote/RemoteProtocol.h"

// Plain POSIX sockets rather than QLocalSocket: the command line's client then needs
// no Qt Network, whose libraries (Kerberos, libproxy, ...) would take longer to load
// than the whole command takes to run.

namespace {

// The longest reply read: a category's list is a few kilobytes.
constexpr qsizetype kMaxReplyBytes = 16 * 1024 * 1024;

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

int remainingMs(const QDeadlineTimer& deadline) {
  return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, 60 * 60 * 1000));
}

// Waits until `fd` is ready for `events`; false when the deadline passed first.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline) {
  for (;;) {
    pollfd entry = {fd, events, 0};
    const int ready = ::poll(&entry, 1, remainingMs(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd(fd) {}
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

}  // namespace

ControlReply sendControlRequest(const QJsonObject& request, int timeoutMs) {
  ControlReply result;
  QDeadlineTimer deadline(timeoutMs);
  const QString path = ControlPaths::socketPath();
  const QByteArray nativePath = QFile::encodeName(path);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (nativePath.size() >= static_cast<qsizetype>(sizeof address.sun_path)) {
    result.why = "the control socket's path is too long: " + path;
    return result;
  }
  std::memcpy(address.sun_path, nativePath.constData(), static_cast<size_t>(nativePath.size()));

  std::unique_ptr<Descriptor> socket;
  for (;;) {
    socket = std::make_unique<Descriptor>(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket->get() < 0) {
      result.why = "cannot make a socket: " + errnoText(errno);
      return result;
    }
    if (::connect(socket->get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
      break;
    const int error = errno;
    // The socket may be a dead board's, or the board may not have got to listening yet:
    // only the lock tells which.
    if (!ControlPaths::boardIsRunning()) {
      result.status = ControlReply::Status::NotRunning;
      return result;
    }
    if (deadline.hasExpired()) {
      result.why = "the board does not answer on " + path + ": " + errnoText(error);
      return result;
    }
    QThread::msleep(10);
  }

  const QByteArray line = remote::toLine(request);
  for (qsizetype sent = 0; sent < line.size();) {
    const ssize_t wrote = ::send(socket->get(), line.constData() + sent,
                                 static_cast<size_t>(line.size() - sent), MSG_NOSIGNAL);
    if (wrote >= 0) {
      sent += wrote;
    } else if (errno == EAGAIN || errno == EINTR) {
      if (!waitFor(socket->get(), POLLOUT, deadline)) {
        result.why = "the board did not answer in time";
        return result;
      }
    } else {
      result.why = "the board closed the connection: " + errnoText(errno);
      return result;
    }
  }

  QByteArray reply;
  while (!reply.contains('\n')) {
    if (!waitFor(socket->get(), POLLIN, deadline)) {
      result.why = "the board did not answer in time";
      return result;
    }
    char chunk[4096];
    const ssize_t got = ::recv(socket->get(), chunk, sizeof chunk, 0);
    if (got > 0) {
      reply.append(chunk, got);
      if (reply.size() > kMaxReplyBytes) {
        result.why = "the board's reply is over the limit of 16 MiB";
        return result;
      }
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      result.why =
          "the board closed the connection" + (got == 0 ? QString() : ": " + errnoText(errno));
      return result;
    }
  }
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(reply.left(reply.indexOf('\n')), &error);
  if (!document.isObject()) {
    result.why = "the board's reply was not understood: " + error.errorString();
    return result;
  }
  result.status = ControlReply::Status::Answered;
  result.reply = document.object();
  return result;
}
