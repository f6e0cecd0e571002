// NotificationCenter: named notifications without payload (the editor posts
// "refreshBtnMusic" after a save and the board reloads). Delivery is synchronous, on the
// posting thread, to every observer of the name in the order they registered.
//
// An observer is a QObject; its registrations end by themselves when it is destroyed,
// so no callback ever runs on a dead observer. The default centre lives until the
// process ends.
//
// Thread-safety: registering, removing and posting may happen on any thread. Callbacks
// run without the centre's lock held, so a callback may post, register or remove; an
// observer removed while a posting is under way is not called after its removal.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NotificationCenter {
 public:
  static NotificationCenter& defaultCenter();

  NotificationCenter() = default;
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers `callback` for `name`. Registering the same observer twice for a name
  // gives two deliveries, as two registrations do.
  void addObserver(QObject* observer, const std::string& name, std::function<void()> callback);
  // Ends every registration of `observer`.
  void removeObserver(QObject* observer);
  // Calls every observer registered for `name`, in registration order.
  void postNotificationName(const std::string& name);

 private:
  struct Registration;
  std::mutex _mutex;
  std::vector<std::shared_ptr<Registration>> _registrations;
};
