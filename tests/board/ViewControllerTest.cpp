// The board's start-up, category loading, hotkey labels, category bar and links.

#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <algorithm>
#include <memory>

#include "BoardFixture.h"
#include "board/ViewController.h"
#include "library/ContextMenus.h"
#include "platform/NotificationCenter.h"

namespace {

QPushButton* soundButton(const ViewController& board, int n) {
  return board.viewWithTag<QPushButton>(100 + n);
}
QLabel* hotkeyLabel(const ViewController& board, int n) {
  return board.viewWithTag<QLabel>(200 + n);
}
QPushButton* categoryButton(const ViewController& board, int k) {
  return board.viewWithTag<QPushButton>(k);
}
QRadioButton* radio(const ViewController& board, int tag) {
  // Tag 0 is the no-hotkeys radio; the others are 1 and 2.
  return board.viewWithTag<QRadioButton>(tag);
}
QColor titleColor(const QPushButton* button) {
  return button->palette().color(QPalette::ButtonText);
}

// Captures what the board hands to the desktop to open.
class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  UrlCatcher() {
    for (const char* scheme : {"https", "http", "file"})
      QDesktopServices::setUrlHandler(scheme, this, "open");
  }
  ~UrlCatcher() override {
    for (const char* scheme : {"https", "http", "file"}) QDesktopServices::unsetUrlHandler(scheme);
  }
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened.append(url); }
};

}  // namespace

class ViewControllerTest : public QObject {
  Q_OBJECT

 public:
  static void initMain() { useOffscreenTestDevices(); }

 private:
  std::unique_ptr<BoardFixture> world;

  std::vector<LibraryRow> sampleRows() {
    return {
        {"B3", categoryId(1), 3, "掌声", "applause.mp3", "Q"},
        {"B7", categoryId(1), 7, "笑声", "laugh.mp3", std::nullopt},
        {"C1", categoryId(2), 1, "鼓点", "drum.mp3", "W"},
        {"E5", categoryId(3), 5, "转场", "whoosh.mp3", ""},
    };
  }

 private slots:
  void init() { world = std::make_unique<BoardFixture>(); }
  void cleanup() { world.reset(); }

  void firstStartShowsDefaults() {
    world->writeLibrary({});
    ViewController board;

    QCOMPARE(board.currentVolume(), 85.0f);
    QCOMPARE(board.sliderVolumeValue(), 85.0f);
    QCOMPARE(board.findChild<QLabel*>("tfVolume")->text(), QString("音量：85"));
    QCOMPARE(board.currentClassId(), std::string("00000000-0000-0000-0000-000000000001"));
    QCOMPARE(titleColor(categoryButton(board, 1)), QColor(Qt::red));
    for (int k = 2; k <= 5; ++k) QCOMPARE(titleColor(categoryButton(board, k)), QColor(Qt::black));
    QVERIFY(radio(board, 0)->isChecked());
    QVERIFY(!radio(board, 1)->isChecked());
    QVERIFY(!radio(board, 2)->isChecked());
    QVERIFY(!board.findChild<QCheckBox*>("chkLoop")->isChecked());  // as laid out
    for (int n = 1; n <= 40; ++n) {
      QCOMPARE(hotkeyLabel(board, n)->text(), QString());
      QCOMPARE(hotkeyLabel(board, n)->palette().color(QPalette::WindowText), QColor(Qt::gray));
      QCOMPARE(soundButton(board, n)->text(), QString());
    }
    QVERIFY(!board.findChild<QPushButton*>("btnStop")->isEnabled());
  }

  void storedSettingsComeBack_data() {
    QTest::addColumn<QVariant>("storedVolume");
    QTest::addColumn<QString>("volumeText");
    QTest::addColumn<int>("hotkeyTag");
    QTest::addColumn<int>("checkedRadio");
    QTest::addColumn<QVariant>("storedLoop");
    QTest::addColumn<bool>("loopOn");
    QTest::newRow("volume 40, built-in, loop on")
        << QVariant(40) << "音量：40" << 1 << 1 << QVariant(1) << true;
    QTest::newRow("volume 0 means 85")
        << QVariant(0) << "音量：85" << 2 << 2 << QVariant(0) << false;
    QTest::newRow("fractional volume truncated")
        << QVariant(33.9) << "音量：33" << 0 << 0 << QVariant() << false;
    QTest::newRow("unknown hotkey mode")
        << QVariant(100) << "音量：100" << 7 << 0 << QVariant(1) << true;
  }
  void storedSettingsComeBack() {
    QFETCH(QVariant, storedVolume);
    QFETCH(QString, volumeText);
    QFETCH(int, hotkeyTag);
    QFETCH(int, checkedRadio);
    QFETCH(QVariant, storedLoop);
    QFETCH(bool, loopOn);
    world->writeLibrary({});
    auto& defaults = UserDefaults::standardUserDefaults();
    defaults.setObjectForKey(storedVolume, "volume");
    defaults.setIntegerForKey(hotkeyTag, "hotkeyTag");
    if (storedLoop.isValid()) defaults.setObjectForKey(storedLoop, "loop");
    // A fresh read of the settings file, as at the next start.
    UserDefaults::resetStandardUserDefaultsForTesting();

    ViewController board;
    QCOMPARE(board.findChild<QLabel*>("tfVolume")->text(), volumeText);
    QCOMPARE(board.sliderVolumeValue(), float(volumeText.mid(3).toInt()));
    for (int tag = 0; tag <= 2; ++tag)
      QCOMPARE(radio(board, tag)->isChecked(), tag == checkedRadio);
    QCOMPARE(board.findChild<QCheckBox*>("chkLoop")->isChecked(), loopOn);
  }

  void categoryWithTwoRowsFillsTwoButtons() {
    world->writeLibrary(sampleRows());
    ViewController board;
    for (int n = 1; n <= 40; ++n) {
      const QString expected = n == 3 ? "掌声" : n == 7 ? "笑声" : "";
      QCOMPARE(soundButton(board, n)->text(), expected);
    }
    QCOMPARE(dicButtonId(), (ButtonTextMap{{3, "B3"}, {7, "B7"}}));
    QCOMPARE(dicTitle(), (ButtonTextMap{{3, "掌声"}, {7, "笑声"}}));
    QCOMPARE(dicMusicSrc(), (ButtonTextMap{{3, "applause.mp3"}, {7, "laugh.mp3"}}));
    QCOMPARE(dicHotkey(), (ButtonTextMap{{3, "Q"}, {7, ""}}));
    QVERIFY(board.database()->isOpen());
  }

  void laterRowOnTheSameButtonWins() {
    world->writeLibrary({{"OLD", categoryId(1), 4, "旧", "old.mp3", "A"},
                         {"NEW", categoryId(1), 4, "新", "new.mp3", "B"},
                         {"OFF", categoryId(1), 41, "网格外", "off.mp3", "C"}});
    ViewController board;
    QCOMPARE(soundButton(board, 4)->text(), QString("新"));
    QCOMPARE(dicButtonId(), (ButtonTextMap{{4, "NEW"}}));
  }

  void hotkeyLabels_data() {
    QTest::addColumn<int>("hotkeyTag");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("label");
    QTest::newRow("built-in A") << 1 << 1 << "A";
    QTest::newRow("built-in 0") << 1 << 27 << "0";
    QTest::newRow("built-in Num 4") << 1 << 40 << "Num 4";
    QTest::newRow("built-in Z") << 1 << 26 << "Z";
    QTest::newRow("custom stored key") << 2 << 3 << "Q";
    QTest::newRow("custom NULL key") << 2 << 7 << "";
    QTest::newRow("custom no row") << 2 << 1 << "";
    QTest::newRow("none") << 0 << 3 << "";
  }
  void hotkeyLabels() {
    QFETCH(int, hotkeyTag);
    QFETCH(int, button);
    QFETCH(QString, label);
    world->writeLibrary(sampleRows());
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyTag, "hotkeyTag");
    ViewController board;
    QCOMPARE(hotkeyLabel(board, button)->text(), label);
  }

  void categorySwitchIsStoredAndRestored() {
    world->writeLibrary(sampleRows());
    UserDefaults::standardUserDefaults().setIntegerForKey(2, "hotkeyTag");
    {
      ViewController board;
      categoryButton(board, 3)->click();
      QCOMPARE(board.currentClassId(), categoryId(3));
      QCOMPARE(titleColor(categoryButton(board, 3)), QColor(Qt::red));
      for (int k : {1, 2, 4, 5}) QCOMPARE(titleColor(categoryButton(board, k)), QColor(Qt::black));
      QCOMPARE(soundButton(board, 5)->text(), QString("转场"));
      QCOMPARE(soundButton(board, 3)->text(), QString());
      QCOMPARE(hotkeyLabel(board, 3)->text(), QString());  // custom labels follow the category
      QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("curClassId"), categoryId(3));
    }
    UserDefaults::resetStandardUserDefaultsForTesting();
    resetCachesForTesting();
    ViewController second;
    QCOMPARE(second.currentClassId(), categoryId(3));
    QCOMPARE(titleColor(categoryButton(second, 3)), QColor(Qt::red));
    QCOMPARE(titleColor(categoryButton(second, 1)), QColor(Qt::black));
    QCOMPARE(soundButton(second, 5)->text(), QString("转场"));
  }

  void clickOnCurrentCategoryReloadsIt() {
    world->writeLibrary(sampleRows());
    ViewController board;
    world->changeLibrary("UPDATE tb_Button SET Title = '新掌声' WHERE ButtonId = 'B3'");
    categoryButton(board, 1)->click();
    QCOMPARE(soundButton(board, 3)->text(), QString("新掌声"));
    QCOMPARE(titleColor(categoryButton(board, 1)), QColor(Qt::red));
  }

  void sameTitledCategoryKeepsItsColour() {
    world->writeLibrary({});
    ViewController board;
    categoryButton(board, 2)->setText(categoryButton(board, 4)->text());
    categoryButton(board, 4)->click();
    QCOMPARE(titleColor(categoryButton(board, 4)), QColor(Qt::red));
    QCOMPARE(titleColor(categoryButton(board, 1)), QColor(Qt::black));
    // Button 2 shares the clicked title, so it is left as it was: black since start-up.
    QCOMPARE(titleColor(categoryButton(board, 2)), QColor(Qt::black));
    categoryButton(board, 2)->click();
    QCOMPARE(titleColor(categoryButton(board, 4)), QColor(Qt::red));  // same title: untouched
  }

  void categoryQueryIsExactText() {
    QCOMPARE(ViewController::categoryQuerySql(categoryId(1)),
             std::string(" select *   from  tb_Button  where classId ='"
                         "00000000-0000-0000-0000-000000000001'"));
  }

  void craftedCategoryIdRunsNothing_data() {
    QTest::addColumn<QString>("classId");
    QTest::newRow("widening condition") << "x' OR '1'='1";
    QTest::newRow("second statement") << "x'; DROP TABLE tb_Button; --";
    QTest::newRow("union") << "' UNION SELECT 'X','Y',1,'injected','z.mp3',NULL --";
  }
  void craftedCategoryIdRunsNothing() {
    QFETCH(QString, classId);
    auto rows = sampleRows();
    rows.push_back({"ODD", classId.toStdString(), 2, "怪", "odd.mp3", std::nullopt});
    world->writeLibrary(rows);
    UserDefaults::standardUserDefaults().setObjectForKey(classId, "curClassId");
    ViewController board;
    // Only the row whose ClassId is exactly the crafted text is shown.
    QCOMPARE(dicButtonId(), (ButtonTextMap{{2, "ODD"}}));
    QCOMPARE(soundButton(board, 1)->text(), QString());
    auto rs = board.database()->executeQueryWithArgumentsInArray(
        "SELECT count(*) AS n FROM tb_Button", {});
    QVERIFY(rs);
    QVERIFY(rs->next());
    QCOMPARE(rs->intForColumn("n"), 5);
    rs->close();
  }

  // A refresh reloads the category; only the custom mode shows the stored keys, and
  // even there a label without a row keeps what it showed.
  void refreshRewritesOnlyCustomLabelsOfRows_data() {
    QTest::addColumn<int>("hotkeyTag");
    QTest::addColumn<QString>("label3");
    QTest::newRow("none") << 0 << "";
    QTest::newRow("built-in") << 1 << "C";
    QTest::newRow("custom") << 2 << "Num 2";
  }
  void refreshRewritesOnlyCustomLabelsOfRows() {
    QFETCH(int, hotkeyTag);
    QFETCH(QString, label3);
    world->writeLibrary(sampleRows());
    UserDefaults::standardUserDefaults().setIntegerForKey(hotkeyTag, "hotkeyTag");
    ViewController board;
    hotkeyLabel(board, 10)->setText("Z");  // a label without a row
    world->changeLibrary(
        "UPDATE tb_Button SET Hotkey = 'Num 2', Title = '大掌声' WHERE ButtonId = 'B3'");
    NotificationCenter::defaultCenter().postNotificationName("refreshBtnMusic");
    QCOMPARE(hotkeyLabel(board, 3)->text(), label3);
    QCOMPARE(soundButton(board, 3)->text(), QString("大掌声"));
    QCOMPARE(hotkeyLabel(board, 10)->text(), QString("Z"));
    QCOMPARE(dicHotkey()[3], std::string("Num 2"));
  }

  void unreadableLibraryKeepsCaches() {
    world->writeLibrary({});
    world->changeLibrary("DROP TABLE tb_Button");
    dicTitle()[9] = "上次的";
    ViewController board;
    for (int n = 1; n <= 40; ++n) QCOMPARE(soundButton(board, n)->text(), QString());
    QCOMPARE(dicTitle(), (ButtonTextMap{{9, "上次的"}}));
    categoryButton(board, 2)->click();  // the switch itself still happens
    QCOMPARE(board.currentClassId(), categoryId(2));
    QCOMPARE(UserDefaults::standardUserDefaults().stringForKey("curClassId"), categoryId(2));
  }

  void webLinksOpenTheirOwnPages_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QUrl>("page");
    QTest::newRow("home") << "btnHome" << QUrl("https://cueboard.app/");
    QTest::newRow("support") << "btnSupport" << QUrl("https://cueboard.app/soundboard/");
    QTest::newRow("contact") << "btnContact" << QUrl("https://cueboard.app/contact/chat");
    QTest::newRow("bazaar") << "btnBazaar"
                            << QUrl("https://flathub.org/apps/app.cueboard.Cueboard");
  }
  void webLinksOpenTheirOwnPages() {
    QFETCH(QString, button);
    QFETCH(QUrl, page);
    world->writeLibrary({});
    UrlCatcher catcher;
    ViewController board;
    board.findChild<QPushButton*>(button)->click();
    QCOMPARE(catcher.opened, QList<QUrl>{page});
  }

  void soundFolderLinkOpensTheSoundFolder() {
    world->writeLibrary({});
    UrlCatcher catcher;
    ViewController board;
    board.findChild<QPushButton*>("btnSoundPath")->click();
    QCOMPARE(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(soundPath()))});
    QVERIFY(catcher.opened[0].toLocalFile().endsWith("/cueboard/sound/"));
  }

  // "复制远程命令" names the button's own category and number, whichever menu it came
  // from and whether or not the button holds a sound.
  void copyRemoteCommandCopiesThatButtonsCommand_data() {
    QTest::addColumn<int>("category");
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("command");
    QTest::newRow("category 1, button 1") << 1 << 1 << "cueboard play 1 1";
    QTest::newRow("category 1, button 7") << 1 << 7 << "cueboard play 1 7";
    QTest::newRow("category 2, empty button 17") << 2 << 17 << "cueboard play 2 17";
    QTest::newRow("category 3, button 5") << 3 << 5 << "cueboard play 3 5";
    QTest::newRow("category 5, button 40") << 5 << 40 << "cueboard play 5 40";
  }
  void copyRemoteCommandCopiesThatButtonsCommand() {
    QFETCH(int, category);
    QFETCH(int, button);
    QFETCH(QString, command);
    world->writeLibrary(sampleRows());
    ViewController board;
    QVERIFY(board.model().setCategory(category));
    QGuiApplication::clipboard()->setText("before");
    QAction* copy = nullptr;
    for (QAction* action : contextMenuOf(soundButton(board, button))->actions()) {
      if (action->text() == "复制远程命令") copy = action;
    }
    QVERIFY(copy);
    QCOMPARE(copy, contextMenuOf(soundButton(board, button))->actions().last());
    copy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), command);
    QCOMPARE(board.remoteCommandFor(button), command);
  }

  void copyRemoteCommandWithoutAKnownCategoryLeavesItOut() {
    world->writeLibrary(sampleRows());
    UserDefaults::standardUserDefaults().setObjectForKey(QString("not-a-category"), "curClassId");
    ViewController board;
    QCOMPARE(board.model().currentCategory(), 0);
    QCOMPARE(board.remoteCommandFor(12), QString("cueboard play 12"));
  }

  // The program's own entries go after the library's in every category's menu, once,
  // whether the menu was built before the entry was added or is built afterwards.
  void addedCategoryMenuItemsComeLastAndCarryTheirCategory_data() {
    QTest::addColumn<QList<int>>("openedBefore");
    QTest::newRow("no menu opened yet") << QList<int>{};
    QTest::newRow("two menus opened before") << QList<int>{2, 5};
    QTest::newRow("every menu opened before") << QList<int>{1, 2, 3, 4, 5};
  }
  void addedCategoryMenuItemsComeLastAndCarryTheirCategory() {
    QFETCH(QList<int>, openedBefore);
    world->writeLibrary({});
    ViewController board;
    for (int k : openedBefore) {
      QPushButton* button = categoryButton(board, k);
      emit button->customContextMenuRequested(QPoint(2, 2));
      QMenu* menu = contextMenuOf(button);
      QVERIFY(menu);
      QTRY_VERIFY(menu->isVisible());
      menu->close();
    }
    QList<int> chosen;
    board.addClassMenuItem("远程控制…", [&chosen] { chosen << 1; });
    // Adding the entry builds no menu: each is built when first wanted.
    for (int k = 1; k <= 5; ++k) {
      QCOMPARE(builtContextMenuOf(categoryButton(board, k)) != nullptr, openedBefore.contains(k));
    }
    for (int k = 1; k <= 5; ++k) {
      const QList<QAction*> items = contextMenuOf(categoryButton(board, k))->actions();
      QVERIFY(items.size() >= 2);
      QCOMPARE(items.last()->text(), QString("远程控制…"));
      QCOMPARE(std::count_if(items.begin(), items.end(),
                             [](QAction* item) { return item->text() == "远程控制…"; }),
               1);
      QVERIFY(items[items.size() - 2]->isSeparator());
      QCOMPARE(items.last()->property("tag").toInt(), k);
    }
    contextMenuOf(categoryButton(board, 3))->actions().last()->trigger();
    QCOMPARE(chosen, QList<int>{1});
  }
};

QTEST_MAIN(ViewControllerTest)
#include "ViewControllerTest.moc"
