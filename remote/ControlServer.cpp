#include "remote/ControlServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>

#include "remote/RemoteProtocol.h"
#include "remote/RequestHandler.h"

namespace {

// A reply nobody reads must not grow without end: past this much unsent, the client
// is cut off.
constexpr qint64 kMaxUnsentBytes = 1024 * 1024;

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The folder must be ours and closed to everybody else, or another user could stand
// in for the board.
bool makePrivateFolder(const QString& path, QString* why) {
  const QByteArray native = QFile::encodeName(path);
  if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
    *why = "cannot make " + path + ": " + errnoText();
    return false;
  }
  struct stat info = {};
  if (::lstat(native.constData(), &info) != 0) {
    *why = "cannot read " + path + ": " + errnoText();
    return false;
  }
  if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
    *why = path + " is not a folder of this user's";
    return false;
  }
  if ((info.st_mode & 0777) != 0700 && ::chmod(native.constData(), 0700) != 0) {
    *why = "cannot make " + path + " private: " + errnoText();
    return false;
  }
  return true;
}

}  // namespace

ControlServer::ControlServer(QObject* parent) : QObject(parent) {}

ControlServer::~ControlServer() { close(); }

ControlServer::Claim ControlServer::claim(QString* why) {
  if (lockFd >= 0) return Claim::Primary;
  if (!makePrivateFolder(folderPath(), why)) return Claim::Failed;
  const int fd =
      ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = "cannot open " + lockPath() + ": " + errnoText();
    return Claim::Failed;
  }
  // An open-file lock: it goes with this descriptor, so the kernel drops it when the
  // process ends however it ends, and no other descriptor's close can drop it early.
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    const bool taken = errno == EAGAIN || errno == EACCES;
    if (!taken) *why = "cannot lock " + lockPath() + ": " + errnoText();
    ::close(fd);
    return taken ? Claim::AlreadyRunning : Claim::Failed;
  }
  lockFd = fd;
  return Claim::Primary;
}

bool ControlServer::listen(RequestHandler* requestHandler, QString* why) {
  if (lockFd < 0) {
    *why = "the board's lock is not held";
    return false;
  }
  handler = requestHandler;
  if (server == nullptr) {
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server, &QLocalServer::newConnection, this, [this] {
      while (QLocalSocket* socket = server->nextPendingConnection()) serve(socket);
    });
  }
  if (server->isListening()) return true;
  // Holding the lock, any socket file left here is a dead board's.
  QLocalServer::removeServer(socketPath());
  if (!server->listen(socketPath())) {
    *why = "cannot listen on " + socketPath() + ": " + server->errorString();
    return false;
  }
  return true;
}

void ControlServer::close() {
  if (server != nullptr && server->isListening()) server->close();  // removes the socket file
  if (lockFd >= 0) ::close(lockFd);
  lockFd = -1;
}

bool ControlServer::isListening() const { return server != nullptr && server->isListening(); }

void ControlServer::serve(QLocalSocket* socket) {
  connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequests(socket); });
  if (socket->bytesAvailable() > 0) readRequests(socket);
}

void ControlServer::readRequests(QLocalSocket* socket) {
  while (socket->state() == QLocalSocket::ConnectedState) {
    if (!socket->canReadLine()) {
      if (socket->bytesAvailable() <= remote::kMaxRequestBytes) return;
    }
    const QByteArray line = socket->readLine(remote::kMaxRequestBytes + 2);
    if (!line.endsWith('\n')) {
      // Nothing more is read from a client that sends a line this long.
      socket->write(remote::toLine(remote::errorReply(
          remote::kTooLarge,
          QString("a request line is over the limit of %1 bytes").arg(remote::kMaxRequestBytes))));
      socket->disconnectFromServer();
      return;
    }
    if (line.trimmed().isEmpty()) continue;
    QJsonObject reply;
    if (const auto request = remote::parseRequest(line, &reply)) {
      reply = handler->handle(*request, RequestHandler::Surface::ControlSocket);
    }
    socket->write(remote::toLine(reply));
    if (socket->bytesToWrite() > kMaxUnsentBytes) {
      socket->abort();
      return;
    }
  }
}
