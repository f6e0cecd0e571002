#pragma once
// SoundOutput: where the board's sounds go. It runs the row under the board: the
// output device list "输出设备" ("系统默认" first, then the playback devices the audio
// driver reports), the check box "虚拟麦克风", which puts the sounds into a microphone
// of their own ("Cueboard Virtual Mic") for streaming and voice-chat programs, and
// "监听", with which the host hears them too while they go into that microphone. Each
// choice is stored ("outputDevice", "virtualMic", "monitor") and applied at once.
//
// A stored output that is missing falls back to the default (the choice is kept and
// taken again when the output returns); a virtual microphone that cannot be made
// switches its check box off. Both are printed on standard output and marked in the
// window's title (titleMark()).
//
// Ownership: owned by the board (ViewController); the controls belong to the board's
// window. It owns the virtual microphone, which it switches off when destroyed.
// Thread-safety: main thread only.

#include <QObject>
#include <QString>
#include <QStringList>
#include <string>

#include "platform/VirtualMicrophone.h"

class QCheckBox;
class QComboBox;
class ViewController;

class SoundOutput : public QObject {
  Q_OBJECT

 public:
  SoundOutput(ViewController& board, QComboBox* cmbOutputDevice, QCheckBox* chkVirtualMic,
              QCheckBox* chkMonitor);
  ~SoundOutput() override;

  // Start-up: removes microphone modules an earlier run left behind, restores the
  // three controls from the settings and applies them.
  void initSoundOutput();

  // The controls' actions.
  void cmbOutputDevice_Change(QComboBox* sender);
  void chkVirtualMic_Click(QCheckBox* sender);
  void chkMonitor_Click(QCheckBox* sender);

  // Lists the outputs the audio driver reports now, keeping the choice.
  void refreshOutputDevices();
  // Follows the audio device: a chosen output that went missing or came back.
  void audioDeviceDidChange();
  // Switches the virtual microphone off and plays on the chosen output again (also
  // when the program quits).
  void switchVirtualMicOff();

  // What the window's title carries about the output, "" when all is as chosen.
  QString titleMark() const { return outputMark + micMark; }
  // The same, one line each, for the banner above the board.
  QStringList faultLines() const;
  // The chosen output's name, "" for the system's default.
  std::string chosenOutput() const;
  const VirtualMicrophone& virtualMicrophone() const { return microphone; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool switchVirtualMicOn(std::string* why);
  // Moves the board's sound to that output (see AudioDevice::useOutput), stopping the
  // sound that plays, unless it plays there already.
  void playOn(const std::string& name, int frequency = 0, const std::string& driver = "");
  // Prints the line and marks the title with it.
  void say(QString& which, const std::string& line);
  void showFallback();
  void refuseVirtualMic(const std::string& why);
  void setMark(QString& which, const QString& text);

  ViewController& board;
  QComboBox* cmbOutputDevice;
  QCheckBox* chkVirtualMic;
  QCheckBox* chkMonitor;
  VirtualMicrophone microphone;
  QString outputMark;           // a chosen output that is missing
  QString micMark;              // why the microphone or its monitor could not be made
  std::string printedFallback;  // the missing output last printed, printed once each time
};
