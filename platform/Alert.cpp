#include "platform/Alert.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

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

// The box's labels wrap at a narrow width of their own, which breaks even a short
// question ("删除本分类全部音效 ？" put its "？" on a line of its own). Each label is made
// as wide as its longest line, within most of the screen's width.
void keepLinesWhole(QMessageBox& box) {
  const QScreen* screen = box.screen() ? box.screen() : QGuiApplication::primaryScreen();
  const int widest = screen ? screen->availableGeometry().width() * 3 / 4 : 1000;
  for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
    auto* label = box.findChild<QLabel*>(name);
    if (!label) continue;
    int longest = 0;
    for (const QString& line : label->text().split('\n')) {
      longest = std::max(longest, label->fontMetrics().horizontalAdvance(line));
    }
    // A few pixels more than the text: the metrics round each glyph's advance.
    label->setMinimumWidth(std::min(longest + 8, widest));
  }
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
  keepLinesWhole(box);
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
