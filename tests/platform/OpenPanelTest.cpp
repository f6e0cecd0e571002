#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

#include "platform/OpenPanel.h"
#include "platform/UserDefaults.h"

class OpenPanelTest : public QObject {
  Q_OBJECT

 private:
  // The panel remembers its folder in the settings: each test has its own.
  std::unique_ptr<QTemporaryDir> scratch;

 private slots:
  void init() {
    scratch = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", (scratch->path() + "/config").toUtf8());
    UserDefaults::resetStandardUserDefaultsForTesting();
  }
  void cleanup() {
    OpenPanel::setResponderForTesting(nullptr);
    UserDefaults::resetStandardUserDefaultsForTesting();
    scratch.reset();
  }

  void pathParts_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("extension");
    QTest::newRow("plain") << "/a/b/bell.mp3"
                           << "bell.mp3"
                           << "mp3";
    QTest::newRow("two dots") << "/x/a.mp3.b.mp3"
                              << "a.mp3.b.mp3"
                              << "mp3";
    QTest::newRow("upper case") << "/x/LOUD.MP3"
                                << "LOUD.MP3"
                                << "MP3";
    QTest::newRow("no extension") << "/x/readme"
                                  << "readme"
                                  << "";
    QTest::newRow("dot file") << "/x/.mp3"
                              << ".mp3"
                              << "";
    QTest::newRow("dot in folder only") << "/x.d/file"
                                        << "file"
                                        << "";
    QTest::newRow("spaces and quotes") << "/x/Rock'n'roll 1.mp3"
                                       << "Rock'n'roll 1.mp3"
                                       << "mp3";
    QTest::newRow("chinese") << "/声音/掌声.mp3"
                             << "掌声.mp3"
                             << "mp3";
    QTest::newRow("bare name") << "ding.mp3"
                               << "ding.mp3"
                               << "mp3";
  }
  void pathParts() {
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QString, extension);
    QCOMPARE(QString::fromStdString(lastPathComponent(path.toStdString())), name);
    QCOMPARE(QString::fromStdString(pathExtension(path.toStdString())), extension);
  }

  // A title drops the file's own extension, whichever sound format it names.
  void titleDropsTheSoundExtension_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    for (const char* ext : {"mp3", "wav", "flac", "ogg", "opus", "aiff", "aif"}) {
      QTest::newRow(ext) << QString("/x/掌声.%1").arg(ext) << "掌声";
    }
    QTest::newRow("upper case") << "/x/LOUD.WAV"
                                << "LOUD";
    QTest::newRow("another format's name inside") << "/x/drum.mp3 take.ogg"
                                                  << "drum.mp3 take";
  }
  void titleDropsTheSoundExtension() {
    QFETCH(QString, path);
    QFETCH(QString, title);
    QCOMPARE(QString::fromStdString(titleForSoundFile(path.toStdString())), title);
  }

  void soundPanelOffersEveryFormat() {
    const OpenPanel panel = OpenPanel::soundPanel("请选择一个音效文件", true);
    for (const char* ext : {"mp3", "wav", "flac", "ogg", "opus", "aiff"}) {
      QVERIFY2(std::find(panel.allowedFileTypes().begin(), panel.allowedFileTypes().end(), ext) !=
                   panel.allowedFileTypes().end(),
               ext);
    }
    QVERIFY(panel.allowsMultipleSelection());
    QVERIFY(!panel.canChooseDirectories());
  }

  void filterNamesAudioFilesInEitherCase() {
    const OpenPanel panel = OpenPanel::soundPanel("请选择一个音效文件", false);
    QCOMPARE(QString::fromStdString(panel.nameFilter()),
             QString("音频文件 (*.mp3 *.MP3 *.wav *.WAV *.flac *.FLAC *.ogg *.OGG *.opus *.OPUS "
                     "*.aiff *.AIFF *.aif *.AIF)"));
    OpenPanel mp3Only;
    mp3Only.setAllowedFileTypes({"mp3"});
    QCOMPARE(mp3Only.nameFilter(), std::string("mp3 (*.mp3 *.MP3)"));
  }

  // The panel opens where a file was last chosen; a cancel or a folder that has gone
  // since changes nothing of that.
  void opensInTheFolderLastUsed() {
    const QString first = scratch->path() + "/first";
    const QString second = scratch->path() + "/second";
    QVERIFY(QDir().mkpath(first) && QDir().mkpath(second));
    std::vector<std::string> seen;
    auto answer = [&](const QString& chosen, int response) {
      OpenPanel::setResponderForTesting([&seen, chosen, response](OpenPanel& panel) {
        seen.push_back(panel.directory());
        if (!chosen.isEmpty()) panel.setURLsForTesting({chosen.toStdString()});
        return response;
      });
      OpenPanel panel = OpenPanel::soundPanel("请选择一个音效文件", false);
      panel.runModal();
    };
    answer(first + "/a.mp3", OpenPanel::ModalResponseOK);
    answer(second + "/b.mp3", OpenPanel::ModalResponseCancel);
    answer(second + "/b.mp3", OpenPanel::ModalResponseOK);
    answer(QString(), OpenPanel::ModalResponseOK);
    QVERIFY(QDir(second).removeRecursively());
    answer(QString(), OpenPanel::ModalResponseCancel);
    QCOMPARE(seen, (std::vector<std::string>{"", first.toStdString(), first.toStdString(),
                                             second.toStdString(), ""}));
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("lastOpenFolder"),
             std::optional<std::string>(second.toStdString()));
  }

  // The responder sees the panel as configured and answers for the host.
  void responderAnswersInTheHostsPlace() {
    std::string seenTitle;
    bool seenMultiple = true;
    OpenPanel::setResponderForTesting([&](OpenPanel& panel) {
      seenTitle = panel.title();
      seenMultiple = panel.allowsMultipleSelection();
      panel.setURLsForTesting({"/tmp/one.mp3", "/tmp/two.mp3"});
      return OpenPanel::ModalResponseOK;
    });
    OpenPanel panel;
    panel.setTitle("请选择一个音效文件");
    panel.setAllowsMultipleSelection(false);
    QCOMPARE(panel.runModal(), OpenPanel::ModalResponseOK);
    QCOMPARE(seenTitle, std::string("请选择一个音效文件"));
    QVERIFY(!seenMultiple);
    QCOMPARE(panel.URL(), std::string("/tmp/one.mp3"));
    QCOMPARE(panel.URLs().size(), std::size_t(2));

    // A second run starts with nothing chosen.
    OpenPanel::setResponderForTesting([](OpenPanel&) { return OpenPanel::ModalResponseCancel; });
    QCOMPARE(panel.runModal(), OpenPanel::ModalResponseCancel);
    QCOMPARE(panel.URL(), std::string());
  }
};

QTEST_MAIN(OpenPanelTest)
#include "OpenPanelTest.moc"
