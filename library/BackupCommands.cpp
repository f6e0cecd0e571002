#include "library/BackupCommands.h"

#include "editor/MB.h"
#include "library/LibraryArchive.h"
#include "library/LibraryBackups.h"
#include "library/LibraryGuard.h"
#include "platform/Alert.h"
#include "platform/ChoicePanel.h"
#include "platform/Console.h"
#include "platform/FileManager.h"
#include "platform/OpenPanel.h"

namespace {

void tell(const std::string& heading, const std::string& text, QWidget* parent) {
  Alert alert;
  alert.setMessageText(heading);
  alert.setInformativeText(text);
  alert.setAlertStyle(Alert::Style::Informational);
  alert.addButtonWithTitle("好");
  alert.runModal(parent);
}

}  // namespace

BackupCommands::BackupCommands(std::shared_ptr<LiteDatabase> db, QObject* parent)
    : QObject(parent), db(std::move(db)) {}

bool BackupCommands::restoreBackup(QWidget* dialogParent) {
  const auto backups = LibraryBackups::list();
  if (backups.empty()) {
    Alert alert;
    alert.setMessageText("没有备份");
    alert.setInformativeText("备份在每天第一次修改音效库之前自动生成，保存在 " +
                             LibraryBackups::folder() + "。");
    alert.setAlertStyle(Alert::Style::Informational);
    alert.addButtonWithTitle("好");
    alert.runModal(dialogParent);
    return false;
  }
  std::vector<std::string> items;
  for (const auto& backup : backups) {
    items.push_back(backup.when + (backup.rows < 0
                                       ? std::string("（无法读取）")
                                       : "（" + std::to_string(backup.rows) + " 个音效）"));
  }
  ChoicePanel panel;
  panel.setTitle("恢复备份");
  panel.setMessage("选择要恢复的备份。现在的音效库会先保存为一个备份，恢复之后还可以再恢复回来。");
  panel.setItems(items);
  panel.setChooseButtonTitle("恢复");
  const int chosen = panel.runModal(dialogParent);
  if (chosen < 0) return false;
  if (!MB::showConfirm("恢复备份 " + items[chosen] + " ？", dialogParent)) return false;
  if (!libraryGuard().beforeChange(*db, "恢复备份")) return false;

  std::string why;
  if (!LibraryBackups::restore(*db, backups[chosen].path, &why)) {
    consolePrint("恢复备份失败：" + why);
    libraryGuard().changeFailed("恢复备份失败：" + why);
    return false;
  }
  libraryGuard().changeSaved();
  emit libraryReplaced();
  return true;
}

std::string BackupCommands::exportLibrary(QWidget* dialogParent) {
  OpenPanel panel;
  panel.setTitle("选择导出音效库的文件夹");
  panel.setCanChooseFiles(false);
  panel.setCanChooseDirectories(true);
  panel.setCanCreateDirectories(true);
  if (panel.runModal(dialogParent) != OpenPanel::ModalResponseOK) return std::string();

  char day[16];
  const std::time_t now = LibraryBackups::now();
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(day, sizeof day, "%Y-%m-%d", &local);
  const std::string stem = panel.URL() + "/cueboard-" + day;
  std::string path = stem + ".zip";
  for (int k = 2; FileManager::defaultManager().fileExistsAtPath(path); ++k) {
    path = stem + " (" + std::to_string(k) + ").zip";
  }
  std::string why;
  if (!LibraryArchive::exportTo(*db, path, &why)) {
    consolePrint("导出音效库失败：" + why);
    libraryGuard().changeFailed("导出音效库失败：" + why);
    return std::string();
  }
  tell("音效库已导出", "音效库和它的音效文件已保存到 " + path + "。", dialogParent);
  return path;
}

bool BackupCommands::importLibrary(QWidget* dialogParent) {
  OpenPanel panel;
  panel.setTitle("选择要导入的音效库（.zip）");
  panel.setAllowedFileTypes({"zip"});
  panel.setAllowsMultipleSelection(false);
  panel.setCanChooseDirectories(false);
  if (panel.runModal(dialogParent) != OpenPanel::ModalResponseOK) return false;
  const std::string zip = panel.URL();
  if (!MB::showConfirm("导入音效库 " + zip + " ？现在的音效库会先保存为一个备份。", dialogParent)) {
    return false;
  }
  if (!libraryGuard().beforeChange(*db, "导入音效库")) return false;
  std::string why;
  if (!LibraryArchive::importFrom(*db, zip, &why)) {
    consolePrint("导入音效库失败：" + why);
    libraryGuard().changeFailed("导入音效库失败：" + why);
    return false;
  }
  libraryGuard().changeSaved();
  emit libraryReplaced();
  return true;
}
