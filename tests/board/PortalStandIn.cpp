// A stand-in for the desktop's GlobalShortcuts portal, for tests: it owns the portal's
// name on the (private) session bus it is started on and answers CreateSession and
// BindShortcuts as the published interface says, through Response signals on request
// objects. A test drives it over its own interface "app.cueboard.PortalStandIn":
// Activate(id) sends Activated for the last bound session, Bindings() lists what was
// bound there as "id=trigger", Sessions() counts the sessions created.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTimer>
#include <cstdio>

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortal = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

struct Shortcut {
  QString id;
  QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
  argument.beginStructure();
  argument << shortcut.id << shortcut.properties;
  argument.endStructure();
  return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
  argument.beginStructure();
  argument >> shortcut.id >> shortcut.properties;
  argument.endStructure();
  return argument;
}

}  // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

class StandIn : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return QString(); }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    QDBusConnection bus(connection);
    const QString member = message.member();
    const QList<QVariant> args = message.arguments();
    QString sender = message.service().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));

    if (message.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
        member == "Get" && args.value(0).toString() == kPortal &&
        args.value(1).toString() == "version") {
      bus.send(message.createReply(QVariant::fromValue(QDBusVariant(uint(1)))));
      return true;
    }
    if (message.interface() == kPortal && member == "CreateSession") {
      const QVariantMap options = qdbus_cast<QVariantMap>(args.value(0));
      const QString session =
          kPath + "/session/" + sender + "/" + options.value("session_handle_token").toString();
      ++sessions;
      respond(bus, message, sender, options.value("handle_token").toString(),
              {{"session_handle", session}});
      return true;
    }
    if (message.interface() == kPortal && member == "BindShortcuts") {
      boundSession = qdbus_cast<QDBusObjectPath>(args.value(0)).path();
      const QList<Shortcut> shortcuts = qdbus_cast<QList<Shortcut>>(args.value(1));
      const QVariantMap options = qdbus_cast<QVariantMap>(args.value(3));
      bindings.clear();
      for (const auto& shortcut : shortcuts)
        bindings << shortcut.id + "=" + shortcut.properties.value("preferred_trigger").toString();
      respond(bus, message, sender, options.value("handle_token").toString(),
              {{"shortcuts", QVariant::fromValue(shortcuts)}});
      return true;
    }
    if (message.interface() == QLatin1String("app.cueboard.PortalStandIn") &&
        member == "Activate") {
      QDBusMessage activated = QDBusMessage::createSignal(kPath, kPortal, "Activated");
      activated << QVariant::fromValue(QDBusObjectPath(boundSession)) << args.value(0).toString()
                << qulonglong(0) << QVariantMap();
      bus.send(activated);
      bus.send(message.createReply());
      return true;
    }
    if (message.interface() == QLatin1String("app.cueboard.PortalStandIn") &&
        member == "Bindings") {
      bus.send(message.createReply(bindings));
      return true;
    }
    if (message.interface() == QLatin1String("app.cueboard.PortalStandIn") &&
        member == "Sessions") {
      bus.send(message.createReply(sessions));
      return true;
    }
    return false;
  }

 private:
  // Replies with the request's path, then answers on it, as the portal does.
  static void respond(QDBusConnection& bus, const QDBusMessage& message, const QString& sender,
                      const QString& token, const QVariantMap& results) {
    const QString request = kPath + "/request/" + sender + "/" + token;
    bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
    QDBusMessage response =
        QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
    response << uint(0) << results;
    bus.send(response);
  }

  QString boundSession;
  QStringList bindings;
  int sessions = 0;
};

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<Shortcut>();
  qDBusRegisterMetaType<QList<Shortcut>>();
  QDBusConnection bus = QDBusConnection::sessionBus();
  StandIn standIn;
  if (!bus.registerVirtualObject(kPath, &standIn, QDBusConnection::SubPath) ||
      !bus.registerService("org.freedesktop.portal.Desktop")) {
    std::fprintf(stderr, "PortalStandIn: cannot take the portal's name\n");
    return 1;
  }
  return app.exec();
}
