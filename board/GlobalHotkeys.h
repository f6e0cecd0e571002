#pragma once
// GlobalHotkeys: the board's opt-in system-wide hotkeys. It runs the check box
// "全局热键" and the modifier choice beside it, and while they are on it keeps the keys
// held from the desktop equal to what the hotkey labels show: each label's key with
// the chosen modifiers, plus the modifiers with Space, which stops whatever plays. A
// held key pressed in another program plays its button exactly as a press on the
// board does. The labels show the modifiers in front of the key while this is on. A
// key another program already holds is marked on its label, named in the line beside
// the check box and printed on standard output.
//
// The board calls hotkeyLabelsChanged() after every change of the labels (mode,
// category, reloads, library commands), so the keys follow them.
//
// Ownership: owned by the board (ViewController), which it refers to; the controls
// belong to the board's window. The desktop's keys are held through a SystemHotkeys
// that exists only while the check box is on.
// Thread-safety: main thread only.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "platform/SystemHotkeys.h"

class QCheckBox;
class QComboBox;
class QLabel;
class ViewController;

class GlobalHotkeys : public QObject {
  Q_OBJECT

 public:
  GlobalHotkeys(ViewController& board, QCheckBox* chkGlobalHotkeys, QComboBox* cmbGlobalModifiers,
                QLabel* lblGlobalHotkeys);
  ~GlobalHotkeys() override;

  // Start-up: restores the check box and the modifiers from the settings. Holds
  // nothing yet; the first hotkeyLabelsChanged() does.
  void initGlobalHotkeys();

  // The controls' actions: each stores its setting and applies it at once.
  void chkGlobalHotkeys_Click(QCheckBox* sender);
  void cmbGlobalModifiers_Change(QComboBox* sender);

  // The text a hotkey label shows for a key name: "" for "", else the name, with the
  // modifiers in front ("Ctrl+Alt+A") while system-wide hotkeys are on.
  QString labelText(const QString& keyName) const;
  // The key name hotkey label n shows, without the modifiers.
  QString keyNameOnLabel(int n) const;

  // Holds the keys the labels now show (or nothing, when off) and marks those that
  // another program holds.
  void hotkeyLabelsChanged();

  bool isOn() const;
  // The chosen modifiers as shown: "Ctrl+Alt", "Ctrl+Shift", "Alt+Shift", "Super", "无".
  QString modifiersText() const;

 private:
  void keyPressed(const QString& name);
  void relabel();
  void showRefused();
  void showStatus(const QString& text);
  QString prefix() const;

  ViewController& board;
  QCheckBox* chkGlobalHotkeys;
  QComboBox* cmbGlobalModifiers;
  QLabel* lblGlobalHotkeys;
  std::unique_ptr<SystemHotkeys> hotkeys;  // only while on
  QString shownPrefix;                     // what the labels carry in front of the key now
  std::vector<SystemHotkeys::Key> heldKeys;
  SystemHotkeys::Modifiers heldModifiers;
  QStringList printedRefusals;  // printed once each until they change
};
