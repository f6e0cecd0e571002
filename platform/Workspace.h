// Workspace: hands web addresses to the default browser and folders to the file
// browser, through QDesktopServices. Needs a QGuiApplication.
//
// The shared workspace lives until the process ends.
// Thread-safety: main (GUI) thread only, like QDesktopServices.
#pragma once

#include <QUrl>

class Workspace {
 public:
  static Workspace& sharedWorkspace();
  // True when a handler accepted the address; an invalid address is refused.
  bool openURL(const QUrl& url);

 private:
  Workspace() = default;
};
