#pragma once
// TrayIcon: the board's icon in the desktop's system tray, where the desktop has one.
// Its menu shows or hides the window, stops what plays, turns "关闭到托盘" on or off
// (setting "closeToTray", default 0: closing the window quits, as always) and quits.
// With "关闭到托盘" on, closing the window hides it and the board goes on playing and
// answering its remote commands. `cueboard --minimized` starts with the window hidden.
// Without a tray both do nothing (the window shows and closes as usual), and the
// program says so once.
//
// It acts on the board model and on the window only as a plain widget to show or hide.
// Ownership: made by main() after the window, which must outlive it.
// Thread-safety: main thread only.

#include <QObject>
#include <QString>

class Board;
class QAction;
class QMenu;
class QSystemTrayIcon;
class QWidget;

class TrayIcon : public QObject {
  Q_OBJECT

 public:
  // The note given (once) when the tray is asked for but the desktop has none.
  static const QString kNoTrayNote;

  TrayIcon(Board& board, QWidget& window, QObject* parent = nullptr);
  ~TrayIcon() override;

  bool isAvailable() const { return tray != nullptr; }
  // Shows the window, or with `minimized` leaves it hidden in the tray (shown when
  // there is no tray).
  void showWindow(bool minimized);
  void toggleWindow();

  bool closesToTray() const;  // the setting, whether or not a tray exists
  void setClosesToTray(bool on);
  // What was said about the missing tray ("" while nothing was).
  QString noteGiven() const { return note; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void sayNoTrayOnce();
  void updateToolTip();

  Board& board;
  QWidget& window;
  QSystemTrayIcon* tray = nullptr;
  QMenu* menu = nullptr;
  QAction* showAction = nullptr;
  QAction* closeToTrayAction = nullptr;
  QString note;
  bool quitting = false;
};
