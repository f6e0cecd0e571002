#pragma once
// What the library tests share: reading and writing whole files, the host's files as a
// comparable list, and the item of a button's right-click menu.

#include <QAction>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QStringList>

#include "board/ViewController.h"
#include "library/ContextMenus.h"

inline QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline bool writeAll(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Every file below `root` with its content: what the host has there.
inline QStringList snapshot(const QString& root) {
  QStringList entries;
  QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    entries << QDir(root).relativeFilePath(path) + "=" + QString::number(qHash(readAll(path)), 16);
  }
  entries.sort();
  return entries;
}

// The item titled `title` in the right-click menu of the button tagged `tag`; nullptr
// when there is none.
inline QAction* menuItem(const ViewController& board, int tag, const char* title) {
  auto* owner = board.viewWithTag<QPushButton>(tag);
  QMenu* menu = owner ? contextMenuOf(owner) : nullptr;
  if (!menu) return nullptr;
  for (QAction* action : menu->actions()) {
    if (action->text() == QString::fromUtf8(title)) return action;
  }
  return nullptr;
}
