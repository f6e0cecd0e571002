#include "board/SoundOutput.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QSignalBlocker>
#include <algorithm>
#include <vector>

#include "board/ViewController.h"
#include "platform/AudioDevice.h"
#include "platform/Console.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"

namespace {

constexpr const char* kOutputDeviceKey = "outputDevice";
constexpr const char* kVirtualMicKey = "virtualMic";
constexpr const char* kMonitorKey = "monitor";

QString qs(const std::string& text) { return QString::fromStdString(text); }

// How a line the host must know shows in the window title.
QString markFor(const std::string& line) { return QStringLiteral("（%1）").arg(qs(line)); }

}  // namespace

SoundOutput::SoundOutput(ViewController& board, QComboBox* cmbOutputDevice,
                         QCheckBox* chkVirtualMic, QCheckBox* chkMonitor)
    : board(board),
      cmbOutputDevice(cmbOutputDevice),
      chkVirtualMic(chkVirtualMic),
      chkMonitor(chkMonitor) {
  connect(cmbOutputDevice, &QComboBox::activated, this,
          [this] { cmbOutputDevice_Change(this->cmbOutputDevice); });
  connect(chkVirtualMic, &QCheckBox::clicked, this,
          [this] { chkVirtualMic_Click(this->chkVirtualMic); });
  connect(chkMonitor, &QCheckBox::clicked, this, [this] { chkMonitor_Click(this->chkMonitor); });
  // The list is read afresh whenever it is about to open, besides SDL's reports.
  cmbOutputDevice->installEventFilter(this);
  NotificationCenter::defaultCenter().addObserver(this, AudioDevice::kDeviceListDidChange,
                                                  [this] { refreshOutputDevices(); });
}

SoundOutput::~SoundOutput() {
  NotificationCenter::defaultCenter().removeObserver(this);
  switchVirtualMicOff();
}

void SoundOutput::initSoundOutput() {
  auto& defaults = UserDefaults::standardUserDefaults();
  chkMonitor->setChecked(!defaults.stringForKey(kMonitorKey).has_value() ||
                         defaults.integerForKey(kMonitorKey) == 1);
  chkVirtualMic->setChecked(defaults.integerForKey(kVirtualMicKey) == 1);
  refreshOutputDevices();
  if (chkVirtualMic->isChecked()) {
    std::string why;
    if (!switchVirtualMicOn(&why)) refuseVirtualMic(why);
  } else if (!chosenOutput().empty()) {
    playOn(chosenOutput());
  }
  showFallback();
}

std::string SoundOutput::chosenOutput() const {
  return UserDefaults::standardUserDefaults().stringForKey(kOutputDeviceKey).value_or("");
}

void SoundOutput::cmbOutputDevice_Change(QComboBox* sender) {
  const std::string name = sender->currentData().toString().toStdString();
  auto& defaults = UserDefaults::standardUserDefaults();
  if (name.empty()) {
    defaults.removeObjectForKey(kOutputDeviceKey);
  } else {
    defaults.setObjectForKey(qs(name), kOutputDeviceKey);
  }
  printedFallback.clear();
  if (microphone.isOn()) {
    // The board keeps playing into the microphone; only what the host hears moves.
    std::string why;
    if (!microphone.setMonitor(name, chkMonitor->isChecked(), &why)) {
      consolePrint("监听无法切换到所选输出设备：" + why);
    }
  } else {
    playOn(chosenOutput());
  }
  refreshOutputDevices();
  showFallback();
}

void SoundOutput::chkVirtualMic_Click(QCheckBox* sender) {
  UserDefaults::standardUserDefaults().setIntegerForKey(sender->isChecked() ? 1 : 0,
                                                        kVirtualMicKey);
  setMark(micMark, QString());
  if (sender->isChecked()) {
    std::string why;
    if (!switchVirtualMicOn(&why)) refuseVirtualMic(why);
  } else {
    switchVirtualMicOff();
  }
  showFallback();
}

void SoundOutput::chkMonitor_Click(QCheckBox* sender) {
  UserDefaults::standardUserDefaults().setIntegerForKey(sender->isChecked() ? 1 : 0, kMonitorKey);
  if (!microphone.isOn()) return;
  std::string why;
  if (!microphone.setMonitor(chosenOutput(), sender->isChecked(), &why)) {
    say(micMark, "监听无法开启：" + why);
  }
}

bool SoundOutput::switchVirtualMicOn(std::string* why) {
  if (microphone.isOn()) return true;
  if (!microphone.switchOn(chosenOutput(), chkMonitor->isChecked(), why)) return false;
  // On PipeWire its own driver hands each buffer to the graph as it is mixed: half the
  // delay of going through its PulseAudio protocol.
  playOn(VirtualMicrophone::kSinkDescription, VirtualMicrophone::kRate,
         microphone.isOnPipeWire() ? "pipewire" : "");
  if (!AudioDevice::isOpen() || !AudioDevice::outputFallback().empty()) {
    // An audio driver other than the sound server's cannot reach the new sink.
    *why = "the audio driver cannot play into \"" +
           std::string(VirtualMicrophone::kSinkDescription) + "\"";
    if (!AudioDevice::lastError().empty()) *why += " (" + AudioDevice::lastError() + ")";
    playOn(chosenOutput());
    microphone.switchOff();
    return false;
  }
  refreshOutputDevices();
  return true;
}

void SoundOutput::switchVirtualMicOff() {
  if (!microphone.isOn()) return;
  // Off the sink before it goes, so that nothing plays into a vanishing device.
  playOn(chosenOutput());
  microphone.switchOff();
  refreshOutputDevices();
}

void SoundOutput::playOn(const std::string& name, int frequency, const std::string& driver) {
  if (AudioDevice::isOnOutput(name, frequency, driver)) {
    return;  // already there: the sound that plays goes on
  }
  // The sound that plays stops cleanly rather than being cut off by the reopening.
  board.model().stop();
  AudioDevice::useOutput(name, frequency, driver);
}

void SoundOutput::say(QString& which, const std::string& line) {
  consolePrint(line);
  setMark(which, markFor(line));
}

void SoundOutput::refuseVirtualMic(const std::string& why) {
  QSignalBlocker blocker(chkVirtualMic);
  chkVirtualMic->setChecked(false);
  say(micMark, "虚拟麦克风无法开启：" + why);
}

void SoundOutput::audioDeviceDidChange() { showFallback(); }

void SoundOutput::showFallback() {
  // While the microphone is on the board plays into it; the chosen output only hears.
  const std::string missing =
      !microphone.isOn() && !AudioDevice::outputFallback().empty() ? chosenOutput() : "";
  if (missing.empty()) {
    printedFallback.clear();
    setMark(outputMark, QString());
    return;
  }
  const std::string line = "找不到输出设备“" + missing + "”，改用系统默认";
  if (printedFallback != missing) {
    consolePrint(line);
    printedFallback = missing;
  }
  setMark(outputMark, markFor(line));
}

QStringList SoundOutput::faultLines() const {
  QStringList lines;
  // A mark is its line between full-width parentheses.
  for (const QString& mark : {outputMark, micMark}) {
    if (mark.size() > 2) lines << mark.mid(1, mark.size() - 2);
  }
  return lines;
}

void SoundOutput::setMark(QString& which, const QString& text) {
  if (which == text) return;
  which = text;
  board.showAudioDeviceState();
}

void SoundOutput::refreshOutputDevices() {
  std::vector<std::string> names = AudioDevice::outputDeviceNames();
  // Our own sink is where the board plays while the microphone is on, never a choice.
  names.erase(std::remove(names.begin(), names.end(), VirtualMicrophone::kSinkDescription),
              names.end());
  const std::string chosen = chosenOutput();
  QSignalBlocker blocker(cmbOutputDevice);
  cmbOutputDevice->clear();
  cmbOutputDevice->addItem(QStringLiteral("系统默认"), QString());
  for (const std::string& name : names) cmbOutputDevice->addItem(qs(name), qs(name));
  if (!chosen.empty() && std::find(names.begin(), names.end(), chosen) == names.end()) {
    // Kept for when it comes back, and shown as the choice it still is.
    cmbOutputDevice->addItem(QStringLiteral("%1（未连接）").arg(qs(chosen)), qs(chosen));
  }
  const int index = cmbOutputDevice->findData(qs(chosen));
  cmbOutputDevice->setCurrentIndex(std::max(index, 0));
}

bool SoundOutput::eventFilter(QObject* watched, QEvent* event) {
  if (watched == cmbOutputDevice &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)) {
    refreshOutputDevices();
  }
  return QObject::eventFilter(watched, event);
}
