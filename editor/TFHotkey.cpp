#include "editor/TFHotkey.h"

#include <QFocusEvent>

bool& isHotkeyEditing() {
  static bool editing = false;
  return editing;
}

TFHotkey::TFHotkey(QWidget* parent) : QLineEdit(parent) {}

TFHotkey::~TFHotkey() {
  // A field destroyed with the focus never sees its focus-out (the base class's
  // destructor sends it to a QWidget), so its editing ends here.
  if (hasFocus()) textDidEndEditing();
}

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
