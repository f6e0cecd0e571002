#include "remote/RemoteControl.h"

#include <sys/stat.h>

#include <QFile>
#include <QRandomGenerator>

#include "platform/UserDefaults.h"
#include "remote/RemoteApi.h"

namespace {

const std::string kEnabledKey = "remoteControl";
const std::string kPortKey = "remotePort";
const std::string kTokenKey = "remoteToken";

// The settings file holds the token: only the user may read it.
void makeSettingsPrivate() {
  const std::string path = UserDefaults::standardUserDefaults().filePath();
  ::chmod(path.c_str(), 0600);
}

}  // namespace

RemoteControl::RemoteControl(RequestHandler& handler, QObject* parent)
    : QObject(parent), handler(handler) {}

RemoteControl::~RemoteControl() = default;

bool RemoteControl::isEnabled() const {
  return UserDefaults::standardUserDefaults().integerForKey(kEnabledKey) == 1;
}

void RemoteControl::setEnabled(bool on) {
  if (on) ensureToken();
  UserDefaults::standardUserDefaults().setIntegerForKey(on ? 1 : 0, kEnabledKey);
  apply();
}

quint16 RemoteControl::port() const {
  const long stored = UserDefaults::standardUserDefaults().integerForKey(kPortKey);
  return stored > 0 && stored <= 65535 ? static_cast<quint16>(stored) : kDefaultPort;
}

QString RemoteControl::token() const {
  return QString::fromStdString(
      UserDefaults::standardUserDefaults().stringForKey(kTokenKey).value_or(""));
}

QString RemoteControl::url() const { return QString("http://127.0.0.1:%1").arg(port()); }

QString RemoteControl::ensureToken() {
  QString current = token();
  if (current.size() < 32) {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    current.clear();
    for (quint32 word : words) current += QString("%1").arg(word, 8, 16, QChar('0'));
    UserDefaults::standardUserDefaults().setObjectForKey(current, kTokenKey);
  }
  makeSettingsPrivate();
  return current;
}

void RemoteControl::apply() {
  const bool on = isEnabled();
  const QString wanted = on ? ensureToken() : QString();
  const bool listening = server != nullptr;
  // Already listening as asked: nothing to do.
  if (on && listening && server->port() == port() && why.isEmpty()) return;
  server.reset();
  why.clear();
  if (on) {
    auto api = std::make_unique<RemoteApi>(handler, wanted.toUtf8());
    QString problemText;
    if (api->start(port(), &problemText)) {
      server = std::move(api);
    } else {
      why = problemText;
    }
  }
  if (on || listening) emit stateChanged();
}
