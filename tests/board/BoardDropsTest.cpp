// Drag and drop on a real board: sound files, folders and sound buttons dropped as the
// desktop delivers them (drag enter, move, leave and drop events with file URLs), with
// the library file, the sound folder and the buttons checked afterwards.

#include <QApplication>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QSlider>
#include <memory>

#include "../platform/BadSoundFiles.h"
#include "BoardFixture.h"
#include "board/BoardDrops.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "library/Caches.h"
#include "library/LibraryCommands.h"
#include "litedb/LiteResultSet.h"
#include "platform/Alert.h"

namespace {

QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

std::unique_ptr<QMimeData> filesMime(const QStringList& paths) {
  auto mime = std::make_unique<QMimeData>();
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  mime->setUrls(urls);
  return mime;
}

std::unique_ptr<QMimeData> buttonMime(int n) {
  auto mime = std::make_unique<QMimeData>();
  mime->setData(BoardDrops::kSoundButtonMimeType, QByteArray::number(n));
  return mime;
}

}  // namespace

class BoardDropsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::vector<std::string> told;

  QPushButton* button(int tag) { return board->viewWithTag<QPushButton>(tag); }
  QString sounds() const { return QString::fromStdString(soundPath()); }

  // Category 1: buttons 1, 2 and 4 (4 with the hotkey "W"); category 2: button 1.
  void startBoard() {
    world->writeLibrary({
        {"A1", categoryId(1), 1, "掌声", "applause.mp3", "Q"},
        {"A2", categoryId(1), 2, "笑声", "laugh.mp3", std::nullopt},
        {"A4", categoryId(1), 4, "鼓点", "drum.mp3", "W"},
        {"B1", categoryId(2), 1, "转场", "whoosh.mp3", "E"},
    });
    for (const char* name : {"applause.mp3", "laugh.mp3", "drum.mp3", "whoosh.mp3"}) {
      QVERIFY(QFile::copy(fixture("sine440-short.mp3"), sounds() + name));
    }
    board = std::make_unique<ViewController>();
  }

  // A sound file outside the library, or a folder of them ("folder/": a.mp3 and b.wav,
  // a note, and a sub-folder with a sound that must stay out).
  QString picked(const QString& name) {
    const QString dir = world->path("picked");
    QDir().mkpath(dir);
    if (name == "folder/") {
      QDir().mkpath(dir + "/folder/sub");
      QFile::copy(fixture("wav-content.mp3"), dir + "/folder/b.wav");
      QFile::copy(fixture("sine440-short.mp3"), dir + "/folder/a.mp3");
      QFile::copy(fixture("sine440-short.mp3"), dir + "/folder/sub/c.mp3");
      QFile note(dir + "/folder/readme.txt");
      if (note.open(QIODevice::WriteOnly)) note.write("songs\n");
      return dir + "/folder";
    }
    if (name == "notes.mp3") {
      QFile text(dir + "/notes.mp3");
      if (text.open(QIODevice::WriteOnly)) text.write("These are the notes, not a sound.\n");
      return text.fileName();
    }
    QFile::copy(fixture("sine440-short.mp3"), dir + "/" + name);
    return dir + "/" + name;
  }

  // Delivers a drag over `target` and drops it there, as the desktop does.
  bool dragAndDrop(QWidget* target, const QMimeData& mime) {
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
  }

  // The filled buttons of the category shown, as "n title".
  QStringList shown() {
    QStringList filled;
    for (int n = 1; n <= 40; ++n) {
      if (!button(100 + n)->text().isEmpty())
        filled << QString("%1 %2").arg(n).arg(button(100 + n)->text());
    }
    return filled;
  }

  int storedCount(const std::string& where) {
    auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
    if (!db->open()) return -1;
    auto rs = db->executeQueryWithArgumentsInArray(
        "select count(*) as n from tb_Button where " + where, {});
    const int n = rs && rs->next() ? rs->intForColumn("n") : -1;
    if (rs) rs->close();
    db->close();
    return n;
  }

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    told.clear();
    Alert::setResponderForTesting([this](const Alert& alert) {
      told.push_back(alert.messageText());
      return Alert::FirstButtonReturn;
    });
  }
  void cleanup() {
    board.reset();
    Alert::setResponderForTesting(nullptr);
    world.reset();
  }

  void filesDropped_data() {
    QTest::addColumn<int>("tag");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("category");        // shown afterwards
    QTest::addColumn<QStringList>("filled");  // its buttons afterwards
    QTest::addColumn<QString>("refused");     // what the host is told, "" for nothing
    const QStringList before = {"1 掌声", "2 笑声", "4 鼓点"};
    QTest::newRow("one on an empty button")
        << 105 << QStringList{"one.mp3"} << 1 << (before + QStringList{"5 one"}) << "";
    QTest::newRow("one on a filled button")
        << 104 << QStringList{"one.mp3"} << 1 << QStringList{"1 掌声", "2 笑声", "4 one"} << "";
    QTest::newRow("several on a button: the rest into the empty ones after it")
        << 102 << QStringList{"one.mp3", "two.mp3", "three.mp3"} << 1
        << QStringList{"1 掌声", "2 one", "3 two", "4 鼓点", "5 three"} << "";
    QTest::newRow("on the shown category's button")
        << 1 << QStringList{"one.mp3", "two.mp3"} << 1
        << QStringList{"1 掌声", "2 笑声", "3 one", "4 鼓点", "5 two"} << "";
    QTest::newRow("on another category's button")
        << 2 << QStringList{"one.mp3"} << 2 << QStringList{"1 转场", "2 one"} << "";
    QTest::newRow("a folder: its sound files in name order")
        << 107 << QStringList{"folder/"} << 1 << (before + QStringList{"7 a", "8 b"}) << "";
    QTest::newRow("mixed with a file that is no sound")
        << 106 << QStringList{"one.mp3", "notes.mp3", "two.mp3"} << 1
        << (before + QStringList{"6 one", "7 two"}) << "1 个文件无法添加：notes.mp3";
  }
  void filesDropped() {
    QFETCH(int, tag);
    QFETCH(QStringList, files);
    QFETCH(int, category);
    QFETCH(QStringList, filled);
    QFETCH(QString, refused);
    startBoard();
    QStringList paths;
    for (const QString& name : files) paths << picked(name);
    const auto mime = filesMime(paths);
    QVERIFY(dragAndDrop(button(tag), *mime));
    QCOMPARE(board->model().currentCategory(), category);
    QCOMPARE(shown(), filled);
    // What the buttons show is what the library holds.
    QCOMPARE(storedCount("ClassId = '" + categoryId(category) + "'"), filled.size());
    QVERIFY(!QFile::exists(sounds() + "notes.mp3"));
    QVERIFY(!QFile::exists(sounds() + "c.mp3"));
    QTest::qWait(10);
    if (refused.isEmpty()) {
      QVERIFY(told.empty());
    } else {
      QCOMPARE(told, std::vector<std::string>({refused.toStdString()}));
    }
    QVERIFY(!board->drops().dropTarget());
  }

  void filledButtonKeepsItsHotkeyWhenAFileIsDropped() {
    startBoard();
    const auto mime = filesMime({picked("one.mp3")});
    QVERIFY(dragAndDrop(button(104), *mime));
    QCOMPARE(storedCount("ButtonNo = 4 and Hotkey = 'W' and Title = 'one'"), 1);
    QCOMPARE(storedCount("ButtonId = 'A4'"), 0);
  }

  void onlyBadFilesStoreNothing() {
    startBoard();
    const QString wav = world->path("good.wav");
    QVERIFY(QFile::copy(fixture("wav-content.mp3"), wav));
    QStringList paths;
    for (const auto& [name, path] :
         bad_sound_files::write(world->path("bad"), fixture("sine440.mp3"), wav))
      paths << path;
    const QStringList folder = QDir(sounds()).entryList(QDir::Files);
    const auto mime = filesMime(paths);
    QVERIFY(dragAndDrop(button(110), *mime));
    QCOMPARE(storedCount("1 = 1"), 4);
    QCOMPARE(QDir(sounds()).entryList(QDir::Files), folder);
    QTRY_COMPARE(told.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(told[0]).startsWith("6 个文件无法添加："), told[0].c_str());
  }

  // While a drag is over a button that takes it, that button is outlined; a drag that
  // would land nowhere is not taken.
  void dropTargetIsHighlighted() {
    startBoard();
    const auto mime = filesMime({picked("one.mp3")});
    auto* five = board->viewWithTag<SoundButton>(105);
    const QPoint at = five->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(five, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(board->drops().dropTarget(), five);
    QVERIFY(five->isDropTarget());
    QDragLeaveEvent leave;
    QApplication::sendEvent(five, &leave);
    QVERIFY(!five->isDropTarget());
    QVERIFY(!board->drops().dropTarget());

    QDragEnterEvent onCategory(at, Qt::CopyAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(button(3), &onCategory);
    QVERIFY(onCategory.isAccepted());
    QVERIFY(button(3)->isDown());
    QDragLeaveEvent leaveCategory;
    QApplication::sendEvent(button(3), &leaveCategory);
    QVERIFY(!button(3)->isDown());
  }

  void dropsThatLandNowhereAreRefused_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("tag");
    QTest::newRow("text on a sound button") << "text" << 105;
    QTest::newRow("a web address on a sound button") << "web" << 105;
    QTest::newRow("a sound button onto itself") << "button 1" << 101;
    QTest::newRow("a sound button onto a category") << "button 1" << 2;
    QTest::newRow("an empty sound button") << "button 3" << 105;
  }
  void dropsThatLandNowhereAreRefused() {
    QFETCH(QString, what);
    QFETCH(int, tag);
    startBoard();
    std::unique_ptr<QMimeData> mime;
    if (what == "text") {
      mime = std::make_unique<QMimeData>();
      mime->setText(picked("one.mp3"));
    } else if (what == "web") {
      mime = std::make_unique<QMimeData>();
      mime->setUrls({QUrl("https://example.com/one.mp3")});
    } else {
      mime = buttonMime(what.section(' ', 1).toInt());
    }
    const QStringList before = shown();
    QVERIFY(!dragAndDrop(button(tag), *mime));
    QVERIFY(!board->drops().dropTarget());
    QCOMPARE(shown(), before);
    QCOMPARE(storedCount("1 = 1"), 4);
  }

  // Only the buttons take drops: anywhere else on the window the desktop shows that
  // the drop would be refused.
  void onlyButtonsTakeDrops() {
    startBoard();
    QVERIFY(!board->acceptDrops());
    for (QWidget* other : {static_cast<QWidget*>(board->viewWithTag<QLabel>(205)),
                           static_cast<QWidget*>(board->findChild<QSlider*>())}) {
      QVERIFY(other);
      QVERIFY(!other->acceptDrops());
    }
    QVERIFY(button(101)->acceptDrops());
    QVERIFY(button(1)->acceptDrops());
  }

  void soundButtonDraggedOntoAnother_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<QStringList>("filled");
    QTest::newRow("onto an empty button") << 1 << 5 << QStringList{"2 笑声", "4 鼓点", "5 掌声"};
    QTest::newRow("onto a filled button") << 1 << 4 << QStringList{"2 笑声", "4 掌声"};
  }
  void soundButtonDraggedOntoAnother() {
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QStringList, filled);
    startBoard();
    const auto mime = buttonMime(from);
    QVERIFY(dragAndDrop(button(100 + to), *mime));
    QCOMPARE(shown(), filled);
    // The row itself moved: same id, hotkey and file, new number.
    QCOMPARE(storedCount("ButtonId = 'A1' and ButtonNo = " + std::to_string(to) +
                         " and Hotkey = 'Q' and MusicSrc = 'applause.mp3'"),
             1);
    QCOMPARE(storedCount("1 = 1"), 3 + (to == 5 ? 1 : 0));
    QCOMPARE(cutButtonId(), std::string());
  }

  // A sound cut from the menu before the drag is still waiting to be pasted.
  void earlierCutSurvivesADrag() {
    startBoard();
    board->libraryCommands().cutMusic(102);
    const auto mime = buttonMime(1);
    QVERIFY(dragAndDrop(button(105), *mime));
    QCOMPARE(cutButtonId(), std::string("A2"));
  }
};

QTEST_MAIN(BoardDropsTest)
#include "BoardDropsTest.moc"
