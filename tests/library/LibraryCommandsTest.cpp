// The library's context menus and commands on a real board: the menus as built, the
// confirmation of the category commands, adding, deleting, cutting and pasting, with the
// library file, the sound folder and the board's caches, titles and labels checked
// after each. Only the choices a person makes are answered by the test: the files
// picked in the open panel and the answer to the confirmation box.

#include <sys/resource.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <csignal>
#include <memory>

#include "../board/BoardFixture.h"
#include "../platform/BadSoundFiles.h"
#include "../platform/PcmCapture.h"
#include "board/SoundButton.h"
#include "board/ViewController.h"
#include "editor/EditMusicViewController.h"
#include "editor/TFHotkey.h"
#include "library/Caches.h"
#include "library/ContextMenus.h"
#include "library/LibraryCommands.h"
#include "litedb/LiteResultSet.h"
#include "platform/Alert.h"
#include "platform/AudioDevice.h"
#include "platform/OpenPanel.h"

namespace {

QString fixture(const char* name) { return QString(CUEBOARD_AUDIO_FIXTURE_DIR "/") + name; }

// The image each menu item shows, by its title.
const QHash<QString, QString> kImageOfItem = {
    {"添加音效（单个）", "NSTouchBarAddTemplate"},
    {"添加音效（批量，只填充空白按钮）", "NSTouchBarAddTemplate"},
    {"修改自定义快捷键", "NSTouchBarComposeTemplate"},
    {"修改音效", "NSTouchBarComposeTemplate"},
    {"删除音效", "NSTouchBarDeleteTemplate"},
    {"剪切音效", "NSStatusPartiallyAvailable"},
    {"粘贴音效", "NSStatusAvailable"},
    {"复制远程命令", "edit-copy"},
    {"删除本分类自定义快捷键", "NSTouchBarRemoveTemplate"},
    {"删除本分类全部音效", "NSTouchBarDeleteTemplate"},
    {"恢复备份…", "NSTouchBarHistoryTemplate"},
    {"导出音效库…", "NSShareTemplate"},
    {"导入音效库…", "NSTouchBarDownloadTemplate"},
};

const QRegularExpression kUpperUuid(
    "^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");

struct StoredRow {
  std::string buttonId, classId;
  int buttonNo = 0;
  std::string title, musicSrc;
  std::optional<std::string> hotkey;
};

}  // namespace

class LibraryCommandsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  std::vector<std::string> questions;  // what the confirmation box asked
  std::vector<std::string> told;       // what other boxes said: heading, "|", the text
  int panelRuns = 0;
  OpenPanel seenPanel;

  QPushButton* button(int n) { return board->viewWithTag<QPushButton>(100 + n); }
  QLabel* label(int n) { return board->viewWithTag<QLabel>(200 + n); }
  QPushButton* category(int k) { return board->viewWithTag<QPushButton>(k); }
  QRadioButton* hotkeyRadio(int tag) { return board->viewWithTag<QRadioButton>(tag); }
  QString sounds() const { return QString::fromStdString(soundPath()); }

  // The menu item `title` of the button with this tag (1-5 category, 101-140 sound).
  QAction* item(int tag, const char* title) {
    auto* owner = board->viewWithTag<QPushButton>(tag);
    if (!owner || !contextMenuOf(owner)) return nullptr;
    for (QAction* action : contextMenuOf(owner)->actions()) {
      if (action->text() == QString::fromUtf8(title)) return action;
    }
    return nullptr;
  }
  void choose(int tag, const char* title) {
    QAction* action = item(tag, title);
    QVERIFY2(action, title);
    action->trigger();
  }

  // The host picks these files (or cancels, when `confirm` is false).
  void pick(std::vector<QString> files, bool confirm = true) {
    OpenPanel::setResponderForTesting([this, files, confirm](OpenPanel& panel) {
      ++panelRuns;
      seenPanel = panel;
      std::vector<std::string> paths;
      for (const QString& file : files) paths.push_back(file.toStdString());
      panel.setURLsForTesting(paths);
      return confirm ? OpenPanel::ModalResponseOK : OpenPanel::ModalResponseCancel;
    });
  }
  void answerConfirmation(bool yes) {
    Alert::setResponderForTesting([this, yes](const Alert& alert) {
      questions.push_back(alert.informativeText());
      return yes ? Alert::FirstButtonReturn : Alert::SecondButtonReturn;
    });
  }

  // A sound file outside the library, made from a fixture, to be picked.
  QString outsideFile(const QString& name, const char* from = "sine440.mp3") {
    const QString path = world->path("picked/" + name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    if (!QFile::copy(fixture(from), path)) return QString();
    return path;
  }

  std::vector<StoredRow> stored(const std::string& where = "1 = 1") {
    std::vector<StoredRow> rows;
    auto db = LiteDatabase::databaseWithPath(documentPath() + "/data.sqlite");
    if (!db->open()) return rows;
    auto rs = db->executeQueryWithArgumentsInArray(
        "select * from tb_Button where " + where + " order by ClassId, ButtonNo", {});
    while (rs && rs->next()) {
      rows.push_back({rs->stringForColumn("ButtonId").value_or("<null>"),
                      rs->stringForColumn("ClassId").value_or("<null>"),
                      rs->intForColumn("ButtonNo"), rs->stringForColumn("Title").value_or("<null>"),
                      rs->stringForColumn("MusicSrc").value_or("<null>"),
                      rs->stringForColumn("Hotkey")});
    }
    if (rs) rs->close();
    db->close();
    return rows;
  }
  std::vector<StoredRow> storedIn(int categoryNumber) {
    return stored("ClassId = '" + categoryId(categoryNumber) + "'");
  }
  QStringList titles() {
    QStringList shown;
    for (int n = 1; n <= 40; ++n) shown << button(n)->text();
    return shown;
  }
  QStringList soundFolder() {
    QStringList names = QDir(sounds()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
  }

  // Category 1: buttons 1, 2 and 4; category 2: button 1; category 3: buttons 5 and 6.
  void startBoard(int hotkeyMode = 0) {
    world->writeLibrary({
        {"A1", categoryId(1), 1, "掌声", "applause.mp3", "Q"},
        {"A2", categoryId(1), 2, "笑声", "laugh.mp3", std::nullopt},
        {"A4", categoryId(1), 4, "鼓点", "drum.mp3", "W"},
        {"B1", categoryId(2), 1, "转场", "whoosh.mp3", "E"},
        {"C5", categoryId(3), 5, "欢呼", "cheer.mp3", "R"},
        {"C6", categoryId(3), 6, "嘘声", "boo.mp3", "T"},
    });
    for (const char* name :
         {"applause.mp3", "laugh.mp3", "drum.mp3", "whoosh.mp3", "cheer.mp3", "boo.mp3"}) {
      QVERIFY(QFile::copy(fixture("sine440-short.mp3"), sounds() + name));
    }
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyMode, "hotkeyTag");
    board = std::make_unique<ViewController>();
  }

  void openDiskDevice() { openDiskAudio(world->path("device.pcm").toStdString(), "0"); }
  // Plays button n to its end and tells the dominant pitch the device was given.
  double pitchHeardFrom(int n) {
    button(n)->click();
    if (board->currentButtonId().empty()) return 0;
    if (!QTest::qWaitFor([this] { return board->currentButtonId().empty(); }, 20000)) return 0;
    board.reset();
    AudioDevice::close();
    const PcmCapture pcm = PcmCapture::fromFile(world->path("device.pcm").toStdString(), 2, 44100);
    const auto start = pcm.firstNonSilentFrame(0, 200);
    if (!start) return 0;
    return pcm.dominantFrequency(*start + pcm.framesIn(0.2), *start + pcm.framesIn(0.7));
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    questions.clear();
    told.clear();
    panelRuns = 0;
    seenPanel = OpenPanel();
    Alert::setResponderForTesting([this](const Alert& alert) {
      told.push_back(alert.messageText() + "|" + alert.informativeText());
      return Alert::FirstButtonReturn;
    });
  }
  void cleanup() {
    board.reset();
    AudioDevice::close();
    OpenPanel::setResponderForTesting(nullptr);
    Alert::setResponderForTesting(nullptr);
    world.reset();
  }

  // ---- Menus

  void menusAsBuilt_data() {
    QTest::addColumn<int>("tag");
    QTest::addColumn<QString>("menuTitle");
    QTest::addColumn<QStringList>("layout");  // "-" for a separator
    const QStringList sound = {"添加音效（单个）",
                               "添加音效（批量，只填充空白按钮）",
                               "-",
                               "修改自定义快捷键",
                               "修改音效",
                               "-",
                               "删除音效",
                               "-",
                               "剪切音效",
                               "粘贴音效",
                               "-",
                               "复制远程命令"};
    const QStringList klass = {"添加音效（批量，只填充空白按钮）",
                               "-",
                               "删除本分类自定义快捷键",
                               "-",
                               "删除本分类全部音效",
                               "-",
                               "恢复备份…",
                               "导出音效库…",
                               "导入音效库…"};
    QTest::newRow("sound button 7") << 107 << "音效右键菜单" << sound;
    QTest::newRow("sound button 1") << 101 << "音效右键菜单" << sound;
    QTest::newRow("sound button 40") << 140 << "音效右键菜单" << sound;
    QTest::newRow("category 3") << 3 << "分类右键菜单" << klass;
    QTest::newRow("category 5") << 5 << "分类右键菜单" << klass;
  }
  void menusAsBuilt() {
    QFETCH(int, tag);
    QFETCH(QString, menuTitle);
    QFETCH(QStringList, layout);
    startBoard();
    QMenu* menu = contextMenuOf(board->viewWithTag<QPushButton>(tag));
    QVERIFY(menu);
    QCOMPARE(menu->title(), menuTitle);
    QStringList seen;
    int number = 0;
    for (QAction* action : menu->actions()) {
      if (action->isSeparator()) {
        seen << "-";
        continue;
      }
      ++number;
      seen << action->text();
      QCOMPARE(action->shortcut(), QKeySequence(QString::number(number)));
      QCOMPARE(action->property("tag").toInt(), tag);
      QVERIFY2(!action->icon().isNull(), qPrintable(action->text()));
      // Each item carries the status light or symbol of its own image.
      const QString image = kImageOfItem.value(action->text());
      QVERIFY2(!image.isEmpty(), qPrintable(action->text()));
      QVERIFY2(action->icon().pixmap(16).toImage() ==
                   standardImageNamed(image.toStdString()).pixmap(16).toImage(),
               qPrintable(action->text() + " does not show " + image));
    }
    QCOMPARE(seen, layout);
    // Partly available (cut) is a light of its own, not the available one (paste).
    if (layout.contains("剪切音效")) {
      QVERIFY(item(tag, "剪切音效")->icon().pixmap(16).toImage() !=
              item(tag, "粘贴音效")->icon().pixmap(16).toImage());
    }
  }

  void everyButtonHasItsOwnMenu() {
    startBoard();
    QSet<QMenu*> menus;
    for (int tag : {1, 2, 3, 4, 5}) menus.insert(contextMenuOf(category(tag)));
    for (int n = 1; n <= 40; ++n) {
      QMenu* menu = contextMenuOf(button(n));
      QVERIFY(menu);
      QCOMPARE(menu->parent(), button(n));  // the button owns it
      menus.insert(menu);
    }
    menus.remove(nullptr);
    QCOMPARE(menus.size(), 45);
  }

  void rightClickOpensTheButtonsOwnMenu() {
    startBoard();
    board->show();
    QVERIFY(QTest::qWaitForWindowExposed(board.get()));
    for (QPushButton* target : {button(7), category(3)}) {
      QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                              target->mapToGlobal(QPoint(5, 5)));
      QApplication::sendEvent(target, &click);
      QTRY_COMPARE(QApplication::activePopupWidget(), static_cast<QWidget*>(contextMenuOf(target)));
      contextMenuOf(target)->close();
      QTRY_VERIFY(!QApplication::activePopupWidget());
    }
  }

  // A menu offers only what can be done on its button now.
  void menuItemsFollowTheButton_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("cutFirst");    // button 2's sound cut before
    QTest::addColumn<QString>("enabled");  // one letter per item: add, batch, two edits,
                                           // delete, cut, paste, copy the remote
                                           // command (a command for a button that
                                           // is filled later is still right)
    QTest::newRow("filled, nothing cut") << 1 << false << "yyyyyyny";
    QTest::newRow("filled, a sound cut") << 1 << true << "yyyyyyyy";
    QTest::newRow("empty, nothing cut") << 5 << false << "yynnnnny";
    QTest::newRow("empty, a sound cut") << 5 << true << "yynnnnyy";
    QTest::newRow("row without a file") << 3 << false << "yynnyyny";
  }
  void menuItemsFollowTheButton() {
    QFETCH(int, n);
    QFETCH(bool, cutFirst);
    QFETCH(QString, enabled);
    startBoard();
    world->changeLibrary(
        "insert into tb_Button (ButtonId, ClassId, ButtonNo, Title, MusicSrc) "
        "values ('A3', '" +
        categoryId(1) + "', 3, '无文件', '')");
    board->loadBtnMusic();
    if (cutFirst) choose(102, "剪切音效");
    board->show();
    QVERIFY(QTest::qWaitForWindowExposed(board.get()));
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5),
                            button(n)->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(button(n), &click);
    QMenu* menu = contextMenuOf(button(n));
    QTRY_COMPARE(QApplication::activePopupWidget(), static_cast<QWidget*>(menu));
    QString seen;
    for (QAction* action : menu->actions()) {
      if (!action->isSeparator()) seen += action->isEnabled() ? 'y' : 'n';
    }
    menu->close();
    QCOMPARE(seen, enabled);
  }

  // The sound that was cut is framed dashed until it is pasted or another is cut.
  void cutSoundIsMarkedUntilPasted() {
    startBoard();
    auto sound = [this](int n) { return board->viewWithTag<SoundButton>(100 + n); };
    choose(101, "剪切音效");
    QVERIFY(sound(1)->isCutMarked());
    choose(102, "剪切音效");
    QVERIFY(!sound(1)->isCutMarked());
    QVERIFY(sound(2)->isCutMarked());
    category(2)->click();  // another category: the cut sound is not on it
    for (int n = 1; n <= 40; ++n) QVERIFY(!sound(n)->isCutMarked());
    category(1)->click();
    QVERIFY(sound(2)->isCutMarked());
    choose(107, "粘贴音效");
    for (int n = 1; n <= 40; ++n) QVERIFY(!sound(n)->isCutMarked());
  }

  // The desktop turns the menu key into a keyboard context-menu request on the window,
  // which must reach the focused button's own menu; the key press itself is let through.
  void menuKeyOpensTheFocusedButtonsMenu() {
    startBoard();
    board->show();
    QApplication::setActiveWindow(board.get());
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
    button(12)->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(button(12)));
    QTest::keyClick(board->windowHandle(), Qt::Key_Menu);
    const QPoint inside = button(12)->rect().center();
    QContextMenuEvent request(QContextMenuEvent::Keyboard, inside, button(12)->mapToGlobal(inside));
    QApplication::sendEvent(board->windowHandle(), &request);
    QTRY_COMPARE(QApplication::activePopupWidget(),
                 static_cast<QWidget*>(contextMenuOf(button(12))));
    // Inside the open menu the keys belong to the menu: Escape closes it.
    QTest::keyClick(QApplication::activePopupWidget(), Qt::Key_Escape);
    QTRY_VERIFY(!QApplication::activePopupWidget());
  }

  // ---- Category commands and their confirmation

  void categoryCommandDeclinedChangesNothing_data() {
    QTest::addColumn<QString>("title");
    QTest::newRow("delete sounds") << "删除本分类全部音效";
    QTest::newRow("clear hotkeys") << "删除本分类自定义快捷键";
  }
  void categoryCommandDeclinedChangesNothing() {
    QFETCH(QString, title);
    startBoard(2);
    const auto before = stored();
    const QStringList shown = titles();
    answerConfirmation(false);
    choose(1, title.toUtf8().constData());
    QCOMPARE(questions, std::vector<std::string>({title.toStdString() + " ？"}));
    QCOMPARE(stored().size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) QCOMPARE(stored()[i].hotkey, before[i].hotkey);
    QCOMPARE(titles(), shown);
    QCOMPARE(label(1)->text(), QString("Q"));
  }

  void deletingAnotherCategoryLeavesTheShownOneAndTheFiles() {
    startBoard();
    const QStringList files = soundFolder();
    const QStringList shown = titles();
    answerConfirmation(true);
    choose(3, "删除本分类全部音效");
    QCOMPARE(questions, std::vector<std::string>({"删除本分类全部音效 ？"}));
    QVERIFY(storedIn(3).empty());
    QCOMPARE(storedIn(1).size(), std::size_t(3));
    QCOMPARE(storedIn(2).size(), std::size_t(1));
    QCOMPARE(titles(), shown);
    QCOMPARE(board->currentClassId(), categoryId(1));
    QCOMPARE(soundFolder(), files);
  }

  void clearingHotkeysOfTheShownCategoryEmptiesItsLabels() {
    startBoard(2);
    QCOMPARE(label(4)->text(), QString("W"));
    answerConfirmation(true);
    choose(1, "删除本分类自定义快捷键");
    for (const auto& row : storedIn(1)) QCOMPARE(row.hotkey, std::nullopt);
    QCOMPARE(storedIn(2).front().hotkey, std::optional<std::string>("E"));
    for (int n = 1; n <= 40; ++n) QCOMPARE(label(n)->text(), QString());
    QCOMPARE(button(4)->text(), QString("鼓点"));
    QVERIFY(dicHotkey().empty() || dicHotkey()[1].empty());
  }

  // ---- Adding

  void batchFromAnotherCategorysMenuFillsTheShownOne() {
    startBoard();
    pick({outsideFile("one.mp3"), outsideFile("two.mp3"), outsideFile("three.mp3")});
    answerConfirmation(true);  // must not be asked
    choose(3, "添加音效（批量，只填充空白按钮）");
    QVERIFY(questions.empty());
    QCOMPARE(seenPanel.title(), std::string("请选择一个或多个音效文件"));
    QVERIFY(seenPanel.allowsMultipleSelection());
    QCOMPARE(seenPanel.allowedFileTypes(), OpenPanel::soundFileTypes());
    QVERIFY(!seenPanel.canChooseDirectories());
    QVERIFY(seenPanel.canChooseFiles());
    QVERIFY(seenPanel.canCreateDirectories());

    const auto rows = storedIn(1);
    QCOMPARE(rows.size(), std::size_t(6));
    std::map<int, std::string> placed;
    for (const auto& row : rows) placed[row.buttonNo] = row.title;
    QCOMPARE(placed[3], std::string("one"));
    QCOMPARE(placed[5], std::string("two"));
    QCOMPARE(placed[6], std::string("three"));
    for (const auto& row : rows) {
      if (row.buttonNo == 3 || row.buttonNo >= 5) {
        QVERIFY(kUpperUuid.match(QString::fromStdString(row.buttonId)).hasMatch());
        QCOMPARE(row.hotkey, std::nullopt);  // the batch stores no hotkey
        QCOMPARE(QString::fromStdString(dicButtonId()[row.buttonNo]),
                 QString::fromStdString(row.buttonId));
      }
    }
    QCOMPARE(storedIn(3).size(), std::size_t(2));
    QCOMPARE(button(3)->text(), QString("one"));
    QCOMPARE(button(5)->text(), QString("two"));
    QCOMPARE(button(6)->text(), QString("three"));
    QCOMPARE(button(7)->text(), QString());
    QVERIFY(!dicHotkey().count(3));
    QVERIFY(QFile::exists(sounds() + "three.mp3"));
  }

  void batchWithMoreFilesThanFreeButtons() {
    startBoard();
    // Fill category 1 up to two free buttons (39 and 40).
    for (int n = 3; n <= 38; ++n) {
      if (n == 4) continue;
      world->changeLibrary("insert into tb_Button values ('F" + std::to_string(n) + "', '" +
                           categoryId(1) + "', " + std::to_string(n) + ", 'f', 'f.mp3', null)");
    }
    board = std::make_unique<ViewController>();
    std::vector<QString> files;
    for (int i = 1; i <= 10; ++i) files.push_back(outsideFile(QString("file%1.mp3").arg(i)));
    pick(files);
    choose(101, "添加音效（批量，只填充空白按钮）");
    QCOMPARE(storedIn(1).size(), std::size_t(40));
    QCOMPARE(button(39)->text(), QString("file1"));
    QCOMPARE(button(40)->text(), QString("file2"));
    QVERIFY(QFile::exists(sounds() + "file2.mp3"));
    QVERIFY(!QFile::exists(sounds() + "file3.mp3"));
    QVERIFY(world->printed.empty());
  }

  void batchOnAFullCategoryCopiesAndStoresNothing() {
    world->writeLibrary({});
    for (int n = 1; n <= 40; ++n) {
      // A row with no file still takes its button.
      world->changeLibrary("insert into tb_Button values ('F" + std::to_string(n) + "', '" +
                           categoryId(1) + "', " + std::to_string(n) + ", 'f', '" +
                           (n == 9 ? "" : "f.mp3") + "', null)");
    }
    board = std::make_unique<ViewController>();
    const QStringList files = soundFolder();
    pick({outsideFile("late.mp3")});
    choose(1, "添加音效（批量，只填充空白按钮）");
    QCOMPARE(panelRuns, 1);
    QCOMPARE(storedIn(1).size(), std::size_t(40));
    QCOMPARE(soundFolder(), files);
  }

  void addMusic_data() {
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("oldId");
    QTest::addColumn<QVariant>("hotkey");  // invalid: none stored
    QTest::newRow("empty button") << 5 << "" << QVariant(QString(""));
    QTest::newRow("filled button keeps its hotkey") << 4 << "A4" << QVariant(QString("W"));
    QTest::newRow("filled button without hotkey") << 2 << "A2" << QVariant(QString(""));
  }
  void addMusic() {
    QFETCH(int, n);
    QFETCH(QString, oldId);
    QFETCH(QVariant, hotkey);
    startBoard(2);
    pick({outsideFile("drum roll.mp3")});
    choose(100 + n, "添加音效（单个）");
    QCOMPARE(seenPanel.title(), std::string("请选择一个音效文件"));
    QVERIFY(!seenPanel.allowsMultipleSelection());
    QCOMPARE(seenPanel.allowedFileTypes(), OpenPanel::soundFileTypes());

    const auto rows = storedIn(1);
    std::optional<StoredRow> added;
    for (const auto& row : rows) {
      QVERIFY(row.buttonId != oldId.toStdString());  // the old row is gone
      if (row.buttonNo == n) {
        QVERIFY(!added);
        added = row;
      }
    }
    QVERIFY(added);
    QVERIFY(kUpperUuid.match(QString::fromStdString(added->buttonId)).hasMatch());
    QCOMPARE(added->title, std::string("drum roll"));
    QCOMPARE(added->musicSrc, std::string("drum roll.mp3"));
    QCOMPARE(added->hotkey, std::optional<std::string>(hotkey.toString().toStdString()));
    QCOMPARE(button(n)->text(), QString("drum roll"));
    QCOMPARE(dicButtonId()[n], added->buttonId);
    QCOMPARE(dicMusicSrc()[n], std::string("drum roll.mp3"));
    QVERIFY(QFile::exists(sounds() + "drum roll.mp3"));
    QCOMPARE(storedIn(1).size(), std::size_t(oldId.isEmpty() ? 4 : 3));
  }

  void cancelledPanelChangesNothing_data() {
    QTest::addColumn<QString>("title");
    QTest::newRow("one") << "添加音效（单个）";
    QTest::newRow("batch") << "添加音效（批量，只填充空白按钮）";
  }
  void cancelledPanelChangesNothing() {
    QFETCH(QString, title);
    startBoard();
    const QStringList files = soundFolder();
    pick({outsideFile("never.mp3")}, false);
    choose(105, title.toUtf8().constData());
    QCOMPARE(panelRuns, 1);
    QCOMPARE(storedIn(1).size(), std::size_t(3));
    QCOMPARE(button(5)->text(), QString());
    QCOMPARE(soundFolder(), files);
    QVERIFY(world->printed.empty());
  }

  void nameAlreadyInTheSoundFolder_data() {
    QTest::addColumn<QString>("pickedFrom");
    QTest::addColumn<QString>("stored");
    QTest::newRow("same sound is reused") << "sine440-short.mp3"
                                          << "applause.mp3";
    QTest::newRow("other sound gets a free name") << "sine440.mp3"
                                                  << "applause (2).mp3";
  }
  void nameAlreadyInTheSoundFolder() {
    QFETCH(QString, pickedFrom);
    QFETCH(QString, stored);
    startBoard();
    QVERIFY(QFile::copy(fixture("sine880-10s.mp3"), sounds() + "applause (3).mp3"));
    pick({outsideFile("applause.mp3", pickedFrom.toUtf8().constData())});
    choose(110, "添加音效（单个）");
    QCOMPARE(world->printed.size(), std::size_t(1));  // the clash is told
    QVERIFY(QString::fromStdString(world->printed[0]).contains("applause.mp3"));
    QCOMPARE(QString::fromStdString(dicMusicSrc()[10]), stored);
    QCOMPARE(button(10)->text(), QString("applause"));
    QCOMPARE(QString::fromStdString(storedIn(1).back().musicSrc), stored);
    // What the button plays is what was picked, byte for byte.
    QFile picked(fixture(pickedFrom.toUtf8().constData())), played(sounds() + stored);
    QVERIFY(picked.open(QIODevice::ReadOnly) && played.open(QIODevice::ReadOnly));
    QCOMPARE(played.readAll(), picked.readAll());
    // The sound that was there first is untouched.
    QFile first(sounds() + "applause.mp3"), original(fixture("sine440-short.mp3"));
    QVERIFY(first.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
    QCOMPARE(first.readAll(), original.readAll());
  }

  void craftedFileNamesAreStoredAndPlayedAsNamed_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("quotes") << "Rock'n'roll.mp3"
                            << "Rock'n'roll";
    QTest::newRow("second statement") << "x'); delete from tb_Button; --.mp3"
                                      << "x'); delete from tb_Button; --";
    QTest::newRow("two extensions") << "a.mp3.b.mp3"
                                    << "a.b";
  }
  void craftedFileNamesAreStoredAndPlayedAsNamed() {
    QFETCH(QString, name);
    QFETCH(QString, title);
    startBoard();
    pick({outsideFile(name)});
    choose(101, "添加音效（单个）");
    pick({outsideFile("batch " + name)});
    choose(101, "添加音效（批量，只填充空白按钮）");
    const auto rows = storedIn(1);
    QCOMPARE(rows.size(), std::size_t(4));  // nothing else ran, nothing was deleted
    QCOMPARE(QString::fromStdString(rows[0].musicSrc), name);
    QCOMPARE(QString::fromStdString(rows[0].title), title);
    QCOMPARE(QString::fromStdString(rows[2].musicSrc), "batch " + name);
    QCOMPARE(storedIn(2).size(), std::size_t(1));
    button(1)->click();
    QVERIFY2(!board->currentButtonId().empty(), "the new sound plays");
    QCOMPARE(board->currentButtonId(), rows[0].buttonId);
  }

  void failedAddShowsWhatTheLibraryHolds() {
    startBoard(2);
    world->changeLibrary(
        "create trigger refuse before insert on tb_Button begin select raise(abort, 'no room'); "
        "end");
    pick({outsideFile("new.mp3")});
    choose(104, "添加音效（单个）");
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(world->printed[0]).contains("no room"),
             world->printed[0].c_str());
    // The old row was not deleted by half the command, and the board shows it again.
    QCOMPARE(storedIn(1).size(), std::size_t(3));
    QCOMPARE(button(4)->text(), QString("鼓点"));
    QCOMPARE(dicButtonId()[4], std::string("A4"));
    QCOMPARE(label(4)->text(), QString("W"));

    pick({outsideFile("n1.mp3"), outsideFile("n2.mp3")});
    choose(101, "添加音效（批量，只填充空白按钮）");
    QCOMPARE(storedIn(1).size(), std::size_t(3));
    QCOMPARE(button(3)->text(), QString());
    QVERIFY(!dicMusicSrc().count(3));
  }

  void failedCopyLeavesNoHalfFile_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("unreadable source") << "unreadable";
    QTest::newRow("source gone") << "gone";
    QTest::newRow("disk full") << "full";
  }
  void failedCopyLeavesNoHalfFile() {
    QFETCH(QString, how);
    startBoard();
    const QString source = outsideFile("big.mp3", "sine440-10s.mp3");
    if (how == "unreadable") {
      QVERIFY(QFile::setPermissions(source, QFileDevice::WriteOwner));
      if (QFile(source).open(QIODevice::ReadOnly)) QSKIP("running as a user who reads every file");
    }
    if (how == "gone") QVERIFY(QFile::remove(source));
    const QStringList files = soundFolder();
    pick({source});
    rlimit saved{};
    if (how == "full") {
      // No file may grow past 4 KiB: the copy runs out of room half-way.
      QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit small = saved;
      small.rlim_cur = 4096;
      QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    }
    choose(110, "添加音效（单个）");
    if (how == "full") QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
    // On a full disk the day's backup fails first, and says so.
    QVERIFY(!world->printed.empty());
    const bool copyTold = std::any_of(
        world->printed.begin(), world->printed.end(),
        [](const std::string& line) { return QString::fromStdString(line).contains("big.mp3"); });
    QVERIFY2(copyTold, world->printed.back().c_str());
    QCOMPARE(soundFolder(), files);
  }

  void addedSoundPlaysAtOnce() {
    startBoard();
    openDiskDevice();
    pick({outsideFile("tone.mp3", "sine440.mp3")});
    choose(109, "添加音效（单个）");
    const double hz = pitchHeardFrom(9);
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
  }

  // ---- Files that are not sounds

  // The bad files of a host's downloads folder, made in the scratch folder.
  std::vector<std::pair<QString, QString>> badFiles() {
    const QString wav = world->path("good.wav");
    QFile::copy(fixture("wav-content.mp3"), wav);
    return bad_sound_files::write(world->path("bad"), fixture("sine440.mp3"), wav);
  }

  void fileThatIsNoSoundIsRefused_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("which");  // index into badFiles()
    for (int which = 0; which < 6; ++which) {
      for (const char* command : {"添加音效（单个）", "添加音效（批量，只填充空白按钮）"}) {
        QTest::addRow("%s %d", command, which) << QString(command) << which;
      }
    }
  }
  void fileThatIsNoSoundIsRefused() {
    QFETCH(QString, command);
    QFETCH(int, which);
    startBoard();
    const auto bad = badFiles();
    QCOMPARE(bad.size(), std::size_t(6));
    const auto& [name, path] = bad[std::size_t(which)];
    const QStringList files = soundFolder();
    pick({path});
    choose(104, command.toUtf8().constData());
    // Neither copied nor stored, and the button keeps its sound.
    QCOMPARE(soundFolder(), files);
    QCOMPARE(storedIn(1).size(), std::size_t(3));
    QCOMPARE(button(4)->text(), QString("鼓点"));
    QCOMPARE(button(3)->text(), QString());
    QTRY_COMPARE(told.size(), std::size_t(1));
    const QString said = QString::fromStdString(told[0]);
    QVERIFY2(said.startsWith("1 个文件无法添加：" + name + "|" + name + "："), qPrintable(said));
  }

  // A batch with good and bad files: the good ones fill the free buttons in order, and
  // the bad ones are named together, once.
  void batchNamesTheRefusedFilesOnce() {
    startBoard();
    const auto bad = badFiles();
    pick({outsideFile("one.mp3"), bad[0].second, bad[1].second, outsideFile("two.mp3"),
          bad[2].second});
    choose(101, "添加音效（批量，只填充空白按钮）");
    QCOMPARE(button(3)->text(), QString("one"));
    QCOMPARE(button(5)->text(), QString("two"));
    QCOMPARE(button(6)->text(), QString());
    QCOMPARE(storedIn(1).size(), std::size_t(5));
    QTRY_VERIFY(!told.empty());
    QTest::qWait(20);
    QCOMPARE(told.size(), std::size_t(1));
    const QStringList said = QString::fromStdString(told[0]).split('|');
    QCOMPARE(said[0],
             "3 个文件无法添加：" + bad[0].first + "、" + bad[1].first + "、" + bad[2].first);
    QCOMPARE(said[1].split('\n').size(), 3);
    QVERIFY(!soundFolder().contains(bad[0].first));
  }

  // A sound in the library whose file went bad shows why on its button once it failed.
  void storedSoundThatWillNotPlayIsMarked() {
    startBoard();
    QFile drum(sounds() + "drum.mp3");
    QVERIFY(drum.open(QIODevice::WriteOnly | QIODevice::Truncate));
    drum.write("These are the notes for tonight, not a sound.\n");
    drum.close();
    auto* sound = board->viewWithTag<SoundButton>(104);
    QVERIFY(!sound->isMissingFileMarked());
    sound->click();
    QVERIFY(sound->isMissingFileMarked());
    QVERIFY2(sound->toolTipText().contains("不是可以播放的音效文件"),
             qPrintable(sound->toolTipText()));
    QVERIFY(!board->viewWithTag<SoundButton>(101)->isMissingFileMarked());
  }

  // ---- Editing

  void bothEditItemsOpenTheEditorOnTheirButton_data() {
    QTest::addColumn<QString>("title");
    QTest::newRow("modify sound") << "修改音效";
    QTest::newRow("modify hotkey") << "修改自定义快捷键";
  }
  void bothEditItemsOpenTheEditorOnTheirButton() {
    QFETCH(QString, title);
    startBoard(2);
    world->changeLibrary("update tb_Button set Title = 'R&B <b>' where ButtonId = 'A4'");
    board->loadBtnMusic();
    board->show();
    choose(104, title.toUtf8().constData());
    auto editors = board->findChildren<EditMusicViewController*>();
    QCOMPARE(editors.size(), qsizetype(1));
    EditMusicViewController* editor = editors.front();
    QVERIFY(editor->isVisible());
    QCOMPARE(editor->windowModality(), Qt::WindowModal);
    QCOMPARE(editor->lblButtonId->text(), QString("A4"));
    QCOMPARE(editor->tfButtonNo->text(), QString("4"));
    QCOMPARE(editor->tfMusicSrc->text(),
             sounds() + "drum.mp3");                        // a bare name, shown in the folder
    QCOMPARE(editor->tfTitle->text(), QString("R&B <b>"));  // the whole title, as typed
    QCOMPARE(editor->tfHotkey->text(), QString("W"));
    // The save's message repeats the title as typed, markup and all.
    QCOMPARE(editor->lblMsg->textFormat(), Qt::PlainText);
    QCOMPARE(editor->lblButtonId->textFormat(), Qt::PlainText);
    editor->close();
    // An empty button opens nothing.
    QVERIFY(!board->libraryCommands().editMusic(107));
    QTRY_COMPARE(board->findChildren<EditMusicViewController*>().size(), qsizetype(0));
  }

  // ---- Deleting

  void deleteMusic_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("labelAfter");
    QTest::newRow("built-in keeps the label") << 1 << "D";
    QTest::newRow("custom empties the label") << 2 << "";
    QTest::newRow("no hotkeys") << 0 << "";
  }
  void deleteMusic() {
    QFETCH(int, mode);
    QFETCH(QString, labelAfter);
    startBoard(mode);
    const QStringList files = soundFolder();
    cutButtonId() = "A4";
    choose(104, "删除音效");
    QCOMPARE(button(4)->text(), QString());
    QCOMPARE(label(4)->text(), labelAfter);
    QCOMPARE(storedIn(1).size(), std::size_t(2));
    for (auto* cache : {&dicButtonId(), &dicMusicSrc(), &dicTitle(), &dicHotkey()})
      QVERIFY(!cache->count(4));
    QCOMPARE(soundFolder(), files);
    QCOMPARE(cutButtonId(), std::string("A4"));  // deleting leaves the cut alone
    // An empty button: nothing to delete.
    choose(108, "删除音效");
    QCOMPARE(storedIn(1).size(), std::size_t(2));
  }

  // ---- Cutting and pasting

  void cutSwitchPasteThenPlay() {
    startBoard(2);
    openDiskDevice();
    choose(101, "剪切音效");
    choose(107, "剪切音效");  // an empty button keeps the earlier cut
    QCOMPARE(cutButtonId(), std::string("A1"));
    QCOMPARE(button(1)->text(), QString("掌声"));  // a cut moves nothing yet
    category(2)->click();
    choose(107, "粘贴音效");
    QCOMPARE(cutButtonId(), std::string());
    const auto moved = stored("ButtonId = 'A1'");
    QCOMPARE(moved.size(), std::size_t(1));
    QCOMPARE(moved[0].classId, categoryId(2));
    QCOMPARE(moved[0].buttonNo, 7);
    QCOMPARE(moved[0].title, std::string("掌声"));
    QCOMPARE(moved[0].musicSrc, std::string("applause.mp3"));
    QCOMPARE(moved[0].hotkey, std::optional<std::string>("Q"));
    QCOMPARE(button(7)->text(), QString("掌声"));
    QCOMPARE(label(7)->text(), QString("Q"));
    QCOMPARE(storedIn(1).size(), std::size_t(2));
    // Replace the short file by a tone that can be measured, then play the pasted button.
    QVERIFY(QFile::remove(sounds() + "applause.mp3"));
    QVERIFY(QFile::copy(fixture("sine440.mp3"), sounds() + "applause.mp3"));
    const double hz = pitchHeardFrom(7);
    QVERIFY2(std::abs(hz - 440.0) < 3.0, qPrintable(QString::number(hz)));
    board = std::make_unique<ViewController>();  // remembers category 2
    category(1)->click();
    QCOMPARE(button(1)->text(), QString());
  }

  void pasteOverAnotherSoundReplacesIt() {
    startBoard();
    choose(104, "剪切音效");
    choose(101, "粘贴音效");
    QVERIFY(stored("ButtonId = 'A1'").empty());
    const auto rows = storedIn(1);
    QCOMPARE(rows.size(), std::size_t(2));
    QCOMPARE(rows[0].buttonId, std::string("A4"));
    QCOMPARE(rows[0].buttonNo, 1);
    QCOMPARE(button(1)->text(), QString("鼓点"));
    QCOMPARE(button(4)->text(), QString());
    QCOMPARE(cutButtonId(), std::string());
  }

  void failedPasteChangesNothing() {
    startBoard();
    // The paste's delete of the target runs, then its move is refused.
    world->changeLibrary(
        "create trigger refuse before update on tb_Button begin select raise(abort, 'no room'); "
        "end");
    const auto rowsBefore = storedIn(1);
    choose(104, "剪切音效");
    choose(101, "粘贴音效");
    QCOMPARE(world->printed.size(), std::size_t(1));
    QVERIFY2(QString::fromStdString(world->printed[0]).startsWith("粘贴音效失败: ") &&
                 QString::fromStdString(world->printed[0]).contains("no room"),
             world->printed[0].c_str());
    const auto rowsAfter = storedIn(1);
    QCOMPARE(rowsAfter.size(), rowsBefore.size());
    for (std::size_t i = 0; i < rowsAfter.size(); ++i) {
      QCOMPARE(rowsAfter[i].buttonId, rowsBefore[i].buttonId);
      QCOMPARE(rowsAfter[i].buttonNo, rowsBefore[i].buttonNo);
    }
    QCOMPARE(button(1)->text(), QString("掌声"));
    QCOMPARE(button(4)->text(), QString("鼓点"));
    QCOMPARE(dicButtonId()[1], std::string("A1"));
    QCOMPARE(dicButtonId()[4], std::string("A4"));
  }

  // The last button of the grid takes every command as the others do.
  void lastButtonTakesTheCommands() {
    startBoard(2);
    pick({outsideFile("last.mp3")});
    choose(140, "添加音效（单个）");
    auto rows = storedIn(1);
    QCOMPARE(rows.size(), std::size_t(4));
    QCOMPARE(rows.back().buttonNo, 40);
    QCOMPARE(rows.back().title, std::string("last"));
    QCOMPARE(button(40)->text(), QString("last"));
    const std::string id = rows.back().buttonId;

    choose(140, "剪切音效");
    choose(139, "粘贴音效");
    QCOMPARE(stored("ButtonId = '" + id + "'").front().buttonNo, 39);
    QCOMPARE(button(40)->text(), QString());
    QCOMPARE(button(39)->text(), QString("last"));
    choose(101, "剪切音效");
    choose(140, "粘贴音效");
    QCOMPARE(stored("ButtonId = 'A1'").front().buttonNo, 40);
    QCOMPARE(button(40)->text(), QString("掌声"));
    QCOMPARE(label(40)->text(), QString("Q"));

    choose(140, "删除音效");
    QVERIFY(stored("ButtonId = 'A1'").empty());
    QCOMPARE(button(40)->text(), QString());
    QVERIFY(!dicButtonId().count(40));
  }

  void pasteThatMustNotLoseTheTarget_data() {
    QTest::addColumn<QString>("before");  // what happens between the cut and the paste
    QTest::addColumn<int>("pasteOn");
    QTest::addColumn<int>("rowsLeft");
    QTest::newRow("nothing cut") << "uncut" << 2 << 3;
    QTest::newRow("onto its own button") << "" << 4 << 3;
    QTest::newRow("cut row deleted") << "delete" << 2 << 2;
    QTest::newRow("cut row replaced by an add") << "add" << 2 << 3;
    QTest::newRow("its category deleted") << "deleteClass" << 2 << 3;
    QTest::newRow("second paste") << "paste" << 1 << 3;
  }
  void pasteThatMustNotLoseTheTarget() {
    QFETCH(QString, before);
    QFETCH(int, pasteOn);
    QFETCH(int, rowsLeft);
    startBoard();
    if (before != "uncut") choose(104, "剪切音效");
    if (before == "delete") choose(104, "删除音效");
    if (before == "add") {
      pick({outsideFile("other.mp3")});
      choose(104, "添加音效（单个）");
    }
    if (before == "deleteClass") {
      answerConfirmation(true);
      category(1)->click();
      choose(1, "删除本分类全部音效");
      world->changeLibrary("insert into tb_Button values ('X2', '" + categoryId(1) +
                           "', 2, 'x', 'x.mp3', null)");
      board->loadBtnMusic();
      rowsLeft = 1;
    }
    if (before == "paste") {
      choose(105, "粘贴音效");
      QCOMPARE(stored("ButtonId = 'A4'").front().buttonNo, 5);
    }
    const auto rowsBefore = storedIn(1);
    choose(100 + pasteOn, "粘贴音效");
    const auto rowsAfter = storedIn(1);
    QCOMPARE(rowsAfter.size(), std::size_t(rowsLeft));
    QCOMPARE(rowsAfter.size(), rowsBefore.size());
    for (std::size_t i = 0; i < rowsAfter.size(); ++i) {
      QCOMPARE(rowsAfter[i].buttonId, rowsBefore[i].buttonId);
      QCOMPARE(rowsAfter[i].buttonNo, rowsBefore[i].buttonNo);
    }
    QCOMPARE(cutButtonId(), std::string());
  }
};

QTEST_MAIN(LibraryCommandsTest)
#include "LibraryCommandsTest.moc"
