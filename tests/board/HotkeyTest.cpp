// Key presses on the board: which button a key plays in each hotkey mode, and what
// the key monitor lets through. Key events carry real X11/Wayland scan codes (the
// evdev code + 8), as a keyboard would send them.

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <memory>

#include "BoardFixture.h"
#include "board/ViewController.h"
#include "platform/AudioDevice.h"
#include "platform/Bundle.h"

namespace {

// evdev codes + 8
constexpr quint32 kScanA = 38, kScanQ = 24, kScan0 = 19, kScanKeypad1 = 87, kScanSpace = 65,
                  kScanLeft = 113, kScanF1 = 67, kScanEscape = 9;

void pressKey(QWindow* window, int key, quint32 scanCode,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, QString(), autoRepeat);
  QCoreApplication::sendEvent(window, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers, scanCode, 0, 0);
  QCoreApplication::sendEvent(window, &release);
}

// A second top-level window, standing in for the editor.
class OtherWindow : public QWidget {
 public:
  int keyPresses = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    ++keyPresses;
    event->accept();
  }
};

class CountingButton : public QWidget {
 public:
  int keyPresses = 0;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    ++keyPresses;
    QWidget::keyPressEvent(event);
  }
};

}  // namespace

class HotkeyTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;

  // Buttons 1, 5, 9, 17, 27 and 37 of category 1 hold a real sound; 5 and 9 share
  // the custom key "Q", 27 has "Num 2".
  void startBoard(int hotkeyTag) {
    const std::string sound = "ding.mp3";
    world->writeLibrary({{"K1", categoryId(1), 1, "一", sound, "A"},
                         {"K5", categoryId(1), 5, "五", sound, "Q"},
                         {"K9", categoryId(1), 9, "九", sound, "Q"},
                         {"K17", categoryId(1), 17, "十七", sound, ""},
                         {"K27", categoryId(1), 27, "二七", sound, "Num 2"},
                         {"K37", categoryId(1), 37, "三七", sound, std::nullopt}});
    const QString shippedSound =
        QString::fromStdString(Bundle::mainBundle().resourcePath()) + "/sound";
    const QStringList shipped = QDir(shippedSound).entryList({"*.mp3"}, QDir::Files, QDir::Name);
    QVERIFY(!shipped.isEmpty());
    QVERIFY(QFile::copy(shippedSound + "/" + shipped.first(),
                        QString::fromStdString(soundPath()) + "ding.mp3"));
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyTag, "hotkeyTag");
    board = std::make_unique<ViewController>();
    board->show();
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
  }

 private slots:
  void initTestCase() { QVERIFY2(AudioDevice::open(), AudioDevice::lastError().c_str()); }
  void init() { world = std::make_unique<BoardFixture>(); }
  void cleanup() {
    board.reset();
    world.reset();
  }

  void builtInKeysPlayTheirButtons_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("playing");
    QTest::newRow("A plays 1") << int(Qt::Key_A) << uint(kScanA) << 0 << "K1";
    QTest::newRow("main-row 0 plays 27") << int(Qt::Key_0) << uint(kScan0) << 0 << "K27";
    QTest::newRow("keypad 1 plays 37")
        << int(Qt::Key_1) << uint(kScanKeypad1) << int(Qt::KeypadModifier) << "K37";
    QTest::newRow("Ctrl+A still plays 1")
        << int(Qt::Key_A) << uint(kScanA) << int(Qt::ControlModifier) << "K1";
    QTest::newRow("Shift+Q plays 17")
        << int(Qt::Key_Q) << uint(kScanQ) << int(Qt::ShiftModifier) << "K17";
    QTest::newRow("empty button 2 stays silent") << int(Qt::Key_B) << 56u << 0 << "";
  }
  void builtInKeysPlayTheirButtons() {
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(int, modifiers);
    QFETCH(QString, playing);
    startBoard(1);
    pressKey(board->windowHandle(), key, scanCode, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(QString::fromStdString(board->currentButtonId()), playing);
  }

  void sameKeyAgainStopsAndAutoRepeatCounts() {
    startBoard(1);
    pressKey(board->windowHandle(), Qt::Key_A, kScanA);
    QCOMPARE(board->currentButtonId(), std::string("K1"));
    pressKey(board->windowHandle(), Qt::Key_A, kScanA, Qt::NoModifier, true);
    QCOMPARE(board->currentButtonId(), std::string());
    pressKey(board->windowHandle(), Qt::Key_A, kScanA, Qt::NoModifier, true);
    QCOMPARE(board->currentButtonId(), std::string("K1"));
  }

  void customModePlaysFirstMatchingButton() {
    startBoard(2);
    pressKey(board->windowHandle(), Qt::Key_Q, kScanQ);
    QCOMPARE(board->currentButtonId(), std::string("K5"));
    // Keypad 2 is named "Num 2", the custom key of button 27.
    pressKey(board->windowHandle(), Qt::Key_2, 88, Qt::KeypadModifier);
    QCOMPARE(board->currentButtonId(), std::string("K27"));
  }

  // Escape stops whatever plays, in every hotkey mode, and the mode's radios say so.
  void escapeStops_data() {
    QTest::addColumn<int>("hotkeyTag");
    QTest::newRow("no hotkeys") << 0;
    QTest::newRow("built-in") << 1;
    QTest::newRow("custom") << 2;
  }
  void escapeStops() {
    QFETCH(int, hotkeyTag);
    startBoard(hotkeyTag);
    board->viewWithTag<QPushButton>(105)->click();
    QCOMPARE(board->currentButtonId(), std::string("K5"));
    QVERIFY(board->model().isPlaying());
    pressKey(board->windowHandle(), Qt::Key_Escape, kScanEscape);
    QCOMPARE(board->currentButtonId(), std::string());
    QVERIFY(!board->model().isPlaying());
    // Pressed again with nothing playing, it plays nothing either.
    pressKey(board->windowHandle(), Qt::Key_Escape, kScanEscape);
    QVERIFY(!board->model().isPlaying());
    for (QRadioButton* radio : board->findChildren<QRadioButton*>()) {
      if (radio->property("tag").isValid() && radio->objectName().startsWith("radio")) {
        QVERIFY2(radio->toolTip().contains("Esc"), qPrintable(radio->objectName()));
      }
    }
  }

  // Keys that play nothing are still taken by the board: no control of its window
  // sees them.
  void keysThatPlayNothingAreSwallowed_data() {
    QTest::addColumn<int>("hotkeyTag");
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::newRow("no-hotkey mode, A") << 0 << int(Qt::Key_A) << uint(kScanA);
    QTest::newRow("no-hotkey mode, Q") << 0 << int(Qt::Key_Q) << uint(kScanQ);
    QTest::newRow("no-hotkey mode, 0") << 0 << int(Qt::Key_0) << uint(kScan0);
    QTest::newRow("built-in, unnamed left arrow") << 1 << int(Qt::Key_Left) << uint(kScanLeft);
    QTest::newRow("built-in, unnamed space") << 1 << int(Qt::Key_Space) << uint(kScanSpace);
    QTest::newRow("built-in, unnamed F1") << 1 << int(Qt::Key_F1) << uint(kScanF1);
    QTest::newRow("custom, key on no label") << 2 << int(Qt::Key_0) << uint(kScan0);
  }
  void keysThatPlayNothingAreSwallowed() {
    QFETCH(int, hotkeyTag);
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    startBoard(hotkeyTag);
    auto* focusTarget = new CountingButton;
    focusTarget->setParent(board.get());
    focusTarget->setFocusPolicy(Qt::StrongFocus);
    focusTarget->show();
    focusTarget->setFocus();
    pressKey(board->windowHandle(), key, scanCode);
    QCOMPARE(board->currentButtonId(), std::string());
    QCOMPARE(focusTarget->keyPresses, 0);
  }

  void noShortcutFiresWhileBoardIsActive() {
    startBoard(1);
    QAction quit;
    quit.setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit.setShortcutContext(Qt::ApplicationShortcut);
    board->addAction(&quit);
    int triggered = 0;
    connect(&quit, &QAction::triggered, this, [&triggered] { ++triggered; });
    // Through the window system's path, where shortcuts are matched (scan code 0 here).
    QTest::keyClick(board->windowHandle(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(triggered, 0);
    QCOMPARE(board->currentButtonId(), std::string("K17"));
    board->removeAction(&quit);
  }

  void keysPassThroughWhileAnotherWindowIsActive() {
    startBoard(1);
    OtherWindow editor;
    editor.show();
    editor.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&editor));
    pressKey(editor.windowHandle(), Qt::Key_A, kScanA);
    QCOMPARE(editor.keyPresses, 1);
    QCOMPARE(board->currentButtonId(), std::string());
  }

  void modeSurvivesRestart() {
    startBoard(1);
    auto* custom = board->viewWithTag<QRadioButton>(2);
    custom->click();
    QCOMPARE(board->viewWithTag<QLabel>(201)->text(), QString("A"));  // custom key of 1
    QCOMPARE(board->viewWithTag<QLabel>(202)->text(), QString());
    QCOMPARE(board->viewWithTag<QLabel>(205)->text(), QString("Q"));
    board.reset();
    UserDefaults::resetStandardUserDefaultsForTesting();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("hotkeyTag"), 2L);
    ViewController again;
    QVERIFY(again.viewWithTag<QRadioButton>(2)->isChecked());
    QCOMPARE(again.viewWithTag<QLabel>(205)->text(), QString("Q"));
  }
};

QTEST_MAIN(HotkeyTest)
#include "HotkeyTest.moc"
