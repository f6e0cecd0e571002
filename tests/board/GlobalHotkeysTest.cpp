// System-wide hotkeys on a real X server: a private Xvfb, the board as one client and
// a second client whose window holds the focus and types through XTEST, so that every
// key passes the server's grab logic. Sounds are heard through SDL's disk driver.

#include <QAbstractNativeEventFilter>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <memory>

#include "../platform/PcmCapture.h"
#include "BoardFixture.h"
#include "X11TestSession.h"
#include "board/ViewController.h"
#include "library/LibraryCommands.h"
#include "platform/AudioDevice.h"

namespace {

QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

XvfbServer& xserver() {
  static XvfbServer server;
  return server;
}

using Keys = std::vector<xcb_keycode_t>;
const Keys kCtrlAlt = {xkey::Control, xkey::Alt};

// Sees a client message of one type arrive at the program.
class MarkerFilter : public QAbstractNativeEventFilter {
 public:
  xcb_atom_t type = XCB_NONE;
  bool seen = false;
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if (eventType == "xcb_generic_event_t" && (event->response_type & 0x7f) == XCB_CLIENT_MESSAGE &&
        reinterpret_cast<xcb_client_message_event_t*>(event)->type == type) {
      seen = true;
      return true;
    }
    return false;
  }
};

// Counts a widget's changes between enabled and disabled.
class EnabledChanges : public QObject {
 public:
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange) ++count;
    return false;
  }
};

// A top-level window of the program that notes the keys pressed in it.
class KeyCountingWindow : public QWidget {
 public:
  std::vector<quint32> scanCodes;

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (event->key() != Qt::Key_Control && event->key() != Qt::Key_Alt)
      scanCodes.push_back(event->nativeScanCode());
    event->accept();
  }
};

}  // namespace

class GlobalHotkeysTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() {
    std::string error;
    if (!xserver().start(&error)) qFatal("cannot start Xvfb: %s", error.c_str());
    qputenv("QT_QPA_PLATFORM", "xcb");
    // Never a real session bus: the X11 path needs none.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/cueboard-test-bus");
  }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::unique_ptr<OtherClient> other;
  std::string capturePath;

  QLabel* label(int n) { return board->hotkeyLabel(n); }
  QCheckBox* globalBox() { return board->findChild<QCheckBox*>("chkGlobalHotkeys"); }
  QComboBox* modifierChoice() { return board->findChild<QComboBox*>("cmbGlobalModifiers"); }
  QLabel* globalLine() { return board->findChild<QLabel*>("lblGlobalHotkeys"); }
  QPushButton* stopButton() { return board->findChild<QPushButton*>("btnStop"); }

  // Category 1: buttons 1, 2 and 26 hold a ten-second sound; 1 has the custom key "Q",
  // 5 the custom key "E". Category 2: button 3 with the custom key "W".
  void startBoard(int hotkeyTag, bool global, const char* modifiers = nullptr) {
    const QString sounds = QString::fromStdString(soundPath());
    QDir().mkpath(sounds);
    QVERIFY(QFile::copy(fixture("sine440-10s.mp3"), sounds + "long.mp3"));
    world->writeLibrary({{"K1", categoryId(1), 1, "一", "long.mp3", "Q"},
                         {"K2", categoryId(1), 2, "二", "long.mp3", ""},
                         {"K5", categoryId(1), 5, "五", "long.mp3", "E"},
                         {"K26", categoryId(1), 26, "二六", "long.mp3", ""},
                         {"C3", categoryId(2), 3, "三", "long.mp3", "W"}});
    auto& defaults = UserDefaults::standardUserDefaults();
    defaults.setIntegerForKey(hotkeyTag, "hotkeyTag");
    if (global) defaults.setIntegerForKey(1, "globalHotkeys");
    if (modifiers) defaults.setObjectForKey(QString::fromUtf8(modifiers), "globalModifiers");
    board = std::make_unique<ViewController>();
    board->show();
    QVERIFY(QTest::qWaitForWindowExposed(board.get()));
    other->createFocusedWindow();
    QCOMPARE(other->focusedWindow(), other->window);
  }

  // Types a key into the focused window and waits until it has arrived there, which
  // shows that the board did not take it.
  void typeReachingOtherWindow(const Keys& modifiers, xcb_keycode_t key) {
    other->type(modifiers, key);
    QVERIFY2(other->waitForKeyPress(key), "the key never reached the other window");
  }

  // Nobody holds any key on the root window: a client can grab every key with every
  // modifier combination.
  // Returns once the program has handled every X event sent to it before now: a
  // client message sent after them arrives after them.
  void waitUntilHandled() {
    MarkerFilter marker;
    marker.type = other->atom("CUEBOARD_TEST_MARKER");
    qApp->installNativeEventFilter(&marker);
    other->sendMarker(board->winId(), marker.type);
    QTRY_VERIFY_WITH_TIMEOUT(marker.seen, 20000);
    qApp->removeNativeEventFilter(&marker);
    QCoreApplication::processEvents();
  }

  void verifyNothingGrabbed() {
    OtherClient probe;
    QVERIFY(probe.grab(XCB_GRAB_ANY, XCB_MOD_MASK_ANY));
    probe.ungrabAll();
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    other = std::make_unique<OtherClient>();
    capturePath = world->path("device.pcm").toStdString();
    openDiskAudio(capturePath);
  }

  void cleanup() {
    board.reset();
    AudioDevice::close();
    other.reset();
    world.reset();
  }

  void modifiedKeyPlaysWhileAnotherWindowHasTheFocus() {
    startBoard(1, true);
    QCOMPARE(label(1)->text(), QString("Ctrl+Alt+A"));
    QCOMPARE(label(37)->text(), QString("Ctrl+Alt+Num 1"));
    QVERIFY(globalLine()->isHidden());

    other->type(kCtrlAlt, xkey::A);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
    QVERIFY(stopButton()->isEnabled());
    // A bare A is the other program's: it arrives there and does not stop button 1.
    typeReachingOtherWindow({}, xkey::A);
    QCOMPARE(board->currentButtonId(), std::string("K1"));

    // Let the device take some of the sound, then stop it from the other window.
    const qint64 before = QFileInfo(QString::fromStdString(capturePath)).size();
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo(QString::fromStdString(capturePath)).size() > before + 44100 * 4, 30000);
    other->type(kCtrlAlt, xkey::Space);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);
    QVERIFY(!stopButton()->isEnabled());
    QVERIFY(board->currentPlayer() && !board->currentPlayer()->isPlaying());

    board.reset();
    AudioDevice::close();
    const PcmCapture pcm = PcmCapture::fromFile(capturePath, 2, 44100);
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.1), *start + pcm.framesIn(0.6));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  void holdingTheKeyPlaysOnce() {
    // Looping, so that the sound outlasts the held key on the fast disk device.
    UserDefaults::standardUserDefaults().setObjectForKey(1, "loop");
    startBoard(1, true);
    // Every start or stop of a sound turns the stop button on or off.
    EnabledChanges stopChanges;
    stopButton()->installEventFilter(&stopChanges);
    for (auto key : {xkey::Control, xkey::Alt, xkey::A})
      xcb_test_fake_input(other->connection, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                          0);
    xcb_flush(other->connection);
    // Held well past the server's repeat delay, so that the key repeats.
    QTest::qWait(1500);
    for (auto key : {xkey::A, xkey::Alt, xkey::Control})
      xcb_test_fake_input(other->connection, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                          0);
    xcb_flush(other->connection);
    waitUntilHandled();
    QCOMPARE(board->currentButtonId(), std::string("K1"));
    QCOMPARE(stopChanges.count, 1);
  }

  // The grabs follow the mode, the category, the library and the check box.
  void grabsFollowEveryChange() {
    startBoard(1, true);
    // Built-in: Ctrl+Alt+B plays button 2.
    other->type(kCtrlAlt, xkey::B);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K2"), 20000);

    // Custom: Q plays button 1, B is no longer held.
    board->customHotkeyRadio()->click();
    QCOMPARE(label(1)->text(), QString("Ctrl+Alt+Q"));
    QCOMPARE(label(2)->text(), QString());
    typeReachingOtherWindow(kCtrlAlt, xkey::B);
    QCOMPARE(board->currentButtonId(), std::string("K2"));
    other->type(kCtrlAlt, xkey::Q);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);

    // A saved hotkey: button 1 moves from Q to C; the editor's save reloads the board.
    world->changeLibrary("update tb_Button set Hotkey = 'C' where ButtonId = 'K1'");
    board->refreshBtnMusic();
    QCOMPARE(label(1)->text(), QString("Ctrl+Alt+C"));
    typeReachingOtherWindow(kCtrlAlt, xkey::Q);
    other->type(kCtrlAlt, xkey::C);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);  // stops it

    // A deleted sound takes its key with it.
    board->libraryCommands().deleteMusic(105);
    QCOMPARE(label(5)->text(), QString());
    typeReachingOtherWindow(kCtrlAlt, xkey::E);

    // Another category: its own keys only.
    board->btnClassX_Click(board->viewWithTag<QPushButton>(2));
    QCOMPARE(label(3)->text(), QString("Ctrl+Alt+W"));
    typeReachingOtherWindow(kCtrlAlt, xkey::C);
    other->type(kCtrlAlt, xkey::W);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("C3"), 20000);

    // No hotkeys: nothing is held, not even the stop key.
    board->viewWithTag<QRadioButton>(0)->click();
    verifyNothingGrabbed();
    typeReachingOtherWindow(kCtrlAlt, xkey::Space);
    QCOMPARE(board->currentButtonId(), std::string("C3"));
  }

  void offHoldsNothing() {
    startBoard(1, false);
    QCOMPARE(label(1)->text(), QString("A"));
    verifyNothingGrabbed();
    typeReachingOtherWindow(kCtrlAlt, xkey::A);
    QCOMPARE(board->currentButtonId(), std::string());

    globalBox()->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("globalHotkeys"), 1L);
    QCOMPARE(label(1)->text(), QString("Ctrl+Alt+A"));
    other->type(kCtrlAlt, xkey::A);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);

    globalBox()->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("globalHotkeys"), 0L);
    QCOMPARE(label(1)->text(), QString("A"));
    // Another client can take the very keys now.
    OtherClient next;
    QVERIFY(next.grab(xkey::A, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    QVERIFY(next.grab(xkey::Space, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    next.ungrabAll();
    verifyNothingGrabbed();
  }

  void keyHeldByAnotherProgramIsReported() {
    QVERIFY(other->grab(xkey::B, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    startBoard(1, true);
    QCOMPARE(label(2)->property("refused").toBool(), true);
    QCOMPARE(label(2)->toolTip(), QString("Ctrl+Alt+B 已被其他程序占用"));
    QCOMPARE(label(2)->palette().color(QPalette::WindowText), QColor(Qt::red));
    QCOMPARE(label(1)->property("refused").toBool(), false);
    QVERIFY(!globalLine()->isHidden());
    QCOMPARE(globalLine()->text(), QString("已被其他程序占用：Ctrl+Alt+B"));
    // One line, however often the labels are refreshed.
    board->showHotkeyLabels();
    board->refreshBtnMusic();
    const std::vector<std::string> expected = {"全局热键 Ctrl+Alt+B 已被其他程序占用"};
    QCOMPARE(world->printed, expected);

    other->type(kCtrlAlt, xkey::A);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
    other->type(kCtrlAlt, xkey::Space);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);
  }

  void locksDoNotMatter_data() {
    QTest::addColumn<Keys>("locks");
    QTest::newRow("Caps Lock") << Keys{xkey::CapsLock};
    QTest::newRow("Num Lock") << Keys{xkey::NumLock};
    QTest::newRow("Caps Lock and Num Lock") << Keys{xkey::CapsLock, xkey::NumLock};
  }
  void locksDoNotMatter() {
    QFETCH(Keys, locks);
    startBoard(1, true);
    for (auto lock : locks) other->tap(lock);
    if (std::find(locks.begin(), locks.end(), xkey::CapsLock) != locks.end())
      QVERIFY(other->modifierState() & XCB_MOD_MASK_LOCK);
    other->type(kCtrlAlt, xkey::A);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
    other->type(kCtrlAlt, xkey::Space);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);
    for (auto lock : locks) other->tap(lock);  // back off for the next test
    QVERIFY(!(other->modifierState() & XCB_MOD_MASK_LOCK));
  }

  // Keys are held by their place on the keyboard: with a German layout the key in the
  // US position of Z (labelled Y there) still plays button 26.
  void anotherLayoutKeepsThePositions() {
    const QString display = QString::fromStdString(xserver().display);
    QCOMPARE(QProcess::execute("setxkbmap", {"-display", display, "de"}), 0);
    auto restore = qScopeGuard([&] {
      QProcess::execute("setxkbmap", {"-display", display, "us"});
    });
    startBoard(1, true);
    other->type(kCtrlAlt, xkey::Z);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K26"), 20000);
  }

  void eachModifierChoice_data() {
    QTest::addColumn<QString>("choice");
    QTest::addColumn<Keys>("modifiers");
    QTest::addColumn<Keys>("otherModifiers");
    QTest::addColumn<QString>("label");
    QTest::newRow("Ctrl+Shift") << "Ctrl+Shift" << Keys{xkey::Control, xkey::Shift} << kCtrlAlt
                                << "Ctrl+Shift+A";
    QTest::newRow("Alt+Shift") << "Alt+Shift" << Keys{xkey::Alt, xkey::Shift} << kCtrlAlt
                               << "Alt+Shift+A";
    QTest::newRow("Super") << "Super" << Keys{xkey::Super} << kCtrlAlt << "Super+A";
    QTest::newRow("none") << "无" << Keys{} << kCtrlAlt << "A";
  }
  void eachModifierChoice() {
    QFETCH(QString, choice);
    QFETCH(Keys, modifiers);
    QFETCH(Keys, otherModifiers);
    QFETCH(QString, label);
    startBoard(1, true);
    QVERIFY2(modifierChoice()->findText(choice) >= 0, qPrintable(choice + " is not offered"));
    modifierChoice()->setCurrentIndex(modifierChoice()->findText(choice));
    QCOMPARE(QString::fromStdString(UserDefaults::standardUserDefaults()
                                        .stringForKey("globalModifiers")
                                        .value_or("<none stored>")),
             choice);
    QCOMPARE(this->label(1)->text(), label);
    // The old modifiers are let go.
    typeReachingOtherWindow(otherModifiers, xkey::A);
    other->type(modifiers, xkey::A);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
    other->type(modifiers, xkey::Space);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);
    // Only "none" takes the bare keys from every other program, and says so.
    QCOMPARE(!globalLine()->isHidden(), choice == "无");
    if (choice == "无")
      QCOMPARE(globalLine()->text(), QString("无修饰键：这些键在其他程序里都无法输入"));
  }

  void storedChoiceIsRestored() {
    startBoard(1, true, "Super");
    QCOMPARE(modifierChoice()->currentText(), QString("Super"));
    QCOMPARE(label(26)->text(), QString("Super+Z"));
    other->type({xkey::Super}, xkey::Z);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K26"), 20000);
  }

  // With the board's own window focused, a held key goes to the window's key handling
  // alone: it plays once, not a second time through the grab.
  void focusedBoardHandlesTheKeyOnce_data() {
    QTest::addColumn<bool>("pointerOnBoard");
    QTest::newRow("pointer on the board") << true;
    QTest::newRow("pointer elsewhere") << false;
  }
  void focusedBoardHandlesTheKeyOnce() {
    QFETCH(bool, pointerOnBoard);
    startBoard(1, true);
    const QRect frame = board->frameGeometry();
    if (pointerOnBoard) {
      other->movePointer(int16_t(frame.center().x()), int16_t(frame.center().y()));
    } else {
      QVERIFY(!frame.contains(1020, 760));
      other->movePointer(1020, 760);
    }
    other->focus(board->winId());
    QTRY_VERIFY_WITH_TIMEOUT(board->isActiveWindow(), 20000);
    other->type(kCtrlAlt, xkey::A);
    waitUntilHandled();
    QCOMPARE(board->currentButtonId(), std::string("K1"));
    // The bare key plays on the focused board as ever: it stops button 1.
    other->tap(xkey::A);
    waitUntilHandled();
    QCOMPARE(board->currentButtonId(), std::string());
  }

  // Another window of the program (the sound editor, capturing a hotkey) gets the
  // held keys like any other: they are not played.
  void ownOtherWindowGetsTheKey() {
    startBoard(1, true);
    KeyCountingWindow editor;
    editor.resize(200, 100);
    editor.show();
    QVERIFY(QTest::qWaitForWindowExposed(&editor));
    other->focus(editor.winId());
    QTRY_VERIFY_WITH_TIMEOUT(editor.isActiveWindow(), 20000);
    other->type(kCtrlAlt, xkey::A);
    waitUntilHandled();
    QCOMPARE(editor.scanCodes, std::vector<quint32>{xkey::A});
    QCOMPARE(board->currentButtonId(), std::string());
  }
};

QTEST_MAIN(GlobalHotkeysTest)
#include "GlobalHotkeysTest.moc"
