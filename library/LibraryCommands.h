// LibraryCommands: what the context menus do to the library. Adding one sound to a
// button or many into the empty buttons of the category shown, opening the editor on a
// button, deleting a button's sound, cutting a sound and pasting it on another button
// (of any category), and the two commands that act on a whole category. Each builds
// its statement from fixed pieces and quoted values and runs it on the library
// connection. The caches of the category shown follow: the adds and the delete update
// them directly and say so (shownSoundsEdited), the others ask for the category shown
// to be loaded again (libraryChanged). What shows the board listens to those signals;
// the commands know nothing of it.
//
// Owned by the board model it serves; it holds no state of its own (the cut buffer is
// process-wide, see library/Caches.h).
// Thread-safety: main (GUI) thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class EditMusicViewController;
class LiteDatabase;

class LibraryCommands : public QObject {
  Q_OBJECT

 public:
  // `currentClassId` tells the id of the category shown when a command needs it.
  LibraryCommands(std::shared_ptr<LiteDatabase> db, std::function<std::string()> currentClassId,
                  QObject* parent = nullptr);

  // The window the file dialogs and the editor open over (none: they open on their own).
  void setDialogParent(QWidget* window) { dialogParent = window; }

  // The sound-menu commands take the tag of the sound button they act on (101-140).
  void addMusic(int tag);
  void addMusicBatch();  // always fills the category shown
  // Adds sound files chosen some other way (dropped on the board): with the tag of a
  // sound button, the first goes onto that button as addMusic puts it and the rest into
  // the empty buttons after it, in order; with tag 0 they fill the empty buttons of the
  // category shown as addMusicBatch does. Files that are not playable sounds are
  // neither copied nor stored, and are named in soundFilesRefused.
  void addSoundFiles(int tag, const std::vector<std::string>& paths);
  // Opens the editor on the button, window-modal, and returns it (nullptr for an empty
  // button); the editor closes and deletes itself.
  EditMusicViewController* editMusic(int tag);
  void deleteMusic(int tag);
  void cutMusic(int tag);
  void pasteMusic(int tag);

  // The category-menu commands take the id of the category whose menu was used, which
  // need not be the one shown.
  void deleteClassMusic(const std::string& classId);
  void clearClassHotkeys(const std::string& classId);

 signals:
  // The library and the caches of the category shown were changed alike.
  void shownSoundsEdited();
  // The library changed (or a change failed half-way): load the category shown again.
  void libraryChanged();
  // Files the host chose were not added because they are not sounds that play: the
  // summary ("2 个文件无法添加：a.txt、b.mp3") and one line per file with its reason.
  void soundFilesRefused(const QString& summary, const QString& details);

 private:
  struct ImportedSound {
    std::string fileName;  // as stored in MusicSrc
    std::string title;
  };
  ImportedSound importSound(const std::string& sourcePath);
  // Keeps the files that play, tells of the others (once for all of them).
  std::vector<std::string> playableFiles(const std::vector<std::string>& paths);
  // addSoundFiles once the library is known to take changes.
  void storeSoundFiles(int tag, const std::vector<std::string>& paths);
  // Runs the statements of an add or a paste all or nothing; on failure prints the
  // engine's reason.
  bool runAtomically(const std::string& sql, const char* failurePrefix);
  // Tells the outcome of a one-statement change; a failure is printed and shown.
  bool reportOutcome(bool ok, const char* failurePrefix);
  QWidget* dialogWindow() const { return dialogParent ? dialogParent->window() : nullptr; }

  const std::shared_ptr<LiteDatabase> db;
  const std::function<std::string()> currentClassId;
  QPointer<QWidget> dialogParent;
};
