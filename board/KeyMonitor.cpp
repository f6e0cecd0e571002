#include "board/KeyMonitor.h"

#include <QApplication>
#include <QKeyEvent>

#include "board/ViewController.h"

KeyMonitor& KeyMonitor::shared() {
  // Never destroyed: the filter stays installed for the life of the application.
  static KeyMonitor* monitor = new KeyMonitor;
  return *monitor;
}

KeyMonitor::KeyMonitor() { qApp->installEventFilter(this); }

void KeyMonitor::addBoard(ViewController* board) { boards.emplace_back(board); }

bool KeyMonitor::boardWindowIsActive() const {
  QWidget* active = QApplication::activeWindow();
  if (!active) return false;
  for (const auto& board : boards) {
    if (board && board->window() == active) return true;
  }
  return false;
}

bool KeyMonitor::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::ShortcutOverride && event->type() != QEvent::KeyPress) return false;
  // An open context menu keeps its keys (arrows, Return, Escape, its items' keys), and
  // the menu key opens the focused button's menu.
  if (QApplication::activePopupWidget()) return false;
  if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Menu) return false;
  if (event->type() == QEvent::ShortcutOverride) {
    if (!boardWindowIsActive()) return false;
    event->accept();  // the press goes to the board, not to a shortcut
    return true;
  }
  if (event->type() != QEvent::KeyPress || !watched->isWindowType()) return false;
  auto* keyEvent = static_cast<QKeyEvent*>(event);
  std::erase_if(boards, [](const QPointer<ViewController>& board) { return board.isNull(); });
  for (const auto& board : std::vector(boards)) {
    if (board && board->handleKeyDown(keyEvent)) return true;
  }
  return false;
}
