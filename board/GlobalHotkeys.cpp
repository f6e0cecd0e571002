#include "board/GlobalHotkeys.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <algorithm>

#include "board/ViewController.h"
#include "editor/KeyNames.h"
#include "platform/Console.h"
#include "platform/KeyCodes.h"
#include "platform/UserDefaults.h"

namespace {

constexpr int kButtonCount = 40;
const QString kStopKey = QStringLiteral("Space");
const QString kNoModifiers = QStringLiteral("无");
const QString kDefaultModifiers = QStringLiteral("Ctrl+Alt");

struct ModifierChoice {
  const char* text;
  SystemHotkeys::Modifiers modifiers;
};

const ModifierChoice kModifierChoices[] = {
    {"Ctrl+Alt", SystemHotkeys::Control | SystemHotkeys::Alt},
    {"Ctrl+Shift", SystemHotkeys::Control | SystemHotkeys::Shift},
    {"Alt+Shift", SystemHotkeys::Alt | SystemHotkeys::Shift},
    {"Super", SystemHotkeys::Super},
    {"无", SystemHotkeys::NoModifier},
};

SystemHotkeys::Modifiers modifiersFor(const QString& text) {
  for (const auto& choice : kModifierChoices) {
    if (text == QString::fromUtf8(choice.text)) return choice.modifiers;
  }
  return SystemHotkeys::Control | SystemHotkeys::Alt;
}

bool sameKeys(const std::vector<SystemHotkeys::Key>& a, const std::vector<SystemHotkeys::Key>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.name == y.name && x.position == y.position;
  });
}

}  // namespace

GlobalHotkeys::GlobalHotkeys(ViewController& board, QCheckBox* chkGlobalHotkeys,
                             QComboBox* cmbGlobalModifiers, QLabel* lblGlobalHotkeys)
    : board(board),
      chkGlobalHotkeys(chkGlobalHotkeys),
      cmbGlobalModifiers(cmbGlobalModifiers),
      lblGlobalHotkeys(lblGlobalHotkeys) {
  connect(chkGlobalHotkeys, &QCheckBox::clicked, this,
          [this] { chkGlobalHotkeys_Click(this->chkGlobalHotkeys); });
  connect(cmbGlobalModifiers, &QComboBox::currentIndexChanged, this,
          [this] { cmbGlobalModifiers_Change(this->cmbGlobalModifiers); });
}

GlobalHotkeys::~GlobalHotkeys() = default;

void GlobalHotkeys::initGlobalHotkeys() {
  auto& defaults = UserDefaults::standardUserDefaults();
  const QSignalBlocker quietCheck(chkGlobalHotkeys);  // restoring is not a user's change
  const QSignalBlocker quietChoice(cmbGlobalModifiers);
  chkGlobalHotkeys->setChecked(defaults.integerForKey("globalHotkeys") == 1);
  const QString stored =
      QString::fromStdString(defaults.stringForKey("globalModifiers").value_or(""));
  int index = cmbGlobalModifiers->findText(stored);
  if (index < 0) index = cmbGlobalModifiers->findText(kDefaultModifiers);
  cmbGlobalModifiers->setCurrentIndex(index);
  shownPrefix = prefix();
  showStatus(QString());
}

bool GlobalHotkeys::isOn() const { return chkGlobalHotkeys->isChecked(); }

QString GlobalHotkeys::modifiersText() const {
  const QString text = cmbGlobalModifiers->currentText();
  return text.isEmpty() ? kDefaultModifiers : text;
}

QString GlobalHotkeys::prefix() const {
  if (!isOn() || modifiersText() == kNoModifiers) return QString();
  return modifiersText() + QLatin1Char('+');
}

QString GlobalHotkeys::labelText(const QString& keyName) const {
  return keyName.isEmpty() ? QString() : shownPrefix + keyName;
}

QString GlobalHotkeys::keyNameOnLabel(int n) const {
  const QLabel* label = board.hotkeyLabel(n);
  if (!label) return QString();
  const QString text = label->text();
  return !shownPrefix.isEmpty() && text.startsWith(shownPrefix) ? text.mid(shownPrefix.size())
                                                                : text;
}

void GlobalHotkeys::chkGlobalHotkeys_Click(QCheckBox* sender) {
  UserDefaults::standardUserDefaults().setIntegerForKey(sender->isChecked() ? 1 : 0,
                                                        "globalHotkeys");
  relabel();
}

void GlobalHotkeys::cmbGlobalModifiers_Change(QComboBox* sender) {
  UserDefaults::standardUserDefaults().setObjectForKey(sender->currentText(), "globalModifiers");
  relabel();
}

// Each label keeps its key and takes the new modifiers.
void GlobalHotkeys::relabel() {
  std::vector<QString> names;
  for (int n = 1; n <= kButtonCount; ++n) names.push_back(keyNameOnLabel(n));
  shownPrefix = prefix();
  for (int n = 1; n <= kButtonCount; ++n) {
    if (QLabel* label = board.hotkeyLabel(n)) label->setText(labelText(names[n - 1]));
  }
  hotkeyLabelsChanged();
}

void GlobalHotkeys::hotkeyLabelsChanged() {
  if (!isOn()) {
    if (hotkeys) hotkeys.reset();  // releases every key
    heldKeys.clear();
    printedRefusals.clear();
    chkGlobalHotkeys->setToolTip(QString());
    showRefused();
    return;
  }
  if (!hotkeys) {
    hotkeys = std::make_unique<SystemHotkeys>();
    connect(hotkeys.get(), &SystemHotkeys::pressed, this, &GlobalHotkeys::keyPressed);
    connect(hotkeys.get(), &SystemHotkeys::refusedKeysChanged, this, &GlobalHotkeys::showRefused);
    heldKeys.clear();
    heldModifiers = SystemHotkeys::NoModifier;
  }
  if (!hotkeys->isAvailable()) {
    chkGlobalHotkeys->setToolTip(hotkeys->unavailableReason());
    showRefused();
    return;
  }
  chkGlobalHotkeys->setToolTip(QString());

  // Each key once, in label order; names that are no key of ours are shown but not held.
  std::vector<SystemHotkeys::Key> keys;
  for (int n = 1; n <= kButtonCount; ++n) {
    const QString name = keyNameOnLabel(n);
    const std::uint16_t position = keyCodeForKeyName(name.toStdString());
    if (position == kNoKeyCode) continue;
    if (std::none_of(keys.begin(), keys.end(), [&](const auto& key) { return key.name == name; }))
      keys.push_back({name, position});
  }
  // No hotkeys on the board (the no-hotkeys mode, an empty custom category): nothing
  // is held, the stop key included.
  if (!keys.empty()) keys.push_back({kStopKey, keyCodeForQtKey(Qt::Key_Space, false)});

  const SystemHotkeys::Modifiers modifiers = modifiersFor(modifiersText());
  if (!sameKeys(keys, heldKeys) || modifiers != heldModifiers || keys.empty()) {
    if (keys.empty()) {
      hotkeys->release();
    } else {
      hotkeys->grab(keys, modifiers);
    }
    heldKeys = keys;
    heldModifiers = modifiers;
  }
  showRefused();
}

void GlobalHotkeys::showRefused() {
  const QStringList refused = hotkeys && isOn() ? hotkeys->refusedKeys() : QStringList();
  for (int n = 1; n <= kButtonCount; ++n) {
    QLabel* label = board.hotkeyLabel(n);
    if (!label) continue;
    const bool taken = !label->text().isEmpty() && refused.contains(keyNameOnLabel(n));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, taken ? Qt::red : Qt::gray);
    label->setPalette(palette);
    label->setProperty("refused", taken);
    label->setToolTip(taken ? labelText(keyNameOnLabel(n)) + QStringLiteral(" 已被其他程序占用")
                            : QString());
  }
  QStringList lines;
  for (const QString& name : refused) {
    if (!printedRefusals.contains(name)) {
      consolePrint(("全局热键 " + labelText(name) + " 已被其他程序占用").toStdString());
    }
  }
  printedRefusals = refused;

  if (!isOn()) {
    showStatus(QString());
    return;
  }
  if (hotkeys && !hotkeys->isAvailable()) {
    showStatus(hotkeys->unavailableReason());
    return;
  }
  if (modifiersText() == kNoModifiers) {
    lines << QStringLiteral("无修饰键：这些键在其他程序里都无法输入");
  }
  if (!refused.isEmpty()) {
    QStringList shown;
    for (const QString& name : refused) shown << labelText(name);
    lines << QStringLiteral("已被其他程序占用：") + shown.join(QStringLiteral("、"));
  }
  showStatus(lines.join(QStringLiteral("；")));
}

void GlobalHotkeys::showStatus(const QString& text) {
  lblGlobalHotkeys->setText(text);
  lblGlobalHotkeys->setToolTip(text);
  lblGlobalHotkeys->setVisible(!text.isEmpty());
}

void GlobalHotkeys::keyPressed(const QString& name) {
  if (name == kStopKey) {
    board.model().stop();
    return;
  }
  // The same button a press on the focused board plays: the first label showing it.
  const QString text = labelText(name);
  for (int n = 1; n <= kButtonCount; ++n) {
    const QLabel* label = board.hotkeyLabel(n);
    if (label && label->text() == text) {
      if (board.soundButton(n)) board.model().play(0, n);
      return;
    }
  }
}
