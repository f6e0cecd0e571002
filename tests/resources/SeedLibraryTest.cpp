// The seed library as the build lays it out (data.sqlite generated from seed.sql, and
// the sound folder): what a new user's first start copies. Read with SQLite itself
// and decoded by the audio engine's decoder, so a broken seed shows up here rather than
// as a silent or empty board.

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "audio/SoundFile.h"
#include "board/ViewController.h"

namespace {

const QString kResourceDir = QStringLiteral(CUEBOARD_BUILD_RESOURCE_DIR);
const QString kCategoryPrefix = QStringLiteral("00000000-0000-0000-0000-00000000000");

struct SeedRow {
    QString buttonId;
    QString classId;
    int buttonNo = 0;
    std::optional<QString> title;
    std::optional<QString> musicSrc;
    std::optional<QString> hotkey;
};

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, CloseDatabase>;

Database openDatabase(const QString& path, int flags)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, flags, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK)
        qWarning("cannot open %s: %s", qPrintable(path), raw ? sqlite3_errmsg(raw) : "out of memory");
    return rc == SQLITE_OK ? std::move(db) : Database();
}

std::optional<QString> textColumn(sqlite3_stmt* statement, int column)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

// Runs one statement and returns its rows as texts (NULL as nullopt); fails the
// calling test through the returned flag when the statement does not run.
bool query(sqlite3* db, const QString& sql, std::vector<std::vector<std::optional<QString>>>& rows,
           QStringList* columnNames = nullptr)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
        qWarning("prepare failed: %s", sqlite3_errmsg(db));
        return false;
    }
    if (columnNames) {
        for (int c = 0; c < sqlite3_column_count(statement); ++c)
            columnNames->append(QString::fromUtf8(sqlite3_column_name(statement, c)));
    }
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::vector<std::optional<QString>> row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c)
            row.push_back(textColumn(statement, c));
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
}

// The names a hotkey can take: letters, main-row digits and keypad digits.
QSet<QString> keyNames()
{
    QSet<QString> names;
    for (char c = 'A'; c <= 'Z'; ++c)
        names.insert(QString(QChar(c)));
    for (char c = '0'; c <= '9'; ++c) {
        names.insert(QString(QChar(c)));
        names.insert(QStringLiteral("Num ") + QChar(c));
    }
    return names;
}

}  // namespace

class SeedLibraryTest : public QObject {
    Q_OBJECT

    Database db;
    std::vector<SeedRow> rows;

private slots:
    void initTestCase()
    {
        const QString path = kResourceDir + QStringLiteral("/data.sqlite");
        QVERIFY2(QFile::exists(path), qPrintable(path));
        db = openDatabase(path, SQLITE_OPEN_READONLY);
        QVERIFY(db);

        sqlite3_stmt* statement = nullptr;
        QCOMPARE(sqlite3_prepare_v2(db.get(),
                                    "select ButtonId, ClassId, ButtonNo, Title, MusicSrc, Hotkey, typeof(ButtonNo)"
                                    " from tb_Button",
                                    -1, &statement, nullptr),
                 SQLITE_OK);
        while (sqlite3_step(statement) == SQLITE_ROW) {
            SeedRow row;
            row.buttonId = textColumn(statement, 0).value_or(QString());
            row.classId = textColumn(statement, 1).value_or(QString());
            row.buttonNo = textColumn(statement, 6) == QStringLiteral("integer") ? sqlite3_column_int(statement, 2) : 0;
            row.title = textColumn(statement, 3);
            row.musicSrc = textColumn(statement, 4);
            row.hotkey = textColumn(statement, 5);
            rows.push_back(row);
        }
        sqlite3_finalize(statement);
    }

    void cleanupTestCase() { db.reset(); }

    void tableHasTheLibraryColumns()
    {
        std::vector<std::vector<std::optional<QString>>> info;
        QVERIFY(query(db.get(), QStringLiteral("pragma table_info(tb_Button)"), info));
        QStringList columns;
        for (const auto& column : info)
            columns.append(column[1].value_or(QString()));
        for (const char* name : {"ButtonId", "ClassId", "ButtonNo", "Title", "MusicSrc", "Hotkey"})
            QVERIFY2(columns.contains(QLatin1String(name)), name);
    }

    // A batch add leaves Hotkey out of its insert; the column must then hold NULL.
    void hotkeyDefaultsToNull()
    {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString copy = scratch.filePath(QStringLiteral("data.sqlite"));
        QVERIFY(QFile::copy(kResourceDir + QStringLiteral("/data.sqlite"), copy));
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
        Database writable = openDatabase(copy, SQLITE_OPEN_READWRITE);
        QVERIFY(writable);

        std::vector<std::vector<std::optional<QString>>> result;
        QVERIFY(query(writable.get(),
                      QStringLiteral(" insert into tb_Button (  ClassId,   ButtonId,  ButtonNo,  Title,     MusicSrc   )"
                                     " values ('00000000-0000-0000-0000-000000000002','NEW-ID','7','t','t.mp3');"),
                      result));
        result.clear();
        QVERIFY(query(writable.get(),
                      QStringLiteral("select Hotkey is null from tb_Button where ButtonId = 'NEW-ID'"), result));
        QCOMPARE(result.size(), size_t(1));
        QVERIFY(result[0][0] == QStringLiteral("1"));
    }

    // The board's own load statement, column names spelled as it reads them.
    void boardQueryFindsTheFirstCategory()
    {
        std::vector<std::vector<std::optional<QString>>> result;
        QStringList names;
        QVERIFY(query(db.get(),
                      QString::fromStdString(
                          ViewController::categoryQuerySql(ViewController::classIdForCategory(1))),
                      result, &names));
        QVERIFY2(result.size() >= 5, "a new user's first category should hold several sounds");
        for (const char* name : {"buttonId", "buttonNo", "title", "musicSrc", "hotkey"}) {
            const bool found = std::any_of(names.begin(), names.end(), [name](const QString& column) {
                return column.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
            });
            QVERIFY2(found, name);
        }
    }

    void rowsAreWellFormed()
    {
        QVERIFY(!rows.empty());
        const QRegularExpression uuid(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
        const QSet<QString> keys = keyNames();
        QSet<QString> ids;
        QSet<QString> places;
        for (const SeedRow& row : rows) {
            const QString where = row.classId + QLatin1Char('/') + QString::number(row.buttonNo);
            QVERIFY2(uuid.match(row.buttonId).hasMatch(), qPrintable(where + " id " + row.buttonId));
            QVERIFY2(!ids.contains(row.buttonId), qPrintable(where + " repeats an id"));
            ids.insert(row.buttonId);

            QCOMPARE(row.classId.size(), 36);
            QVERIFY2(row.classId.startsWith(kCategoryPrefix), qPrintable(where));
            const int category = row.classId.right(1).toInt();
            QVERIFY2(category >= 1 && category <= 5, qPrintable(where));

            QVERIFY2(row.buttonNo >= 1 && row.buttonNo <= 40, qPrintable(where));
            QVERIFY2(!places.contains(where), qPrintable(where + " holds two rows"));
            places.insert(where);

            QVERIFY2(row.title && !row.title->isEmpty(), qPrintable(where));
            QVERIFY2(row.musicSrc && !row.musicSrc->isEmpty(), qPrintable(where));
            QVERIFY2(!row.hotkey || row.hotkey->isEmpty() || keys.contains(*row.hotkey),
                     qPrintable(where + " hotkey " + row.hotkey.value_or(QString())));
        }
    }

    // Every seed row names a file in the shipped sound folder that really decodes,
    // and is short, as an effect should be.
    void everySeedSoundPlays()
    {
        // Decoded exactly as the board decodes it, at the rate it plays at.
        constexpr int kRate = 44100;
        const QDir sounds(kResourceDir + QStringLiteral("/sound"));
        bool ok = true;
        std::vector<float> frames(4096 * 2);
        for (const SeedRow& row : rows) {
            const QString path = sounds.filePath(row.musicSrc.value_or(QString()));
            if (!QFile::exists(path)) {
                qWarning("missing: %s", qPrintable(path));
                ok = false;
                continue;
            }
            std::string error;
            auto sound = SoundFile::open(QFile::encodeName(path).toStdString(), kRate, &error);
            if (!sound) {
                qWarning("does not decode: %s", error.c_str());
                ok = false;
                continue;
            }
            std::size_t decoded = 0;
            while (const std::size_t got = sound->read(frames.data(), 4096)) {
                decoded += got;
            }
            const double seconds = static_cast<double>(decoded) / kRate;
            if (seconds < 0.2 || seconds > 3.0) {
                qWarning("%s lasts %.2f s", qPrintable(path), seconds);
                ok = false;
            }
        }
        QVERIFY(ok);
    }
};

QTEST_GUILESS_MAIN(SeedLibraryTest)
#include "SeedLibraryTest.moc"
