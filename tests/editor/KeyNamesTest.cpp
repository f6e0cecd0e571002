#include <QKeyEvent>
#include <QTest>
#include <map>

#include "editor/KeyNames.h"
#include "platform/KeyCodes.h"

class KeyNamesTest : public QObject {
  Q_OBJECT

 private:
  // The 46 named keys by US ANSI virtual key code; every other code has no name.
  const std::map<int, std::string> named = {
      {0, "A"},      {1, "S"},      {2, "D"},      {3, "F"},      {4, "H"},      {5, "G"},
      {6, "Z"},      {7, "X"},      {8, "C"},      {9, "V"},      {11, "B"},     {12, "Q"},
      {13, "W"},     {14, "E"},     {15, "R"},     {16, "Y"},     {17, "T"},     {18, "1"},
      {19, "2"},     {20, "3"},     {21, "4"},     {22, "6"},     {23, "5"},     {25, "9"},
      {26, "7"},     {28, "8"},     {29, "0"},     {31, "O"},     {32, "U"},     {34, "I"},
      {35, "P"},     {37, "L"},     {38, "J"},     {40, "K"},     {45, "N"},     {46, "M"},
      {82, "Num 0"}, {83, "Num 1"}, {84, "Num 2"}, {85, "Num 3"}, {86, "Num 4"}, {87, "Num 5"},
      {88, "Num 6"}, {89, "Num 7"}, {91, "Num 8"}, {92, "Num 9"},
  };

 private slots:
  void everyCodeHasItsName() {
    QCOMPARE(named.size(), std::size_t{46});
    for (int code = 0; code <= 0xFFFF; ++code) {
      const auto it = named.find(code);
      const std::string expected = it == named.end() ? std::string() : it->second;
      const std::string actual = keyNameForVirtualKeyCode(static_cast<std::uint16_t>(code));
      QVERIFY2(
          actual == expected,
          qPrintable(QString("code %1 gave \"%2\"").arg(code).arg(QString::fromStdString(actual))));
    }
  }

  void everyNameLeadsBackToItsKey() {
    for (const auto& [code, name] : named) QCOMPARE(int(keyCodeForKeyName(name)), code);
  }

  void textsThatNameNoKey_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("lower-case letter") << "a";
    QTest::newRow("space bar") << "Space";
    QTest::newRow("two keypad digits") << "Num 10";
    QTest::newRow("keypad without its space") << "Num1";
    QTest::newRow("trailing space") << "A ";
    QTest::newRow("modifiers in front") << "Ctrl+Alt+A";
  }
  void textsThatNameNoKey() {
    QFETCH(QString, text);
    QCOMPARE(keyCodeForKeyName(text.toStdString()), kNoKeyCode);
  }

  // Real key events as X11 and Wayland deliver them: the evdev code + 8.
  void eventsAreNamedByPosition_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("name");
    const int none = Qt::NoModifier;
    const int shift = Qt::ShiftModifier;
    const int ctrl = Qt::ControlModifier;
    const int keypad = Qt::KeypadModifier;
    QTest::newRow("A") << int(Qt::Key_A) << 38u << none << "A";
    QTest::newRow("Shift-A") << int(Qt::Key_A) << 38u << shift << "A";
    QTest::newRow("Ctrl-A") << int(Qt::Key_A) << 38u << ctrl << "A";
    QTest::newRow("A's place on AZERTY types Q") << int(Qt::Key_Q) << 38u << none << "A";
    QTest::newRow("Z") << int(Qt::Key_Z) << 52u << none << "Z";
    QTest::newRow("main-row 1") << int(Qt::Key_1) << 10u << none << "1";
    QTest::newRow("Shift-1 types !") << int(Qt::Key_Exclam) << 10u << shift << "1";
    QTest::newRow("main-row 0") << int(Qt::Key_0) << 19u << none << "0";
    QTest::newRow("keypad 1") << int(Qt::Key_1) << 87u << keypad << "Num 1";
    QTest::newRow("keypad 1, Num Lock off") << int(Qt::Key_End) << 87u << keypad << "Num 1";
    QTest::newRow("keypad 0") << int(Qt::Key_0) << 90u << keypad << "Num 0";
    QTest::newRow("keypad 4") << int(Qt::Key_4) << 83u << keypad << "Num 4";
    QTest::newRow("keypad 8") << int(Qt::Key_8) << 80u << keypad << "Num 8";
    QTest::newRow("keypad 9") << int(Qt::Key_9) << 81u << keypad << "Num 9";
    QTest::newRow("space") << int(Qt::Key_Space) << 65u << none << "";
    QTest::newRow("Return") << int(Qt::Key_Return) << 36u << none << "";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 9u << none << "";
    QTest::newRow("F1") << int(Qt::Key_F1) << 67u << none << "";
    QTest::newRow("left arrow") << int(Qt::Key_Left) << 113u << none << "";
    QTest::newRow("keypad plus") << int(Qt::Key_Plus) << 86u << keypad << "";
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << 50u << shift << "";
    QTest::newRow("equal (code 24)") << int(Qt::Key_Equal) << 21u << none << "";
  }

  void eventsAreNamedByPosition() {
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(int, modifiers);
    QFETCH(QString, name);
    for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
      QKeyEvent event(type, key, Qt::KeyboardModifiers(modifiers), scanCode, 0, 0);
      QCOMPARE(QString::fromStdString(keyNameForKeyCode(event)), name);
    }
  }

  // The offscreen platform gives no scan codes: the Qt key and the keypad flag decide.
  void eventsWithoutScanCode_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("name");
    QTest::newRow("A") << int(Qt::Key_A) << int(Qt::NoModifier) << "A";
    QTest::newRow("Shift-A") << int(Qt::Key_A) << int(Qt::ShiftModifier) << "A";
    QTest::newRow("Ctrl-Shift-Q") << int(Qt::Key_Q) << int(Qt::ControlModifier | Qt::ShiftModifier)
                                  << "Q";
    QTest::newRow("main-row 1") << int(Qt::Key_1) << int(Qt::NoModifier) << "1";
    QTest::newRow("keypad 1") << int(Qt::Key_1) << int(Qt::KeypadModifier) << "Num 1";
    QTest::newRow("main-row 7") << int(Qt::Key_7) << int(Qt::NoModifier) << "7";
    QTest::newRow("keypad 7") << int(Qt::Key_7) << int(Qt::KeypadModifier) << "Num 7";
    QTest::newRow("space") << int(Qt::Key_Space) << int(Qt::NoModifier) << "";
    QTest::newRow("F1") << int(Qt::Key_F1) << int(Qt::NoModifier) << "";
    QTest::newRow("up") << int(Qt::Key_Up) << int(Qt::NoModifier) << "";
    QTest::newRow("keypad point") << int(Qt::Key_Period) << int(Qt::KeypadModifier) << "";
  }

  void eventsWithoutScanCode() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, name);
    QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), 0, 0, 0);
    QCOMPARE(QString::fromStdString(keyNameForKeyCode(event)), name);
  }
};

QTEST_GUILESS_MAIN(KeyNamesTest)
#include "KeyNamesTest.moc"
