// A hotkey captured and saved in the editor plays its sound on the board at once,
// heard through SDL's disk driver: what the device was given is read back and measured.

#include <QApplication>
#include <QKeyEvent>
#include <QPointer>
#include <cmath>
#include <memory>

#include "../platform/PcmCapture.h"
#include "EditorFixture.h"
#include "platform/AudioDevice.h"

namespace {

constexpr quint32 kScanQ = 24;  // evdev code + 8

QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

void pressAndRelease(QWidget* window, int key, quint32 scanCode, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, scanCode, 0, 0, text);
  QCoreApplication::sendEvent(window->windowHandle(), &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, scanCode, 0, 0, text);
  QCoreApplication::sendEvent(window->windowHandle(), &release);
}

}  // namespace

class EditorPlaybackTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::string capturePath;

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    capturePath = world->path("device.pcm").toStdString();
    openDiskAudio(capturePath);
  }
  void cleanup() {
    board.reset();
    AudioDevice::close();
    world.reset();
  }

  void savedCustomHotkeyPlaysAtOnce() {
    QDir().mkpath(QString::fromStdString(soundPath()));
    QVERIFY(QFile::copy(fixture("sine440.mp3"), QString::fromStdString(soundPath()) + "一秒.mp3"));
    world->writeLibrary({{"S1", categoryId(1), 1, "一秒", "一秒.mp3", std::nullopt}});
    UserDefaults::standardUserDefaults().setIntegerForKey(2, "hotkeyTag");
    board = std::make_unique<ViewController>();
    board->show();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
    pressAndRelease(board.get(), Qt::Key_Q, kScanQ, "q");
    QCOMPARE(board->currentButtonId(), std::string());  // Q is nobody's key yet

    QPointer<EditMusicViewController> editor = openEditorOn(*board, 1);
    QVERIFY(editor);
    QTRY_COMPARE(QApplication::activeWindow(), editor.data());
    QTest::mouseClick(editor->tfHotkey, Qt::LeftButton);
    pressAndRelease(editor, Qt::Key_Q, kScanQ, "q");
    QCOMPARE(editor->tfHotkey->text(), QString("Q"));
    editor->btnSave->click();
    editor->findChild<QPushButton*>("btnClose")->click();
    QTRY_VERIFY(editor.isNull());
    board->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));

    pressAndRelease(board.get(), Qt::Key_Q, kScanQ, "q");
    QCOMPARE(board->currentButtonId(), std::string("S1"));
    QTRY_VERIFY_WITH_TIMEOUT(board->currentButtonId().empty(), 20000);  // played to its end

    board.reset();
    AudioDevice::close();  // flushes the capture
    const PcmCapture pcm = PcmCapture::fromFile(capturePath, 2, 44100);
    const auto start = pcm.firstNonSilentFrame(0, 200);
    QVERIFY(start);
    const double hz = pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }
};

QTEST_MAIN(EditorPlaybackTest)
#include "EditorPlaybackTest.moc"
