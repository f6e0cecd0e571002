// The board window as laid out in board.ui: the board finds every control by its
// object name or its integer property "tag", so a renamed, retagged or mistyped
// control breaks it at run time. This checks the contract of the layout itself.

#include "ui_board.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
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
        QCOMPARE(board->windowTitle(), QStringLiteral("Cueboard 音效板"));

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

    // At the smallest size the window allows, the 40 buttons stay a usable size, sit
    // in reading order (8 per row) and each has its hotkey label right under it.
    void gridIsInReadingOrderAtMinimumSize()
    {
        QVERIFY(board->minimumWidth() <= 1000 && board->minimumHeight() <= 620);
        QVERIFY(board->minimumSizeHint().width() <= 1000);
        QVERIFY(board->minimumSizeHint().height() <= 620);
        board->resize(1000, 620);
        board->show();
        QVERIFY(QTest::qWaitForWindowExposed(board.get()));

        auto rectOf = [this](const QString& name) {
            QWidget* widget = board->findChild<QWidget*>(name);
            return widget ? QRect(widget->mapTo(board.get(), QPoint(0, 0)), widget->size()) : QRect();
        };
        const QRect window = board->rect();
        for (int n = 1; n <= 40; ++n) {
            const QRect button = rectOf(QStringLiteral("btnMusic%1").arg(n));
            const QRect label = rectOf(QStringLiteral("lblHotkey%1").arg(n));
            const QString where = QStringLiteral("button %1 at %2,%3 %4x%5")
                                      .arg(n).arg(button.x()).arg(button.y()).arg(button.width()).arg(button.height());
            QVERIFY2(window.contains(button) && window.contains(label), qPrintable(where));
            QVERIFY2(button.width() >= 90 && button.height() >= 50, qPrintable(where));
            QVERIFY2(label.top() >= button.bottom() && label.top() - button.bottom() <= 8, qPrintable(where));
            QVERIFY2(qAbs(label.center().x() - button.center().x()) <= 2, qPrintable(where));

            if ((n - 1) % 8 != 0) {  // the left neighbour in the same row
                const QRect left = rectOf(QStringLiteral("btnMusic%1").arg(n - 1));
                QVERIFY2(left.top() == button.top() && left.right() < button.left(), qPrintable(where));
            }
            if (n > 8) {  // the button above, and its label between the two
                const QRect above = rectOf(QStringLiteral("btnMusic%1").arg(n - 8));
                const QRect aboveLabel = rectOf(QStringLiteral("lblHotkey%1").arg(n - 8));
                QVERIFY2(above.left() == button.left() && aboveLabel.bottom() < button.top(), qPrintable(where));
            }
        }
    }
};

QTEST_MAIN(BoardLayoutTest)
#include "BoardLayoutTest.moc"
