// System-wide hotkeys where there is no X11 (the offscreen platform stands in for a
// Wayland session): through the GlobalShortcuts portal, played here by a stand-in
// service on a private session bus, and the explanation when no portal is there.

#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <memory>

#include "BoardFixture.h"
#include "PrivateSessionBus.h"
#include "board/ViewController.h"
#include "platform/AudioDevice.h"
#include "platform/Bundle.h"
#include "platform/SystemHotkeys.h"

namespace {

PrivateSessionBus& bus() {
  static PrivateSessionBus privateBus;
  return privateBus;
}

QDBusMessage askStandIn(const QString& method, const QVariantList& arguments = {}) {
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.portal.Desktop",
                                                     "/org/freedesktop/portal/desktop",
                                                     "app.cueboard.PortalStandIn", method);
  call.setArguments(arguments);
  return QDBusConnection::sessionBus().call(call);
}

QStringList bindings() { return askStandIn("Bindings").arguments().value(0).toStringList(); }

}  // namespace

class GlobalHotkeysPortalTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() {
    useOffscreenTestDevices();
    std::string error;
    if (!bus().start(&error)) qFatal("cannot start a session bus: %s", error.c_str());
  }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::unique_ptr<QProcess> standIn;

  QLabel* globalLine() { return board->findChild<QLabel*>("lblGlobalHotkeys"); }

  void startStandIn() {
    standIn = std::make_unique<QProcess>();
    standIn->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    standIn->start(PORTAL_STAND_IN, {});
    QVERIFY(standIn->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                 "org.freedesktop.portal.Desktop"),
                             20000);
  }

  // Buttons 1 and 2 of category 1 hold a sound; button 1 has the custom key "Q".
  void startBoard(int hotkeyTag) {
    world->writeLibrary({{"K1", categoryId(1), 1, "一", "ding.mp3", "Q"},
                         {"K2", categoryId(1), 2, "二", "ding.mp3", ""}});
    const QString shipped = QString::fromStdString(Bundle::mainBundle().resourcePath()) + "/sound";
    const QStringList sounds = QDir(shipped).entryList({"*.mp3"}, QDir::Files, QDir::Name);
    QVERIFY(!sounds.isEmpty());
    QVERIFY(QFile::copy(shipped + "/" + sounds.first(),
                        QString::fromStdString(soundPath()) + "ding.mp3"));
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyTag, "hotkeyTag");
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "globalHotkeys");
    board = std::make_unique<ViewController>();
  }

 private slots:
  void initTestCase() { QVERIFY2(AudioDevice::open(), AudioDevice::lastError().c_str()); }
  void init() { world = std::make_unique<BoardFixture>(); }
  void cleanup() {
    board.reset();
    if (standIn) {
      standIn->kill();
      standIn->waitForFinished();
      standIn.reset();
      QTRY_VERIFY_WITH_TIMEOUT(!QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                   "org.freedesktop.portal.Desktop"),
                               20000);
    }
    world.reset();
  }
  void cleanupTestCase() { AudioDevice::close(); }

  void withoutPortalTheCheckBoxExplains() {
    startBoard(1);
    QVERIFY(!globalLine()->isHidden());
    QCOMPARE(globalLine()->text(), SystemHotkeys::noSystemHotkeysReason());
    QCOMPARE(board->findChild<QCheckBox*>("chkGlobalHotkeys")->toolTip(),
             SystemHotkeys::noSystemHotkeysReason());
    QVERIFY(SystemHotkeys::noSystemHotkeysReason().contains("cueboard play N"));
    QVERIFY(!SystemHotkeys::noSystemHotkeysReason().contains('\n'));
  }

  void keysAreRegisteredAndActivationsPlay() {
    startStandIn();
    startBoard(1);
    QTRY_COMPARE_WITH_TIMEOUT(bindings().size(), 41, 20000);
    const QStringList bound = bindings();
    QVERIFY2(bound.contains("A=CTRL+ALT+a"), qPrintable(bound.join(' ')));
    QVERIFY(bound.contains("0=CTRL+ALT+0"));
    QVERIFY(bound.contains("Num 4=CTRL+ALT+KP_4"));
    QVERIFY(bound.contains("Space=CTRL+ALT+space"));
    QVERIFY(globalLine()->isHidden());

    QCOMPARE(askStandIn("Activate", {"A"}).type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
    QVERIFY(board->currentPlayer()->isPlaying());
    askStandIn("Activate", {"Space"});
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string(), 20000);

    // The custom mode binds the stored keys in a new session.
    board->customHotkeyRadio()->click();
    QTRY_COMPARE_WITH_TIMEOUT(bindings(), QStringList({"Q=CTRL+ALT+q", "Space=CTRL+ALT+space"}),
                              20000);
    askStandIn("Activate", {"Q"});
    QTRY_COMPARE_WITH_TIMEOUT(board->currentButtonId(), std::string("K1"), 20000);
  }
};

QTEST_MAIN(GlobalHotkeysPortalTest)
#include "GlobalHotkeysPortalTest.moc"
