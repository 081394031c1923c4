#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"
#include "RatioContext.h"

#include <QtTest>
#include <memory>

class TestWendleEvent : public QObject
{
    Q_OBJECT

private slots:
    void payloadsAreCopies()
    {
        RatioContext::publishTransposition(Rational(3, 2), Rational(3, 2));
        WendlePath path = WendlePath::fromSteps({ 3, 5, 7, 11, 13, 17 });
        WendleRatio built(path);
        QVERIFY(built.transposedRatio != Rational(0, 1));
        auto event = std::make_unique<WendleNoteEvent>(0, 1.0f, path, built);
        path.dropLast();
        QCOMPARE(event->path.toList(), (QList<int>{ 3, 5, 7, 11, 13, 17 }));
        QCOMPARE(event->ratio, built);
        QCOMPARE(event->ratio.transposedRatio, Rational(0, 1));
        RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));
    }

    // The payload class is found by run-time type tests, so the classes must not be confused.
    void runTimeTypes()
    {
        std::vector<std::unique_ptr<WendleEvent>> events;
        events.push_back(std::make_unique<WendleEvent>(3));
        events.push_back(std::make_unique<WendleNoteEvent>(34, 2.0f, WendlePath(), WendleRatio(5, 4)));
        events.push_back(std::make_unique<WendleNodeRemoveEvent>(35, 1.0f, WendleRatio(7, 4)));
        events.push_back(std::make_unique<WendleTransposeEvent>(36, 1.0f, WendleRatio(3, 2)));
        events.push_back(std::make_unique<WendleNodeSelectToggleEvent>(37, 1.0f, WendleRatio(9, 8)));
        events.push_back(std::make_unique<WendleNodeResetEvent>(38, 0.0f, WendleRatio(11, 8)));
        int notes = 0, removes = 0, transposes = 0, selects = 0, resets = 0;
        for (const auto& e : events) {
            notes += dynamic_cast<const WendleNoteEvent*>(e.get()) != nullptr;
            removes += dynamic_cast<const WendleNodeRemoveEvent*>(e.get()) != nullptr;
            transposes += dynamic_cast<const WendleTransposeEvent*>(e.get()) != nullptr;
            selects += dynamic_cast<const WendleNodeSelectToggleEvent*>(e.get()) != nullptr;
            resets += dynamic_cast<const WendleNodeResetEvent*>(e.get()) != nullptr;
        }
        QCOMPARE(notes + removes + transposes + selects + resets, 5);
        QCOMPARE(notes, 1);
        QCOMPARE(removes, 1);
        QCOMPARE(events[0]->value, 1.0f);
        QCOMPARE(events[1]->type, 34);
        QCOMPARE(events[1]->value, 2.0f);
    }
};

QTEST_APPLESS_MAIN(TestWendleEvent)
#include "tst_wendleevent.moc"
