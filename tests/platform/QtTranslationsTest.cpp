// Qt's own texts follow the desktop's language from the translations Qt ships.
#include <QFile>
#include <QTest>
#include <QTranslator>

#include "platform/QtTranslations.h"

class QtTranslationsTest : public QObject {
  Q_OBJECT

 private:
  static QString cancel() { return QCoreApplication::translate("QPlatformTheme", "Cancel"); }

 private slots:
  void chineseDesktopGetsQtsChineseTexts_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("cancelText");
    QTest::newRow("simplified Chinese") << "zh_CN" << true << "取消";
    QTest::newRow("traditional Chinese") << "zh_TW" << true << "取消";
    QTest::newRow("English: Qt's own") << "en_US" << false << "Cancel";
  }
  void chineseDesktopGetsQtsChineseTexts() {
    QFETCH(QString, locale);
    QFETCH(bool, installed);
    QFETCH(QString, cancelText);
    QCOMPARE(cancel(), QString("Cancel"));
    QCOMPARE(installQtTranslations(*QCoreApplication::instance(), QLocale(locale)), installed);
    QCOMPARE(cancel(), cancelText);
    for (auto* translator : QCoreApplication::instance()->findChildren<QTranslator*>()) {
      QCoreApplication::removeTranslator(translator);
      delete translator;
    }
  }

  void translationsAreWhereThisQtKeepsThem() {
    QVERIFY2(QFile::exists(qtTranslationsPath() + "/qtbase_zh_CN.qm"),
             qPrintable(qtTranslationsPath()));
  }
};

QTEST_GUILESS_MAIN(QtTranslationsTest)
#include "QtTranslationsTest.moc"
