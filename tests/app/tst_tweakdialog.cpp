// The tweak window on the real window and engine, offline: its rows write the
// drawing's constants, and "Update" draws both pages again from the lattice
// file without losing what the lattice shows.
#include "CardStackWidget.h"
#include "EngineCommandType.h"
#include "TweakConstants.h"
#include "TweakDialog.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleBallWidget.h"
#include "WendleLayer.h"
#include "WendleNoteEvent.h"
#include "WendleView.h"
#include "WendleWidget.h"
#include "WindowRig.h"

#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

class TestTweakDialog : public QObject
{
    Q_OBJECT

    WindowRig rig;
    WendlePath mHeldPath;

    static Wendle& lattice() { return WindowRig::app()->lattice(); }
    TweakDialog* dialog() const { return rig.window->tweakDialog(); }
    QPushButton* updateButton() const { return dialog()->findChild<QPushButton*>(); }

    // Every item of the page draws a ball of the lattice's tree as it is now;
    // the held ball is lit and has one card, prime 5's balls are hidden.
    void checkPage(WendleLayer* page) const
    {
        QSet<const WendleBall*> tree;
        for (QList<WendleBall*> next { lattice().root }; !next.isEmpty();) {
            tree << next.first();
            next << next.takeFirst()->children.values();
        }
        const WendleWidget* drawing = page->view()->rootGroup();
        QVERIFY(drawing);
        int held = 0, fives = 0;
        for (const WendleBallWidget* item : drawing->ballWidgets) {
            const WendleBall* ball = item->ball();
            QVERIFY(ball && tree.contains(ball));
            if (ball->path == mHeldPath) {
                ++held;
                QVERIFY(ball->playing && ball->hold && item->parts().glow->isVisible() && item->parts().holdDot->isVisible());
            }
            if (!ball->path.isEmpty() && std::abs(ball->path.steps[ball->path.size() - 1]) == 5) {
                ++fives;
                QVERIFY(!ball->enabled && !item->isVisible());
            }
        }
        QVERIFY(held >= 1 && fives > 0);
        QCOMPARE(page->cardStack()->cards().size(), 1);
        QCOMPARE(page->cardStack()->cards().begin().key()->ball()->path, mHeldPath);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WindowRig::prepare());
        QVERIFY(rig.open());
        mHeldPath.fromText(QStringLiteral("/3"));
        WindowRig::sound("3/2");
        WindowRig::post(WendleEvent(SetHold, 1.0f));
        WindowRig::post(WendleEvent(TogglePrime, 5.0f));
        QVERIFY(!WindowRig::app()->engine().primeEnabled(5));
    }

    void cleanupTestCase()
    {
        for (const TweakConstant& t : tweakConstants())
            *t.value = t.initial;
        rig.window.reset();
        WindowRig::finish();
    }

    void extremes_data()
    {
        QTest::addColumn<int>("value");
        QTest::newRow("0") << 0;
        QTest::newRow("-1000") << -1000;
        QTest::newRow("1000") << 1000;
    }

    // Each row writes its own constant; Update on either page redraws both
    // from the new tree with the lattice's marks, and releases what is not held.
    void extremes()
    {
        QFETCH(int, value);
        const QList<QSpinBox*> spins = dialog()->findChildren<QSpinBox*>();
        QCOMPARE(spins.size(), int(tweakConstants().size()));
        for (int i = 0; i < spins.size(); ++i) {
            spins[i]->setValue(value + i);
            QCOMPARE(*tweakConstants()[size_t(i)].value, std::clamp(value + i, -1000, 1000));
        }
        for (QSpinBox* spin : spins)
            spin->setValue(value);
        for (const char* page : { "circles", "grapes" }) {
            rig.window->onSwitcherClicked(page);
            WindowRig::post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(7, 4)));
            const WendleBall* before = lattice().root;
            updateButton()->click();
            WindowRig::run();
            QVERIFY(lattice().root != before);
            QCOMPARE(WindowRig::sounding(), QString("3/2"));
            checkPage(rig.window->page(0));
            checkPage(rig.window->page(1));
        }
    }

    // A click that arrives while an update processes events waits for no second update.
    void clickDuringUpdate()
    {
        QSignalSpy reloads(&lattice(), &Wendle::resetNodeStack);
        QMetaObject::invokeMethod(updateButton(), "click", Qt::QueuedConnection);
        updateButton()->click();
        QCoreApplication::processEvents();
        QCOMPARE(reloads.size(), 1);
        checkPage(rig.window->page(0));
        checkPage(rig.window->page(1));
    }

    // A lattice file that no longer parses leaves the tree as it is, drawn anew.
    void unreadableFile()
    {
        QFile file(lattice().filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray good = file.readAll();
        file.close();
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{ \"root\": ");
        file.close();
        const WendleBall* before = lattice().root;
        const WendleWidget* drawing = rig.window->page(1)->view()->rootGroup();
        updateButton()->click();
        QCOMPARE(lattice().root, before);
        QVERIFY(rig.window->page(1)->view()->rootGroup() != drawing);
        checkPage(rig.window->page(0));
        checkPage(rig.window->page(1));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(good) == good.size());
    }
};

WINDOW_TEST_MAIN(TestTweakDialog)
#include "tst_tweakdialog.moc"
