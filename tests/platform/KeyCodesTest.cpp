#include "platform/KeyCodes.h"

#include <QKeyEvent>
#include <QTest>

namespace {

// The kernel's codes for the keys of a US keyboard (linux/input-event-codes.h); X11
// and Wayland report them + 8 as the native scan code.
QKeyEvent pressWithScanCode(quint32 evdev, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  return QKeyEvent(QEvent::KeyPress, Qt::Key_unknown, modifiers, evdev + 8, 0, 0);
}

QKeyEvent pressWithoutScanCode(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  return QKeyEvent(QEvent::KeyPress, key, modifiers, 0, 0, 0);
}

}  // namespace

class KeyCodesTest : public QObject {
  Q_OBJECT

 private slots:
  void nativeScanCodesGiveTheKeysPosition_data() {
    QTest::addColumn<uint>("evdev");
    QTest::addColumn<int>("keyCode");
    const struct { const char* key; uint evdev; int keyCode; } keys[] = {
        {"A", 30, 0}, {"S", 31, 1}, {"D", 32, 2}, {"F", 33, 3}, {"H", 35, 4}, {"G", 34, 5}, {"Z", 44, 6},
        {"X", 45, 7}, {"C", 46, 8}, {"V", 47, 9}, {"B", 48, 11}, {"Q", 16, 12}, {"W", 17, 13}, {"E", 18, 14},
        {"R", 19, 15}, {"Y", 21, 16}, {"T", 20, 17}, {"O", 24, 31}, {"U", 22, 32}, {"I", 23, 34}, {"P", 25, 35},
        {"L", 38, 37}, {"J", 36, 38}, {"K", 37, 40}, {"N", 49, 45}, {"M", 50, 46},
        {"1", 2, 18}, {"2", 3, 19}, {"3", 4, 20}, {"4", 5, 21}, {"5", 6, 23}, {"6", 7, 22}, {"7", 8, 26},
        {"8", 9, 28}, {"9", 10, 25}, {"0", 11, 29},
        {"minus", 12, 27}, {"equal", 13, 24}, {"left bracket", 26, 33}, {"right bracket", 27, 30},
        {"semicolon", 39, 41}, {"quote", 40, 39}, {"grave", 41, 50}, {"backslash", 43, 42},
        {"comma", 51, 43}, {"period", 52, 47}, {"slash", 53, 44},
        {"keypad 0", 82, 82}, {"keypad 1", 79, 83}, {"keypad 2", 80, 84}, {"keypad 3", 81, 85},
        {"keypad 4", 75, 86}, {"keypad 5", 76, 87}, {"keypad 6", 77, 88}, {"keypad 7", 71, 89},
        {"keypad 8", 72, 91}, {"keypad 9", 73, 92}, {"keypad point", 83, 65}, {"keypad times", 55, 67},
        {"keypad plus", 78, 69}, {"keypad minus", 74, 78}, {"keypad divide", 98, 75}, {"keypad enter", 96, 76},
        {"keypad equals", 117, 81}, {"num lock", 69, 71},
        {"space", 57, 49}, {"return", 28, 36}, {"tab", 15, 48}, {"escape", 1, 53}, {"backspace", 14, 51},
        {"delete", 111, 117}, {"insert", 110, 114}, {"home", 102, 115}, {"end", 107, 119},
        {"page up", 104, 116}, {"page down", 109, 121},
        {"F1", 59, 122}, {"F2", 60, 120}, {"F3", 61, 99}, {"F4", 62, 118}, {"F5", 63, 96}, {"F6", 64, 97},
        {"F7", 65, 98}, {"F8", 66, 100}, {"F9", 67, 101}, {"F10", 68, 109}, {"F11", 87, 103}, {"F12", 88, 111},
        {"left", 105, 123}, {"right", 106, 124}, {"down", 108, 125}, {"up", 103, 126},
        {"left shift", 42, 56}, {"right shift", 54, 60}, {"left ctrl", 29, 59}, {"right ctrl", 97, 62},
        {"left alt", 56, 58}, {"right alt", 100, 61}, {"left super", 125, 55}, {"right super", 126, 54},
        {"caps lock", 58, 57}, {"menu", 127, 110},
    };
    for (const auto& key : keys) {
      QTest::newRow(key.key) << key.evdev << key.keyCode;
    }
  }

  void nativeScanCodesGiveTheKeysPosition() {
    QFETCH(uint, evdev);
    QFETCH(int, keyCode);
    QCOMPARE(int(keyCodeForEvent(pressWithScanCode(evdev))), keyCode);
    QCOMPARE(int(keyCodeForEvdevCode(evdev)), keyCode);
    // And back: the key at this position is the same key (or its twin, for Insert and Help).
    QCOMPARE(int(keyCodeForEvdevCode(evdevCodeForKeyCode(std::uint16_t(keyCode)))), keyCode);
    // Modifiers, and what the layout makes of the key, play no part.
    QKeyEvent shifted(QEvent::KeyRelease, Qt::Key_Eacute, Qt::ShiftModifier | Qt::ControlModifier, evdev + 8, 0, 0,
                      "É");
    QCOMPARE(int(keyCodeForEvent(shifted)), keyCode);
  }

  void positionsWithoutAPcKeyHaveNoEvdevCode_data() {
    QTest::addColumn<int>("keyCode");
    QTest::newRow("unused 52") << 52;
    QTest::newRow("unused 66") << 66;
    QTest::newRow("unused 108") << 108;
    QTest::newRow("beyond the table") << 200;
    QTest::newRow("no key") << int(kNoKeyCode);
  }
  void positionsWithoutAPcKeyHaveNoEvdevCode() {
    QFETCH(int, keyCode);
    QCOMPARE(evdevCodeForKeyCode(std::uint16_t(keyCode)), 0u);
  }

  void unknownScanCodesHaveNoPosition_data() {
    QTest::addColumn<uint>("scanCode");
    QTest::newRow("below the X offset") << 5u;
    QTest::newRow("exactly the X offset") << 8u;
    QTest::newRow("unused evdev 84") << 84u + 8;
    QTest::newRow("scroll lock") << 70u + 8;
    QTest::newRow("print screen") << 99u + 8;
    QTest::newRow("far beyond") << 70000u;
  }

  void unknownScanCodesHaveNoPosition() {
    QFETCH(uint, scanCode);
    // Even with a Qt key that has a position: a real scan code is never second-guessed.
    QKeyEvent event(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, scanCode, 0, 0, "a");
    QCOMPARE(keyCodeForEvent(event), kNoKeyCode);
  }

  // Offscreen and synthesized events carry no scan code: the Qt key places them.
  void qtKeysPlaceEventsWithoutScanCode_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("keypad");
    QTest::addColumn<int>("keyCode");
    QTest::newRow("A") << int(Qt::Key_A) << false << 0;
    QTest::newRow("Z") << int(Qt::Key_Z) << false << 6;
    QTest::newRow("M") << int(Qt::Key_M) << false << 46;
    QTest::newRow("1") << int(Qt::Key_1) << false << 18;
    QTest::newRow("0") << int(Qt::Key_0) << false << 29;
    QTest::newRow("! is on 1") << int(Qt::Key_Exclam) << false << 18;
    QTest::newRow(") is on 0") << int(Qt::Key_ParenRight) << false << 29;
    QTest::newRow("* is on 8") << int(Qt::Key_Asterisk) << false << 28;
    QTest::newRow("keypad 1") << int(Qt::Key_1) << true << 83;
    QTest::newRow("keypad 0") << int(Qt::Key_0) << true << 82;
    QTest::newRow("keypad 8") << int(Qt::Key_8) << true << 91;
    QTest::newRow("keypad 9") << int(Qt::Key_9) << true << 92;
    // With Num Lock off the keypad types navigation keys; each keeps its digit's place.
    QTest::newRow("keypad Insert is keypad 0") << int(Qt::Key_Insert) << true << 82;
    QTest::newRow("keypad End is keypad 1") << int(Qt::Key_End) << true << 83;
    QTest::newRow("keypad Down is keypad 2") << int(Qt::Key_Down) << true << 84;
    QTest::newRow("keypad PageDown is keypad 3") << int(Qt::Key_PageDown) << true << 85;
    QTest::newRow("keypad Left is keypad 4") << int(Qt::Key_Left) << true << 86;
    QTest::newRow("keypad Clear is keypad 5") << int(Qt::Key_Clear) << true << 87;
    QTest::newRow("keypad Right is keypad 6") << int(Qt::Key_Right) << true << 88;
    QTest::newRow("keypad Home is keypad 7") << int(Qt::Key_Home) << true << 89;
    QTest::newRow("keypad Up is keypad 8") << int(Qt::Key_Up) << true << 91;
    QTest::newRow("keypad PageUp is keypad 9") << int(Qt::Key_PageUp) << true << 92;
    QTest::newRow("keypad Delete is keypad point") << int(Qt::Key_Delete) << true << 65;
    QTest::newRow("keypad *") << int(Qt::Key_Asterisk) << true << 67;
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << true << 76;
    QTest::newRow("keypad A is still A") << int(Qt::Key_A) << true << 0;
    QTest::newRow("End") << int(Qt::Key_End) << false << 119;
    QTest::newRow("space") << int(Qt::Key_Space) << false << 49;
    QTest::newRow("Return") << int(Qt::Key_Return) << false << 36;
    QTest::newRow("Tab") << int(Qt::Key_Tab) << false << 48;
    QTest::newRow("Backtab") << int(Qt::Key_Backtab) << false << 48;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << false << 53;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << false << 51;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << false << 117;
    QTest::newRow("F1") << int(Qt::Key_F1) << false << 122;
    QTest::newRow("F12") << int(Qt::Key_F12) << false << 111;
    QTest::newRow("left") << int(Qt::Key_Left) << false << 123;
    QTest::newRow("up") << int(Qt::Key_Up) << false << 126;
    QTest::newRow("Shift") << int(Qt::Key_Shift) << false << 56;
    QTest::newRow("Control") << int(Qt::Key_Control) << false << 59;
    QTest::newRow("Alt") << int(Qt::Key_Alt) << false << 58;
    QTest::newRow("Meta") << int(Qt::Key_Meta) << false << 55;
    QTest::newRow("a letter off the US layout") << int(Qt::Key_Adiaeresis) << false << int(kNoKeyCode);
    QTest::newRow("unknown") << int(Qt::Key_unknown) << false << int(kNoKeyCode);
  }

  void qtKeysPlaceEventsWithoutScanCode() {
    QFETCH(int, key);
    QFETCH(bool, keypad);
    QFETCH(int, keyCode);
    const Qt::KeyboardModifiers modifiers = keypad ? Qt::KeypadModifier : Qt::NoModifier;
    QCOMPARE(int(keyCodeForEvent(pressWithoutScanCode(key, modifiers))), keyCode);
    QCOMPARE(int(keyCodeForEvent(pressWithoutScanCode(key, modifiers | Qt::ShiftModifier | Qt::ControlModifier))),
             keyCode);
    QCOMPARE(int(keyCodeForQtKey(key, keypad)), keyCode);
  }
};

QTEST_GUILESS_MAIN(KeyCodesTest)
#include "KeyCodesTest.moc"
