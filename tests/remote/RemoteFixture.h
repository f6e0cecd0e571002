#pragma once
// A running board for the remote-control tests: the scratch world of the board tests
// (own XDG folders, settings, library and sound folder) plus its own runtime folder for
// the control socket, a small library, SDL's dummy audio device, the board model and
// the request handler every surface shares.
//
// Library: category 1 holds button 1 "十秒" (a 10-second tone), button 2 "缺文件" (its
// file is missing) and button 3 "另一个" (another 10-second tone); category 2 holds
// button 17 "掌声" with the hotkey "Q". Every other button is empty.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <memory>

#include "../board/BoardFixture.h"
#include "board/Board.h"
#include "platform/AudioDevice.h"
#include "remote/RequestHandler.h"

inline QString audioFixture(const char* name) {
  return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name;
}

// A port nobody listens on now.
inline quint16 freePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// The addresses listening on `port`, from the kernel's own table ("0100007F" is
// 127.0.0.1), IPv4 and IPv6.
inline QStringList listeningAddresses(quint16 port) {
  QStringList found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    QFile file(table);
    if (!file.open(QIODevice::ReadOnly)) continue;
    file.readLine();
    while (!file.atEnd()) {
      const QStringList fields = QString::fromLatin1(file.readLine()).simplified().split(' ');
      if (fields.size() < 4 || fields[3] != "0A") continue;  // LISTEN
      const QStringList local = fields[1].split(':');
      if (local.size() == 2 && local[1].toUInt(nullptr, 16) == port) found << local[0];
    }
  }
  return found;
}

class RemoteFixture : public BoardFixture {
 public:
  RemoteFixture() {
    QDir().mkpath(path("run"));
    QFile::setPermissions(path("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", path("run").toUtf8());
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    QFile::copy(audioFixture("sine440-10s.mp3"), sounds + "十秒.mp3");
    QFile::copy(audioFixture("sine880-10s.mp3"), sounds + "掌声.mp3");
    QFile::copy(audioFixture("sine440-10s.mp3"), sounds + "另一个.mp3");
    writeLibrary({{"B1", categoryId(1), 1, "十秒", "十秒.mp3", ""},
                  {"B2", categoryId(1), 2, "缺文件", "不存在.mp3", ""},
                  {"B3", categoryId(1), 3, "另一个", "另一个.mp3", ""},
                  {"B17", categoryId(2), 17, "掌声", "掌声.mp3", "Q"}});
    std::string error;
    if (!AudioDevice::isOpen() && !AudioDevice::open(&error))
      qWarning("no audio: %s", error.c_str());
    board = std::make_unique<Board>(dbHelper().db());
    handler = std::make_unique<RequestHandler>(*board);
  }
  ~RemoteFixture() {
    handler.reset();
    if (board) board->stop();
    board.reset();
  }

  // The environment for a cueboard process of this world.
  QProcessEnvironment environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("XDG_DATA_HOME", path("data"));
    env.insert("XDG_RUNTIME_DIR", path("run"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("SDL_AUDIODRIVER", "dummy");
    return env;
  }

  std::unique_ptr<Board> board;
  std::unique_ptr<RequestHandler> handler;
};
