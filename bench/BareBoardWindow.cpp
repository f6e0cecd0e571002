// The yardstick for the board's start-up: a bare Qt program that shows the board's
// window layout (board.ui, the same controls and sound buttons) with nothing behind
// it: no library, no sound, no menus, no remote control. Started by StartupBench
// beside the real program; ends on SIGTERM.
#include <QApplication>
#include <QStyleFactory>
#include <QWidget>

#include "ui_board.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The board draws in the Fusion style; so does its yardstick.
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QWidget window;
  Ui::BoardView ui;
  ui.setupUi(&window);
  window.show();
  return QApplication::exec();
}
