// The board window as laid out in board.ui: the board finds every control by its
// object name or its integer property "tag", so a renamed, retagged or mistyped
// control breaks it at run time. This checks the contract of the layout itself.

#include "ui_board.h"

#include "board/SoundButton.h"

#include <QAbstractButton>
#include <QLayout>
#include <QButtonGroup>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTextLayout>
#include <QWidget>

#include <map>
#include <memory>
#include <set>
#include <utility>

namespace {

const QStringList kLinkButtons = {"btnHome", "btnSupport", "btnContact", "btnSoundPath", "btnBazaar"};

// The widgets the form itself creates (Qt's own children, such as a slider's
// internals, carry "qt_" names and are not part of the layout).
QList<QWidget*> formWidgets(QWidget* root)
{
    QList<QWidget*> result;
    for (QWidget* child : root->findChildren<QWidget*>()) {
        if (!child->objectName().startsWith(QLatin1String("qt_")))
            result.append(child);
    }
    return result;
}

// Where a sound button's title may go, from its size alone: the style's contents, less
// 4 px of padding all round and the 3 px progress bar along the bottom edge.
QRect titleAreaOf(SoundButton* button)
{
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    const QRect contents = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
    return contents.adjusted(4, 4, -4, -4 - 3);
}

}  // namespace

class BoardLayoutTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QWidget> board;
    std::unique_ptr<Ui::BoardView> ui;

    template <typename T>
    T* control(const QString& name) const
    {
        return board->findChild<T*>(name);
    }

private slots:
    void init()
    {
        board = std::make_unique<QWidget>();
        ui = std::make_unique<Ui::BoardView>();
        ui->setupUi(board.get());
    }

    void cleanup()
    {
        ui.reset();
        board.reset();
    }

    void controlHasKindAndTag_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("className");
        QTest::addColumn<int>("tag");
        for (int k = 1; k <= 5; ++k) {
            const QString name = QStringLiteral("btnClass%1").arg(k);
            QTest::newRow(qPrintable(name)) << name << "QPushButton" << k;
        }
        for (int n = 1; n <= 40; ++n) {
            const QString button = QStringLiteral("btnMusic%1").arg(n);
            const QString label = QStringLiteral("lblHotkey%1").arg(n);
            QTest::newRow(qPrintable(button)) << button << "SoundButton" << 100 + n;
            QTest::newRow(qPrintable(label)) << label << "QLabel" << 200 + n;
        }
        QTest::newRow("radioDisableHotkey") << "radioDisableHotkey" << "QRadioButton" << 0;
        QTest::newRow("radioBuildInHotkey") << "radioBuildInHotkey" << "QRadioButton" << 1;
        QTest::newRow("radioCustomHotkey") << "radioCustomHotkey" << "QRadioButton" << 2;
    }

    void controlHasKindAndTag()
    {
        QFETCH(QString, name);
        QFETCH(QString, className);
        QFETCH(int, tag);
        const QList<QWidget*> matches = board->findChildren<QWidget*>(name);
        QCOMPARE(matches.size(), 1);
        QCOMPARE(QString::fromLatin1(matches[0]->metaObject()->className()), className);
        const QVariant value = matches[0]->property("tag");
        QVERIFY2(value.isValid(), "no tag property");
        QCOMPARE(value.typeId(), QMetaType::Int);
        QCOMPARE(value.toInt(), tag);
    }

    // The board looks controls up by kind and tag; two controls of one kind on one
    // tag, or a named control without one, would be found wrongly or not at all.
    // (The hotkey radios' tags 1 and 2 equal two category buttons' tags; only the
    // kind tells those apart.)
    void everyControlHasItsOwnTag()
    {
        std::map<std::pair<QString, int>, QString> owners;
        const QList<QWidget*> widgets = formWidgets(board.get());
        QVERIFY(widgets.size() >= 5 + 40 + 40 + 3 + 4 + 5);
        for (QWidget* widget : widgets) {
            const QVariant value = widget->property("tag");
            QVERIFY2(value.isValid() && value.typeId() == QMetaType::Int,
                     qPrintable(widget->objectName() + " has no integer tag"));
            const QString kind = QString::fromLatin1(widget->metaObject()->className());
            const auto [it, inserted] = owners.emplace(std::pair(kind, value.toInt()), widget->objectName());
            QVERIFY2(inserted, qPrintable(QStringLiteral("%1 tag %2 used by %3 and %4")
                                              .arg(kind).arg(value.toInt())
                                              .arg(it->second, widget->objectName())));
        }
        // Only the sound-board controls themselves use the tags 0-5, 101-140, 201-240.
        for (const auto& [key, name] : owners) {
            const int tag = key.second;
            const bool reserved = (tag >= 0 && tag <= 5) || (tag >= 101 && tag <= 140) || (tag >= 201 && tag <= 240);
            if (!reserved)
                continue;
            const bool ownerExpected = name.startsWith("btnClass") || name.startsWith("btnMusic")
                || name.startsWith("lblHotkey") || name.startsWith("radio");
            QVERIFY2(ownerExpected, qPrintable(name + " uses a reserved tag"));
        }
    }

    void playbackControlsStartAsLaidOut()
    {
        // The desktop adds the program's name ("音效板 — Cueboard"); the title does not repeat it.
        QCOMPARE(board->windowTitle(), QStringLiteral("音效板"));

        auto* slider = control<QSlider>("sliderVolume");
        QVERIFY(slider);
        QCOMPARE(slider->orientation(), Qt::Horizontal);
        QCOMPARE(slider->minimum(), 0);
        // Tenths of a percent, so the volume can sit between whole numbers.
        QCOMPARE(slider->maximum(), 1000);
        QCOMPARE(slider->value(), 850);

        auto* volume = control<QLabel>("tfVolume");
        QVERIFY(volume);
        QCOMPARE(volume->text(), QStringLiteral("音量：85"));

        auto* stop = control<QPushButton>("btnStop");
        QVERIFY(stop);
        QVERIFY(!stop->isEnabled());
        QCOMPARE(stop->text(), QStringLiteral("停止"));

        auto* loop = control<QCheckBox>("chkLoop");
        QVERIFY(loop);
        QVERIFY(!loop->isChecked());
        QCOMPARE(loop->text(), QStringLiteral("循环播放"));

        for (const QString& name : kLinkButtons) {
            auto* link = control<QPushButton>(name);
            QVERIFY2(link, qPrintable(name));
            QVERIFY2(!link->text().isEmpty(), qPrintable(name));
            QVERIFY2(link->property("tag").isValid(), qPrintable(name));
        }
    }

    void soundButtonsAndLabelsStartEmpty()
    {
        for (int n = 1; n <= 40; ++n) {
            auto* button = control<QPushButton>(QStringLiteral("btnMusic%1").arg(n));
            auto* label = control<QLabel>(QStringLiteral("lblHotkey%1").arg(n));
            QVERIFY(button && label);
            QVERIFY2(button->text().isEmpty(), qPrintable(button->objectName()));
            QVERIFY2(label->text().isEmpty(), qPrintable(label->objectName()));
            // A key press must reach the hotkeys, not click a focused button.
            QCOMPARE(button->focusPolicy(), Qt::NoFocus);
        }
    }

    // The category switch tells buttons apart by their titles, so equal titles would
    // leave a stale red title behind.
    void categoryTitlesAreDistinct()
    {
        std::set<QString> titles;
        for (int k = 1; k <= 5; ++k) {
            auto* button = control<QPushButton>(QStringLiteral("btnClass%1").arg(k));
            QVERIFY(button);
            QVERIFY(!button->text().isEmpty());
            QVERIFY2(titles.insert(button->text()).second, qPrintable(button->text()));
        }
    }

    void hotkeyRadiosFormOneExclusiveGroup()
    {
        auto* none = control<QRadioButton>("radioDisableHotkey");
        auto* builtIn = control<QRadioButton>("radioBuildInHotkey");
        auto* custom = control<QRadioButton>("radioCustomHotkey");
        QVERIFY(none && builtIn && custom);
        QVERIFY(none->isChecked());
        QVERIFY(!builtIn->isChecked());
        QVERIFY(!custom->isChecked());

        QButtonGroup* group = none->group();
        QVERIFY(group);
        QVERIFY(group->exclusive());
        QCOMPARE(builtIn->group(), group);
        QCOMPARE(custom->group(), group);
        QCOMPARE(group->buttons().size(), 3);

        builtIn->setChecked(true);
        QVERIFY(!none->isChecked());
        QVERIFY(!custom->isChecked());
        custom->setChecked(true);
        QVERIFY(!builtIn->isChecked());
        // An exclusive group never lets the last checked radio go.
        custom->setChecked(false);
        QVERIFY(custom->isChecked());
    }

    // The smallest window leaves room on a 1024x576 laptop screen for a title bar and a
    // panel, so the bottom bar never ends up below the screen's edge.
    void smallestWindowFitsASmallScreen()
    {
        board->layout()->activate();
        const QSize smallest = board->minimumSize();
        QVERIFY2(smallest.width() <= 1024 - 24 && smallest.height() <= 576 - 88,
                 qPrintable(QStringLiteral("%1x%2").arg(smallest.width()).arg(smallest.height())));
    }

    // At every size from the smallest the window allows to a large screen, each control
    // lies inside the window, gets at least the room it asks for (nothing is cut), and
    // overlaps no other; the 40 buttons stay in reading order (8 per row) with their
    // hotkey labels right under them, and a long title shows whole lines only.
    void everyControlFitsTheWindow_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("libraryProblem");
        QTest::newRow("smallest allowed") << QSize() << false;
        QTest::newRow("smallest allowed, library problem shown") << QSize() << true;
        QTest::newRow("1024x576") << QSize(1024, 576) << false;
        QTest::newRow("1024x576, library problem shown") << QSize(1024, 576) << true;
        QTest::newRow("1280x720") << QSize(1280, 720) << false;
        QTest::newRow("2560x1440") << QSize(2560, 1440) << false;
    }

    void everyControlFitsTheWindow()
    {
        QFETCH(QSize, size);
        QFETCH(bool, libraryProblem);
        if (libraryProblem) {
            auto* banner = control<QLabel>("lblLibraryProblem");
            QVERIFY(banner);
            banner->setText(QStringLiteral("无法读取音效库 /home/host/.local/share/cueboard/data.sqlite：file is not a "
                                           "database, and a second sentence long enough to need two lines"));
            banner->show();
        }
        const QString longTitle = QStringLiteral("🎉 掌声雷动，全场起立，欢迎我们今天的嘉宾上台 Standing ovation");
        for (int n = 1; n <= 40; ++n)
            control<SoundButton>(QStringLiteral("btnMusic%1").arg(n))->setText(n % 2 ? longTitle : QStringLiteral("笑"));
        for (int n = 1; n <= 40; ++n)
            control<QLabel>(QStringLiteral("lblHotkey%1").arg(n))->setText(QStringLiteral("Num 4"));

        board->layout()->activate();
        if (!size.isValid())
            size = board->minimumSize();
        board->resize(size);
        board->show();
        QVERIFY(QTest::qWaitForWindowExposed(board.get()));
        QCOMPARE(board->size(), size);

        auto rectOf = [this](const QWidget* widget) {
            return QRect(widget->mapTo(board.get(), QPoint(0, 0)), widget->size());
        };
        auto describe = [&](const QWidget* widget) {
            const QRect r = rectOf(widget);
            return QStringLiteral("%1 at %2,%3 %4x%5 (asks for %6x%7) in %8x%9")
                .arg(widget->objectName()).arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height())
                .arg(widget->minimumSizeHint().width()).arg(widget->minimumSizeHint().height())
                .arg(size.width()).arg(size.height());
        };

        QList<QWidget*> shown;
        for (QWidget* widget : formWidgets(board.get())) {
            if (widget->isVisibleTo(board.get()))
                shown.append(widget);
        }
        QVERIFY(shown.size() >= 5 + 5 + 40 + 40 + 7);
        for (int i = 0; i < shown.size(); ++i) {
            QWidget* widget = shown[i];
            const QRect r = rectOf(widget);
            QVERIFY2(board->rect().contains(r), qPrintable(describe(widget) + " is outside the window"));
            const QSize wanted = widget->minimumSizeHint().expandedTo(widget->minimumSize());
            QVERIFY2(r.width() >= wanted.width() && r.height() >= wanted.height(),
                     qPrintable(describe(widget) + " is squeezed"));
            if (widget->hasHeightForWidth())
                QVERIFY2(r.height() >= widget->heightForWidth(r.width()), qPrintable(describe(widget) + " is cut"));
            for (int j = i + 1; j < shown.size(); ++j) {
                QVERIFY2(!r.intersects(rectOf(shown[j])),
                         qPrintable(describe(widget) + " overlaps " + describe(shown[j])));
            }
        }

        for (int n = 1; n <= 40; ++n) {
            auto* button = control<SoundButton>(QStringLiteral("btnMusic%1").arg(n));
            auto* label = control<QLabel>(QStringLiteral("lblHotkey%1").arg(n));
            const QRect buttonRect = rectOf(button);
            const QRect labelRect = rectOf(label);
            const QString where = describe(button);
            QVERIFY2(buttonRect.width() >= 80 && buttonRect.height() >= 40, qPrintable(where));
            QVERIFY2(labelRect.top() >= buttonRect.bottom() && labelRect.top() - buttonRect.bottom() <= 8,
                     qPrintable(where));
            QVERIFY2(qAbs(labelRect.center().x() - buttonRect.center().x()) <= 2, qPrintable(where));
            // Readable at any size: the buttons shrink, their titles do not.
            QVERIFY2(button->font().pointSizeF() >= 12 && label->font().pointSizeF() >= 10, qPrintable(where));

            const QString shownTitle = button->displayedTitle();
            QVERIFY2(!shownTitle.isEmpty(), qPrintable(where));
            const QRect area = titleAreaOf(button);
            const QRect needed = QFontMetrics(button->font()).boundingRect(area, Qt::AlignCenter, shownTitle);
            QVERIFY2(area.contains(needed),
                     qPrintable(where + QStringLiteral(": title \"%1\" needs %2 px of %3")
                                            .arg(shownTitle).arg(needed.height()).arg(area.height())));

            if ((n - 1) % 8 != 0) {  // the left neighbour in the same row
                const QRect left = rectOf(control<QWidget>(QStringLiteral("btnMusic%1").arg(n - 1)));
                QVERIFY2(left.top() == buttonRect.top() && left.right() < buttonRect.left(), qPrintable(where));
            }
            if (n > 8) {  // the button above, and its label between the two
                const QRect above = rectOf(control<QWidget>(QStringLiteral("btnMusic%1").arg(n - 8)));
                const QRect aboveLabel = rectOf(control<QWidget>(QStringLiteral("lblHotkey%1").arg(n - 8)));
                QVERIFY2(above.left() == buttonRect.left() && aboveLabel.bottom() < buttonRect.top(),
                         qPrintable(where));
            }
        }
    }

    // Hosts put emoji in their titles ("🎉 掌声"): each character must come from a font
    // that has it, the emoji from the colour emoji font, not an empty box.
    void emojiTitlesUseTheEmojiFont_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("sound button") << "btnMusic1";
        QTest::newRow("category button") << "btnClass1";
    }

    void emojiTitlesUseTheEmojiFont()
    {
        QFETCH(QString, name);
        const QString emojiFamily = QStringLiteral("Noto Color Emoji");
        if (!QFontDatabase::families().contains(emojiFamily))
            QSKIP("the colour emoji font is not installed (fonts-noto-color-emoji; scripts/install-deps)");
        auto* button = control<QPushButton>(name);
        QVERIFY(button);

        const QString title = QStringLiteral("🎉 掌声");
        QTextLayout layout(title, button->font());
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        auto fontsOf = [&](int from, int length) {
            QStringList families;
            for (const QGlyphRun& run : layout.glyphRuns(from, length))
                families << run.rawFont().familyName();
            return families;
        };
        const QStringList emojiFonts = fontsOf(0, 2);  // one character, two UTF-16 units
        QCOMPARE(emojiFonts, QStringList{emojiFamily});
        for (const QGlyphRun& run : layout.glyphRuns(0, 2)) {
            QVERIFY(run.rawFont().supportsCharacter(QChar::surrogateToUcs4(title[0], title[1])));
            for (quint32 glyph : run.glyphIndexes())
                QVERIFY(glyph != 0);  // 0 is the missing-glyph box
        }
        for (const QGlyphRun& run : layout.glyphRuns(3, 2)) {
            QVERIFY2(run.rawFont().supportsCharacter(title[3]) && run.rawFont().supportsCharacter(title[4]),
                     qPrintable(run.rawFont().familyName()));
            QVERIFY(run.rawFont().familyName() != emojiFamily);
        }
        QVERIFY(!fontsOf(3, 2).isEmpty());
    }
};

QTEST_MAIN(BoardLayoutTest)
#include "BoardLayoutTest.moc"
