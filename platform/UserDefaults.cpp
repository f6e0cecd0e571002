#include "platform/UserDefaults.h"

#include "platform/Paths.h"

#include <QSettings>
#include <QString>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

QString toQString(const std::string& text) { return QString::fromStdString(text); }

// Numbers come back from an INI file as text; a value read from the file and one just
// written in this process must read the same.
std::optional<double> numberOf(const QVariant& value) {
  bool ok = false;
  double number = 0;
  if (value.typeId() == QMetaType::QString) {
    number = value.toString().trimmed().toDouble(&ok);
  } else if (value.typeId() == QMetaType::Bool) {
    return value.toBool() ? 1.0 : 0.0;
  } else {
    number = value.toDouble(&ok);
  }
  if (!ok || std::isnan(number)) {
    return std::nullopt;
  }
  return number;
}

bool isTextOrScalar(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::QByteArray:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Float:
    case QMetaType::Double:
      return true;
    default:
      return false;
  }
}

}  // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
  // Never destroyed: settings may still be touched from other static destructors.
  static UserDefaults* instance = new UserDefaults();
  return *instance;
}

void UserDefaults::resetStandardUserDefaultsForTesting() { standardUserDefaults().unbind(); }

std::string UserDefaults::defaultFilePath() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  // Relative values are invalid by the XDG rules and would depend on the working folder.
  if (configHome != nullptr && configHome[0] == '/') {
    base = configHome;
  } else {
    base = homeDirectory() + "/.config";
  }
  while (base.size() > 1 && base.back() == '/') {
    base.pop_back();
  }
  return base + "/cueboard/cueboard.conf";
}

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(std::string filePath) : _fixedPath(std::move(filePath)) {}

UserDefaults::~UserDefaults() = default;

void UserDefaults::unbind() {
  std::lock_guard lock(_mutex);
  if (_settings) {
    _settings->sync();
  }
  _settings.reset();
}

QSettings& UserDefaults::settingsLocked() const {
  if (!_settings) {
    const std::string path = _fixedPath ? *_fixedPath : defaultFilePath();
    _settings = std::make_unique<QSettings>(toQString(path), QSettings::IniFormat);
  }
  return *_settings;
}

std::string UserDefaults::filePath() const {
  std::lock_guard lock(_mutex);
  return settingsLocked().fileName().toStdString();
}

std::optional<QVariant> UserDefaults::valueLocked(const std::string& key) const {
  QSettings& settings = settingsLocked();
  const QString name = toQString(key);
  if (key.empty() || !settings.contains(name)) {
    return std::nullopt;
  }
  return settings.value(name);
}

float UserDefaults::floatForKey(const std::string& key) const {
  std::lock_guard lock(_mutex);
  const auto value = valueLocked(key);
  if (!value) {
    return 0;
  }
  const auto number = numberOf(*value);
  if (!number) {
    return 0;
  }
  // Beyond float's range the conversion would be undefined; infinity is what it means.
  if (std::fabs(*number) > std::numeric_limits<float>::max()) {
    return *number > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(*number);
}

long UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard lock(_mutex);
  const auto value = valueLocked(key);
  if (!value) {
    return 0;
  }
  if (value->typeId() == QMetaType::QString) {
    bool ok = false;
    const qlonglong whole = value->toString().trimmed().toLongLong(&ok);
    if (ok && whole >= std::numeric_limits<long>::min() && whole <= std::numeric_limits<long>::max()) {
      return static_cast<long>(whole);
    }
  }
  const auto number = numberOf(*value);
  if (!number) {
    return 0;
  }
  // A fractional value is cut toward zero; one out of range is held at the limit
  // rather than converted with undefined behaviour.
  const double truncated = std::trunc(*number);
  if (truncated <= static_cast<double>(std::numeric_limits<long>::min())) {
    return std::numeric_limits<long>::min();
  }
  if (truncated >= static_cast<double>(std::numeric_limits<long>::max())) {
    return std::numeric_limits<long>::max();
  }
  return static_cast<long>(truncated);
}

bool UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard lock(_mutex);
  const auto value = valueLocked(key);
  if (!value) {
    return false;
  }
  if (value->typeId() == QMetaType::QString) {
    const QString text = value->toString().trimmed().toLower();
    if (text == QLatin1String("true")) {
      return true;
    }
  }
  const auto number = numberOf(*value);
  return number && *number != 0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard lock(_mutex);
  const auto value = valueLocked(key);
  if (!value || !isTextOrScalar(*value)) {
    return std::nullopt;
  }
  return value->toString().toStdString();
}

std::optional<QVariant> UserDefaults::objectForKey(const std::string& key) const {
  std::lock_guard lock(_mutex);
  return valueLocked(key);
}

void UserDefaults::setObjectForKey(const QVariant& value, const std::string& key) {
  std::lock_guard lock(_mutex);
  if (key.empty()) {
    return;  // QSettings has no such key
  }
  QSettings& settings = settingsLocked();
  settings.setValue(toQString(key), value);
  settings.sync();
}

void UserDefaults::setIntegerForKey(long value, const std::string& key) {
  setObjectForKey(QVariant(static_cast<qlonglong>(value)), key);
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard lock(_mutex);
  if (key.empty()) {
    return;  // to QSettings an empty key would mean every key
  }
  QSettings& settings = settingsLocked();
  settings.remove(toQString(key));
  settings.sync();
}
