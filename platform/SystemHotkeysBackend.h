// The ways SystemHotkeys takes keys from the desktop: one backend per desktop
// service. Private to SystemHotkeys; a backend reports presses through its owner's
// signals.
//
// Thread-safety: main thread only.
#pragma once

#include "platform/SystemHotkeys.h"

struct xcb_connection_t;

class SystemHotkeys::Backend {
 public:
  virtual ~Backend() = default;
  virtual void grab(const std::vector<Key>& keys, Modifiers modifiers) = 0;
  virtual void release() = 0;
  virtual QStringList refusedKeys() const = 0;
};

// Grabs on the root windows of this X connection.
std::unique_ptr<SystemHotkeys::Backend> makeX11HotkeysBackend(SystemHotkeys& owner,
                                                              xcb_connection_t* connection);
// The GlobalShortcuts portal on the session bus; nullptr when the bus has none.
std::unique_ptr<SystemHotkeys::Backend> makePortalHotkeysBackend(SystemHotkeys& owner);
