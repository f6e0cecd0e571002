#include "platform/NotificationCenter.h"

#include <QMetaObject>
#include <QPointer>

#include <atomic>

struct NotificationCenter::Registration {
  QObject* observer = nullptr;  // identity only; `alive` tells whether it still exists
  QPointer<QObject> alive;
  std::string name;
  std::function<void()> callback;
  QMetaObject::Connection onDestroyed;
  std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may be destroyed during static destruction and would
  // then reach a dead centre.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

NotificationCenter::~NotificationCenter() {
  std::lock_guard lock(_mutex);
  for (const auto& registration : _registrations) {
    QObject::disconnect(registration->onDestroyed);
  }
}

void NotificationCenter::addObserver(QObject* observer, const std::string& name, std::function<void()> callback) {
  if (observer == nullptr || !callback) {
    return;
  }
  auto registration = std::make_shared<Registration>();
  registration->observer = observer;
  registration->alive = observer;
  registration->name = name;
  registration->callback = std::move(callback);
  // Direct connection: destroyed() is emitted on the observer's own thread while it is
  // being torn down, and the registration must be gone before the memory is.
  registration->onDestroyed = QObject::connect(
      observer, &QObject::destroyed, observer, [this, observer] { removeObserver(observer); },
      Qt::DirectConnection);
  std::lock_guard lock(_mutex);
  _registrations.push_back(std::move(registration));
}

void NotificationCenter::removeObserver(QObject* observer) {
  std::vector<std::shared_ptr<Registration>> removed;
  {
    std::lock_guard lock(_mutex);
    auto kept = _registrations.begin();
    for (auto& registration : _registrations) {
      if (registration->observer == observer) {
        registration->active = false;
        removed.push_back(std::move(registration));
      } else {
        *kept++ = std::move(registration);
      }
    }
    _registrations.erase(kept, _registrations.end());
  }
  for (const auto& registration : removed) {
    QObject::disconnect(registration->onDestroyed);
  }
}

void NotificationCenter::postNotificationName(const std::string& name) {
  std::vector<std::shared_ptr<Registration>> recipients;
  {
    std::lock_guard lock(_mutex);
    for (const auto& registration : _registrations) {
      if (registration->name == name) {
        recipients.push_back(registration);
      }
    }
  }
  for (const auto& registration : recipients) {
    if (registration->active && !registration->alive.isNull()) {
      registration->callback();
    }
  }
}
