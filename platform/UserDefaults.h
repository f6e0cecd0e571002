// UserDefaults: the program's small key-value settings (volume, current category,
// hotkey mode, loop, ...), kept in an INI file through QSettings at
// $XDG_CONFIG_HOME/cueboard/cueboard.conf, or ~/.config/cueboard/cueboard.conf when
// XDG_CONFIG_HOME is unset or empty. Every write is saved to disk at once, so nothing
// needs saving at exit and a crash loses no setting.
//
// The standard instance is created on first use and lives until the process ends;
// tests may point it at a fresh environment with resetStandardUserDefaultsForTesting().
// Further instances on an explicit file exist for tests that read a file back.
//
// Thread-safety: every operation locks the instance, so one instance may be used from
// several threads; instances on the same file see each other's writes once saved.
#pragma once

#include <QVariant>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QSettings;

class UserDefaults {
 public:
  static UserDefaults& standardUserDefaults();
  // Drops the standard instance's file binding, so that the next use of it reads
  // XDG_CONFIG_HOME (or HOME) again. References to the instance stay valid.
  static void resetStandardUserDefaultsForTesting();

  // The file the settings live in by default, from the environment as it is now.
  static std::string defaultFilePath();

  UserDefaults();                              // on defaultFilePath(), read at first use
  explicit UserDefaults(std::string filePath);  // on that file
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  float floatForKey(const std::string& key) const;    // 0 when absent or not a number
  long integerForKey(const std::string& key) const;   // 0 when absent or not a number
  bool boolForKey(const std::string& key) const;      // false when absent; "1"/"true" true
  std::optional<std::string> stringForKey(const std::string& key) const;  // none when absent
  std::optional<QVariant> objectForKey(const std::string& key) const;     // none when absent

  void setObjectForKey(const QVariant& value, const std::string& key);
  void setIntegerForKey(long value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // The file in use (binding it when that has not happened yet).
  std::string filePath() const;

 private:
  QSettings& settingsLocked() const;  // caller holds _mutex
  std::optional<QVariant> valueLocked(const std::string& key) const;
  void unbind();

  mutable std::mutex _mutex;
  std::optional<std::string> _fixedPath;       // set for instances on an explicit file
  mutable std::unique_ptr<QSettings> _settings;  // bound on first use
};
