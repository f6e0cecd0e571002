#include "editor/MB.h"

#include "platform/Alert.h"

bool MB::showConfirm(const std::string& question, QWidget* parent) {
  Alert alert;
  alert.setMessageText("操作确认");
  alert.setInformativeText(question);
  alert.setIcon(Alert::Icon::Caution);
  alert.setAlertStyle(Alert::Style::Warning);
  alert.addButtonWithTitle("确定");
  alert.addButtonWithTitle("取消");
  return alert.runModal(parent) == Alert::FirstButtonReturn;
}
