#include "platform/ChoicePanel.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

ChoicePanel::Responder& responder() {
  static ChoicePanel::Responder installed;
  return installed;
}

}  // namespace

void ChoicePanel::setResponderForTesting(Responder installed) {
  responder() = std::move(installed);
}

int ChoicePanel::runModal(QWidget* parent) {
  if (responder()) {
    const int chosen = responder()(*this);
    return chosen >= 0 && chosen < static_cast<int>(_items.size()) ? chosen : -1;
  }
  if (_items.empty()) return -1;

  QDialog dialog(parent);
  dialog.setWindowTitle(QString::fromStdString(_title));
  dialog.setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
  auto* layout = new QVBoxLayout(&dialog);
  if (!_message.empty()) {
    auto* label = new QLabel(QString::fromStdString(_message), &dialog);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    layout->addWidget(label);
  }
  auto* list = new QListWidget(&dialog);
  for (const std::string& item : _items) list->addItem(QString::fromStdString(item));
  list->setCurrentRow(0);
  layout->addWidget(list);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromStdString(_chooseTitle));
  buttons->button(QDialogButtonBox::Cancel)->setText("取消");
  layout->addWidget(buttons);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
  if (dialog.exec() != QDialog::Accepted) return -1;
  return list->currentRow();
}
