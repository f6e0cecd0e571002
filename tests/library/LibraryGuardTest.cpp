// Keeping the library from being lost: a damaged library found at start-up is moved
// aside whole (with its log) and the shipped one takes its place, the host is told and
// offered the newest backup; a library that cannot be written is reported and every
// change says it failed; what an interrupted copy left is cleared; the library runs in
// write-ahead-log mode.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <memory>

#include "../board/BoardFixture.h"
#include "LibraryTestFiles.h"
#include "board/ViewController.h"
#include "editor/EditMusicViewController.h"
#include "library/ContextMenus.h"
#include "library/LibraryBackups.h"
#include "library/LibraryCommands.h"
#include "library/LibraryGuard.h"
#include "litedb/LiteResultSet.h"
#include "platform/Alert.h"
#include "platform/OpenPanel.h"

namespace {

long long rowsIn(const std::string& path) { return LibraryBackups::soundCount(path); }

// Makes a file or folder refuse to be written. An ordinary user is refused by its mode;
// root ignores modes, so for root the file system's immutable attribute does it. False
// when neither works here.
bool setUnwritable(const QString& path, bool unwritable) {
  const QByteArray local = QFile::encodeName(path);
  struct stat info {};
  if (::stat(local.constData(), &info) != 0) return false;
  if (::geteuid() != 0) {
    const mode_t mode =
        S_ISDIR(info.st_mode) ? (unwritable ? 0555 : 0755) : (unwritable ? 0444 : 0644);
    return ::chmod(local.constData(), mode) == 0;
  }
  const int fd = ::open(local.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = unwritable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}

}  // namespace

class LibraryGuardTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::vector<Alert> alerts;
  QStringList unwritablePaths;

  QString libraryPath() const { return QString::fromStdString(documentPath() + "/data.sqlite"); }
  QString dataFolder() const { return QString::fromStdString(documentPath()); }
  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }

  void choose(int tag, const char* title) {
    QAction* item = menuItem(*board, tag, title);
    QVERIFY2(item, title);
    item->trigger();
  }

  // The host's library: three sounds of category 1, their files, and a backup of
  // yesterday holding two sounds.
  void writeHostsLibrary() {
    world->writeLibrary({
        {"A1", categoryId(1), 1, "掌声", "applause.mp3", "Q"},
        {"A2", categoryId(1), 2, "笑声", "laugh.mp3", std::nullopt},
        {"A4", categoryId(1), 4, "鼓点", "drum.mp3", "W"},
    });
    for (const char* name : {"applause.mp3", "laugh.mp3", "drum.mp3"}) {
      QVERIFY(writeAll(QString::fromStdString(soundPath()) + name, QByteArray("ID3 ") + name));
    }
    QDir().mkpath(QString::fromStdString(LibraryBackups::folder()));
    const QString backup =
        QString::fromStdString(LibraryBackups::folder()) + "/data-2026-12-10.sqlite";
    QVERIFY(QFile::copy(libraryPath(), backup));
    world->changeLibrary("delete from tb_Button where ButtonId = 'A4'");
    QFile::remove(backup);
    QVERIFY(QFile::copy(libraryPath(), backup));
    world->changeLibrary(
        "insert into tb_Button (ButtonId, ClassId, ButtonNo, Title, MusicSrc) values ('A4', '" +
        categoryId(1) + "', 4, '鼓点', 'drum.mp3')");
  }

  void answerAlerts(int answer) {
    Alert::setResponderForTesting([this, answer](const Alert& alert) {
      alerts.push_back(alert);
      return answer;
    });
  }

  void makeUnwritable(const QString& path) {
    if (!setUnwritable(path, true)) QSKIP("cannot make a file unwritable on this file system");
    unwritablePaths << path;
    // The refusal must be real for whoever runs the test.
    const QString probe = QFileInfo(path).isDir() ? path + "/probe" : path;
    QFile file(probe);
    if (file.open(QIODevice::Append)) {
      file.close();
      if (probe != path) QFile::remove(probe);
      QSKIP("this user writes even unwritable files");
    }
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    alerts.clear();
  }
  void cleanup() {
    board.reset();
    for (const QString& path : unwritablePaths) setUnwritable(path, false);
    unwritablePaths.clear();
    Alert::setResponderForTesting(nullptr);
    OpenPanel::setResponderForTesting(nullptr);
    LibraryBackups::setClockForTesting(nullptr);
    world.reset();
  }

  void damagedLibraryIsMovedAsideAndTheShippedOneStarts_data() {
    QTest::addColumn<QString>("damage");
    QTest::newRow("random bytes") << "random";
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("zero bytes") << "empty";
    QTest::newRow("no tb_Button") << "no table";
  }
  void damagedLibraryIsMovedAsideAndTheShippedOneStarts() {
    QFETCH(QString, damage);
    writeHostsLibrary();
    if (damage == "random") {
      QByteArray noise(20000, '\0');
      for (char& byte : noise) byte = char(QRandomGenerator::global()->bounded(256));
      QVERIFY(writeAll(libraryPath(), noise));
      QVERIFY(writeAll(libraryPath() + "-wal", "a log of the damaged file"));
    } else if (damage == "truncated") {
      for (int i = 0; i < 300; ++i) {
        world->changeLibrary("insert into tb_Button values ('X" + std::to_string(i) + "', '" +
                             categoryId(2) + "', 1, '" + std::string(200, 'x') +
                             "', 'a.mp3', null)");
      }
      QFile file(libraryPath());
      QVERIFY(file.resize(file.size() * 6 / 10));
    } else if (damage == "empty") {
      QVERIFY(writeAll(libraryPath(), QByteArray()));
    } else {
      world->changeLibrary("drop table tb_Button; create table other (x)");
    }
    const QByteArray damaged = readAll(libraryPath());
    const QStringList sounds = snapshot(QString::fromStdString(soundPath()));
    const QStringList backups = snapshot(QString::fromStdString(LibraryBackups::folder()));
    LibraryBackups::setClockForTesting([] { return std::time_t(1765443600); });

    const LibraryGuard::StartupReport report = libraryGuard().prepareLibrary();
    QCOMPARE(QString::fromStdString(report.damagedPath), libraryPath());
    QVERIFY2(!report.damage.empty(), "the reason is told");
    const QString movedTo = QString::fromStdString(report.movedTo);
    QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(libraryPath()) +
                                "\\.damaged-[0-9]{8}-[0-9]{6}$")
                 .match(movedTo)
                 .hasMatch(),
             qPrintable(movedTo));
    // Nothing the host had is lost: the damaged file whole, its log beside it, the
    // sounds and the backups as they were.
    QCOMPARE(readAll(movedTo), damaged);
    if (damage == "random") {
      QVERIFY(!QFile::exists(libraryPath() + "-wal"));
      QCOMPARE(readAll(movedTo + "-wal"), QByteArray("a log of the damaged file"));
    }
    QCOMPARE(snapshot(QString::fromStdString(soundPath())), sounds);
    QCOMPARE(snapshot(QString::fromStdString(LibraryBackups::folder())), backups);
    QVERIFY(std::any_of(world->printed.begin(), world->printed.end(), [&](const std::string& l) {
      return QString::fromStdString(l).contains(movedTo);
    }));

    // The board starts on the shipped library.
    QVERIFY(LibraryGuard::examine(libraryPath().toStdString()).health ==
            LibraryGuard::Health::Healthy);
    board = std::make_unique<ViewController>();
    QVERIFY(board->model().soundsLoaded());
    QCOMPARE(board->libraryProblem(), QString());

    // The host is told which file and where it went, and takes the newest backup.
    answerAlerts(Alert::FirstButtonReturn);
    QVERIFY(libraryGuard().offerRecovery(report, *board->database(), board.get()));
    QCOMPARE(alerts.size(), std::size_t(1));
    const QString told = QString::fromStdString(alerts[0].informativeText());
    QVERIFY2(told.contains(libraryPath()) && told.contains(movedTo) && told.contains("2026-12-10"),
             qPrintable(told));
    QCOMPARE(alerts[0].buttons(), (std::vector<std::string>{"恢复最新备份", "使用内置曲库"}));
    board->model().reload();
    QCOMPARE(button(1)->text(), QString("掌声"));
    QCOMPARE(button(2)->text(), QString("笑声"));
    QCOMPARE(button(4)->text(), QString());
  }

  // The host may keep the shipped library; with no backup there is nothing to offer.
  void recoveryOffersWhatThereIs() {
    writeHostsLibrary();
    QVERIFY(writeAll(libraryPath(), "not a library"));
    const auto report = libraryGuard().prepareLibrary();
    answerAlerts(Alert::SecondButtonReturn);
    auto db = dbHelper().db();
    const long long shipped = rowsIn(libraryPath().toStdString());
    QVERIFY(!libraryGuard().offerRecovery(report, *db, nullptr));
    QCOMPARE(rowsIn(libraryPath().toStdString()), shipped);

    QDir(QString::fromStdString(LibraryBackups::folder())).removeRecursively();
    alerts.clear();
    QVERIFY(!libraryGuard().offerRecovery(report, *db, nullptr));
    QCOMPARE(alerts.size(), std::size_t(1));
    QCOMPARE(alerts[0].buttons(), std::vector<std::string>{"好"});
    QVERIFY(QString::fromStdString(alerts[0].informativeText()).contains("没有可以恢复的备份"));
  }

  void movingAsideNeverOverwrites() {
    writeHostsLibrary();
    const std::time_t when = 1765443600;
    QVERIFY(writeAll(libraryPath(), "first"));
    std::string error;
    const std::string first = LibraryGuard::moveAside(libraryPath().toStdString(), when, &error);
    QVERIFY2(!first.empty(), error.c_str());
    QVERIFY(writeAll(libraryPath(), "second"));
    const std::string second = LibraryGuard::moveAside(libraryPath().toStdString(), when, &error);
    QCOMPARE(second, first + "-2");
    QCOMPARE(readAll(QString::fromStdString(first)), QByteArray("first"));
    QCOMPARE(readAll(QString::fromStdString(second)), QByteArray("second"));
    QVERIFY(LibraryGuard::moveAside(libraryPath().toStdString(), when, &error).empty());
    QVERIFY(!error.empty());
  }

  void healthyLibraryStaysAndRunsInWriteAheadLogMode() {
    writeHostsLibrary();
    const QByteArray before = readAll(libraryPath());
    const auto report = libraryGuard().prepareLibrary();
    QVERIFY(report.damagedPath.empty());
    QVERIFY(libraryGuard().writeProblem().empty());
    auto db = dbHelper().db();
    QCOMPARE(db->stringForQuery("pragma journal_mode"), std::optional<std::string>("wal"));
    QCOMPARE(db->intForQuery("pragma synchronous"), 2);
    QCOMPARE(rowsIn(libraryPath().toStdString()), 3LL);
    QVERIFY(world->printed.empty());
    Q_UNUSED(before);
  }

  void leftoversOfInterruptedCopiesGoAtStart() {
    writeHostsLibrary();
    const QString sounds = QString::fromStdString(soundPath());
    QVERIFY(writeAll(sounds + ".big.mp3.partial-999-0", "half a sound"));
    QVERIFY(writeAll(
        QString::fromStdString(LibraryBackups::folder()) + "/.data-2026-12-11.sqlite.partial-999-0",
        "half a backup"));
    QVERIFY(writeAll(dataFolder() + "/.sound.partial-999-1", "half a folder"));
    const QStringList kept = snapshot(sounds);
    libraryGuard().prepareLibrary();
    QVERIFY(!QFile::exists(sounds + ".big.mp3.partial-999-0"));
    QVERIFY(!QFile::exists(QString::fromStdString(LibraryBackups::folder()) +
                           "/.data-2026-12-11.sqlite.partial-999-0"));
    QVERIFY(!QFile::exists(dataFolder() + "/.sound.partial-999-1"));
    QStringList expected = kept;
    expected.removeIf([](const QString& entry) { return entry.startsWith(".big.mp3.partial"); });
    QCOMPARE(snapshot(sounds), expected);
  }

  // A library that cannot be written is not damaged: it stays where it is, the board
  // shows it, the window says once that changes cannot be saved, and every change
  // command says it failed.
  void unwritableLibraryIsReportedAndChangesFail_data() {
    QTest::addColumn<QString>("what");
    QTest::newRow("read-only file") << "file";
    QTest::newRow("read-only folder") << "folder";
  }
  void unwritableLibraryIsReportedAndChangesFail() {
    QFETCH(QString, what);
    writeHostsLibrary();
    const QStringList before = snapshot(dataFolder());
    makeUnwritable(what == "file" ? libraryPath() : dataFolder());

    const auto report = libraryGuard().prepareLibrary();
    QVERIFY(report.damagedPath.empty());
    const QString problem = QString::fromStdString(libraryGuard().writeProblem());
    QVERIFY2(problem.startsWith("音效库无法写入，修改不会被保存：") &&
                 problem.contains(what == "file" ? libraryPath() : dataFolder()),
             qPrintable(problem));
    QCOMPARE(std::count(world->printed.begin(), world->printed.end(), problem.toStdString()), 1);

    board = std::make_unique<ViewController>();
    QVERIFY(board->model().soundsLoaded());
    QCOMPARE(button(1)->text(), QString("掌声"));
    QVERIFY2(board->libraryProblem().contains(problem), qPrintable(board->libraryProblem()));

    answerAlerts(Alert::FirstButtonReturn);  // every category command is confirmed
    OpenPanel::setResponderForTesting([](OpenPanel&) -> int {
      qFatal("no file is asked for when nothing can be saved");
      return OpenPanel::ModalResponseCancel;
    });
    struct Command {
      int tag;
      const char* item;
      const char* told;
    };
    const Command commands[] = {
        {101, "添加音效（单个）", "添加音效失败："},
        {101, "添加音效（批量，只填充空白按钮）", "添加音效失败："},
        {102, "删除音效", "删除音效失败："},
        {1, "删除本分类全部音效", "删除本分类全部音效失败："},
        {1, "删除本分类自定义快捷键", "删除本分类自定义快捷键失败："},
    };
    for (const Command& command : commands) {
      world->printed.clear();
      choose(command.tag, command.item);
      QVERIFY2(world->printed.size() == 1, command.item);
      QCOMPARE(QString::fromStdString(world->printed[0]), command.told + problem);
      QVERIFY2(board->libraryProblem().contains(command.told + problem),
               qPrintable(board->libraryProblem()));
    }
    choose(104, "剪切音效");
    world->printed.clear();
    choose(103, "粘贴音效");
    QCOMPARE(QString::fromStdString(world->printed.at(0)), "粘贴音效失败：" + problem);
    EditMusicViewController* editor = board->libraryCommands().editMusic(101);
    QVERIFY(editor);
    editor->tfTitle->setText("新标题");
    editor->btnSave_Clicked(nullptr);
    QCOMPARE(editor->lblMsg->text(), QString("修改失败：新标题"));
    editor->close();

    QCOMPARE(button(1)->text(), QString("掌声"));
    QCOMPARE(button(2)->text(), QString("笑声"));
    for (const QString& path : unwritablePaths) setUnwritable(path, false);
    unwritablePaths.clear();
    QCOMPARE(snapshot(dataFolder()), before);
  }
};

QTEST_MAIN(LibraryGuardTest)
#include "LibraryGuardTest.moc"
