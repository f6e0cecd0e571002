#include "platform/Workspace.h"

#include <QDesktopServices>

Workspace& Workspace::sharedWorkspace() {
  static Workspace* workspace = new Workspace();
  return *workspace;
}

bool Workspace::openURL(const QUrl& url) {
  if (!url.isValid() || url.isEmpty()) {
    return false;
  }
  return QDesktopServices::openUrl(url);
}
