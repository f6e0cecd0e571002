// BoardDrops: drag and drop on the board's window. Sound files dropped on a sound
// button are added there (the first onto that button, the rest into the empty buttons
// after it); dropped on a category button, they fill that category's empty buttons; a
// dropped folder brings the sound files in it, not its subfolders, in name order. A
// sound button dragged onto another moves its sound there, as cutting and pasting it
// does. The button a drop would land on is outlined while the drag is over it;
// anywhere else the drop is refused. Files that are not sounds are refused by the
// library commands, which name them.
//
// Owned by the window it serves (an event filter on its 45 buttons).
// Thread-safety: main thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QUrl>
#include <string>
#include <vector>

class Board;
class QDropEvent;
class QPushButton;
class ViewController;

class BoardDrops : public QObject {
  Q_OBJECT

 public:
  // What a dragged sound button carries: its number, 1-40, as text.
  static constexpr const char* kSoundButtonMimeType = "application/x-cueboard-sound-button";

  BoardDrops(ViewController& view, Board& board);

  // The files a drop of `urls` brings, in order: a file as it is, a folder's files with
  // a sound file's extension (its subfolders left alone) sorted by name.
  static std::vector<std::string> droppedFiles(const QList<QUrl>& urls);

  // The button outlined as where the drop would land now, or nullptr.
  QPushButton* dropTarget() const { return target; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Whether `event`'s contents may land on `button`.
  bool accepts(QPushButton* button, const QDropEvent& event) const;
  void drop(QPushButton* button, const QDropEvent& event);
  void setTarget(QPushButton* button);
  void startDrag(QPushButton* button);

  ViewController& view;
  Board& board;
  QPointer<QPushButton> target;
  QPoint pressAt;
  QPointer<QPushButton> pressed;
};
