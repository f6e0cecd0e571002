#include "remote/TrayIcon.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

#include "board/Board.h"
#include "platform/Console.h"
#include "platform/UserDefaults.h"

namespace {
const std::string kCloseToTrayKey = "closeToTray";
}

const QString TrayIcon::kNoTrayNote =
    QStringLiteral("桌面没有系统托盘：“关闭到托盘”和 --minimized 不起作用，窗口照常显示和关闭。");

TrayIcon::TrayIcon(Board& board, QWidget& window, QObject* parent)
    : QObject(parent), board(board), window(window) {
  window.installEventFilter(this);
  // Quitting (from the menu, a signal or the session) closes the window for good.
  qApp->installEventFilter(this);
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    if (closesToTray()) sayNoTrayOnce();
    return;
  }
  menu = new QMenu();
  showAction = menu->addAction("显示窗口", this, &TrayIcon::toggleWindow);
  menu->addAction("停止播放", &board, [&board] { board.stop(); });
  closeToTrayAction = menu->addAction("关闭到托盘");
  closeToTrayAction->setCheckable(true);
  closeToTrayAction->setChecked(closesToTray());
  connect(closeToTrayAction, &QAction::toggled, this, &TrayIcon::setClosesToTray);
  menu->addSeparator();
  menu->addAction("退出", qApp, &QCoreApplication::quit);
  connect(menu, &QMenu::aboutToShow, this,
          [this] { showAction->setText(this->window.isVisible() ? "隐藏窗口" : "显示窗口"); });

  tray = new QSystemTrayIcon(
      QIcon::fromTheme("cueboard", QApplication::style()->standardIcon(QStyle::SP_MediaPlay)),
      this);
  tray->setContextMenu(menu);
  connect(tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
    if (why == QSystemTrayIcon::Trigger) toggleWindow();
  });
  connect(&board, &Board::playbackStarted, this, &TrayIcon::updateToolTip);
  connect(&board, &Board::playbackStopped, this, &TrayIcon::updateToolTip);
  updateToolTip();
  tray->show();
}

TrayIcon::~TrayIcon() {
  window.removeEventFilter(this);
  qApp->removeEventFilter(this);
  delete menu;
}

void TrayIcon::showWindow(bool minimized) {
  if (minimized && tray != nullptr) {
    window.hide();
    return;
  }
  if (minimized) sayNoTrayOnce();
  window.show();
}

void TrayIcon::toggleWindow() {
  if (window.isVisible()) {
    window.hide();
  } else {
    window.show();
    window.raise();
    window.activateWindow();
  }
}

bool TrayIcon::closesToTray() const {
  return UserDefaults::standardUserDefaults().integerForKey(kCloseToTrayKey) == 1;
}

void TrayIcon::setClosesToTray(bool on) {
  UserDefaults::standardUserDefaults().setIntegerForKey(on ? 1 : 0, kCloseToTrayKey);
  if (closeToTrayAction != nullptr && closeToTrayAction->isChecked() != on)
    closeToTrayAction->setChecked(on);
  if (on && tray == nullptr) sayNoTrayOnce();
}

bool TrayIcon::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::Quit) quitting = true;
  if (watched == &window && event->type() == QEvent::Close && tray != nullptr && !quitting &&
      closesToTray()) {
    // Closed by the user: the board goes on in the tray.
    event->ignore();
    window.hide();
    return true;
  }
  return QObject::eventFilter(watched, event);
}

void TrayIcon::sayNoTrayOnce() {
  if (!note.isEmpty()) return;
  note = kNoTrayNote;
  consolePrint(note.toStdString());
}

void TrayIcon::updateToolTip() {
  if (tray == nullptr) return;
  tray->setToolTip(board.isPlaying() ? "Cueboard — " + board.playingTitle() : "Cueboard");
}
