// LibraryCommands: what the context menus do to the library. Adding one sound to a
// button or many into the empty buttons of the category shown, opening the editor on a
// button, deleting a button's sound, cutting a sound and pasting it on another button
// (of any category), and the two commands that act on a whole category. Each builds
// its statement from fixed pieces and quoted values, runs it on the board's library
// connection, and keeps the board's caches, titles and labels in step: the adds and
// the delete update them directly, the others reload the category shown.
//
// Owned by the board it acts on; it holds no state of its own (the cut buffer is
// process-wide, see library/Caches.h).
// Thread-safety: main (GUI) thread only.
#pragma once

#include <string>

class EditMusicViewController;
class ViewController;

class LibraryCommands {
 public:
  explicit LibraryCommands(ViewController& board) : board(board) {}

  // The sound-menu commands take the tag of the sound button they act on (101-140).
  void addMusic(int tag);
  void addMusicBatch();  // always fills the category shown
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

 private:
  struct ImportedSound {
    std::string fileName;  // as stored in MusicSrc
    std::string title;
  };
  ImportedSound importSound(const std::string& sourcePath);
  // Runs the statements of an add or a paste all or nothing; on failure prints the
  // engine's reason.
  bool runAtomically(const std::string& sql, const char* failurePrefix);
  void reload();

  ViewController& board;
};
