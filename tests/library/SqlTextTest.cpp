#include <QTemporaryDir>
#include <QTest>

#include "library/SqlText.h"
#include "litedb/LiteDatabase.h"
#include "litedb/LiteResultSet.h"

class SqlTextTest : public QObject {
  Q_OBJECT

 private slots:
  void quoting_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("plain") << "ding"
                           << "ding";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("one quote") << "it's"
                               << "it''s";
    QTest::newRow("quotes at both ends") << "'x'"
                                         << "''x''";
    QTest::newRow("doubled already") << "''"
                                     << "''''";
    QTest::newRow("chinese") << "掌声'响起"
                             << "掌声''响起";
    QTest::newRow("nul dropped") << QString::fromUtf8("a\0b", 3) << "ab";
  }
  void quoting() {
    QFETCH(QString, value);
    QFETCH(QString, quoted);
    QCOMPARE(QString::fromStdString(quotedSqlText(value.toStdString())), quoted);
  }

  // A crafted value spliced into a statement is stored as typed and runs nothing else.
  void craftedValueIsStoredAsTyped_data() {
    QTest::addColumn<QString>("value");
    QTest::newRow("drop table") << "it's'; drop table t; --";
    QTest::newRow("second insert") << "x'); insert into t values ('evil";
    QTest::newRow("comment") << "a' -- ";
  }
  void craftedValueIsStoredAsTyped() {
    QFETCH(QString, value);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    auto db = LiteDatabase::databaseWithPath(dir.filePath("t.sqlite").toStdString());
    QVERIFY(db->open());
    QVERIFY(db->executeStatements("create table t (v text)"));
    const std::string text = value.toStdString();
    QVERIFY(db->executeStatements(" insert into t (v) values ('" + quotedSqlText(text) + "');"));
    auto rs = db->executeQueryWithArgumentsInArray("select v from t", {});
    QVERIFY(rs);
    QVERIFY(rs->next());
    QCOMPARE(rs->stringForColumn("v").value_or("<null>"), text);
    QVERIFY(!rs->next());
    rs->close();
  }
};

QTEST_MAIN(SqlTextTest)
#include "SqlTextTest.moc"
