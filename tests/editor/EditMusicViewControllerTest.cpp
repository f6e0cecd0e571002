// The sound editor over a real board and a real library file: opening it on a button,
// walking through the category's filled buttons, choosing a file, saving (and what the
// library, the caches and the board hold afterwards), closing, and the remembered
// "move on after saving" switch.

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPointer>
#include <memory>

#include "EditorFixture.h"
#include "library/LoudnessStore.h"
#include "litedb/LiteLog.h"
#include "platform/Alert.h"
#include "platform/OpenPanel.h"

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }
QString inSoundFolder(const QString& name) { return qs(soundPath()) + name; }

}  // namespace

class EditMusicViewControllerTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<BoardFixture> world;
  std::unique_ptr<ViewController> board;
  QPointer<EditMusicViewController> editor;
  QString outsideTwelve;
  std::vector<std::string> logged;

  // Category 1 fills buttons 3, 7 and 12; button 12's file lies outside the sound
  // folder. Category 2 fills button 9, which the walk through category 1 must skip.
  void writeCategoryOne(const std::string& idOfSeven = "K7") {
    outsideTwelve = world->path("elsewhere/twelve.mp3");
    QVERIFY(QDir().mkpath(world->path("elsewhere")));
    QFile twelve(outsideTwelve);
    QVERIFY(twelve.open(QIODevice::WriteOnly));
    world->writeLibrary(
        {{"K3", categoryId(1), 3, "三", "three.mp3", "A"},
         {idOfSeven, categoryId(1), 7, "七", "seven.mp3", "Q"},
         {"K12", categoryId(1), 12, "十二", outsideTwelve.toStdString(), std::nullopt},
         {"C9", categoryId(2), 9, "九", "nine.mp3", ""}});
    for (const char* name : {"three.mp3", "seven.mp3"}) {
      QFile file(inSoundFolder(name));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
  }

  void startBoard() {
    board = std::make_unique<ViewController>();
    board->show();
    QVERIFY(QTest::qWaitForWindowActive(board.get()));
  }

  void openOn(int n) {
    editor = openEditorOn(*board, n);
    QVERIFY(editor);
    QTRY_COMPARE(QApplication::activeWindow(), editor.data());
  }

  QStringList fieldsOf(int n) const {
    if (n == 3) return {"K3", "3", inSoundFolder("three.mp3"), "三", "A"};
    if (n == 7) return {"K7", "7", inSoundFolder("seven.mp3"), "七", "Q"};
    if (n == 12) return {"K12", "12", outsideTwelve, "十二", ""};
    return {};
  }

  QString boardTitle(int n) const { return board->viewWithTag<QPushButton>(100 + n)->text(); }

  // Chooses `path` in the file panel, checking how the editor set the panel up.
  void choose(const QString& path, int response = OpenPanel::ModalResponseOK) {
    int asked = 0;
    OpenPanel seen;
    OpenPanel::setResponderForTesting([&](OpenPanel& panel) {
      ++asked;
      seen = panel;
      panel.setURLsForTesting({path.toStdString()});
      return response;
    });
    editor->findChild<QPushButton*>("btnSelect")->click();
    OpenPanel::setResponderForTesting(nullptr);
    QCOMPARE(asked, 1);
    QCOMPARE(qs(seen.title()), QString("请选择一个音效文件"));
    QCOMPARE(seen.allowedFileTypes(), OpenPanel::soundFileTypes());
    QVERIFY(!seen.allowsMultipleSelection());
    QVERIFY(!seen.canChooseDirectories());
    QVERIFY(seen.canCreateDirectories());
    QVERIFY(seen.canChooseFiles());
  }

 private slots:
  void init() {
    world = std::make_unique<BoardFixture>();
    logged.clear();
    setLiteLogSink([this](const std::string& line) { logged.push_back(line); });
  }
  void cleanup() {
    OpenPanel::setResponderForTesting(nullptr);
    delete editor.data();
    board.reset();
    setLiteLogSink(nullptr);
    isHotkeyEditing() = false;
    QFile::setPermissions(qs(documentPath() + "/data.sqlite"),
                          QFile::ReadOwner | QFile::WriteOwner);
    world.reset();
  }

  void opensAsAWindowModalDialogOverTheBoard() {
    writeCategoryOne();
    startBoard();
    QVERIFY(!openEditorOn(*board, 5));  // an empty button opens no editor
    openOn(7);
    QVERIFY(editor->isWindow());
    QCOMPARE(editor->parentWidget(), board.get());
    QCOMPARE(editor->windowModality(), Qt::WindowModal);
    QVERIFY(editor->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(editor->isVisible());
    QCOMPARE(QApplication::activeWindow(), editor.data());
    QCOMPARE(editor->database(), board->database());
    QCOMPARE(shownFields(*editor), fieldsOf(7));
    QVERIFY(editor->btnPrev->isEnabled() && editor->btnNext->isEnabled());
    QVERIFY(editor->btnSave->isEnabled());
    QCOMPARE(editor->lblMsg->text(), QString());
  }

  void walksOverTheFilledButtons() {
    writeCategoryOne();
    startBoard();
    openOn(7);
    editor->lblMsg->setText("旧消息");
    const std::vector<std::pair<QPushButton*, int>> steps = {{editor->btnNext, 12},
                                                             {editor->btnNext, 12},
                                                             {editor->btnPrev, 7},
                                                             {editor->btnPrev, 3},
                                                             {editor->btnPrev, 3}};
    for (std::size_t step = 0; step < steps.size(); ++step) {
      steps[step].first->click();
      const QString where = QString("step %1").arg(step + 1);
      QVERIFY2(shownFields(*editor) == fieldsOf(steps[step].second), qPrintable(where));
      QVERIFY2(editor->btnPrev->isEnabled() && editor->btnNext->isEnabled(), qPrintable(where));
      QCOMPARE(editor->lblMsg->text(), QString("旧消息"));
    }
  }

  void walkStopsAtTheEndsAndStartsAgain() {
    world->writeLibrary({{"E1", categoryId(1), 1, "首", "first.mp3", "A"},
                         {"E39", categoryId(1), 39, "次末", "next-to-last.mp3", ""},
                         {"E40", categoryId(1), 40, "末", "last.mp3", "Num 4"}});
    startBoard();
    openOn(39);
    const QStringList forty = {"E40", "40", inSoundFolder("last.mp3"), "末", "Num 4"};
    const QStringList thirtyNine = {"E39", "39", inSoundFolder("next-to-last.mp3"), "次末", ""};
    const QStringList one = {"E1", "1", inSoundFolder("first.mp3"), "首", "A"};

    editor->btnNext->click();
    QCOMPARE(shownFields(*editor), forty);
    QVERIFY(editor->btnNext->isEnabled());  // moving onto 40 does not disable it
    editor->btnNext->click();
    QCOMPARE(shownFields(*editor), forty);
    QVERIFY(!editor->btnNext->isEnabled());
    QVERIFY(editor->btnPrev->isEnabled());
    editor->btnPrev->click();
    QCOMPARE(shownFields(*editor), thirtyNine);
    QVERIFY(editor->btnNext->isEnabled() && editor->btnPrev->isEnabled());

    editor->btnPrev->click();
    QCOMPARE(shownFields(*editor), one);
    QVERIFY(editor->btnPrev->isEnabled());
    editor->btnPrev->click();
    QCOMPARE(shownFields(*editor), one);
    QVERIFY(!editor->btnPrev->isEnabled());
    QVERIFY(editor->btnNext->isEnabled());
    editor->btnNext->click();
    QCOMPARE(shownFields(*editor), thirtyNine);
    QVERIFY(editor->btnNext->isEnabled() && editor->btnPrev->isEnabled());
  }

  void walkShowsAButtonFilledSinceTheLastLoad() {
    writeCategoryOne();
    startBoard();
    openOn(7);
    // What adding a sound leaves in the caches: no hotkey entry until the next load.
    dicButtonId()[9] = "N9";
    dicMusicSrc()[9] = "new.mp3";
    dicTitle()[9] = "新的";
    editor->btnNext->click();
    QCOMPARE(shownFields(*editor), (QStringList{"N9", "9", inSoundFolder("new.mp3"), "新的", ""}));
    QVERIFY(!dicHotkey().contains(9));
  }

  void walkNeedsAWholeButtonNumber_data() {
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("next");
    QTest::addColumn<int>("shows");  // 0: nothing changes
    QTest::newRow("+7, next") << "+7" << true << 12;
    QTest::newRow("0007, previous") << "0007" << false << 3;
    QTest::newRow("leading space") << " 7" << true << 0;
    QTest::newRow("trailing space") << "7 " << false << 0;
    QTest::newRow("decimal point") << "7.0" << true << 0;
    QTest::newRow("letters after") << "7a" << true << 0;
    QTest::newRow("hexadecimal") << "0x7" << true << 0;
    QTest::newRow("empty") << "" << true << 0;
    QTest::newRow("sign only") << "-" << false << 0;
    QTest::newRow("two signs") << "+-7" << true << 0;
    QTest::newRow("Arabic-Indic seven") << QString(QChar(0x0667)) << true << 0;
    QTest::newRow("full-width seven") << "７" << false << 0;
    QTest::newRow("beyond 64 bits, next") << "99999999999999999999" << true << 0;
    QTest::newRow("beyond 64 bits, previous") << "-99999999999999999999" << false << 0;
    QTest::newRow("0, next") << "0" << true << 0;
    QTest::newRow("-5, next") << "-5" << true << 0;
    QTest::newRow("41, previous") << "41" << false << 0;
  }
  void walkNeedsAWholeButtonNumber() {
    QFETCH(QString, number);
    QFETCH(bool, next);
    QFETCH(int, shows);
    writeCategoryOne();
    startBoard();
    openOn(7);
    editor->tfButtonNo->setText(number);
    editor->btnPrev->setEnabled(false);
    editor->btnNext->setEnabled(false);
    if (next) {
      editor->btnNext_Clicked(editor->btnNext);
    } else {
      editor->btnPrev_Clicked(editor->btnPrev);
    }
    if (shows == 0) {
      QStringList unchanged = fieldsOf(7);
      unchanged[1] = number;
      QCOMPARE(shownFields(*editor), unchanged);
      QVERIFY(!editor->btnPrev->isEnabled() && !editor->btnNext->isEnabled());
    } else {
      QCOMPARE(shownFields(*editor), fieldsOf(shows));
      QVERIFY(editor->btnPrev->isEnabled() && editor->btnNext->isEnabled());
    }
  }

  void saveWritesTheRowAndTheBoardReloads_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("autoShowNext");
    QTest::addColumn<QString>("storedSrc");
    QTest::addColumn<int>("thenShows");  // 0: the fields stay as saved
    QTest::newRow("button 7, staying") << 7 << false << "seven.mp3" << 0;
    QTest::newRow("button 7, moving on") << 7 << true << "seven.mp3" << 12;
    QTest::newRow("last filled button, moving on") << 12 << true << outsideTwelveMarker() << 0;
  }
  void saveWritesTheRowAndTheBoardReloads() {
    QFETCH(int, button);
    QFETCH(bool, autoShowNext);
    QFETCH(QString, storedSrc);
    QFETCH(int, thenShows);
    writeCategoryOne();
    startBoard();
    openOn(button);
    if (autoShowNext) editor->chkAutoShowNext->click();
    QCOMPARE(editor->chkAutoShowNext->isChecked(), autoShowNext);
    // Changed behind the board's back: only a reload before moving on shows it.
    world->changeLibrary("UPDATE tb_Button SET Title = '新十二' WHERE ButtonId = 'K12'");
    editor->tfTitle->setText("铃声");
    editor->tfHotkey->setText("W");
    const QStringList before = shownFields(*editor);
    const QString id = before[0];

    editor->btnSave->click();

    if (storedSrc == outsideTwelveMarker()) storedSrc = outsideTwelve;
    const StoredRow row = storedRow(id.toStdString());
    QVERIFY(row.found);
    QCOMPARE(row.classId, qs(categoryId(1)));
    QCOMPARE(row.buttonNo, QString::number(button));
    QCOMPARE(row.title, QString("铃声"));
    QCOMPARE(row.hotkey, QString("W"));
    QCOMPARE(row.musicSrc, storedSrc);
    QCOMPARE(storedRow("K3").title, QString("三"));
    QCOMPARE(editor->lblMsg->text(), QString("修改成功：铃声"));
    QCOMPARE(boardTitle(button), QString("铃声"));
    QCOMPARE(boardTitle(12 == button ? 7 : 12), QString(12 == button ? "七" : "新十二"));
    QCOMPARE(qs(dicTitle()[button]), QString("铃声"));
    QCOMPARE(qs(dicHotkey()[button]), QString("W"));
    QCOMPARE(qs(dicMusicSrc()[button]), storedSrc);
    if (thenShows == 0) {
      QCOMPARE(shownFields(*editor), before);
    } else {
      QCOMPARE(shownFields(*editor), (QStringList{"K12", "12", outsideTwelve, "新十二", ""}));
    }
    QVERIFY(editor->isVisible());  // the editor stays open
  }

  // The measured loudness is shown and the trim kept in the loudness table, apart from
  // the button's row; a trim left at 0 adds no table to the library.
  void loudnessIsShownAndTheTrimStored() {
    writeCategoryOne();
    startBoard();
    auto db = dbHelper().db();
    QVERIFY(LoudnessStore(db).prepare());
    QVERIFY(LoudnessStore(db).setLoudness("seven.mp3", soundPath() + "seven.mp3",
                                          Loudness{-20.5, -3.5}));
    QVERIFY(db->executeStatements("DROP TABLE tb_Loudness"));
    openOn(3);
    auto* trim = editor->findChild<QDoubleSpinBox*>("spinTrim");
    auto* loudness = editor->findChild<QLabel*>("lblLoudness");
    QVERIFY(trim && loudness);
    QCOMPARE(trim->value(), 0.0);
    QCOMPARE(loudness->text(), QString("响度未测量"));
    editor->btnSave->click();
    QCOMPARE(editor->lblMsg->text(), QString("修改成功：三"));
    QVERIFY(!db->tableExists("tb_Loudness"));

    trim->setValue(-4.5);
    editor->btnSave->click();
    QCOMPARE(editor->lblMsg->text(), QString("修改成功：三"));
    QCOMPARE(LoudnessStore(db).trimForFile("three.mp3"), -4.5);
    QVERIFY(LoudnessStore(db).setLoudness("seven.mp3", soundPath() + "seven.mp3",
                                          Loudness{-20.5, -3.5}));
    editor->btnNext->click();
    QCOMPARE(editor->tfButtonNo->text(), QString("7"));
    QCOMPARE(trim->value(), 0.0);
    QCOMPARE(loudness->text(), QString("响度 -20.5 LUFS，峰值 -3.5 dBTP"));
    editor->btnPrev->click();
    QCOMPARE(trim->value(), -4.5);
    QCOMPARE(storedRow("K3").title, QString("三"));  // the row itself is as it was
    QVERIFY(logged.empty());
  }

  void chosenFileIsShownAndStored_data() {
    // "~/" stands for the scratch folder, "@/" for the sound folder (neither exists
    // yet when the rows are made); "=" for the chosen path itself.
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("stored");
    const QString sound = "@/";
    QTest::newRow("in the sound folder") << sound + "bell.mp3"
                                         << "bell"
                                         << "bell.mp3";
    QTest::newRow("outside it") << "~/elsewhere/far.mp3"
                                << "far"
                                << "=";
    QTest::newRow("extension twice") << sound + "a.mp3.b.mp3"
                                     << "a.b"
                                     << "a.mp3.b.mp3";
    QTest::newRow("upper-case extension") << sound + "Loud.MP3"
                                          << "Loud"
                                          << "Loud.MP3";
    QTest::newRow("in a sub-folder") << sound + "新/铃.mp3"
                                     << "铃"
                                     << "新/铃.mp3";
    QTest::newRow("quote in the name") << sound + "it's.mp3"
                                       << "it's"
                                       << "it's.mp3";
    QTest::newRow("folder path inside a longer path") << "~/backup" + sound + "bell.mp3"
                                                      << "bell"
                                                      << "=";
  }
  void chosenFileIsShownAndStored() {
    QFETCH(QString, chosen);
    QFETCH(QString, title);
    QFETCH(QString, stored);
    writeCategoryOne();
    chosen.replace("~/", world->scratch.path() + "/").replace("@/", qs(soundPath()));
    if (stored == "=") stored = chosen;
    QVERIFY(QDir().mkpath(QFileInfo(chosen).absolutePath()));
    QVERIFY(QFile::copy(CUEBOARD_AUDIO_FIXTURE_DIR "/sine440-short.mp3", chosen));
    startBoard();
    openOn(7);
    choose(chosen);
    QCOMPARE(shownFields(*editor), (QStringList{"K7", "7", chosen, title, "Q"}));
    QCOMPARE(storedRow("K7").musicSrc, QString("seven.mp3"));  // nothing stored yet
    editor->btnSave->click();
    const StoredRow row = storedRow("K7");
    QCOMPARE(row.musicSrc, stored);
    QCOMPARE(row.title, title);
    QCOMPARE(boardTitle(7), title);
  }

  void cancelledFileChoiceChangesNothing_data() {
    QTest::addColumn<int>("response");
    QTest::newRow("cancel") << int(OpenPanel::ModalResponseCancel);
    QTest::newRow("any other answer") << 2;
  }
  void cancelledFileChoiceChangesNothing() {
    QFETCH(int, response);
    writeCategoryOne();
    startBoard();
    openOn(7);
    editor->tfTitle->setText("正在改");
    choose(inSoundFolder("bell.mp3"), response);
    QCOMPARE(shownFields(*editor),
             (QStringList{"K7", "7", inSoundFolder("seven.mp3"), "正在改", "Q"}));
    QCOMPARE(storedRow("K7").musicSrc, QString("seven.mp3"));
  }

  // A file that does not play is not taken: the fields keep what they hold and the
  // message line names the file and the reason.
  void chosenFileThatIsNoSoundIsRefused_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("empty") << "empty.mp3" << QByteArray() << "文件是空的";
    QTest::newRow("text") << "notes.mp3" << QByteArray("not a sound\n") << "不是可以播放的音效文件";
  }
  void chosenFileThatIsNoSoundIsRefused() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    writeCategoryOne();
    const QString chosen = world->path(name);
    QFile file(chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    file.close();
    startBoard();
    openOn(7);
    choose(chosen);
    QCOMPARE(shownFields(*editor), fieldsOf(7));
    QVERIFY2(editor->lblMsg->text().startsWith("无法添加 " + name + "：" + reason),
             qPrintable(editor->lblMsg->text()));
    editor->btnSave->click();
    QCOMPARE(storedRow("K7").musicSrc, QString("seven.mp3"));
  }

  // A key another button of the category has is saved only when the host says so.
  void hotkeyOfAnotherButtonAsksFirst_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<QString>("hotkey");
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QString>("question");  // "" for none asked
    QTest::addColumn<QString>("stored");
    QTest::newRow("taken, yes") << 12 << "A" << true << "热键 A 已被“三”使用，仍然保存？"
                                << "A";
    QTest::newRow("taken, no") << 12 << "A" << false << "热键 A 已被“三”使用，仍然保存？"
                               << "";
    QTest::newRow("its own key") << 7 << "Q" << false << ""
                                 << "Q";
    QTest::newRow("another category's key") << 12 << "B" << false << ""
                                            << "B";
    QTest::newRow("no key") << 3 << "" << false << ""
                            << "";
  }
  void hotkeyOfAnotherButtonAsksFirst() {
    QFETCH(int, button);
    QFETCH(QString, hotkey);
    QFETCH(bool, yes);
    QFETCH(QString, question);
    QFETCH(QString, stored);
    writeCategoryOne();
    world->changeLibrary("update tb_Button set Hotkey = 'B' where ButtonId = 'C9'");
    std::vector<std::string> asked;
    Alert::setResponderForTesting([&](const Alert& alert) {
      asked.push_back(alert.informativeText());
      return yes ? Alert::FirstButtonReturn : Alert::SecondButtonReturn;
    });
    startBoard();
    openOn(button);
    const std::string id = "K" + std::to_string(button);
    const QString before = storedRow(id).hotkey;
    editor->tfHotkey->setText(hotkey);
    editor->btnSave->click();
    Alert::setResponderForTesting(nullptr);
    QCOMPARE(asked, question.isEmpty() ? std::vector<std::string>()
                                       : std::vector<std::string>{question.toStdString()});
    if (!question.isEmpty() && !yes) {
      QCOMPARE(storedRow(id).hotkey, before);  // nothing stored
      QVERIFY(editor->isVisible());
    } else {
      QCOMPARE(storedRow(id).hotkey, stored);
    }
  }

  void valuesWithQuotesAreStoredAsTyped() {
    writeCategoryOne();
    startBoard();
    openOn(7);
    const QString title = "it's'; drop table tb_Button; --";
    editor->tfTitle->setText(title);
    editor->tfHotkey->setText("'");
    editor->tfMusicSrc->setText(inSoundFolder("a'b.mp3"));
    editor->btnSave->click();
    const StoredRow row = storedRow("K7");
    QCOMPARE(row.title, title);
    QCOMPARE(row.hotkey, QString("'"));
    QCOMPARE(row.musicSrc, QString("a'b.mp3"));
    QVERIFY(storedRow("K3").found);  // the table is still there, and so is every row
    QCOMPARE(boardTitle(7), title);
    QCOMPARE(boardTitle(3), QString("三"));
    QCOMPARE(editor->lblMsg->text(), "修改成功：" + title);
  }

  void updateStatementText_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("hotkey");
    QTest::addColumn<QString>("src");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("sql");
    QTest::newRow("plain") << "铃声"
                           << "Num 5"
                           << "bell.mp3"
                           << "AB12-cd"
                           << " update tb_Button set  Title    ='铃声', Hotkey   ='Num 5', "
                              "MusicSrc ='bell.mp3' where Lower(ButtonId) ='ab12-cd'";
    QTest::newRow("empty values") << ""
                                  << ""
                                  << ""
                                  << ""
                                  << " update tb_Button set  Title    ='', Hotkey   ='', "
                                     "MusicSrc ='' where Lower(ButtonId) =''";
    QTest::newRow("quotes doubled") << "it's"
                                    << "'"
                                    << "/x/'.mp3"
                                    << "O'K"
                                    << " update tb_Button set  Title    ='it''s', Hotkey   ='''', "
                                       "MusicSrc ='/x/''.mp3' where Lower(ButtonId) ='o''k'";
    // Lower() in SQLite folds ASCII only; so does the id here.
    QTest::newRow("non-ASCII id") << "t"
                                  << ""
                                  << "s"
                                  << "ÄB"
                                  << " update tb_Button set  Title    ='t', Hotkey   ='', "
                                     "MusicSrc ='s' where Lower(ButtonId) ='Äb'";
  }
  void updateStatementText() {
    QFETCH(QString, title);
    QFETCH(QString, hotkey);
    QFETCH(QString, src);
    QFETCH(QString, id);
    QFETCH(QString, sql);
    QCOMPARE(qs(EditMusicViewController::updateButtonSql(title.toStdString(), hotkey.toStdString(),
                                                         src.toStdString(), id.toStdString())),
             sql);
  }

  void idIsMatchedWithoutRegardToCase_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("upper-case id, shown as stored") << "A1B2-C3"
                                                    << "A1B2-C3";
    QTest::newRow("lower-case id shown in upper case") << "a1b2-c3"
                                                       << "A1B2-C3";
    QTest::newRow("upper-case id shown in lower case") << "A1B2-C3"
                                                       << "a1b2-c3";
  }
  void idIsMatchedWithoutRegardToCase() {
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    writeCategoryOne(stored.toStdString());
    startBoard();
    openOn(7);
    editor->lblButtonId->setText(shown);
    editor->tfTitle->setText("新标题");
    editor->btnSave->click();
    QCOMPARE(storedRow(stored.toStdString()).title, QString("新标题"));
    QCOMPARE(storedRow("K3").title, QString("三"));
    QCOMPARE(boardTitle(7), QString("新标题"));
  }

  void closingWithoutSavingChangesNothing() {
    writeCategoryOne();
    startBoard();
    openOn(7);
    editor->tfTitle->setText("改了");
    editor->tfHotkey->setText("Z");
    choose(inSoundFolder("bell.mp3"));
    editor->findChild<QPushButton*>("btnClose")->click();
    QTRY_VERIFY(editor.isNull());
    const StoredRow row = storedRow("K7");
    QCOMPARE(row.title, QString("七"));
    QCOMPARE(row.hotkey, QString("Q"));
    QCOMPARE(row.musicSrc, QString("seven.mp3"));
    QCOMPARE(boardTitle(7), QString("七"));
    QCOMPARE(qs(dicTitle()[7]), QString("七"));
    QCOMPARE(qs(dicMusicSrc()[7]), QString("seven.mp3"));
  }

  void autoShowNextIsRemembered() {
    writeCategoryOne();
    startBoard();
    auto& defaults = UserDefaults::standardUserDefaults();
    openOn(7);
    QVERIFY(!editor->chkAutoShowNext->isChecked());  // as laid out
    QVERIFY(!defaults.objectForKey("autoShowNext"));
    editor->chkAutoShowNext->click();
    QCOMPARE(defaults.integerForKey("autoShowNext"), 1L);
    editor->close();
    QTRY_VERIFY(editor.isNull());

    openOn(3);
    QVERIFY(editor->chkAutoShowNext->isChecked());
    delete editor.data();

    // After a restart.
    board.reset();
    UserDefaults::resetStandardUserDefaultsForTesting();
    resetCachesForTesting();
    startBoard();
    openOn(7);
    QVERIFY(editor->chkAutoShowNext->isChecked());
    editor->chkAutoShowNext->click();
    QCOMPARE(defaults.integerForKey("autoShowNext"), 0L);
    QVERIFY(defaults.objectForKey("autoShowNext"));
    delete editor.data();
    openOn(7);
    QVERIFY(!editor->chkAutoShowNext->isChecked());
  }

  void failedSaveSaysSoAndTheBoardShowsWhatIsStored_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("table");          // where the row is afterwards
    QTest::addColumn<QString>("boardTitleOf7");  // what the reload shows
    QTest::newRow("library file read-only") << "read-only"
                                            << "tb_Button"
                                            << "七";
    QTest::newRow("update refused") << "refused"
                                    << "tb_Button"
                                    << "七";
    // The reload fails too, and a failed load leaves every title empty.
    QTest::newRow("table renamed") << "renamed"
                                   << "tb_Old"
                                   << "";
  }
  void failedSaveSaysSoAndTheBoardShowsWhatIsStored() {
    QFETCH(QString, fault);
    QFETCH(QString, table);
    QFETCH(QString, boardTitleOf7);
    writeCategoryOne();
    const QString library = qs(documentPath() + "/data.sqlite");
    if (fault == "read-only") {
      QVERIFY(QFile::setPermissions(library, QFile::ReadOwner | QFile::ReadGroup));
      if (::access(library.toLocal8Bit().constData(), W_OK) == 0) {
        QSKIP("file permissions do not bind this user (root)");
      }
    }
    startBoard();
    openOn(7);
    if (fault == "refused") {
      world->changeLibrary(
          "CREATE TRIGGER refuse BEFORE UPDATE ON tb_Button BEGIN SELECT RAISE(ABORT, 'no'); END");
    } else if (fault == "renamed") {
      world->changeLibrary("ALTER TABLE tb_Button RENAME TO tb_Old");
    }
    editor->tfTitle->setText("不会保存");
    editor->btnSave->click();

    QCOMPARE(editor->lblMsg->text(), QString("修改失败：不会保存"));
    const StoredRow row = storedRow("K7", table.toStdString());
    QVERIFY(row.found);
    QCOMPARE(row.title, QString("七"));
    QCOMPARE(boardTitle(7), boardTitleOf7);
    QCOMPARE(editor->tfTitle->text(), QString("不会保存"));  // the edit is still there to retry
    QVERIFY(!logged.empty());
  }

 private:
  static QString outsideTwelveMarker() { return "<outside>"; }
};

QTEST_MAIN(EditMusicViewControllerTest)
#include "EditMusicViewControllerTest.moc"
