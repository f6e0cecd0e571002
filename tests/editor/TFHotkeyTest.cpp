// Capturing a hotkey in the editor: the hotkey field's editing flag, the names written
// on key release, the clear button, and the board's hotkeys staying quiet while the
// editor is the active window. Key events carry real X11/Wayland scan codes (the evdev
// code + 8), as a keyboard sends them.

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <memory>

#include "EditorFixture.h"
#include "platform/AudioDevice.h"
#include "platform/Bundle.h"

namespace {

// evdev codes + 8
constexpr quint32 kScanA = 38, kScanQ = 24, kScan5 = 14, kScanKeypad5 = 84, kScanSpace = 65,
                  kScanLeft = 113, kScanF1 = 67, kScanShift = 50, kScanTab = 23,
                  kScanSuperLeft = 133, kScanSuperRight = 134, kScanEscape = 9;

void sendKey(QWidget* window, QEvent::Type type, int key, quint32 scanCode,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier, const QString& text = QString()) {
  QKeyEvent event(type, key, modifiers, scanCode, 0, 0, text);
  QCoreApplication::sendEvent(window->windowHandle(), &event);
}

void pressAndRelease(QWidget* window, int key, quint32 scanCode,
                     Qt::KeyboardModifiers modifiers = Qt::NoModifier,
                     const QString& text = QString()) {
  sendKey(window, QEvent::KeyPress, key, scanCode, modifiers, text);
  sendKey(window, QEvent::KeyRelease, key, scanCode, modifiers, text);
}

}  // namespace

class TFHotkeyTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  QPointer<EditMusicViewController> editor;

  // Buttons 1 and 7 of category 1 hold a real sound; their custom keys are "A" and "Q".
  void startBoard(int hotkeyTag) {
    world->writeLibrary({{"K1", categoryId(1), 1, "一", "ding.mp3", "A"},
                         {"K7", categoryId(1), 7, "七", "ding.mp3", "Q"}});
    const QString shipped = QString::fromStdString(Bundle::mainBundle().resourcePath()) + "/sound";
    const QStringList sounds = QDir(shipped).entryList({"*.mp3"}, QDir::Files, QDir::Name);
    QVERIFY(!sounds.isEmpty());
    QVERIFY(QFile::copy(shipped + "/" + sounds.first(),
                        QString::fromStdString(soundPath()) + "ding.mp3"));
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyTag, "hotkeyTag");
    board = std::make_unique<ViewController>();
    board->show();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
  }

  void openOn(int n) {
    editor = openEditorOn(*board, n);
    QVERIFY(editor);
    QTRY_COMPARE(QApplication::activeWindow(), editor.data());
  }

  void clickInto(QWidget* field) {
    QTest::mouseClick(field, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), field);
  }

  QString label(int n) const { return board->viewWithTag<QLabel>(200 + n)->text(); }

 private slots:
  void initTestCase() { QVERIFY2(AudioDevice::open(), AudioDevice::lastError().c_str()); }
  void init() {
    world = std::make_unique<BoardFixture>();
    isHotkeyEditing() = false;
  }
  void cleanup() {
    delete editor.data();
    board.reset();
    world.reset();
  }

  void editingFlagFollowsTheFieldsFocus() {
    startBoard(2);
    openOn(7);
    QVERIFY(QApplication::focusWidget() != editor->tfHotkey);
    QVERIFY(!isHotkeyEditing());
    clickInto(editor->tfHotkey);
    QVERIFY(isHotkeyEditing());
    clickInto(editor->tfTitle);
    QVERIFY(!isHotkeyEditing());
    sendKey(editor, QEvent::KeyPress, Qt::Key_Tab, kScanTab);  // tabbing into it
    QCOMPARE(QApplication::focusWidget(), editor->tfHotkey);
    QVERIFY(isHotkeyEditing());
    editor->close();  // the window's own close, the focus still in the field
    QTRY_VERIFY(editor.isNull());
    QVERIFY(!isHotkeyEditing());
    openOn(7);
    clickInto(editor->tfHotkey);
    delete editor.data();  // gone without being closed first
    QVERIFY(!isHotkeyEditing());
  }

  void releasedKeyIsCaptured_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    const int none = Qt::NoModifier;
    QTest::newRow("A") << int(Qt::Key_A) << uint(kScanA) << none << "a"
                       << "A";
    QTest::newRow("Shift-A") << int(Qt::Key_A) << uint(kScanA) << int(Qt::ShiftModifier) << "A"
                             << "A";
    QTest::newRow("keypad 5") << int(Qt::Key_5) << uint(kScanKeypad5) << int(Qt::KeypadModifier)
                              << "5"
                              << "Num 5";
    QTest::newRow("main-row 5") << int(Qt::Key_5) << uint(kScan5) << none << "5"
                                << "5";
    // Keys that can never be a hotkey leave the field as it was ("Q").
    QTest::newRow("space") << int(Qt::Key_Space) << uint(kScanSpace) << none << " "
                           << "Q";
    QTest::newRow("left arrow") << int(Qt::Key_Left) << uint(kScanLeft) << none << ""
                                << "Q";
    QTest::newRow("F1") << int(Qt::Key_F1) << uint(kScanF1) << none << ""
                        << "Q";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << uint(kScanEscape) << none << ""
                            << "Q";
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << uint(kScanShift) << none << ""
                                 << "Q";
    QTest::newRow("left Super alone") << int(Qt::Key_Super_L) << uint(kScanSuperLeft) << none << ""
                                      << "Q";
    QTest::newRow("right Super alone")
        << int(Qt::Key_Super_R) << uint(kScanSuperRight) << none << ""
        << "Q";
  }
  void releasedKeyIsCaptured() {
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(QString, name);
    startBoard(2);
    openOn(7);
    clickInto(editor->tfHotkey);
    pressAndRelease(editor, key, scanCode, Qt::KeyboardModifiers(modifiers), text);
    QCOMPARE(editor->tfHotkey->text(), name);
    // The same again: whatever the press typed, the field holds the name alone.
    pressAndRelease(editor, key, scanCode, Qt::KeyboardModifiers(modifiers), text);
    QCOMPARE(editor->tfHotkey->text(), name);
    // A refused key is named on the message line; the editor stays open (Escape too).
    const bool refused = name == "Q";  // button 7's key, kept
    QCOMPARE(editor->lblMsg->text().contains("不能作热键"), refused);
    QVERIFY(editor && editor->isVisible());
    if (refused) {
      QVERIFY2(editor->lblMsg->text().startsWith(
                   "“" + QKeySequence(key).toString(QKeySequence::NativeText) + "”不能作热键"),
               qPrintable(editor->lblMsg->text()));
    }
  }

  void lettingGoOfAModifierLastKeepsTheKey_data() {
    QTest::addColumn<int>("modifierKey");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<int>("modifier");
    QTest::newRow("Shift") << int(Qt::Key_Shift) << uint(kScanShift) << int(Qt::ShiftModifier);
    QTest::newRow("left Super") << int(Qt::Key_Super_L) << uint(kScanSuperLeft)
                                << int(Qt::MetaModifier);
    QTest::newRow("right Super") << int(Qt::Key_Super_R) << uint(kScanSuperRight)
                                 << int(Qt::MetaModifier);
  }
  void lettingGoOfAModifierLastKeepsTheKey() {
    QFETCH(int, modifierKey);
    QFETCH(uint, scanCode);
    QFETCH(int, modifier);
    const auto held = Qt::KeyboardModifiers(modifier);
    const QString text = held == Qt::ShiftModifier ? "A" : "a";
    startBoard(2);
    openOn(7);
    clickInto(editor->tfHotkey);
    sendKey(editor, QEvent::KeyPress, modifierKey, scanCode);
    sendKey(editor, QEvent::KeyPress, Qt::Key_A, kScanA, held, text);
    sendKey(editor, QEvent::KeyRelease, Qt::Key_A, kScanA, held, text);
    sendKey(editor, QEvent::KeyRelease, modifierKey, scanCode, held);
    QCOMPARE(editor->tfHotkey->text(), QString("A"));
    QVERIFY(!editor->lblMsg->text().contains("不能作热键"));
  }

  void releaseWhileTheTitleIsEditedChangesNothing() {
    startBoard(2);
    openOn(7);
    clickInto(editor->tfTitle);
    pressAndRelease(editor, Qt::Key_A, kScanA, Qt::NoModifier, "a");
    QCOMPARE(editor->tfHotkey->text(), QString("Q"));
    QCOMPARE(editor->tfTitle->text(), QString("七a"));  // the key went where it was typed
  }

  void releaseAfterTheFieldLostTheFocusChangesNothing() {
    startBoard(2);
    openOn(7);
    clickInto(editor->tfHotkey);
    pressAndRelease(editor, Qt::Key_A, kScanA, Qt::NoModifier, "a");
    QCOMPARE(editor->tfHotkey->text(), QString("A"));
    sendKey(editor, QEvent::KeyPress, Qt::Key_Tab, kScanTab);
    QVERIFY(QApplication::focusWidget() != editor->tfHotkey);
    QVERIFY(!isHotkeyEditing());
    sendKey(editor, QEvent::KeyRelease, Qt::Key_Tab, kScanTab);
    QCOMPARE(editor->tfHotkey->text(), QString("A"));
  }

  void capturedKeyIsSavedAndShownOnTheBoard() {
    startBoard(2);
    openOn(7);
    clickInto(editor->tfHotkey);
    pressAndRelease(editor, Qt::Key_5, kScanKeypad5, Qt::KeypadModifier, "5");
    editor->btnSave->click();
    QCOMPARE(storedRow("K7").hotkey, QString("Num 5"));
    QCOMPARE(label(7), QString("Num 5"));
    QCOMPARE(editor->lblMsg->text(), QString("修改成功：七"));
  }

  void clearedHotkeyIsStoredAsEmptyText() {
    startBoard(2);
    openOn(7);
    QCOMPARE(label(7), QString("Q"));
    editor->findChild<QPushButton*>("btnClearHotkey")->click();
    QCOMPARE(editor->tfHotkey->text(), QString());
    QCOMPARE(storedRow("K7").hotkey, QString("Q"));  // nothing stored before the save
    editor->btnSave->click();
    QCOMPARE(storedRow("K7").hotkey, QString(""));  // empty text, not <NULL>
    QCOMPARE(label(7), QString());
    QCOMPARE(label(1), QString("A"));
  }

  void keysPressedInTheEditorPlayNothingOnTheBoard_data() {
    QTest::addColumn<int>("hotkeyTag");
    QTest::newRow("built-in keys") << 1;
    QTest::newRow("custom keys") << 2;
  }
  void keysPressedInTheEditorPlayNothingOnTheBoard() {
    QFETCH(int, hotkeyTag);
    startBoard(hotkeyTag);
    QCOMPARE(label(1), QString("A"));  // A plays button 1 in both modes
    openOn(7);
    clickInto(editor->tfHotkey);
    pressAndRelease(editor, Qt::Key_A, kScanA, Qt::NoModifier, "a");
    QCOMPARE(editor->tfHotkey->text(), QString("A"));
    QCOMPARE(board->currentButtonId(), std::string());

    // The same press on the board, once the editor is gone, does play.
    editor->close();
    QTRY_VERIFY(editor.isNull());
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
    pressAndRelease(board.get(), Qt::Key_A, kScanA, Qt::NoModifier, "a");
    QCOMPARE(board->currentButtonId(), std::string("K1"));
  }
};

QTEST_MAIN(TFHotkeyTest)
#include "TFHotkeyTest.moc"
