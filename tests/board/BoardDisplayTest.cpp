// What a host reads off the board: titles fitted to their buttons and shown as typed,
// rows that are not on the grid touching nothing, the volume as stored, a library that
// cannot be read saying so in the window, the sound that is playing and its progress,
// sounds whose file is missing, and the window's size and place across restarts.

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionButton>
#include <memory>

#include "../platform/PcmCapture.h"
#include "BoardFixture.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "library/Caches.h"
#include "platform/AudioDevice.h"

namespace {
QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }
}  // namespace

class BoardDisplayTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;

  SoundButton* button(int n) { return board->soundButton(n); }

  // Where a title may go, from the button's size alone: the style's contents, less the
  // 4 px of padding all round and the 3 px progress bar along the bottom edge.
  static QRect titleAreaOf(SoundButton* b) {
    QStyleOptionButton option;
    option.initFrom(b);
    option.text = b->text();
    const QRect contents = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
    return contents.adjusted(4, 4, -4, -4 - 3);
  }

  // Every line of the fitted title fits the button's width.
  static bool fits(SoundButton* b, const QString& shown) {
    const int width = titleAreaOf(b).width();
    for (const QString& line : shown.split('\n')) {
      if (QFontMetrics(b->font()).horizontalAdvance(line) > width) return false;
    }
    return true;
  }

  // The disk driver runs at about four times real time: fast, yet slow enough for a
  // 10-second sound to be looked at twice while it plays.
  void openDiskDevice() { openDiskAudio(world->path("device.pcm").toStdString(), "3"); }
  double deviceSeconds() {
    return QFileInfo(world->path("device.pcm")).size() / double(44100 * 2 * 2);
  }

 private slots:
  void init() { world = std::make_unique<BoardFixture>(); }
  void cleanup() {
    board.reset();
    AudioDevice::close();
    world.reset();
    qputenv("SDL_AUDIODRIVER", "dummy");
  }

  // ---- Titles

  void longTitlesAreElidedAtTheButtonsWidth_data() {
    QTest::addColumn<QString>("title");
    QTest::newRow("latin") << "The quick brown fox jumps over the lazy dog again and again";
    QTest::newRow("chinese") << "欢迎来到直播间请点关注点赞加分享谢谢大家的支持我们下次再见";
    QTest::newRow("one long word") << "Supercalifragilisticexpialidocious-and-then-some-more";
  }
  void longTitlesAreElidedAtTheButtonsWidth() {
    QFETCH(QString, title);
    world->writeLibrary({{"L1", categoryId(1), 1, title.toStdString(), "x.mp3", ""},
                         {"S2", categoryId(1), 2, "短", "x.mp3", ""}});
    board = std::make_unique<ViewController>();
    board->show();
    QString previous;
    for (const QSize size : {QSize(1024, 640), QSize(1900, 1000)}) {
      board->resize(size);
      QTRY_COMPARE(board->size(), size);
      QApplication::processEvents();
      const QString shown = button(1)->displayedTitle();
      QVERIFY2(shown.endsWith("…"), qPrintable(shown));
      QVERIFY2(shown.count('\n') <= 1, qPrintable(shown));
      QVERIFY2(fits(button(1), shown), qPrintable(shown));
      QVERIFY(shown.size() > 4);
      // A wider window shows more of the title.
      if (!previous.isEmpty())
        QVERIFY2(shown.size() > previous.size(), qPrintable(previous + " / " + shown));
      previous = shown;
      QCOMPARE(button(1)->text(), title);
      QCOMPARE(button(1)->toolTipText().split('\n').front(), title);
      QCOMPARE(button(2)->displayedTitle(), QString("短"));
    }
  }

  // Two lines take a line's height and a line spacing: at exactly that height a long
  // title uses two lines, one pixel lower only one.
  void aTitleTakesTwoLinesWhereTwoJustFit() {
    SoundButton b;
    b.setText("The quick brown fox jumps over the lazy dog again and again");
    b.resize(120, 60);
    const QFontMetrics metrics(b.font());
    const int twoLines = metrics.height() + metrics.lineSpacing();
    b.resize(120, 60 + twoLines - titleAreaOf(&b).height());
    QCOMPARE(titleAreaOf(&b).height(), twoLines);
    QString shown = b.displayedTitle();
    QCOMPARE(shown.count('\n'), 1);
    QVERIFY2(shown.endsWith("…") && fits(&b, shown), qPrintable(shown));

    b.resize(120, b.height() - 1);
    shown = b.displayedTitle();
    QCOMPARE(shown.count('\n'), 0);
    QVERIFY2(shown.endsWith("…") && fits(&b, shown), qPrintable(shown));
  }

  void titlesShowAsTyped_data() {
    QTest::addColumn<QString>("title");
    QTest::newRow("ampersand") << "R&B";
    QTest::newRow("double ampersand") << "A && B";
    QTest::newRow("markup") << "<b>bold</b>";
  }
  void titlesShowAsTyped() {
    QFETCH(QString, title);
    world->writeLibrary({{"T1", categoryId(1), 1, title.toStdString(), "x.mp3", ""}});
    board = std::make_unique<ViewController>();
    board->resize(1280, 720);
    board->show();
    QCOMPARE(button(1)->displayedTitle(), title);
    QCOMPARE(button(1)->toolTipText().split('\n').front(), title);
  }

  // ---- Rows that are not on the grid

  void rowsOffTheGridTouchNothing_data() {
    QTest::addColumn<QString>("buttonNo");  // as SQL
    for (const char* number :
         {"0", "41", "-1", "-95", "-99", "-100", "100", "101", "140", "4294967297", "-4294967295",
          "9223372036854775807", "3.5", "'abc'", "null", "x'01'"}) {
      QTest::newRow(number) << number;
    }
  }
  void rowsOffTheGridTouchNothing() {
    QFETCH(QString, buttonNo);
    world->writeLibrary({});
    world->changeLibrary("insert into tb_Button values ('OFF', '" + categoryId(1) + "', " +
                         buttonNo.toStdString() + ", 'intruder', 'x.mp3', 'A')");
    UserDefaults::standardUserDefaults().setIntegerForKey(2, "hotkeyTag");
    board = std::make_unique<ViewController>();
    for (int n = 1; n <= 40; ++n) {
      QCOMPARE(button(n)->text(), QString());
      QCOMPARE(board->hotkeyLabel(n)->text(), QString());
    }
    for (QWidget* control : board->findChildren<QWidget*>()) {
      for (const char* property : {"text", "title", "windowTitle"}) {
        QVERIFY2(!control->property(property).toString().contains("intruder"),
                 qPrintable(control->objectName()));
      }
    }
    QVERIFY(dicButtonId().empty() && dicTitle().empty() && dicMusicSrc().empty() &&
            dicHotkey().empty());
  }

  // ---- Volume

  void storedVolumeIsClamped_data() {
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("shown");
    QTest::newRow("negative") << QVariant(-20) << 85;
    QTest::newRow("above 100") << QVariant(150) << 100;
    QTest::newRow("just above") << QVariant(100.5) << 100;
    QTest::newRow("huge") << QVariant(1e30) << 100;
    QTest::newRow("text") << QVariant("loud") << 85;
    QTest::newRow("in range") << QVariant(64) << 64;
  }
  void storedVolumeIsClamped() {
    QFETCH(QVariant, stored);
    QFETCH(int, shown);
    world->writeLibrary({});
    UserDefaults::standardUserDefaults().setObjectForKey(stored, "volume");
    UserDefaults::resetStandardUserDefaultsForTesting();
    board = std::make_unique<ViewController>();
    QCOMPARE(board->currentVolume(), float(shown));
    QCOMPARE(board->sliderVolumeValue(), float(shown));
    QCOMPARE(board->findChild<QLabel*>("tfVolume")->text(), QString("音量：%1").arg(shown));
  }

  // ---- A library that cannot be read

  void unreadableLibraryIsToldInTheWindow_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << "text"
                                    << "file is not a database";
    QTest::newRow("damaged") << "damaged"
                             << "malformed";
    QTest::newRow("missing table") << "no table"
                                   << "no such table";
    QTest::newRow("locked by another program") << "locked"
                                               << "locked";
    QTest::newRow("folder cannot be made") << "unwritable"
                                           << "unable to open";
  }
  void unreadableLibraryIsToldInTheWindow() {
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    std::shared_ptr<LiteDatabase> holder;
    const QString file = QString::fromStdString(documentPath()) + "/data.sqlite";
    if (damage == "unwritable") {
      // The data folder's parent is a file: nothing can be made there.
      QFile blocker(world->path("data"));
      QVERIFY(blocker.open(QIODevice::WriteOnly));
      blocker.write("not a folder");
      blocker.close();
    } else {
      world->writeLibrary({{"A1", categoryId(1), 1, "掌声", "applause.mp3", ""}});
    }
    if (damage == "text") {
      QFile out(file);
      QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
      out.write(QByteArray(8192, 'x'));
    }
    if (damage == "no table") world->changeLibrary("drop table tb_Button");
    if (damage == "damaged") {
      for (int i = 2; i <= 200; ++i) {
        world->changeLibrary("insert into tb_Button values ('F" + std::to_string(i) + "', '" +
                             categoryId(1) + "', 2, '" + std::string(200, 'x') +
                             "', 'f.mp3', null)");
      }
      QFile out(file);
      QVERIFY(out.open(QIODevice::ReadWrite));
      QVERIFY(out.seek(4096 + 16));  // inside the table's first page, past its header
      out.write(QByteArray(4096 * 3, '\xff'));
    }
    if (damage == "locked") {
      holder = LiteDatabase::databaseWithPath(file.toStdString());
      QVERIFY(holder->open());
      QVERIFY(holder->executeStatements("pragma locking_mode = exclusive; begin exclusive;"));
    }
    // With a sound device, the banner speaks of the library alone.
    QVERIFY(AudioDevice::open());
    board = std::make_unique<ViewController>();
    const QString told = board->libraryProblem();
    QVERIFY2(told.contains(QString::fromStdString(dbHelper().dbURL())), qPrintable(told));
    QVERIFY2(told.contains(reason, Qt::CaseInsensitive), qPrintable(told));
    QVERIFY(board->findChild<QLabel*>("lblLibraryProblem")->isVisibleTo(board.get()));

    if (damage == "locked") {
      // Once the other program lets go, the next load shows the library and the banner goes.
      holder->executeStatements("commit");
      holder->close();
      board->loadBtnMusic();
      QCOMPARE(board->libraryProblem(), QString());
      QVERIFY(!board->findChild<QLabel*>("lblLibraryProblem")->isVisibleTo(board.get()));
      QCOMPARE(button(1)->text(), QString("掌声"));
    }
  }

  // A missing sound device is a line of the banner for as long as it is missing.
  void missingDeviceIsToldInTheBannerUntilOneOpens() {
    world->writeLibrary({{"S1", categoryId(1), 1, "音调", "tone.mp3", ""}});
    QVERIFY(QFile::copy(fixture("sine440-short.mp3"),
                        QString::fromStdString(soundPath()) + "tone.mp3"));
    qputenv("SDL_AUDIODRIVER", "no-such-driver");
    QVERIFY(!AudioDevice::open());
    board = std::make_unique<ViewController>();
    auto* banner = board->findChild<QLabel*>("lblLibraryProblem");
    const QStringList lines = board->bannerLines();
    QCOMPARE(lines.size(), 1);
    const QString prefix = "没有音频输出设备，声音无法播放：";
    QVERIFY2(lines[0].startsWith(prefix) && lines[0].size() > prefix.size(), qPrintable(lines[0]));
    QVERIFY(banner->isVisibleTo(board.get()));
    QCOMPARE(banner->text(), lines[0]);
    QVERIFY(board->windowTitle().endsWith("（没有音频输出设备）"));

    qputenv("SDL_AUDIODRIVER", "dummy");
    button(1)->click();  // looks for a device again
    QVERIFY(AudioDevice::isOpen());
    QCOMPARE(board->bannerLines(), QStringList());
    QVERIFY(!banner->isVisibleTo(board.get()));
  }

  void readableLibraryShowsNoProblem() {
    world->writeLibrary({});
    QVERIFY(AudioDevice::open());
    board = std::make_unique<ViewController>();
    QCOMPARE(board->libraryProblem(), QString());
    QVERIFY(!board->findChild<QLabel*>("lblLibraryProblem")->isVisibleTo(board.get()));
  }

  // ---- Missing files

  void missingFilesAreMarkedAtLoad() {
    world->writeLibrary({{"A1", categoryId(1), 1, "在", "here.mp3", ""},
                         {"A2", categoryId(1), 2, "丢了", "gone.mp3", ""},
                         {"A3", categoryId(1), 3, "无文件", "", ""},
                         {"A4", categoryId(1), 4, "外面", fixture("sine440.mp3").toStdString(), ""},
                         {"A5", categoryId(1), 5, "外面丢了", "/nowhere/lost.mp3", ""}});
    QVERIFY(QFile::copy(fixture("sine440-short.mp3"),
                        QString::fromStdString(soundPath()) + "here.mp3"));
    board = std::make_unique<ViewController>();
    QVERIFY(!button(1)->isMissingFileMarked());
    QVERIFY(button(2)->isMissingFileMarked());
    QVERIFY2(button(2)->toolTipText().contains("gone.mp3"), qPrintable(button(2)->toolTipText()));
    QVERIFY(button(2)->toolTipText().startsWith("丢了"));
    QVERIFY(button(3)->isMissingFileMarked());
    QVERIFY(!button(4)->isMissingFileMarked());
    QVERIFY(button(5)->isMissingFileMarked());
    QVERIFY(!button(6)->isMissingFileMarked());  // empty buttons carry no mark
    // The file arrives: the next load clears the mark.
    QVERIFY(QFile::copy(fixture("sine440-short.mp3"),
                        QString::fromStdString(soundPath()) + "gone.mp3"));
    board->loadBtnMusic();
    QVERIFY(!button(2)->isMissingFileMarked());
    QCOMPARE(button(2)->toolTipText(), QString("丢了"));
  }

  // Without a load: a file that goes, or comes back (restored, or its folder
  // remounted), shows on its button within a second.
  void fileThatGoesAndComesBackIsSeenWithoutALoad_data() {
    QTest::addColumn<bool>("wholeFolder");
    QTest::newRow("the file") << false;
    QTest::newRow("the sound folder") << true;
  }
  void fileThatGoesAndComesBackIsSeenWithoutALoad() {
    QFETCH(bool, wholeFolder);
    world->writeLibrary({{"A1", categoryId(1), 1, "在", "here.mp3", ""}});
    const QString folder = QString::fromStdString(soundPath());
    QVERIFY(QFile::copy(fixture("sine440-short.mp3"), folder + "here.mp3"));
    board = std::make_unique<ViewController>();
    QVERIFY(!button(1)->isMissingFileMarked());
    const QString aside = world->path("aside");
    if (wholeFolder) {
      QVERIFY(QDir().rename(folder, aside));
    } else {
      QVERIFY(QFile::rename(folder + "here.mp3", aside));
    }
    QTRY_VERIFY_WITH_TIMEOUT(button(1)->isMissingFileMarked(), 1000);
    if (wholeFolder) {
      QVERIFY(QDir().rename(aside, folder));
    } else {
      QVERIFY(QFile::rename(aside, folder + "here.mp3"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!button(1)->isMissingFileMarked(), 1000);
    // And again, now that the folder may have been watched afresh.
    QVERIFY(QFile::remove(folder + "here.mp3"));
    QTRY_VERIFY_WITH_TIMEOUT(button(1)->isMissingFileMarked(), 1000);
  }

  // On a first start the shipped sounds are copied after the category is shown; none of
  // them may be left marked as missing.
  void firstStartMarksNoShippedSoundMissing() {
    board = std::make_unique<ViewController>();
    QVERIFY(!dicMusicSrc().empty());
    for (const auto& [n, musicSrc] : dicMusicSrc()) {
      QVERIFY2(!button(n)->isMissingFileMarked(), musicSrc.c_str());
    }
  }

  // ---- What plays

  void playingButtonShowsItsProgress() {
    openDiskDevice();
    world->writeLibrary({{"L2", categoryId(1), 2, "十秒", "long.mp3", ""},
                         {"S3", categoryId(1), 3, "一秒", "short.mp3", ""},
                         {"O1", categoryId(2), 2, "别的", "long.mp3", ""}});
    QVERIFY(
        QFile::copy(fixture("sine440-10s.mp3"), QString::fromStdString(soundPath()) + "long.mp3"));
    QVERIFY(QFile::copy(fixture("sine440.mp3"), QString::fromStdString(soundPath()) + "short.mp3"));
    board = std::make_unique<ViewController>();
    const double clicked = deviceSeconds();
    button(2)->click();
    QVERIFY(button(2)->isPlayingMarked());
    for (double at : {2.0, 5.0}) {
      QTRY_VERIFY_WITH_TIMEOUT(deviceSeconds() - clicked >= at, 30000);
      // The mark follows the device: within half a second of what it was handed.
      const double before = deviceSeconds() - clicked;
      board->updatePlayingMark();
      const double after = deviceSeconds() - clicked;
      const double shown = button(2)->progress() * 10;
      QVERIFY2(shown > before - 0.5 && shown < after + 0.5,
               qPrintable(QString("%1 between %2 and %3").arg(shown).arg(before).arg(after)));
      const QString left = button(2)->remainingTimeText();
      QVERIFY2(std::abs(left.mid(2).toInt() - (10 - shown)) <= 1.0, qPrintable(left));
      QVERIFY(left.startsWith("0:"));
      for (int n : {1, 3, 40}) QVERIFY(!button(n)->isPlayingMarked());
    }
    // Another category: its button 2 is not the one playing; back again, the mark returns.
    board->viewWithTag<QPushButton>(2)->click();
    QVERIFY(!button(2)->isPlayingMarked());
    QVERIFY(board->currentPlayer()->isPlaying());
    board->viewWithTag<QPushButton>(1)->click();
    QVERIFY(button(2)->isPlayingMarked());
    // Another sound starts: the mark moves, then clears when that one ends.
    button(3)->click();
    QVERIFY(!button(2)->isPlayingMarked());
    QVERIFY(button(3)->isPlayingMarked());
    QTRY_VERIFY_WITH_TIMEOUT(!button(3)->isPlayingMarked(), 20000);
    QCOMPARE(button(3)->progress(), 0.0);
    QCOMPARE(button(3)->remainingTimeText(), QString());
    // Stopped by the stop button.
    button(2)->click();
    QVERIFY(button(2)->isPlayingMarked());
    board->btnStopPlay_Click(nullptr);
    QVERIFY(!button(2)->isPlayingMarked());
  }

  void loopingShowsThePositionWithinTheLoop() {
    openDiskDevice();
    world->writeLibrary({{"S3", categoryId(1), 3, "一秒", "short.mp3", ""}});
    QVERIFY(QFile::copy(fixture("sine440.mp3"), QString::fromStdString(soundPath()) + "short.mp3"));
    UserDefaults::standardUserDefaults().setObjectForKey(1, "loop");
    board = std::make_unique<ViewController>();
    button(3)->click();
    const double start = deviceSeconds();
    QTRY_VERIFY_WITH_TIMEOUT(deviceSeconds() - start > 2.5, 30000);
    QVERIFY(button(3)->isPlayingMarked());
    QVERIFY(button(3)->progress() < 1.0);
    QCOMPARE(button(3)->remainingTimeText(), QString("0:01"));
    board->btnStopPlay_Click(nullptr);
  }

  // ---- Window geometry

  void geometryComesBackAfterARestart() {
    world->writeLibrary({});
    board = std::make_unique<ViewController>();
    board->show();
    board->setGeometry(70, 80, 1300, 760);
    QTRY_COMPARE(board->size(), QSize(1300, 760));
    board->close();
    QVERIFY(UserDefaults::standardUserDefaults().objectForKey("windowGeometry"));
    board.reset();
    UserDefaults::resetStandardUserDefaultsForTesting();
    board = std::make_unique<ViewController>();
    QCOMPARE(board->size(), QSize(1300, 760));
    QCOMPARE(board->pos(), QPoint(70, 80));
    // The grid grows with the window.
    board->show();
    QVERIFY(button(1)->width() > 1300 / 8 - 40);
  }
};

QTEST_MAIN(BoardDisplayTest)
#include "BoardDisplayTest.moc"
