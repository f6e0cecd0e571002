// The tray where the desktop has none (the offscreen display has no tray): starting
// minimized and closing to the tray do nothing, and the program says so once.

#include <QSystemTrayIcon>
#include <QWidget>

#include "RemoteFixture.h"
#include "remote/TrayIcon.h"

class TrayIconTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { useOffscreenTestDevices(); }

  void withoutATrayTheWindowShowsAndClosesAsUsualAndItIsSaidOnce() {
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    RemoteFixture world;
    QWidget window;
    TrayIcon tray(*world.board, window);
    QVERIFY(!tray.isAvailable());
    QVERIFY(world.printed.empty());  // nothing asked of the tray yet

    tray.showWindow(true);
    QVERIFY(window.isVisible());
    tray.setClosesToTray(true);
    QCOMPARE(UserDefaults::standardUserDefaults().integerForKey("closeToTray"), 1L);
    QVERIFY(tray.closesToTray());
    QCOMPARE(world.printed, std::vector<std::string>{TrayIcon::kNoTrayNote.toStdString()});
    QCOMPARE(tray.noteGiven(), TrayIcon::kNoTrayNote);

    // Closing still closes: nothing would be left to bring the board back.
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
  }

  void aStoredCloseToTraySettingIsReportedAtStart() {
    RemoteFixture world;
    UserDefaults::standardUserDefaults().setIntegerForKey(1, "closeToTray");
    QWidget window;
    TrayIcon tray(*world.board, window);
    QCOMPARE(world.printed, std::vector<std::string>{TrayIcon::kNoTrayNote.toStdString()});
    tray.showWindow(true);  // said once only
    QCOMPARE(world.printed.size(), size_t(1));
    QVERIFY(window.isVisible());
  }

  void byDefaultNothingIsSaid() {
    RemoteFixture world;
    QWidget window;
    TrayIcon tray(*world.board, window);
    tray.showWindow(false);
    QVERIFY(window.isVisible());
    QVERIFY(!tray.closesToTray());
    QVERIFY(world.printed.empty());
    QVERIFY(tray.noteGiven().isEmpty());
  }
};

QTEST_MAIN(TrayIconTest)
#include "TrayIconTest.moc"
