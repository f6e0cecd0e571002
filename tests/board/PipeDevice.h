#pragma once
// A sound device that can be unplugged, for the board's tests of a lost device.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// A sound device that can be unplugged: SDL's disk driver writing into a pipe that
// this side drains. Closing the reading end makes the driver's next write fail, and
// SDL then reports the device as removed, as it does for an unplugged headset.
class PipeDevice {
 public:
  explicit PipeDevice(const QString& path) : _path(path.toStdString()) {
    // A write into the closed pipe must fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);
    if (::mkfifo(_path.c_str(), 0600) != 0) return;
    // Opened first, and without waiting: SDL's open of the writing end then succeeds.
    _fd = ::open(_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (_fd < 0) return;
    _notifier = std::make_unique<QSocketNotifier>(_fd, QSocketNotifier::Read);
    QObject::connect(_notifier.get(), &QSocketNotifier::activated, [this] { drain(); });
  }
  ~PipeDevice() { unplug(); }
  PipeDevice(const PipeDevice&) = delete;
  PipeDevice& operator=(const PipeDevice&) = delete;

  bool isValid() const { return _fd >= 0; }
  const std::string& path() const { return _path; }
  // Samples the device was given that were not silence.
  qint64 loudSamples() const { return _loud; }
  void unplug() {
    _notifier.reset();
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
  }

 private:
  void drain() {
    std::int16_t samples[4096];
    ssize_t got;
    while ((got = ::read(_fd, samples, sizeof samples)) > 0) {
      for (ssize_t i = 0; i < got / ssize_t(sizeof(std::int16_t)); ++i) {
        if (std::abs(samples[i]) > 200) ++_loud;
      }
    }
  }

  std::string _path;
  int _fd = -1;
  std::unique_ptr<QSocketNotifier> _notifier;
  qint64 _loud = 0;
};
