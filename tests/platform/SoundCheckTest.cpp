// Whether a file may enter the library: real sound fixtures (made with sox and lame)
// pass, and every kind of file that carries a sound's name without a sound in it is
// refused with a reason.
#include <QTemporaryDir>
#include <QTest>

#include "platform/SoundCheck.h"
#include "tests/platform/BadSoundFiles.h"

namespace {
QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }
}  // namespace

class SoundCheckTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir scratch;

  QString wavFixture() {
    const QString wav = scratch.path() + "/good.wav";
    if (!QFile::exists(wav)) QFile::copy(fixture("wav-content.mp3"), wav);
    return wav;
  }

 private slots:
  void playableSoundsPass_data() {
    QTest::addColumn<QString>("name");
    for (const char* name : {"sine440.mp3", "sine440-short.mp3", "sine440-22k-mono.mp3",
                             "wav-content.mp3", "junk-then-sine440.mp3"}) {
      QTest::newRow(name) << name;
    }
  }
  void playableSoundsPass() {
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(soundFileProblem(fixture(name.toUtf8()).toStdString())),
             QString());
  }

  void filesWithoutASoundAreRefused_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reasonStart");
    const auto bad =
        bad_sound_files::write(scratch.path() + "/bad", fixture("sine440.mp3"), wavFixture());
    const QHash<QString, QString> reasons = {
        {"empty.mp3", "文件是空的"},
        {"notes.mp3", "不是可以播放的音效文件（"},
        {"tags only.mp3", ""},  // refused by the decoder, however it puts it
        {"cut short.wav", ""},
        {"cut short.mp3", ""},
        {"notes.txt", "不是可以播放的音效文件（"},
    };
    QCOMPARE(bad.size(), std::size_t(6));
    for (const auto& [name, path] : bad) {
      QTest::newRow(name.toUtf8()) << path << reasons.value(name);
    }
    QTest::newRow("missing") << scratch.path() + "/gone.mp3"
                             << "找不到这个文件";
    QTest::newRow("folder") << fixture("folder.mp3") << "这是一个文件夹，不是音效文件";
  }
  void filesWithoutASoundAreRefused() {
    QFETCH(QString, path);
    QFETCH(QString, reasonStart);
    const QString reason = QString::fromStdString(soundFileProblem(path.toStdString()));
    QVERIFY2(!reason.isEmpty(), qPrintable(path));
    QVERIFY2(reason.startsWith(reasonStart), qPrintable(reason));
  }

  void selectionKeepsOrderAndNamesTheRefused() {
    const auto bad =
        bad_sound_files::write(scratch.path() + "/mixed", fixture("sine440.mp3"), wavFixture());
    const std::string good1 = fixture("sine440.mp3").toStdString();
    const std::string good2 = fixture("wav-content.mp3").toStdString();
    const SoundFileSelection selection =
        checkSoundFiles({bad[0].second.toStdString(), good1, bad[1].second.toStdString(), good2,
                         bad[2].second.toStdString()});
    QCOMPARE(selection.playable, std::vector<std::string>({good1, good2}));
    QCOMPARE(QString::fromStdString(selection.summary()),
             QString("3 个文件无法添加：empty.mp3、notes.mp3、tags only.mp3"));
    const QStringList lines = QString::fromStdString(selection.details()).split('\n');
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].startsWith("empty.mp3：文件是空的"), qPrintable(lines[0]));
    QVERIFY(lines[2].startsWith("tags only.mp3："));

    QCOMPARE(checkSoundFiles({good1}).summary(), std::string());
  }
};

QTEST_GUILESS_MAIN(SoundCheckTest)
#include "SoundCheckTest.moc"
