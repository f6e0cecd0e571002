#pragma once
// TFHotkey: the editor's hotkey field. The host clicks (or tabs) into it and presses
// the key; the editor then writes the key's name into it when the key is released.
// While a TFHotkey has the focus it keeps the process-wide flag isHotkeyEditing() up,
// which is how the editor tells a release meant as a hotkey from one typed elsewhere.
//
// The field belongs to its dialog (built from editor.ui); the flag lives for the
// process, starts false and is shared by every TFHotkey.
//
// Thread-safety: main thread only, like every widget.

#include <QLineEdit>

class TFHotkey : public QLineEdit {
  Q_OBJECT

 public:
  explicit TFHotkey(QWidget* parent = nullptr);

  // The field's editing has begun (it took the focus) or ended (it lost the focus).
  void textDidBeginEditing();
  void textDidEndEditing();

  // Whether the last key pressed in the field was a modifier (Shift, Ctrl, Alt,
  // Super, Caps Lock) with no other key pressed since: letting go of it then means the
  // host tried the modifier alone as a hotkey.
  bool modifierPressedAlone() const { return modifierAlone; }
  // Puts back what the field held before the last key pressed in it typed anything: a
  // key that is refused as a hotkey leaves the field as it was.
  void restoreTextBeforeKey() { setText(textBeforeKey); }

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  // Escape is a key the host may try as a hotkey: it must not close the dialog.
  void keyPressEvent(QKeyEvent* event) override;
  // Passes every key release on to the dialog, which names the key.
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  bool modifierAlone = false;
  QString textBeforeKey;
};

// True while a TFHotkey is being edited. Read by the editor's key-release handler;
// tests may set it back to false.
bool& isHotkeyEditing();
