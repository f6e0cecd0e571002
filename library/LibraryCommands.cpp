#include "library/LibraryCommands.h"

#include <QLabel>
#include <QLineEdit>
#include <QUuid>
#include <algorithm>
#include <fstream>
#include <iterator>

#include "editor/EditMusicViewController.h"
#include "editor/TFHotkey.h"
#include "library/Caches.h"
#include "library/LibraryGuard.h"
#include "library/SqlText.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
#include "platform/OpenPanel.h"
#include "platform/Paths.h"
#include "platform/SoundCheck.h"

namespace {

constexpr int kMusicTagBase = 100;
constexpr int kButtonCount = 40;

std::string q(const std::string& value) { return quotedSqlText(value); }

std::string newButtonId() {
  return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
}

bool readable(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

std::optional<std::string> cached(const ButtonTextMap& cache, int n) {
  const auto found = cache.find(n);
  if (found == cache.end()) return std::nullopt;
  return found->second;
}

bool isSoundButtonTag(int tag) {
  return tag > kMusicTagBase && tag <= kMusicTagBase + kButtonCount;
}

}  // namespace

LibraryCommands::LibraryCommands(std::shared_ptr<LiteDatabase> db,
                                 std::function<std::string()> currentClassId, QObject* parent)
    : QObject(parent), db(std::move(db)), currentClassId(std::move(currentClassId)) {}

LibraryCommands::ImportedSound LibraryCommands::importSound(const std::string& sourcePath) {
  const std::string name = lastPathComponent(sourcePath);
  const std::string ext = pathExtension(sourcePath);
  ImportedSound sound{name, titleForSoundFile(sourcePath)};

  auto& files = FileManager::defaultManager();
  const std::string destination = soundPath() + name;
  std::string error;
  if (files.copyItemAtPathToPath(sourcePath, destination, &error)) return sound;
  consolePrint(error);
  // A file of that name is already in the folder. The same sound is simply reused; a
  // different one must not be played in its place, so this one goes in under the first
  // free name "name (2).mp3", "name (3).mp3", ...
  if (!files.fileExistsAtPath(destination) ||
      files.contentsEqualAtPathAndPath(sourcePath, destination) || !readable(sourcePath)) {
    return sound;
  }
  const std::string stem = ext.empty() ? name : name.substr(0, name.size() - ext.size() - 1);
  const std::string suffix = ext.empty() ? std::string() : "." + ext;
  for (int k = 2;; ++k) {
    const std::string candidate = stem + " (" + std::to_string(k) + ")" + suffix;
    const std::string candidatePath = soundPath() + candidate;
    if (files.fileExistsAtPath(candidatePath)) {
      if (files.contentsEqualAtPathAndPath(sourcePath, candidatePath)) {
        sound.fileName = candidate;  // imported before under this name
        return sound;
      }
      continue;
    }
    if (files.copyItemAtPathToPath(sourcePath, candidatePath, &error)) {
      sound.fileName = candidate;
    } else {
      consolePrint(error);
    }
    return sound;
  }
}

bool LibraryCommands::runAtomically(const std::string& sql, const char* failurePrefix) {
  // A batch that stops half-way would keep its first statements (an add's delete of the
  // old row without the insert): run it inside a savepoint and undo it all on failure.
  const bool guarded = db->executeStatements("savepoint library_command");
  const bool ok = db->executeStatements(sql);
  const std::string reason = db->lastErrorMessage();
  if (guarded) {
    db->executeStatements(ok ? "release library_command"
                             : "rollback to library_command; release library_command");
  }
  if (ok) {
    libraryGuard().changeSaved();
  } else {
    consolePrint(failurePrefix + reason);
    libraryGuard().changeFailed(failurePrefix + reason);
  }
  return ok;
}

bool LibraryCommands::reportOutcome(bool ok, const char* failurePrefix) {
  if (ok) {
    libraryGuard().changeSaved();
  } else {
    consolePrint(failurePrefix + db->lastErrorMessage());
    libraryGuard().changeFailed(failurePrefix + db->lastErrorMessage());
  }
  return ok;
}

void LibraryCommands::addMusic(int tag) {
  if (!isSoundButtonTag(tag)) return;
  // Asked before the dialog: a library that cannot take the sound is said at once.
  if (!libraryGuard().beforeChange(*db, "添加音效")) return;
  OpenPanel panel = OpenPanel::soundPanel("请选择一个音效文件", false);
  if (panel.runModal(dialogWindow()) != OpenPanel::ModalResponseOK) return;
  storeSoundFiles(tag, {panel.URL()});
}

void LibraryCommands::addMusicBatch() {
  if (!libraryGuard().beforeChange(*db, "添加音效")) return;
  OpenPanel panel = OpenPanel::soundPanel("请选择一个或多个音效文件", true);
  if (panel.runModal(dialogWindow()) != OpenPanel::ModalResponseOK) return;
  storeSoundFiles(0, panel.URLs());
}

std::vector<std::string> LibraryCommands::playableFiles(const std::vector<std::string>& paths) {
  const SoundFileSelection selection = checkSoundFiles(paths);
  for (const auto& refused : selection.refused) {
    consolePrint("无法添加 " + refused.path + "：" + refused.reason);
  }
  if (!selection.refused.empty()) {
    emit soundFilesRefused(QString::fromStdString(selection.summary()),
                           QString::fromStdString(selection.details()));
  }
  return selection.playable;
}

void LibraryCommands::addSoundFiles(int tag, const std::vector<std::string>& paths) {
  if (tag != 0 && !isSoundButtonTag(tag)) return;
  if (!libraryGuard().beforeChange(*db, "添加音效")) return;
  storeSoundFiles(tag, paths);
}

void LibraryCommands::storeSoundFiles(int tag, const std::vector<std::string>& paths) {
  if (tag != 0 && !isSoundButtonTag(tag)) return;
  const std::vector<std::string> files = playableFiles(paths);
  std::size_t next = 0;
  std::string sql;
  int firstEmpty = 1;
  if (tag != 0 && !files.empty()) {
    // The first file replaces what the button holds, keeping its hotkey.
    const int n = tag - kMusicTagBase;
    const ImportedSound sound = importSound(files[next++]);
    const std::string id = newButtonId();
    const std::string hotkey = cached(dicHotkey(), n).value_or("");
    const std::optional<std::string> oldId = cached(dicButtonId(), n);

    dicButtonId()[n] = id;
    dicMusicSrc()[n] = sound.fileName;
    dicTitle()[n] = sound.title;

    if (oldId && !oldId->empty()) {
      sql += std::string(" delete from tb_Button ") + " where ButtonId ='" + q(*oldId) + "';";
    }
    sql += std::string(" insert into tb_Button ( ") + " ClassId,  " + " ButtonId, " +
           " ButtonNo, " + " Title,    " + " MusicSrc, " + " Hotkey    " + " ) values ('" +
           q(currentClassId()) + "','" + q(id) + "','" + std::to_string(n) + "','" +
           q(sound.title) + "','" + q(sound.fileName) + "','" + q(hotkey) + "');";
    firstEmpty = n + 1;
  }
  // The others fill the empty buttons in order.
  for (int n = firstEmpty; n <= kButtonCount; ++n) {
    if (dicMusicSrc().count(n)) continue;  // taken, even by a row without a file
    if (next >= files.size()) break;
    const ImportedSound sound = importSound(files[next++]);
    const std::string id = newButtonId();
    dicButtonId()[n] = id;
    dicMusicSrc()[n] = sound.fileName;
    dicTitle()[n] = sound.title;
    sql += std::string(" insert into tb_Button ( ") + " ClassId,  " + " ButtonId, " +
           " ButtonNo, " + " Title,    " + " MusicSrc  " + " ) values ('" + q(currentClassId()) +
           "','" + q(id) + "','" + std::to_string(n) + "','" + q(sound.title) + "','" +
           q(sound.fileName) + "');";
  }
  if (sql.empty()) return;
  // The caches already hold the new sounds; when the library did not take them, the
  // category is loaded again to show what the library holds instead.
  if (runAtomically(sql, "添加音效失败: ")) {
    emit shownSoundsEdited();
  } else {
    emit libraryChanged();
  }
}

EditMusicViewController* LibraryCommands::editMusic(int tag) {
  if (!isSoundButtonTag(tag)) return nullptr;
  const int n = tag - kMusicTagBase;
  const std::optional<std::string> src = cached(dicMusicSrc(), n);
  if (!src || src->empty()) return nullptr;  // an empty button opens no editor

  auto* editor = new EditMusicViewController(dialogParent);
  editor->presentAsModalWindow();
  const std::string shownPath =
      FileManager::defaultManager().fileExistsAtPath(*src) ? *src : soundPath() + *src;
  editor->lblButtonId->setText(QString::fromStdString(cached(dicButtonId(), n).value_or("")));
  editor->tfButtonNo->setText(QString::number(n));
  editor->tfMusicSrc->setText(QString::fromStdString(shownPath));
  editor->tfTitle->setText(QString::fromStdString(cached(dicTitle(), n).value_or("")));
  editor->tfHotkey->setText(QString::fromStdString(cached(dicHotkey(), n).value_or("")));
  return editor;
}

void LibraryCommands::deleteMusic(int tag) {
  if (!isSoundButtonTag(tag)) return;
  const int n = tag - kMusicTagBase;
  const std::optional<std::string> id = cached(dicButtonId(), n);
  if (!id) return;
  if (!libraryGuard().beforeChange(*db, "删除音效")) return;
  const std::string sql =
      std::string(" delete from tb_Button ") + " where ButtonId ='" + q(*id) + "';";
  if (!reportOutcome(db->executeUpdateWithArgumentsInArray(sql, {}), "删除音效失败: ")) return;

  dicButtonId().erase(n);
  dicMusicSrc().erase(n);
  dicTitle().erase(n);
  dicHotkey().erase(n);
  emit shownSoundsEdited();
}

void LibraryCommands::cutMusic(int tag) {
  if (!isSoundButtonTag(tag)) return;
  if (auto id = cached(dicButtonId(), tag - kMusicTagBase)) cutButtonId() = *id;
}

void LibraryCommands::pasteMusic(int tag) {
  if (!isSoundButtonTag(tag)) return;
  const int n = tag - kMusicTagBase;
  if (cutButtonId().empty()) return;
  const std::string cut = sqlLowercased(cutButtonId());
  const std::string target = sqlLowercased(cached(dicButtonId(), n).value_or(""));

  // Pasting a sound onto its own button, or after its row has gone, would only delete
  // the target's row: leave the library as it is and forget the cut.
  if (target == cut) {
    cutButtonId().clear();
    return;
  }
  auto rs = db->executeQueryWithArgumentsInArray(
      "select ButtonId from tb_Button where Lower(ButtonId) = ?", {cut});
  if (!rs) return;
  const bool cutRowExists = rs->next();
  rs->close();
  if (!cutRowExists) {
    cutButtonId().clear();
    return;
  }
  if (!libraryGuard().beforeChange(*db, "粘贴音效")) return;

  std::string sql;
  if (!target.empty()) {
    sql += std::string(" delete from tb_Button ") + " where Lower(ButtonId) ='" + q(target) + "';";
  }
  sql += std::string(" update tb_Button set ") + " ClassId  ='" + q(currentClassId()) + "'," +
         " ButtonNo ='" + std::to_string(n) + "'" + " where Lower(ButtonId) ='" + q(cut) + "';";
  if (!runAtomically(sql, "粘贴音效失败: ")) return;
  cutButtonId().clear();
  emit libraryChanged();
}

void LibraryCommands::deleteClassMusic(const std::string& classId) {
  const std::string sql =
      std::string(" delete from tb_Button ") + " where ClassId ='" + q(classId) + "'";
  if (!libraryGuard().beforeChange(*db, "删除本分类全部音效")) return;
  if (reportOutcome(db->executeStatements(sql), "删除本分类全部音效失败: ")) emit libraryChanged();
}

void LibraryCommands::clearClassHotkeys(const std::string& classId) {
  const std::string sql = std::string(" update tb_Button  ") + " set Hotkey = null " +
                          " where ClassId ='" + q(classId) + "'";
  if (!libraryGuard().beforeChange(*db, "删除本分类自定义快捷键")) return;
  if (reportOutcome(db->executeStatements(sql), "删除本分类自定义快捷键失败: ")) {
    emit libraryChanged();
  }
}
