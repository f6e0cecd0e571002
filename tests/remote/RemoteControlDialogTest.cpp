// The remote control's settings box: turning the API on and off from the window, what
// it shows, and its copy buttons.

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "RemoteFixture.h"
#include "remote/RemoteApi.h"
#include "remote/RemoteControl.h"
#include "remote/RemoteControlDialog.h"

class RemoteControlDialogTest : public QObject {
  Q_OBJECT

  std::unique_ptr<RemoteFixture> world;
  std::unique_ptr<RemoteControl> control;
  std::unique_ptr<RemoteControlDialog> dialog;
  quint16 port = 0;

  template <class T>
  T* part(const char* name) const {
    return dialog->findChild<T*>(name);
  }
  QString stored(const char* key) const {
    return QString::fromStdString(
        UserDefaults::standardUserDefaults().stringForKey(key).value_or(""));
  }

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  // A board whose settings never turned the API on, on a port nobody uses.
  void init() {
    world = std::make_unique<RemoteFixture>();
    port = freePort();
    UserDefaults::standardUserDefaults().setIntegerForKey(port, "remotePort");
    control = std::make_unique<RemoteControl>(*world->handler);
    control->apply();
    dialog = std::make_unique<RemoteControlDialog>(*control);
    for (const char* name : {"chkRemoteControl", "tfRemoteUrl", "tfRemoteToken", "btnCopyUrl",
                             "btnCopyToken", "lblRemoteState"}) {
      QVERIFY2(dialog->findChild<QWidget*>(name), name);
    }
  }
  void cleanup() {
    dialog.reset();
    control.reset();
    world.reset();
  }

  void theBoxTurnsTheApiOnAndOff() {
    const QString url = QString("http://127.0.0.1:%1").arg(port);
    QVERIFY(!part<QCheckBox>("chkRemoteControl")->isChecked());
    QCOMPARE(part<QLineEdit>("tfRemoteUrl")->text(), url);
    QCOMPARE(part<QLineEdit>("tfRemoteToken")->text(), QString());
    QVERIFY(!part<QPushButton>("btnCopyToken")->isEnabled());
    QVERIFY(part<QLabel>("lblRemoteState")->text().startsWith("已关闭"));
    QCOMPARE(listeningAddresses(port), QStringList{});

    part<QCheckBox>("chkRemoteControl")->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("remoteControl"), 1L);
    const QString token = stored("remoteToken");
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(token).hasMatch());
    QCOMPARE(part<QLineEdit>("tfRemoteToken")->text(), token);
    QCOMPARE(part<QLineEdit>("tfRemoteUrl")->text(), url);
    QVERIFY(part<QCheckBox>("chkRemoteControl")->isChecked());
    QVERIFY(part<QPushButton>("btnCopyToken")->isEnabled());
    QVERIFY2(part<QLabel>("lblRemoteState")->text().startsWith("正在监听 " + url),
             qPrintable(part<QLabel>("lblRemoteState")->text()));
    QCOMPARE(listeningAddresses(port), QStringList{"0100007F"});

    part<QCheckBox>("chkRemoteControl")->click();
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("remoteControl"), 0L);
    QCOMPARE(listeningAddresses(port), QStringList{});
    QVERIFY(control->api() == nullptr);
    QVERIFY(part<QLabel>("lblRemoteState")->text().startsWith("已关闭"));
    // The token stays: a client set up once keeps working when the API comes back.
    QCOMPARE(stored("remoteToken"), token);
    QCOMPARE(part<QLineEdit>("tfRemoteToken")->text(), token);

    part<QCheckBox>("chkRemoteControl")->click();
    QCOMPARE(stored("remoteToken"), token);
    QCOMPARE(listeningAddresses(port), QStringList{"0100007F"});
  }

  // Turned on elsewhere (the settings file), the box shows it as it opens.
  void anOpenBoxFollowsTheApi() {
    control->setEnabled(true);
    QVERIFY(part<QCheckBox>("chkRemoteControl")->isChecked());
    QCOMPARE(part<QLineEdit>("tfRemoteToken")->text(), control->token());
    RemoteControlDialog second(*control);
    QVERIFY(second.findChild<QCheckBox*>("chkRemoteControl")->isChecked());
    QCOMPARE(second.findChild<QLineEdit*>("tfRemoteToken")->text(), stored("remoteToken"));
  }

  void copyPutsTheShownTextOnTheClipboard_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field");
    QTest::newRow("address") << "btnCopyUrl"
                             << "tfRemoteUrl";
    QTest::newRow("token") << "btnCopyToken"
                           << "tfRemoteToken";
  }
  void copyPutsTheShownTextOnTheClipboard() {
    QFETCH(QString, button);
    QFETCH(QString, field);
    part<QCheckBox>("chkRemoteControl")->click();
    QGuiApplication::clipboard()->setText("before");
    dialog->findChild<QPushButton*>(button)->click();
    const QString shown = dialog->findChild<QLineEdit*>(field)->text();
    QVERIFY(!shown.isEmpty());
    QCOMPARE(QGuiApplication::clipboard()->text(), shown);
    QVERIFY(shown == control->url() || shown == stored("remoteToken"));
  }

  void aPortInUseIsShownInTheBox() {
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, port));
    part<QCheckBox>("chkRemoteControl")->click();
    QVERIFY(control->api() == nullptr);
    const QString state = part<QLabel>("lblRemoteState")->text();
    QVERIFY2(state.startsWith(QString("无法开启：cannot listen on 127.0.0.1:%1: ").arg(port)),
             qPrintable(state));
    QVERIFY(part<QCheckBox>("chkRemoteControl")->isChecked());  // stored on: tried next start
  }
};

QTEST_MAIN(RemoteControlDialogTest)
#include "RemoteControlDialogTest.moc"
