#pragma once
// What the editor tests share: the board's scratch world, the opening of the editor on
// a button exactly as the board's edit command opens it, and reads of the library
// file through a connection of the test's own.

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "../board/BoardFixture.h"
#include "board/ViewController.h"
#include "editor/EditMusicViewController.h"
#include "editor/TFHotkey.h"
#include "library/LibraryCommands.h"
#include "litedb/LiteResultSet.h"
#include "platform/FileManager.h"

// Opens the editor over the board on button n and fills it as the edit command does:
// nothing for an empty button; otherwise the dialog, presented, with the button's id,
// number, file (the full path of a file in the sound folder), title and hotkey.
inline EditMusicViewController* openEditorOn(ViewController& board, int n) {
  return board.libraryCommands().editMusic(100 + n);
}

// One stored row as the library file holds it; a NULL column reads as "<NULL>".
struct StoredRow {
  QString classId, buttonNo, title, musicSrc, hotkey;
  bool found = false;
};

inline StoredRow storedRow(const std::string& buttonId, const std::string& table = "tb_Button") {
  StoredRow row;
  auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
  if (!db->open()) return row;
  auto rs = db->executeQueryWithArgumentsInArray(
      "SELECT ClassId, ButtonNo, Title, MusicSrc, Hotkey FROM " + table + " WHERE ButtonId = ?",
      {buttonId});
  auto text = [&rs](const char* column) {
    auto value = rs->stringForColumn(column);
    return value ? QString::fromStdString(*value) : QStringLiteral("<NULL>");
  };
  if (rs && rs->next()) {
    row = {text("ClassId"),  text("ButtonNo"), text("Title"),
           text("MusicSrc"), text("Hotkey"),   true};
  }
  if (rs) rs->close();
  db->close();
  return row;
}

// The texts the editor shows, in the order the edit command fills them.
inline QStringList shownFields(const EditMusicViewController& editor) {
  return {editor.lblButtonId->text(), editor.tfButtonNo->text(), editor.tfMusicSrc->text(),
          editor.tfTitle->text(), editor.tfHotkey->text()};
}
