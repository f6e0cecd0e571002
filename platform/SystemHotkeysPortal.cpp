// System-wide keys through the desktop's GlobalShortcuts portal (Wayland desktops
// such as KDE Plasma): a portal session holds the shortcuts; every change of keys
// closes it and binds the new set in a fresh one, since a session binds only once.
// Each shortcut's id is the key's name, so an activation names the key.

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QUuid>
#include <QVariantMap>
#include <algorithm>
#include <functional>
#include <map>

#include "platform/SystemHotkeysBackend.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString kSessionInterface = QStringLiteral("org.freedesktop.portal.Session");

struct PortalShortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

}  // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace {

// The trigger in the portal's notation: "CTRL+ALT+a", "LOGO+KP_1", "space".
QString triggerFor(const QString& name, SystemHotkeys::Modifiers modifiers) {
  QString key = name;
  if (name == QLatin1String("Space")) {
    key = QStringLiteral("space");
  } else if (name.startsWith(QLatin1String("Num "))) {
    key = QStringLiteral("KP_") + name.mid(4);
  } else {
    key = name.toLower();
  }
  QStringList parts;
  if (modifiers & SystemHotkeys::Control) parts << QStringLiteral("CTRL");
  if (modifiers & SystemHotkeys::Alt) parts << QStringLiteral("ALT");
  if (modifiers & SystemHotkeys::Shift) parts << QStringLiteral("SHIFT");
  if (modifiers & SystemHotkeys::Super) parts << QStringLiteral("LOGO");
  parts << key;
  return parts.join(QLatin1Char('+'));
}

// Names for request and session objects: letters, digits and "_" only.
QString newToken() {
  return QStringLiteral("cueboard_") + QUuid::createUuid().toString(QUuid::Id128);
}

class PortalHotkeys final : public QObject, public SystemHotkeys::Backend {
  Q_OBJECT

 public:
  explicit PortalHotkeys(SystemHotkeys& owner) : owner(owner), bus(QDBusConnection::sessionBus()) {
    bus.connect(kService, kPath, kInterface, QStringLiteral("Activated"), this,
                SLOT(onActivated(QDBusMessage)));
  }

  ~PortalHotkeys() override { release(); }

  void grab(const std::vector<SystemHotkeys::Key>& keys,
            SystemHotkeys::Modifiers modifiers) override {
    release();
    wanted.clear();
    for (const auto& key : keys) {
      wanted.push_back({key.name,
                        {{QStringLiteral("description"), QStringLiteral("Cueboard: ") + key.name},
                         {QStringLiteral("preferred_trigger"), triggerFor(key.name, modifiers)}}});
    }
    if (wanted.empty()) return;
    const QString sessionToken = newToken();
    call(QStringLiteral("CreateSession"),
         {QVariantMap{{QStringLiteral("session_handle_token"), sessionToken}}},
         [this](const QVariantMap& results) {
           sessionPath = results.value(QStringLiteral("session_handle")).toString();
           if (sessionPath.isEmpty()) return;
           call(QStringLiteral("BindShortcuts"),
                {QVariant::fromValue(QDBusObjectPath(sessionPath)), QVariant::fromValue(wanted),
                 QString(), QVariantMap()},
                [this](const QVariantMap& bound) { takeBound(bound); });
         });
  }

  void release() override {
    if (!sessionPath.isEmpty()) {
      bus.call(QDBusMessage::createMethodCall(kService, sessionPath, kSessionInterface,
                                              QStringLiteral("Close")),
               QDBus::NoBlock);
    }
    sessionPath.clear();
    refused.clear();
    // Answers to requests of an earlier grab no longer apply.
    ++generation;
  }

  QStringList refusedKeys() const override { return refused; }

 private slots:
  // Activated(o session_handle, s shortcut_id, t timestamp, a{sv} options)
  void onActivated(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (sessionPath.isEmpty() || arguments.size() < 2) return;
    if (qdbus_cast<QDBusObjectPath>(arguments.at(0)).path() != sessionPath) return;
    emit owner.pressed(arguments.at(1).toString());
  }

  void onResponse(uint response, const QVariantMap& results, const QDBusMessage& message) {
    const QString path = message.path();
    auto waiting = pending.find(path);
    if (waiting == pending.end()) return;
    auto [requestGeneration, then] = std::move(waiting->second);
    pending.erase(waiting);
    bus.disconnect(kService, path, kRequestInterface, QStringLiteral("Response"), this,
                   SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
    // 0 is success; 1 the user cancelled, 2 another failure.
    if (requestGeneration != generation) return;
    if (response != 0) {
      refused.clear();
      for (const auto& shortcut : wanted) refused << shortcut.id;
      emit owner.refusedKeysChanged();
      return;
    }
    then(results);
  }

 private:
  // Runs a portal method that answers through a Request object's Response signal.
  // The request's path is known in advance from our unique name and the token, so
  // the answer is listened for before the call goes out.
  void call(const QString& method, QVariantList arguments,
            std::function<void(const QVariantMap&)> then) {
    const QString token = newToken();
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString requestPath =
        kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    pending[requestPath] = {generation, std::move(then)};
    bus.connect(kService, requestPath, kRequestInterface, QStringLiteral("Response"), this,
                SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
    // The options are always the last argument; the token goes in there.
    QVariantMap options = arguments.last().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.last() = options;
    QDBusMessage request = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    request.setArguments(arguments);
    bus.callWithCallback(request, this, nullptr, SLOT(onCallFailed(QDBusError)));
  }

  void takeBound(const QVariantMap& results) {
    refused.clear();
    const QVariant value = results.value(QStringLiteral("shortcuts"));
    if (value.isValid()) {
      QList<PortalShortcut> bound;
      value.value<QDBusArgument>() >> bound;
      for (const auto& shortcut : wanted) {
        const bool kept = std::any_of(bound.begin(), bound.end(),
                                      [&](const PortalShortcut& b) { return b.id == shortcut.id; });
        if (!kept) refused << shortcut.id;
      }
    }
    emit owner.refusedKeysChanged();
  }

 private slots:
  void onCallFailed(const QDBusError&) {
    refused.clear();
    for (const auto& shortcut : wanted) refused << shortcut.id;
    emit owner.refusedKeysChanged();
  }

 private:
  SystemHotkeys& owner;
  QDBusConnection bus;
  QList<PortalShortcut> wanted;
  QString sessionPath;
  QStringList refused;
  unsigned generation = 0;
  std::map<QString, std::pair<unsigned, std::function<void(const QVariantMap&)>>> pending;
};

}  // namespace

std::unique_ptr<SystemHotkeys::Backend> makePortalHotkeysBackend(SystemHotkeys& owner) {
  static const bool registered = [] {
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    return true;
  }();
  (void)registered;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return nullptr;
  QDBusMessage probe = QDBusMessage::createMethodCall(
      kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  probe.setArguments({kInterface, QStringLiteral("version")});
  const QDBusMessage answer = bus.call(probe, QDBus::Block, 5000);
  if (answer.type() != QDBusMessage::ReplyMessage) return nullptr;
  return std::make_unique<PortalHotkeys>(owner);
}

#include "SystemHotkeysPortal.moc"
