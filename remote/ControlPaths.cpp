#include "remote/ControlPaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

QString ControlPaths::folderPath() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.startsWith('/')) return QFile::decodeName(runtime) + "/cueboard";
  return QDir::tempPath() + "/cueboard-" + QString::number(::getuid());
}

QString ControlPaths::socketPath() { return folderPath() + "/control.sock"; }

QString ControlPaths::lockPath() { return folderPath() + "/control.lock"; }

bool ControlPaths::boardIsRunning() {
  const int fd = ::open(QFile::encodeName(lockPath()).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  ::close(fd);
  return held;
}
