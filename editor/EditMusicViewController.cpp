#include "editor/EditMusicViewController.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>

#include "editor/KeyNames.h"
#include "editor/MB.h"
#include "editor/TFHotkey.h"
#include "library/Caches.h"
#include "library/DBHelper.h"
#include "library/LibraryGuard.h"
#include "library/LoudnessStore.h"
#include "library/SqlText.h"
#include "litedb/LiteDatabase.h"
#include "platform/FileManager.h"
#include "platform/KeyCodes.h"
#include "platform/NotificationCenter.h"
#include "platform/OpenPanel.h"
#include "platform/Paths.h"
#include "platform/SoundCheck.h"
#include "platform/UserDefaults.h"
#include "ui_editor.h"

namespace {

constexpr int kButtonCount = 40;

QString qs(const std::string& text) { return QString::fromStdString(text); }

std::string cached(const ButtonTextMap& cache, int n) {
  auto found = cache.find(n);
  return found == cache.end() ? std::string() : found->second;
}

// A whole decimal number and nothing else: an optional sign and ASCII digits (no
// spaces, no other scripts' digits). None when the text is anything else or does not
// fit 64 bits.
std::optional<long long> strictInteger(const QString& text) {
  const std::string digits = text.toStdString();
  const std::string_view whole = digits;
  const bool signed_ = whole.starts_with('+') || whole.starts_with('-');
  const std::string_view magnitude = signed_ ? whole.substr(1) : whole;
  // from_chars takes a "-" but not a "+".
  const std::string_view number = whole.starts_with('+') ? magnitude : whole;
  if (magnitude.empty() || !std::all_of(magnitude.begin(), magnitude.end(),
                                        [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  long long value = 0;
  auto [stop, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || stop != number.data() + number.size()) return std::nullopt;
  return value;
}

// The text's leading decimal number, as a text field reads its integer value: leading
// white space skipped, an optional sign, the digits that follow; 0 when the text does
// not start with a number. Saturates at the bounds of int.
int leadingInteger(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  long long value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = std::min<long long>(value * 10 + (text[i].unicode() - u'0'), 1LL + INT_MAX);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// Shift, Control, Option, Command, Caps Lock and Fn: held with a key rather than
// pressed as one, so letting go of them captures nothing.
bool isModifierKey(const QKeyEvent& event) {
  const std::uint16_t code = keyCodeForEvent(event);
  return code >= 54 && code <= 63;
}

}  // namespace

EditMusicViewController::EditMusicViewController(QWidget* parent)
    : QDialog(parent), db(dbHelper().db()), ui(std::make_unique<Ui::EditMusicView>()) {
  ui->setupUi(this);
  lblButtonId = ui->lblButtonId;
  tfButtonNo = ui->tfButtonNo;
  tfMusicSrc = ui->tfMusicSrc;
  tfTitle = ui->tfTitle;
  tfHotkey = ui->tfHotkey;
  lblMsg = ui->lblMsg;
  btnPrev = ui->btnPrev;
  btnNext = ui->btnNext;
  btnSave = ui->btnSave;
  chkAutoShowNext = ui->chkAutoShowNext;
  connectLayoutActions();
  viewDidLoad();
}

EditMusicViewController::~EditMusicViewController() = default;

void EditMusicViewController::connectLayoutActions() {
  connect(ui->btnSelect, &QPushButton::clicked, this, [this] { btnSelect_Clicked(ui->btnSelect); });
  connect(btnNext, &QPushButton::clicked, this, [this] { btnNext_Clicked(btnNext); });
  connect(btnPrev, &QPushButton::clicked, this, [this] { btnPrev_Clicked(btnPrev); });
  connect(btnSave, &QPushButton::clicked, this, [this] { btnSave_Clicked(btnSave); });
  connect(chkAutoShowNext, &QCheckBox::clicked, this,
          [this] { chkAutoShowNext_Clicked(chkAutoShowNext); });
  connect(ui->btnClose, &QPushButton::clicked, this, [this] { btnClose_Clicked(ui->btnClose); });
  connect(ui->btnClearHotkey, &QPushButton::clicked, this,
          [this] { btnClearHotkey_Clicked(ui->btnClearHotkey); });
  // Whoever shows a button shows its number: its loudness and trim follow.
  connect(tfButtonNo, &QLineEdit::textChanged, this, [this] {
    const auto n = strictInteger(tfButtonNo->text());
    if (!n || *n < 1 || *n > kButtonCount) return;
    const std::string src = cached(dicMusicSrc(), static_cast<int>(*n));
    showLoudness(src,
                 FileManager::defaultManager().fileExistsAtPath(src) ? src : soundPath() + src);
  });
}

void EditMusicViewController::presentAsModalWindow() {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowModality(Qt::WindowModal);
  show();
  activateWindow();
}

void EditMusicViewController::viewDidLoad() {
  auto& defaults = UserDefaults::standardUserDefaults();
  if (!defaults.objectForKey("autoShowNext")) return;
  chkAutoShowNext->setChecked(defaults.boolForKey("autoShowNext"));
}

// ---------------------------------------------------------------------------
// File choice

void EditMusicViewController::btnSelect_Clicked(QPushButton*) {
  OpenPanel panel = OpenPanel::soundPanel("请选择一个音效文件", false);
  if (panel.runModal(this) != OpenPanel::ModalResponseOK) return;
  // A file that does not play never reaches the library; the fields keep what they hold.
  const std::string problem = soundFileProblem(panel.URL());
  if (!problem.empty()) {
    lblMsg->setText(qs("无法添加 " + lastPathComponent(panel.URL()) + "：" + problem));
    return;
  }

  const QString path = qs(panel.URL());
  const QString title = qs(titleForSoundFile(panel.URL()));
  tfMusicSrc->setText(path);
  tfTitle->setText(title);
}

// ---------------------------------------------------------------------------
// Navigation

void EditMusicViewController::btnNext_Clicked(QPushButton*) {
  const auto n = strictInteger(tfButtonNo->text());
  if (!n || *n < 1 || *n > kButtonCount) return;  // no button to walk from
  if (*n == kButtonCount) {
    btnNext->setEnabled(false);
    return;
  }
  btnPrev->setEnabled(true);
  btnNext->setEnabled(true);
  for (int i = static_cast<int>(*n) + 1; i <= kButtonCount; ++i) {
    if (dicMusicSrc().contains(i)) {
      showButton(i);
      return;
    }
  }
}

void EditMusicViewController::btnPrev_Clicked(QPushButton*) {
  const auto n = strictInteger(tfButtonNo->text());
  if (!n || *n < 1 || *n > kButtonCount) return;
  if (*n == 1) {
    btnPrev->setEnabled(false);
    return;
  }
  btnPrev->setEnabled(true);
  btnNext->setEnabled(true);
  for (int i = static_cast<int>(*n) - 1; i >= 1; --i) {
    if (dicMusicSrc().contains(i)) {
      showButton(i);
      return;
    }
  }
}

void EditMusicViewController::showButton(int i) {
  const std::string src = cached(dicMusicSrc(), i);
  const std::string path =
      FileManager::defaultManager().fileExistsAtPath(src) ? src : soundPath() + src;
  lblButtonId->setText(qs(cached(dicButtonId(), i)));
  tfButtonNo->setText(QString::number(i));
  tfMusicSrc->setText(qs(path));
  tfTitle->setText(qs(cached(dicTitle(), i)));
  // A button filled since the last load has no hotkey entry yet.
  tfHotkey->setText(qs(cached(dicHotkey(), i)));
}

// The sound's measured loudness and its trim (kept apart from its row in tb_Button).
void EditMusicViewController::showLoudness(const std::string& musicSrc, const std::string& path) {
  LoudnessStore store(db);
  const std::optional<Loudness> measured = store.loudnessForFile(musicSrc, path);
  ui->lblLoudness->setText(measured ? QString("响度 %1 LUFS，峰值 %2 dBTP")
                                          .arg(measured->integratedLufs, 0, 'f', 1)
                                          .arg(measured->truePeakDbtp, 0, 'f', 1)
                                    : QString("响度未测量"));
  ui->spinTrim->setValue(store.trimForFile(musicSrc));
}

// ---------------------------------------------------------------------------
// Save

std::string EditMusicViewController::updateButtonSql(const std::string& title,
                                                     const std::string& hotkey,
                                                     const std::string& musicSrc,
                                                     const std::string& buttonId) {
  return std::string(" update tb_Button set ") + " Title    ='" + quotedSqlText(title) + "'," +
         " Hotkey   ='" + quotedSqlText(hotkey) + "'," + " MusicSrc ='" + quotedSqlText(musicSrc) +
         "'" + " where Lower(ButtonId) ='" + quotedSqlText(sqlLowercased(buttonId)) + "'";
}

// The title of another button of the category shown that has `hotkey`, none when no
// other has it.
std::optional<std::string> EditMusicViewController::hotkeyTakenBy(const std::string& hotkey,
                                                                  int n) const {
  if (hotkey.empty()) return std::nullopt;
  for (const auto& [other, key] : dicHotkey()) {
    if (other != n && key == hotkey && dicButtonId().count(other)) return cached(dicTitle(), other);
  }
  return std::nullopt;
}

void EditMusicViewController::btnSave_Clicked(QPushButton*) {
  // A file inside the sound folder is stored by its name there. Only a leading folder
  // path is taken off: a file elsewhere whose path merely contains the folder's path
  // (a backup copy of the library, say) keeps its full path.
  std::string src = tfMusicSrc->text().toStdString();
  const std::string folder = soundPath();
  if (src.starts_with(folder)) src.erase(0, folder.size());
  const std::string id = lblButtonId->text().toStdString();
  const int no = leadingInteger(tfButtonNo->text());
  const std::string title = tfTitle->text().toStdString();
  const std::string hotkey = tfHotkey->text().toStdString();
  // Two buttons with one key: the key plays only the first of them.
  if (const auto holder = hotkeyTakenBy(hotkey, no)) {
    if (!MB::showConfirm("热键 " + hotkey + " 已被“" + *holder + "”使用，仍然保存？", this)) return;
  }
  if (!libraryGuard().beforeChange(*db, "修改音效")) {
    lblMsg->setText(QStringLiteral("修改失败：") + qs(title));
    return;
  }

  dicMusicSrc()[no] = src;
  dicTitle()[no] = title;
  dicButtonId()[no] = id;
  dicHotkey()[no] = hotkey;

  const bool saved =
      db->executeUpdateWithArgumentsInArray(updateButtonSql(title, hotkey, src, id), {});
  // The trim is stored only once it is set, so an untouched one adds no table.
  LoudnessStore loudness(db);
  const double trim = ui->spinTrim->value();
  const bool trimSaved =
      trim == loudness.trimForFile(src) || (loudness.prepare() && loudness.setTrim(src, trim));
  if (saved && trimSaved) {
    libraryGuard().changeSaved();
  } else {
    libraryGuard().changeFailed("修改音效失败: " + db->lastErrorMessage());
  }
  lblMsg->setText(
      (saved && trimSaved ? QStringLiteral("修改成功：") : QStringLiteral("修改失败：")) +
      qs(title));

  // The board reloads before this returns, so the caches hold what the library now
  // holds when the walk below reads them.
  NotificationCenter::defaultCenter().postNotificationName("refreshBtnMusic");
  if (chkAutoShowNext->isChecked()) btnNext_Clicked(btnNext);
}

void EditMusicViewController::chkAutoShowNext_Clicked(QCheckBox* sender) {
  UserDefaults::standardUserDefaults().setObjectForKey(sender->isChecked() ? 1 : 0, "autoShowNext");
}

void EditMusicViewController::btnClose_Clicked(QPushButton*) { close(); }

// ---------------------------------------------------------------------------
// Hotkey capture

void EditMusicViewController::btnClearHotkey_Clicked(QPushButton*) { tfHotkey->setText(QString()); }

void EditMusicViewController::keyReleaseEvent(QKeyEvent* event) { keyUp(event); }

void EditMusicViewController::keyUp(QKeyEvent* event) {
  event->accept();
  if (!isHotkeyEditing()) return;
  if (isModifierKey(*event)) {
    // Let go of after the key it was held with: the key is the hotkey.
    if (tfHotkey->modifierPressedAlone()) refuseHotkey(*event);
    return;
  }
  const std::string name = keyNameForKeyCode(*event);
  if (name.empty()) {
    tfHotkey->restoreTextBeforeKey();
    refuseHotkey(*event);
    return;
  }
  tfHotkey->setText(qs(name));
}

// The field keeps its key; the message line says why the pressed one is not taken.
void EditMusicViewController::refuseHotkey(const QKeyEvent& event) {
  const QString key = event.key() != 0 && event.key() != Qt::Key_unknown
                          ? QKeySequence(event.key()).toString(QKeySequence::NativeText)
                          : QStringLiteral("这个键");
  lblMsg->setText(QString("“%1”不能作热键：热键只能是字母、数字或小键盘数字键").arg(key));
}
