#include "platform/SystemHotkeys.h"

#include <QGuiApplication>

#include "platform/SystemHotkeysBackend.h"

SystemHotkeys::SystemHotkeys(QObject* parent) : QObject(parent) {
  // Other platforms than xcb may offer the interface without a connection.
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (x11 && x11->connection()) {
    backend = makeX11HotkeysBackend(*this, x11->connection());
  } else {
    backend = makePortalHotkeysBackend(*this);
  }
  if (!backend) reason = noSystemHotkeysReason();
}

SystemHotkeys::~SystemHotkeys() = default;

QString SystemHotkeys::noSystemHotkeysReason() {
  return QStringLiteral(
      "系统范围的热键需要 X11 或桌面的 GlobalShortcuts 门户；也可在合成器里把按键绑定到 "
      "“cueboard play N”");
}

bool SystemHotkeys::isAvailable() const { return backend != nullptr; }

QString SystemHotkeys::unavailableReason() const { return reason; }

void SystemHotkeys::grab(const std::vector<Key>& keys, Modifiers modifiers) {
  if (backend) backend->grab(keys, modifiers);
}

void SystemHotkeys::release() {
  if (backend) backend->release();
}

QStringList SystemHotkeys::refusedKeys() const {
  return backend ? backend->refusedKeys() : QStringList();
}
