#include "editor/TFHotkey.h"

#include <QFocusEvent>
#include <QKeyEvent>

bool& isHotkeyEditing() {
  static bool editing = false;
  return editing;
}

TFHotkey::TFHotkey(QWidget* parent) : QLineEdit(parent) {}

void TFHotkey::textDidBeginEditing() { isHotkeyEditing() = true; }

void TFHotkey::textDidEndEditing() { isHotkeyEditing() = false; }

// Focus changes, whatever their reason (a click, Tab, the window losing or regaining
// activation), are the beginning and end of the field's editing: while the field has
// the focus, the keys the host releases are meant for it.
void TFHotkey::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  textDidBeginEditing();
}

void TFHotkey::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  textDidEndEditing();
}

void TFHotkey::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_CapsLock:
      modifierAlone = true;
      break;
    default:
      modifierAlone = false;
      if (!event->isAutoRepeat()) textBeforeKey = text();
      break;
  }
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

// A line edit keeps the releases it sees; this one leaves them to its dialog, whose
// key-release handler writes the released key's name into the field.
void TFHotkey::keyReleaseEvent(QKeyEvent* event) {
  QLineEdit::keyReleaseEvent(event);
  event->ignore();
}
