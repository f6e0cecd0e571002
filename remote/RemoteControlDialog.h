#pragma once
// RemoteControlDialog: the board's small settings box for the HTTP and WebSocket API,
// opened from the category bar's menu ("远程控制…"). A check box turns the API on (the
// token is made on the first time) and off; below it the address and the token a
// client needs, each with a button that copies it, and what stands in the way when
// the API is on but cannot listen.
//
// Ownership: a child of the window that opens it; the remote control must outlive it.
// Thread-safety: main thread only.

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class RemoteControl;

class RemoteControlDialog : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kMenuTitle = "远程控制…";

  explicit RemoteControlDialog(RemoteControl& control, QWidget* parent = nullptr);

  // Shows what the settings and the API are now.
  void refresh();

 private:
  void copy(const QLineEdit* field);

  RemoteControl& control;
  QCheckBox* chkRemoteControl = nullptr;
  QLineEdit* tfUrl = nullptr;
  QLineEdit* tfToken = nullptr;
  QPushButton* btnCopyUrl = nullptr;
  QPushButton* btnCopyToken = nullptr;
  QLabel* lblState = nullptr;
};
