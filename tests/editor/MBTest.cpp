#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "editor/MB.h"
#include "platform/Alert.h"

// The real box is answered the way a person would: a click on one of its buttons,
// Escape, or closing its window.
class MBTest : public QObject {
  Q_OBJECT

  static void answerNextBox(std::function<void(QMessageBox*)> answer, QString* seenHeading,
                            QString* seenQuestion, QStringList* seenButtons) {
    QTimer::singleShot(0, [=] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      *seenHeading = box->text();
      *seenQuestion = box->informativeText();
      for (QAbstractButton* button : box->buttons()) *seenButtons << button->text();
      QCOMPARE(box->icon(), QMessageBox::Warning);
      QVERIFY(box->defaultButton());
      QCOMPARE(box->defaultButton()->text(), QString("确定"));
      answer(box);
    });
  }

  static QAbstractButton* buttonTitled(QMessageBox* box, const QString& title) {
    for (QAbstractButton* button : box->buttons()) {
      if (button->text() == title) return button;
    }
    return nullptr;
  }

 private slots:
  void cleanup() { Alert::setResponderForTesting(nullptr); }

  void answers_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("确定") << "ok" << true;
    QTest::newRow("Return takes the default") << "return" << true;
    QTest::newRow("取消") << "cancel" << false;
    QTest::newRow("Escape") << "escape" << false;
    QTest::newRow("window closed") << "close" << false;
  }
  void answers() {
    QFETCH(QString, how);
    QFETCH(bool, confirmed);
    QString heading, question;
    QStringList buttons;
    answerNextBox(
        [how](QMessageBox* box) {
          if (how == "ok") buttonTitled(box, "确定")->click();
          if (how == "cancel") buttonTitled(box, "取消")->click();
          if (how == "return") QTest::keyClick(box, Qt::Key_Return);
          if (how == "escape") QTest::keyClick(box, Qt::Key_Escape);
          if (how == "close") box->close();
        },
        &heading, &question, &buttons);
    QCOMPARE(MB::showConfirm("删除本分类全部音效 ？"), confirmed);
    QCOMPARE(heading, QString("操作确认"));
    QCOMPARE(question, QString("删除本分类全部音效 ？"));
    QCOMPARE(buttons, QStringList({"确定", "取消"}));
  }

  // Each line of a question stays whole: its label is as wide as the line.
  void questionStaysOnOneLine_data() {
    QTest::addColumn<QString>("question");
    QTest::newRow("category deletion") << "删除本分类全部音效 ？";
    QTest::newRow("hotkeys") << "删除本分类自定义快捷键 ？";
    QTest::newRow("duplicate hotkey") << "热键 A 已被“一个相当长的音效标题”使用，仍然保存？";
  }
  void questionStaysOnOneLine() {
    QFETCH(QString, question);
    int lines = 0;
    QTimer::singleShot(50, [&lines] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box);
      auto* label = box->findChild<QLabel*>("qt_msgbox_informativelabel");
      QVERIFY(label);
      const QFontMetrics metrics = label->fontMetrics();
      const QMargins margins = label->contentsMargins();
      lines = (label->heightForWidth(label->width()) - margins.top() - margins.bottom()) /
              metrics.lineSpacing();
      box->close();
    });
    MB::showConfirm(question.toStdString());
    QCOMPARE(lines, 1);
  }

  // A title the host typed is shown as typed, not read as markup.
  void questionIsPlainText() {
    QString heading, question;
    QStringList buttons;
    QString shown;
    answerNextBox(
        [&shown](QMessageBox* box) {
          for (auto* label : box->findChildren<QLabel*>()) {
            if (label->text().contains("R&B")) {
              shown = label->text();
              QCOMPARE(label->textFormat(), Qt::PlainText);
            }
          }
          box->close();
        },
        &heading, &question, &buttons);
    QVERIFY(!MB::showConfirm("<b>R&B</b> ？"));
    QCOMPARE(shown, QString("<b>R&B</b> ？"));
  }
};

QTEST_MAIN(MBTest)
#include "MBTest.moc"
