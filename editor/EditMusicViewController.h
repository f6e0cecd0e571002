#pragma once
// EditMusicViewController: the sound editor. A dialog that edits one sound button of
// the board's current category at a time (its sound file, title and custom hotkey),
// writes it back to the library, tells the board to reload, and can walk through the
// category's filled buttons, before or after a save.
//
// Ownership: the board's edit command creates one per opening, with the board as its
// parent, and presents it; it is a window of its own, window-modal over the board,
// and deletes itself when closed. Its controls belong to it (built from editor.ui);
// the outlets below point at them. It holds the library connection taken from
// dbHelper() at construction, which outlives every editor. It keeps no state besides
// its controls: the button it shows is what lblButtonId and tfButtonNo hold, and it
// reads the shared caches afresh at every step.
//
// Thread-safety: main thread only.

#include <QDialog>
#include <memory>
#include <optional>
#include <string>

class LiteDatabase;
class QCheckBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class TFHotkey;

namespace Ui {
class EditMusicView;
}

class EditMusicViewController : public QDialog {
  Q_OBJECT

 public:
  // Builds the dialog's controls and runs viewDidLoad; it is not shown yet.
  explicit EditMusicViewController(QWidget* parent = nullptr);
  ~EditMusicViewController() override;

  // Shows the dialog as a window-modal window over its parent's window and returns at
  // once; the dialog deletes itself when it is closed.
  void presentAsModalWindow();

  // Applies the remembered "autoShowNext" setting; the check box keeps its laid-out
  // state until the host has clicked it once.
  void viewDidLoad();

  // Actions.
  void btnSelect_Clicked(QPushButton* sender);
  void btnNext_Clicked(QPushButton* sender);
  void btnPrev_Clicked(QPushButton* sender);
  void btnSave_Clicked(QPushButton* sender);
  void chkAutoShowNext_Clicked(QCheckBox* sender);
  void btnClose_Clicked(QPushButton* sender);
  void btnClearHotkey_Clicked(QPushButton* sender);
  // A key released in the dialog: while the hotkey field is being edited, the field
  // shows the key's name ("" for a key without one).
  void keyUp(QKeyEvent* event);

  // Fills the fields with the cached row of button i (1-40), which must be filled.
  void showButton(int i);

  // The statement the save runs. Every value is quoted; the id is matched without
  // regard to ASCII case.
  static std::string updateButtonSql(const std::string& title, const std::string& hotkey,
                                     const std::string& musicSrc, const std::string& buttonId);

  const std::shared_ptr<LiteDatabase>& database() const { return db; }

  // Outlets: the controls of the laid-out dialog.
  QLabel* lblButtonId = nullptr;
  QLineEdit* tfButtonNo = nullptr;
  QLineEdit* tfMusicSrc = nullptr;
  QLineEdit* tfTitle = nullptr;
  TFHotkey* tfHotkey = nullptr;
  QLabel* lblMsg = nullptr;
  QPushButton* btnPrev = nullptr;
  QPushButton* btnNext = nullptr;
  QPushButton* btnSave = nullptr;
  QCheckBox* chkAutoShowNext = nullptr;

 protected:
  void keyReleaseEvent(QKeyEvent* event) override;

 private:
  void connectLayoutActions();
  void refuseHotkey(const QKeyEvent& event);
  std::optional<std::string> hotkeyTakenBy(const std::string& hotkey, int n) const;
  void showLoudness(const std::string& musicSrc, const std::string& path);

  const std::shared_ptr<LiteDatabase> db;
  std::unique_ptr<Ui::EditMusicView> ui;
};
