#include "library/BackupCommands.h"

#include "editor/MB.h"
#include "library/LibraryBackups.h"
#include "library/LibraryGuard.h"
#include "platform/Alert.h"
#include "platform/ChoicePanel.h"
#include "platform/Console.h"

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
