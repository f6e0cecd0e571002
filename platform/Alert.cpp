#include "platform/Alert.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace {

Alert::Responder& responder() {
  static Alert::Responder installed;
  return installed;
}

QMessageBox::Icon boxIcon(Alert::Icon icon, Alert::Style style) {
  if (icon == Alert::Icon::Caution || style == Alert::Style::Warning) return QMessageBox::Warning;
  if (style == Alert::Style::Critical) return QMessageBox::Critical;
  return QMessageBox::Information;
}

}  // namespace

void Alert::setResponderForTesting(Responder installed) { responder() = std::move(installed); }

int Alert::runModal(QWidget* parent) {
  if (responder()) return responder()(*this);

  QMessageBox box(parent);
  box.setWindowModality(Qt::ApplicationModal);
  box.setIcon(boxIcon(_icon, _style));
  // Plain text: a title the host typed shows as typed, markup and all.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(_messageText));
  box.setInformativeText(QString::fromStdString(_informativeText));
  for (auto* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
  std::vector<QPushButton*> added;
  for (const std::string& title : _buttons) {
    const auto role = added.empty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    added.push_back(box.addButton(QString::fromStdString(title), role));
  }
  if (!added.empty()) {
    box.setDefaultButton(added.front());
    // Escape and the window's close button answer with the last button (the "cancel" of
    // a question), as a person expects; a box must never refuse to close.
    box.setEscapeButton(added.back());
  }
  box.exec();
  for (std::size_t i = 0; i < added.size(); ++i) {
    if (box.clickedButton() == added[i]) return FirstButtonReturn + static_cast<int>(i);
  }
  return Cancelled;
}
