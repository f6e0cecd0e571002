// BackupCommands: what the category menus offer to keep the library safe: restoring one
// of the backups (the library it replaces is kept as a backup first, so a restore can be
// undone), exporting the whole library with its sounds as one .zip and importing one.
// When the library was replaced the category shown must be loaded again
// (libraryReplaced); the commands know nothing of the board.
//
// Owned by the window whose menus offer them.
// Thread-safety: main (GUI) thread only.
#pragma once

#include <QObject>
#include <memory>
#include <string>

class LiteDatabase;
class QWidget;

class BackupCommands : public QObject {
  Q_OBJECT

 public:
  explicit BackupCommands(std::shared_ptr<LiteDatabase> db, QObject* parent = nullptr);

  // Lists the backups by date and number of sounds, and restores the one the host
  // picks after asking. False when nothing was restored.
  bool restoreBackup(QWidget* dialogParent);
  // Asks for a folder and writes "cueboard-YYYY-MM-DD.zip" there (another number when
  // that is taken). The archive's path, "" when none was written.
  std::string exportLibrary(QWidget* dialogParent);
  // Asks for a .zip and, after asking again, replaces the library with it.
  bool importLibrary(QWidget* dialogParent);

 signals:
  void libraryReplaced();

 private:
  const std::shared_ptr<LiteDatabase> db;
};
