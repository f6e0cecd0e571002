// Daily backups of the library and restoring them: the first change of a day takes a
// copy and later ones do not, the eighth day drops the oldest, and a restore (chosen from
// the category menu, after a confirmation) keeps the library it replaces so that it can
// be undone.

#include <QAction>
#include <QMenu>
#include <QPushButton>
#include <memory>

#include "../board/BoardFixture.h"
#include "LibraryTestFiles.h"
#include "board/ViewController.h"
#include "library/ContextMenus.h"
#include "library/LibraryBackups.h"
#include "library/LibraryGuard.h"
#include "platform/Alert.h"
#include "platform/ChoicePanel.h"

namespace {

// 2026-12-11 10:00 local time, and whole days after it.
std::time_t day(int n) {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 11 + n;
  local.tm_hour = 10;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

}  // namespace

class LibraryBackupsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::time_t now = day(0);
  std::vector<std::string> questions;
  std::vector<std::vector<std::string>> offered;

  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }
  long long rows() { return LibraryBackups::soundCount(documentPath() + "/data.sqlite"); }
  QStringList backupNames() {
    QStringList names;
    for (const auto& backup : LibraryBackups::list()) names << QString::fromStdString(backup.name);
    return names;
  }

  void choose(int tag, const char* title) {
    QAction* item = menuItem(*board, tag, title);
    QVERIFY2(item, title);
    item->trigger();
  }
  void answerConfirmation(bool yes) {
    Alert::setResponderForTesting([this, yes](const Alert& alert) {
      questions.push_back(alert.informativeText());
      return yes ? Alert::FirstButtonReturn : Alert::SecondButtonReturn;
    });
  }
  // The host picks the backup whose entry starts with `entry` ("" cancels).
  void pickBackup(const std::string& entry) {
    ChoicePanel::setResponderForTesting([this, entry](const ChoicePanel& panel) {
      offered.push_back(panel.items());
      for (std::size_t i = 0; i < panel.items().size(); ++i) {
        if (!entry.empty() && panel.items()[i].starts_with(entry)) return int(i);
      }
      return -1;
    });
  }

  // Category 1: buttons 1, 2 and 4; category 2: button 1.
  void startBoard() {
    world->writeLibrary({
        {"A1", categoryId(1), 1, "掌声", "applause.mp3", "Q"},
        {"A2", categoryId(1), 2, "笑声", "laugh.mp3", std::nullopt},
        {"A4", categoryId(1), 4, "鼓点", "drum.mp3", "W"},
        {"B1", categoryId(2), 1, "转场", "whoosh.mp3", "E"},
    });
    LibraryBackups::setClockForTesting([this] { return now; });
    board = std::make_unique<ViewController>();
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    now = day(0);
    questions.clear();
    offered.clear();
  }
  void cleanup() {
    board.reset();
    Alert::setResponderForTesting(nullptr);
    ChoicePanel::setResponderForTesting(nullptr);
    LibraryBackups::setClockForTesting(nullptr);
    world.reset();
  }

  void firstChangeOfADayTakesACopyAndLaterOnesDoNot() {
    startBoard();
    QVERIFY(backupNames().isEmpty());
    choose(102, "删除音效");
    QCOMPARE(backupNames(), QStringList{"data-2026-12-11.sqlite"});
    const auto taken = LibraryBackups::list().front();
    QCOMPARE(taken.rows, 4LL);  // the library as it was before the change
    QCOMPARE(rows(), 3LL);

    choose(104, "删除音效");
    QCOMPARE(backupNames(), QStringList{"data-2026-12-11.sqlite"});
    QCOMPARE(LibraryBackups::list().front().rows, 4LL);
    QCOMPARE(rows(), 2LL);

    now = day(1);
    choose(101, "删除音效");
    QCOMPARE(backupNames(), (QStringList{"data-2026-12-12.sqlite", "data-2026-12-11.sqlite"}));
    QCOMPARE(LibraryBackups::list().front().rows, 2LL);
    QVERIFY(world->printed.empty());
    // Nothing half-written stays in the folder.
    QCOMPARE(QDir(QString::fromStdString(LibraryBackups::folder()))
                 .entryList(QDir::Files | QDir::Hidden)
                 .size(),
             2);
  }

  void theEighthDayDropsTheOldest() {
    startBoard();
    answerConfirmation(true);
    for (int d = 0; d < 8; ++d) {
      now = day(d);
      choose(2, "删除本分类自定义快捷键");
      QCOMPARE(backupNames().size(), std::min(d + 1, LibraryBackups::kKeptDailyBackups));
    }
    const QStringList names = backupNames();
    QCOMPARE(names.front(), QString("data-2026-12-18.sqlite"));
    QCOMPARE(names.back(), QString("data-2026-12-12.sqlite"));
    QVERIFY(!QFile::exists(QString::fromStdString(LibraryBackups::folder()) +
                           "/data-2026-12-11.sqlite"));
  }

  void restoreAndUndoARestore() {
    startBoard();
    answerConfirmation(true);
    choose(1, "删除本分类全部音效");
    QCOMPARE(rows(), 1LL);
    QCOMPARE(button(1)->text(), QString());

    pickBackup("2026-12-11（4 个音效）");
    choose(1, "恢复备份…");
    QCOMPARE(offered.size(), std::size_t(1));
    QCOMPARE(offered[0], std::vector<std::string>{"2026-12-11（4 个音效）"});
    QCOMPARE(questions.back(), std::string("恢复备份 2026-12-11（4 个音效） ？"));
    QCOMPARE(rows(), 4LL);
    QCOMPARE(button(1)->text(), QString("掌声"));
    QCOMPARE(button(4)->text(), QString("鼓点"));
    // The library it replaced is a backup of its own.
    const auto afterRestore = LibraryBackups::list();
    QCOMPARE(afterRestore.size(), std::size_t(2));
    QCOMPARE(afterRestore.front().rows, 1LL);
    QVERIFY(afterRestore.front().when.starts_with("2026-12-11 10:00:00"));

    // Undo: restore that one.
    pickBackup("2026-12-11 10:00:00（1 个音效）");
    choose(1, "恢复备份…");
    QCOMPARE(rows(), 1LL);
    QCOMPARE(button(1)->text(), QString());
    QCOMPARE(LibraryBackups::list().size(), std::size_t(3));
    QVERIFY(world->printed.empty());
  }

  void cancellingOrDecliningChangesNothing() {
    startBoard();
    choose(102, "删除音效");
    pickBackup("");
    answerConfirmation(true);
    choose(3, "恢复备份…");
    QCOMPARE(rows(), 3LL);
    QVERIFY(questions.empty());
    pickBackup("2026-12-11");
    answerConfirmation(false);
    choose(3, "恢复备份…");
    QCOMPARE(questions.size(), std::size_t(1));
    QCOMPARE(rows(), 3LL);
    QCOMPARE(LibraryBackups::list().size(), std::size_t(1));
  }

  void aBrokenBackupIsNotRestored() {
    startBoard();
    choose(102, "删除音效");
    QFile broken(QString::fromStdString(LibraryBackups::folder()) + "/data-2026-12-01.sqlite");
    QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write("not a library") > 0);
    broken.close();
    pickBackup("2026-12-01");
    answerConfirmation(true);
    choose(1, "恢复备份…");
    QCOMPARE(offered.at(0).back(), std::string("2026-12-01（无法读取）"));
    QCOMPARE(rows(), 3LL);
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(world->printed[0]).startsWith("恢复备份失败："),
             world->printed[0].c_str());
    QVERIFY(board->libraryProblem().contains("恢复备份失败："));
  }

  void withNoBackupTheHostIsToldWhereTheyWillBe() {
    startBoard();
    std::vector<Alert> told;
    Alert::setResponderForTesting([&told](const Alert& alert) {
      told.push_back(alert);
      return Alert::FirstButtonReturn;
    });
    pickBackup("2026");
    choose(1, "恢复备份…");
    QCOMPARE(told.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(told[0].informativeText())
                .contains(QString::fromStdString(LibraryBackups::folder())));
    QVERIFY(offered.empty());
    QCOMPARE(rows(), 4LL);
  }
};

QTEST_MAIN(LibraryBackupsTest)
#include "LibraryBackupsTest.moc"
