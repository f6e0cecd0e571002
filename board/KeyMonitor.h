#pragma once
// KeyMonitor: the application-wide hook that gives the board every key press before
// any widget or shortcut sees it. One event filter on the application, installed on
// first use and kept until the process ends; boards register with it and are dropped
// automatically when destroyed.
//
// A key press reaches the application first at its top-level QWindow and is then
// forwarded to the focus widget and its parents; the filter sees it at each step.
// Only the window-level delivery is handed on, so each press is handled exactly once,
// and consuming it there keeps it from every widget. Shortcuts are offered a
// ShortcutOverride before the press is delivered; while a board's window is active
// that override is accepted, so no shortcut fires.
//
// Thread-safety: main thread only.

#include <QObject>
#include <QPointer>
#include <vector>

class ViewController;

class KeyMonitor : public QObject {
  Q_OBJECT

 public:
  static KeyMonitor& shared();
  void addBoard(ViewController* board);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  KeyMonitor();
  bool boardWindowIsActive() const;

  std::vector<QPointer<ViewController>> boards;
};
