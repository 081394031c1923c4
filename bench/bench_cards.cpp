// Prints what the cards cost on the GUI thread, where every transposition
// builds every card again: one card built and laid out, one card painted,
// the first stack's rebuild with 16 and 128 sounding balls, each card
// showing new texts, beside a plain reference (as many bare QFrames with the
// same labels, built anew in the same place), and one spelling. Runs
// offscreen on a lattice page with the real engine offline and the program's
// style sheet. Figures are medians of repeated runs.
#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "NoteSpelling.h"
#include "PageRig.h"
#include "WendleBallWidget.h"
#include "WendleNoteEvent.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

template <typename F, typename Before>
double medianUs(int runs, F&& f, Before&& before)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        before(i);
        QElapsedTimer t;
        t.start();
        f();
        times.push_back(t.nsecsElapsed() / 1000.0);
        // Untimed: the window's event loop runs between two rebuilds too.
        QCoreApplication::processEvents();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

template <typename F>
double medianUs(int runs, F&& f)
{
    return medianUs(runs, f, [](int) {});
}

// What Qt alone costs for the same number of cards: bare frames, each with
// the labels of one card (names, texts, places), built anew under the same
// style sheet in a column of the stack's size.
class ReferenceColumn
{
public:
    explicit ReferenceColumn(const CardStackWidget* stack)
        : mArea(stack->parentWidget())
    {
        mArea.setGeometry(stack->geometry());
        mArea.show();
        for (const CardWidget* card : stack->cards()) {
            Frame frame { card->geometry(), {} };
            for (const QLabel* label : card->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
                frame.labels.append({ label->objectName(), label->text(), label->pos(), !label->isHidden() });
            mFrames.append(frame);
        }
    }

    void rebuild()
    {
        qDeleteAll(mBuilt);
        mBuilt.clear();
        for (const Frame& f : std::as_const(mFrames)) {
            auto frame = new QFrame(&mArea);
            for (const Label& l : f.labels) {
                auto label = new QLabel(frame);
                label->setObjectName(l.name);
                label->setText(l.text);
                label->setVisible(l.shown);
                label->ensurePolished();
                label->adjustSize();
                label->move(l.pos);
            }
            frame->setGeometry(f.geometry);
            frame->show();
            mBuilt.append(frame);
        }
    }

private:
    struct Label
    {
        QString name;
        QString text;
        QPoint pos;
        bool shown;
    };
    struct Frame
    {
        QRect geometry;
        QList<Label> labels;
    };
    QWidget mArea;
    QList<Frame> mFrames;
    QList<QFrame*> mBuilt;
};

void rebuildWith(int sounding)
{
    PageRig rig(1, QSize(1316, 600));
    int posted = 0;
    for (WendleBallWidget* item : rig.items()) {
        if (posted == sounding)
            break;
        const WendleNoteEvent note(TogglePathNote, 1.0f, item->ball()->path, WendleRatio());
        rig.player.guiCommandBuffer().post(&note);
        ++posted;
        // The ring holds 256 commands: run them now and then.
        if (posted % 64 == 0)
            rig.run();
    }
    rig.run();
    CardStackWidget* stack = rig.page.cardStack();
    // Untimed, before each rebuild: every card has other texts to show, as
    // after a change of base frequency and of the cents' decimals. (A
    // transposition would also move balls' ratios off the drawing.)
    const auto change = [&rig](int i) {
        rig.lattice.baseFrequency = i % 2 ? 441.0f : 440.0f;
        rig.settings.centsShowDecimals = i % 2 ? 2 : 1;
    };
    const double us = medianUs(15, [stack] { stack->rebuildCards(); }, change);
    ReferenceColumn reference(stack);
    const double plain = medianUs(15, [&reference] { reference.rebuild(); });
    const qsizetype cards = std::max<qsizetype>(1, stack->cards().size());
    std::printf("rebuildCards, %3d sounding (%3d cards): %9.1f us, %6.1f us a card; reference %9.1f us, ratio %4.2f\n",
                sounding, int(stack->cards().size()), us, us / cards, plain, us / plain);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Cards log a debug line each; the figures are what is wanted here.
    qputenv("QT_LOGGING_RULES", "*.debug=false;*.warning=false");
    QApplication app(argc, argv);
    if (!PageRig::initProcess() || !PageRig::applyStyleSheet()) {
        std::fprintf(stderr, "no libpd or no style sheet\n");
        return 1;
    }

    {
        PageRig rig(1, QSize(1316, 600));
        CardStackTwoWidget* stack = rig.page.cardStackTwo();
        const WendleRatio ratio(1001, 640);
        const double build = medianUs(301, [stack, &ratio] {
            stack->addCard(ratio);
            stack->removeCards(ratio);
        });
        std::printf("one card built, laid out and freed:     %9.1f us\n", build);
        stack->addCard(ratio);
        CardWidget* card = stack->cards().value(ratio);
        const double paint = medianUs(101, [card] { card->grab(); });
        std::printf("one card painted (grab):                %9.1f us\n", paint);
    }

    rebuildWith(16);
    rebuildWith(128);

    SpellingInputs in;
    in.transpositionPath = { 3, -2 };
    const QList<int> steps { 7, -5, 11, 3 };
    const int calls = 20000;
    volatile int sink = 0;
    const double spell = medianUs(9, [&] {
        for (int i = 0; i < calls; ++i)
            sink = sink + NoteSpelling::spellByIntervals(steps, 1234.5f + float(i % 7), in).letter;
    });
    std::printf("one spellByIntervals (6 steps):         %9.3f us\n", spell / calls);
    return 0;
}
