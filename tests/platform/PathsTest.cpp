#include "platform/Paths.h"

#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <set>
#include <vector>

class PathsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QTemporaryDir> dir;
  std::string under(const QString& relative) const { return dir->filePath(relative).toStdString(); }

 private slots:
  void init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    qputenv("HOME", dir->filePath("home").toUtf8());
    qputenv("XDG_DATA_HOME", dir->filePath("data").toUtf8());
    resetPathsForTesting();
  }

  void cleanup() { resetPathsForTesting(); }

  void documentPathFollowsTheEnvironment_data() {
    QTest::addColumn<QByteArray>("xdgDataHome");  // "-" unsets it; a leading '@' is under the test dir
    QTest::addColumn<QString>("expectedUnderDir");
    QTest::newRow("XDG_DATA_HOME") << QByteArray("@data") << "data/cueboard";
    QTest::newRow("trailing slashes") << QByteArray("@data//") << "data/cueboard";
    QTest::newRow("empty") << QByteArray("") << "home/.local/share/cueboard";
    QTest::newRow("unset") << QByteArray("-") << "home/.local/share/cueboard";
    QTest::newRow("relative is ignored") << QByteArray("data") << "home/.local/share/cueboard";
  }

  void documentPathFollowsTheEnvironment() {
    QFETCH(QByteArray, xdgDataHome);
    QFETCH(QString, expectedUnderDir);
    if (xdgDataHome == "-") {
      qunsetenv("XDG_DATA_HOME");
    } else if (xdgDataHome.startsWith('@')) {
      qputenv("XDG_DATA_HOME", dir->filePath(QString::fromUtf8(xdgDataHome.mid(1))).toUtf8() +
                                   (xdgDataHome.endsWith("//") ? "//" : ""));
    } else {
      qputenv("XDG_DATA_HOME", xdgDataHome);
    }
    resetPathsForTesting();
    QCOMPARE(documentPath(), under(expectedUnderDir));
    QCOMPARE(soundPath(), under(expectedUnderDir) + "/sound/");
  }

  // Computed once: a later change of the environment does not move the library.
  void computedOnceUntilReset() {
    const std::string first = documentPath();
    QCOMPARE(first, under("data/cueboard"));
    qputenv("XDG_DATA_HOME", dir->filePath("other").toUtf8());
    QCOMPARE(documentPath(), first);
    QCOMPARE(soundPath(), first + "/sound/");
    resetPathsForTesting();
    QCOMPARE(documentPath(), under("other/cueboard"));
  }

  void concurrentFirstUseAgrees() {
    std::vector<std::future<std::string>> results;
    for (int i = 0; i < 8; ++i) {
      results.push_back(std::async(std::launch::async, [i] { return i % 2 ? soundPath() : documentPath() + "/sound/"; }));
    }
    std::set<std::string> seen;
    for (auto& result : results) {
      seen.insert(result.get());
    }
    QCOMPARE(seen.size(), std::size_t{1});
    QCOMPARE(*seen.begin(), under("data/cueboard") + "/sound/");
  }

  void appendingAPathComponent_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("component");
    QTest::addColumn<QString>("joined");
    QTest::newRow("plain") << "/tmp" << "a.mp3" << "/tmp/a.mp3";
    QTest::newRow("sound folder with its slash") << "/d/cueboard/sound/" << "a.mp3" << "/d/cueboard/sound/a.mp3";
    QTest::newRow("component with leading slash") << "/tmp" << "/a.mp3" << "/tmp/a.mp3";
    QTest::newRow("slashes on both sides") << "/tmp//" << "//a.mp3" << "/tmp/a.mp3";
    QTest::newRow("trailing slash dropped") << "/tmp" << "dir/" << "/tmp/dir";
    QTest::newRow("root") << "/" << "a" << "/a";
    QTest::newRow("empty base") << "" << "a.mp3" << "a.mp3";
    QTest::newRow("empty component") << "/tmp/" << "" << "/tmp";
    QTest::newRow("database") << "/home/u/.local/share/cueboard" << "data.sqlite"
                              << "/home/u/.local/share/cueboard/data.sqlite";
    QTest::newRow("spaces and Chinese") << "/s/" << "My Song 掌声.mp3" << "/s/My Song 掌声.mp3";
    QTest::newRow("relative") << "a" << "b" << "a/b";
  }

  void appendingAPathComponent() {
    QFETCH(QString, base);
    QFETCH(QString, component);
    QFETCH(QString, joined);
    QCOMPARE(QString::fromStdString(stringByAppendingPathComponent(base.toStdString(), component.toStdString())),
             joined);
  }

  void homeDirectoryPrefersHome() {
    QCOMPARE(homeDirectory(), under("home"));
    qunsetenv("HOME");
    // Without HOME the account database answers; it always has an entry for us here.
    QVERIFY(!homeDirectory().empty());
  }
};

QTEST_GUILESS_MAIN(PathsTest)
#include "PathsTest.moc"
