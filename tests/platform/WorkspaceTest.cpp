#include "platform/Workspace.h"

#include <QDesktopServices>
#include <QTest>

// Stands in for the browser and the file browser: keeps what it was asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> opened;

 public slots:
  void open(const QUrl& url) { opened << url; }
};

class WorkspaceTest : public QObject {
  Q_OBJECT

 private:
  UrlCatcher catcher;

 private slots:
  void initTestCase() {
    for (const char* scheme : {"https", "http", "file"}) {
      QDesktopServices::setUrlHandler(scheme, &catcher, "open");
    }
  }
  void cleanupTestCase() {
    for (const char* scheme : {"https", "http", "file"}) {
      QDesktopServices::unsetUrlHandler(scheme);
    }
  }
  void init() { catcher.opened.clear(); }

  void opensWebPagesAndFolders_data() {
    QTest::addColumn<QUrl>("url");
    QTest::newRow("web page") << QUrl("https://example.com/cueboard?from=app");
    QTest::newRow("sound folder") << QUrl::fromLocalFile("/home/u/.local/share/cueboard/sound/");
  }

  void opensWebPagesAndFolders() {
    QFETCH(QUrl, url);
    QVERIFY(Workspace::sharedWorkspace().openURL(url));
    QCOMPARE(catcher.opened, QList<QUrl>{url});
  }

  void refusesAnInvalidAddress() {
    QVERIFY(!Workspace::sharedWorkspace().openURL(QUrl()));
    QVERIFY(!Workspace::sharedWorkspace().openURL(QUrl("http://[::1")));
    QVERIFY(catcher.opened.isEmpty());
  }
};

QTEST_MAIN(WorkspaceTest)
#include "WorkspaceTest.moc"
