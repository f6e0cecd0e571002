#include "board/BoardDrops.h"

#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>

#include "board/Board.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "library/Caches.h"
#include "library/LibraryCommands.h"
#include "platform/OpenPanel.h"

namespace {

constexpr int kMusicTagBase = 100;

int tagOf(const QObject* button) { return button->property("tag").toInt(); }
bool isCategoryTag(int tag) { return tag >= 1 && tag <= Board::kCategoryCount; }
bool isSoundTag(int tag) {
  return tag > kMusicTagBase && tag <= kMusicTagBase + Board::kButtonCount;
}

bool hasSoundExtension(const QString& name) {
  const QString ext = QFileInfo(name).suffix().toLower();
  for (const std::string& type : OpenPanel::soundFileTypes()) {
    if (ext == QString::fromStdString(type)) return true;
  }
  return false;
}

bool hasLocalFile(const QMimeData* mime) {
  if (!mime || !mime->hasUrls()) return false;
  for (const QUrl& url : mime->urls()) {
    if (url.isLocalFile()) return true;
  }
  return false;
}

// The number of the sound button a drag carries, 0 for none.
int draggedButton(const QMimeData* mime) {
  if (!mime || !mime->hasFormat(BoardDrops::kSoundButtonMimeType)) return 0;
  const int n = mime->data(BoardDrops::kSoundButtonMimeType).toInt();
  return n >= 1 && n <= Board::kButtonCount ? n : 0;
}

}  // namespace

BoardDrops::BoardDrops(ViewController& view, Board& board)
    : QObject(&view), view(view), board(board) {
  for (int tag = 1; tag <= Board::kCategoryCount; ++tag) {
    if (auto* button = view.viewWithTag<QPushButton>(tag)) {
      button->setAcceptDrops(true);
      button->installEventFilter(this);
    }
  }
  for (int n = 1; n <= Board::kButtonCount; ++n) {
    if (auto* button = view.soundButton(n)) {
      button->setAcceptDrops(true);
      button->installEventFilter(this);
    }
  }
}

std::vector<std::string> BoardDrops::droppedFiles(const QList<QUrl>& urls) {
  std::vector<std::string> files;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    const QString path = url.toLocalFile();
    if (!QFileInfo(path).isDir()) {
      files.push_back(path.toStdString());
      continue;
    }
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& entry : entries) {
      if (hasSoundExtension(entry.fileName())) files.push_back(entry.filePath().toStdString());
    }
  }
  return files;
}

bool BoardDrops::accepts(QPushButton* button, const QDropEvent& event) const {
  const int tag = tagOf(button);
  if (const int from = draggedButton(event.mimeData())) {
    // A sound moves onto another sound button only.
    return isSoundTag(tag) && tag - kMusicTagBase != from && dicButtonId().count(from);
  }
  return (isSoundTag(tag) || isCategoryTag(tag)) && hasLocalFile(event.mimeData());
}

void BoardDrops::setTarget(QPushButton* button) {
  if (target == button) return;
  if (target) {
    if (auto* sound = qobject_cast<SoundButton*>(target.data())) {
      sound->setDropTarget(false);
    } else {
      target->setDown(false);
    }
  }
  target = button;
  if (target) {
    if (auto* sound = qobject_cast<SoundButton*>(target.data())) {
      sound->setDropTarget(true);
    } else {
      target->setDown(true);
    }
  }
}

void BoardDrops::drop(QPushButton* button, const QDropEvent& event) {
  const int tag = tagOf(button);
  LibraryCommands& library = board.libraryCommands();
  if (const int from = draggedButton(event.mimeData())) {
    // Moved with the cut and paste commands; a sound cut before stays cut.
    const std::string waiting = cutButtonId();
    const std::string moved = dicButtonId()[from];
    library.cutMusic(kMusicTagBase + from);
    library.pasteMusic(tag);
    if (!waiting.empty() && waiting != moved) cutButtonId() = waiting;
    return;
  }
  const std::vector<std::string> files = droppedFiles(event.mimeData()->urls());
  if (isCategoryTag(tag)) {
    if (board.currentCategory() != tag) board.setCategory(tag);
    library.addSoundFiles(0, files);
  } else {
    library.addSoundFiles(tag, files);
  }
}

void BoardDrops::startDrag(QPushButton* button) {
  const int n = tagOf(button) - kMusicTagBase;
  button->setDown(false);
  auto* mime = new QMimeData;
  mime->setData(kSoundButtonMimeType, QByteArray::number(n));
  auto* drag = new QDrag(button);
  drag->setMimeData(mime);
  drag->setPixmap(button->grab());
  drag->setHotSpot(pressAt);
  drag->exec(Qt::MoveAction);
}

bool BoardDrops::eventFilter(QObject* watched, QEvent* event) {
  auto* button = qobject_cast<QPushButton*>(watched);
  if (!button) return false;
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (accepts(button, *drag)) {
        drag->setDropAction(draggedButton(drag->mimeData()) ? Qt::MoveAction : Qt::CopyAction);
        drag->accept();
        setTarget(button);
      } else {
        drag->ignore();
        if (target == button) setTarget(nullptr);
      }
      return true;
    }
    case QEvent::DragLeave:
      if (target == button) setTarget(nullptr);
      return true;
    case QEvent::Drop: {
      auto* dropped = static_cast<QDropEvent*>(event);
      setTarget(nullptr);
      if (!accepts(button, *dropped)) {
        dropped->ignore();
        return true;
      }
      dropped->setDropAction(draggedButton(dropped->mimeData()) ? Qt::MoveAction : Qt::CopyAction);
      dropped->accept();
      drop(button, *dropped);
      return true;
    }
    case QEvent::MouseButtonPress: {
      auto* press = static_cast<QMouseEvent*>(event);
      const int n = tagOf(button) - kMusicTagBase;
      if (press->button() == Qt::LeftButton && isSoundTag(tagOf(button)) &&
          dicButtonId().count(n)) {
        pressed = button;
        pressAt = press->position().toPoint();
      } else {
        pressed = nullptr;
      }
      return false;
    }
    case QEvent::MouseMove: {
      auto* move = static_cast<QMouseEvent*>(event);
      if (pressed != button || !(move->buttons() & Qt::LeftButton)) return false;
      if ((move->position().toPoint() - pressAt).manhattanLength() <
          QApplication::startDragDistance()) {
        return false;
      }
      pressed = nullptr;
      startDrag(button);
      return true;
    }
    case QEvent::MouseButtonRelease:
      pressed = nullptr;
      return false;
    default:
      return false;
  }
}
