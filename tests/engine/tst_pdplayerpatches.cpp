#include "EngineCommandType.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "SignalLog.h"
#include "SignalMeasure.h"
#include "WendleNoteEvent.h"
#include "WendleNodeSelectToggleEvent.h"

#include <QSignalSpy>
#include <QtTest>
#include <cmath>

#include "z_libpd.h"

using namespace SignalMeasure;

namespace {

QStringList gPrints;
QtMessageHandler gPrevious = nullptr;

// Everything Pd prints reaches the log through the player's print hook.
void capture(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.startsWith(QLatin1String("libPD:")))
        gPrints.append(text);
    if (type != QtDebugMsg && gPrevious)
        gPrevious(type, context, text);
}

bool printedErrors()
{
    for (const QString& line : std::as_const(gPrints)) {
        if (line.contains(QLatin1String("couldn't create")) || line.contains(QLatin1String("error"))
            || line.contains(QLatin1String("no such object")))
            return true;
    }
    return false;
}

std::vector<float> render(PdPlayer& player, double seconds, int rate, bool silenced = false)
{
    const int frames = 256;
    const int callbacks = int(seconds * rate / frames);
    std::vector<float> out(size_t(callbacks) * frames * 2);
    for (int i = 0; i < callbacks; ++i)
        player.processCallback(out.data() + size_t(i) * frames * 2, frames, silenced);
    player.deliverReports();
    return out;
}

void post(PdPlayer& player, const WendleEvent& event)
{
    player.guiCommandBuffer().post(&event);
}

void toggle(PdPlayer& player, const WendleRatio& r, float value = 1.0f)
{
    post(player, WendleNoteEvent(ToggleRatioNote, value, WendlePath(), r));
}

// One player with a patch folder; the patch opens at construction, as after a
// load, and closes with the session.
struct Session
{
    // Without `openNow` the test opens it, to watch what the open reports.
    Session(int voices, const QString& voicePatch, int maxVoices = PdPlayer::MaxVoices, bool openNow = true)
        : folder(voices, voicePatch)
    {
        player.setMaxVoices(maxVoices);
        opened = player.createRings() && (!openNow || open());
    }
    ~Session()
    {
        if (player.hasPatch())
            player.unloadPatch();
    }

    bool open()
    {
        gPrints.clear();
        if (!folder.isValid() || !player.loadPendingPatch(folder.path(), QStringLiteral("wendle_main.pd")))
            return false;
        // After a load the GUI resends the master volume; the patch starts silent.
        post(player, WendleEvent(MasterVolumeSet, player.masterVolume()));
        return true;
    }

    PdPlayer player;
    PatchFolder folder;
    bool opened = false;
};

} // namespace

// The engine with the program's own patches, run offline.
class TestPdPlayerPatches : public QObject
{
    Q_OBJECT

    int mRate = 48000;

    void setRate(int rate)
    {
        mRate = rate;
        libpd_init_audio(0, 2, rate);
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<WendleRatio>("WendleRatio");
        gPrevious = qInstallMessageHandler(capture);
        QVERIFY(PdPlayer::initLibpd());
        setRate(48000);
    }

    void cleanupTestCase() { qInstallMessageHandler(gPrevious); }

    void everyMainPatchOpens_data()
    {
        QTest::addColumn<int>("voices");
        QTest::addColumn<QString>("voicePatch");
        for (int v : { 4, 8, 12, 16, 24, 32, 48, 64, 96, 128 })
            QTest::newRow(qPrintable(QStringLiteral("%1 Sine").arg(v))) << v << "Sine.pd";
        const QStringList voicePatches = QDir(PatchFolder::patchesDir()).entryList(QDir::Files);
        QVERIFY(voicePatches.size() >= 3);
        for (const QString& p : voicePatches)
            QTest::newRow(qPrintable(QStringLiteral("128 %1").arg(p))) << 128 << p;
    }

    void everyMainPatchOpens()
    {
        QFETCH(int, voices);
        QFETCH(QString, voicePatch);
        Session session(voices, voicePatch, PdPlayer::MaxVoices, false);
        PdPlayer& player = session.player;
        QSignalSpy names(&player, &PdPlayer::macroNamesReceived);
        QSignalSpy defaults(&player, &PdPlayer::macroDefaultsReceived);
        QVERIFY(session.opened && session.open());
        render(player, 0.1, mRate);
        QVERIFY2(!printedErrors(), qPrintable(gPrints.join('\n')));
        // One answer to the macro query, whatever the number of voices.
        QCOMPARE(names.count(), 1);
        QCOMPARE(defaults.count(), 1);
        const QStringList macroNames = names.first().first().toStringList();
        const QList<float> macroDefaults = defaults.first().first().value<QList<float>>();
        QVERIFY(!macroNames.isEmpty() && macroNames.size() <= 8);
        QCOMPARE(macroDefaults.size(), macroNames.size());
        for (int m = 0; m < macroDefaults.size(); ++m) {
            QVERIFY(!macroNames[m].contains('(') && !macroNames[m].isEmpty());
            QVERIFY(macroDefaults[m] >= 0.0f && macroDefaults[m] <= 1.0f);
            QCOMPARE(player.macro(m + 1), macroDefaults[m]);
        }
        // An idle patch is silent: no DC, no noise.
        const std::vector<float> idle = render(player, 0.2, mRate);
        QVERIFY(peak(idle) < 1e-6);
        player.unloadPatch();
        QVERIFY(!player.hasPatch());
    }

    void pathSoundsItsFrequency_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<double>("expected");
        for (int rate : { 44100, 48000 }) {
            QTest::newRow(qPrintable(QStringLiteral("%1 /3").arg(rate))) << rate << QList<int>{ 3 } << 660.0;
            QTest::newRow(qPrintable(QStringLiteral("%1 /-2/5").arg(rate))) << rate << QList<int>{ -2, 5 } << 275.0;
            QTest::newRow(qPrintable(QStringLiteral("%1 /7/11").arg(rate))) << rate << QList<int>{ 7, 11 } << 1058.75;
        }
    }

    void pathSoundsItsFrequency()
    {
        QFETCH(int, rate);
        QFETCH(QList<int>, steps);
        QFETCH(double, expected);
        setRate(rate);
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        WendlePath path;
        for (int s : steps)
            path.append(qint8(s));
        post(player, WendleNoteEvent(TogglePathNote, 1.0f, path, WendleRatio()));
        render(player, 0.2, rate);
        const std::vector<float> tone = render(player, 1.0, rate);
        const double f = zeroCrossingFrequency(tone, rate);
        QVERIFY2(std::fabs(centsBetween(f, expected)) <= 0.1, qPrintable(QStringLiteral("measured %1 Hz, %2 cents off").arg(f, 0, 'f', 4).arg(centsBetween(f, expected), 0, 'f', 4)));
        QVERIFY(peak(tone) > 0.01 && peak(tone) <= 1.0);
        player.unloadPatch();
        setRate(48000);
    }

    // The saw's two detuned phasors lie evenly around the note in cents, so
    // the note itself stays exact; without detune they are one partial.
    void sawPairCentredOnTheNote_data()
    {
        QTest::addColumn<float>("detune");
        QTest::addColumn<double>("offset");
        // Below 0: the patch's own default.
        QTest::newRow("default macros") << -1.0f << 2.0;
        QTest::newRow("detune 1") << 1.0f << 10.0;
        QTest::newRow("detune 0") << 0.0f << 0.0;
    }

    void sawPairCentredOnTheNote()
    {
        QFETCH(float, detune);
        QFETCH(double, offset);
        Session session(8, QStringLiteral("Saw.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        if (detune >= 0.0f)
            post(player, WendleEvent(SetMacro4, detune));
        toggle(player, WendleRatio(3, 2));
        render(player, 0.5, mRate);
        // Eight seconds part partials 1.5 Hz apart by a dozen bins.
        const std::vector<float> tone = render(player, 8.0, mRate);
        const std::vector<double> found = partialsNear(tone, mRate, 660.0, 30.0);
        QStringList cents;
        for (double f : found)
            cents.append(QString::number(centsBetween(f, 660.0), 'f', 4));
        const QString report = QStringLiteral("partials at %1 cents from 660 Hz").arg(cents.join(QLatin1String(", ")));
        QVERIFY2(found.size() == (offset > 0.0 ? 2u : 1u), qPrintable(report));
        QVERIFY2(std::fabs(centsBetween(found.front(), 660.0) + offset) <= 0.1, qPrintable(report));
        QVERIFY2(std::fabs(centsBetween(found.back(), 660.0) - offset) <= 0.1, qPrintable(report));
    }

    void chordSoundsEachFrequency()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        for (const WendleRatio& r : { WendleRatio(1, 1), WendleRatio(5, 4), WendleRatio(3, 2) })
            toggle(player, r);
        render(player, 0.2, mRate);
        const std::vector<float> chord = render(player, 1.0, mRate);
        for (double f : { 440.0, 550.0, 660.0 })
            QVERIFY2(relativePowerAt(chord, mRate, f) > 0.05, qPrintable(QString::number(f)));
        for (double f : { 495.0, 605.0, 733.3 })
            QVERIFY2(relativePowerAt(chord, mRate, f) < 0.005, qPrintable(QString::number(f)));
        QCOMPARE(player.getAllSoundingRatios().size(), 3);
    }

    // With four voices a fifth note takes the oldest one, whose pitch stops.
    void stealingInTheRealPatch()
    {
        Session session(4, QStringLiteral("Sine.pd"), 4);
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        SignalLog log(&player, { "noteToggled" });
        const QList<WendleRatio> notes { WendleRatio(1, 1), WendleRatio(9, 8), WendleRatio(5, 4), WendleRatio(3, 2), WendleRatio(7, 4) };
        for (const WendleRatio& r : notes) {
            toggle(player, r);
            render(player, 0.05, mRate);
        }
        render(player, 0.5, mRate);
        const std::vector<float> out = render(player, 1.0, mRate);
        QVERIFY(relativePowerAt(out, mRate, 440.0) < 0.005);
        for (double f : { 495.0, 550.0, 660.0, 770.0 })
            QVERIFY2(relativePowerAt(out, mRate, f) > 0.03, qPrintable(QString::number(f)));
        // The stolen note's off comes before the new note's on.
        QCOMPARE(log.take(), (QStringList{ "noteToggled(1/1,true)", "noteToggled(9/8,true)", "noteToggled(5/4,true)", "noteToggled(3/2,true)",
                                           "noteToggled(1/1,false)", "noteToggled(7/4,true)" }));
    }

    void monophonicKeepsTheLastNote()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        post(player, WendleEvent(SetMonophonic, 1.0f));
        toggle(player, WendleRatio(1, 1));
        render(player, 0.1, mRate);
        toggle(player, WendleRatio(3, 2));
        render(player, 1.0, mRate);
        const std::vector<float> out = render(player, 1.0, mRate);
        QCOMPARE(player.getAllSoundingRatios(), QList<WendleRatio>{ WendleRatio(3, 2) });
        QVERIFY(relativePowerAt(out, mRate, 440.0) < 0.005);
        QVERIFY(relativePowerAt(out, mRate, 660.0) > 0.2);
        // The released voice was reported stopped by the patch and is free again.
        QCOMPARE(player.voiceAt(0).seqId, 0u);
    }

    void holdKeepsNotesUntilForced()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        toggle(player, WendleRatio(1, 1));
        toggle(player, WendleRatio(3, 2));
        post(player, WendleEvent(SetHold, 1.0f));
        post(player, WendleEvent(AllNotesOffExceptHeld, 1.0f));
        toggle(player, WendleRatio(3, 2), 1.0f);
        render(player, 0.5, mRate);
        QCOMPARE(player.getAllSoundingRatios().size(), 2);
        toggle(player, WendleRatio(3, 2), 2.0f);
        render(player, 1.0, mRate);
        const std::vector<float> out = render(player, 0.5, mRate);
        QCOMPARE(player.getAllSoundingRatios(), QList<WendleRatio>{ WendleRatio(1, 1) });
        QVERIFY(relativePowerAt(out, mRate, 660.0) < 0.005);
        QVERIFY(relativePowerAt(out, mRate, 440.0) > 0.2);
    }

    // Gliss moves only the selected node's voice.
    void glissRetunesSelectedVoicesOnly()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        player.setGlissRanges(1200.0f, 100.0f);
        toggle(player, WendleRatio(1, 1));
        toggle(player, WendleRatio(3, 2));
        post(player, WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, WendleRatio(3, 2)));
        post(player, WendleEvent(SetGlissOne, 1.0f));
        render(player, 0.3, mRate);
        const std::vector<float> out = render(player, 1.0, mRate);
        QVERIFY(relativePowerAt(out, mRate, 1320.0) > 0.1);
        QVERIFY(relativePowerAt(out, mRate, 660.0) < 0.005);
        QVERIFY(relativePowerAt(out, mRate, 440.0) > 0.1);
        QVERIFY(relativePowerAt(out, mRate, 880.0) < 0.005);
    }

    void reloadBringsBackNotesAndSelection()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        for (const WendleRatio& r : { WendleRatio(1, 1), WendleRatio(5, 4), WendleRatio(3, 2) })
            toggle(player, r);
        post(player, WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, WendleRatio(5, 4)));
        render(player, 0.2, mRate);
        player.unloadPatch();
        QVERIFY(player.getAllSoundingRatios().isEmpty());
        QVERIFY(player.selection().isEmpty());
        QVERIFY(session.folder.setVoicePatch(QStringLiteral("Organ.pd")));
        QVERIFY(session.open());
        render(player, 0.3, mRate);
        QCOMPARE(player.getAllSoundingRatios().size(), 3);
        QCOMPARE(player.selection(), QList<WendleRatio>{ WendleRatio(5, 4) });
        const std::vector<float> out = render(player, 1.0, mRate);
        for (double f : { 440.0, 550.0, 660.0 })
            QVERIFY2(relativePowerAt(out, mRate, f) > 0.01, qPrintable(QString::number(f)));
    }

    void mutedOutputIsSilentWhileCommandsRun()
    {
        Session session(8, QStringLiteral("Sine.pd"));
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        toggle(player, WendleRatio(1, 1));
        post(player, WendleEvent(MasterVolumeSet, 0.5f));
        const std::vector<float> muted = render(player, 0.5, mRate, true);
        QCOMPARE(peak(muted), 0.0);
        QCOMPARE(player.masterVolume(), 0.5f);
        QCOMPARE(player.getAllSoundingRatios().size(), 1);
        const std::vector<float> heard = render(player, 0.5, mRate);
        QVERIFY(peak(heard) > 0.01);
        player.unloadPatch();
        const std::vector<float> closed = render(player, 0.2, mRate);
        QCOMPARE(peak(closed), 0.0);
    }

    // Every voice at full volume with extreme macros stays within ±1.
    void headroomWithEveryVoice_data()
    {
        QTest::addColumn<QString>("voicePatch");
        QTest::addColumn<float>("macroValue");
        for (const QString& p : QDir(PatchFolder::patchesDir()).entryList(QDir::Files)) {
            QTest::newRow(qPrintable(p + " low")) << p << 0.0f;
            QTest::newRow(qPrintable(p + " high")) << p << 1.0f;
        }
    }

    void headroomWithEveryVoice()
    {
        QFETCH(QString, voicePatch);
        QFETCH(float, macroValue);
        Session session(128, voicePatch);
        QVERIFY(session.opened);
        PdPlayer& player = session.player;
        for (int m = 0; m < 8; ++m)
            post(player, WendleEvent(SetMacro1 + m, macroValue));
        post(player, WendleEvent(VoiceVolumeSet, 1.0f));
        post(player, WendleEvent(MasterVolumeSet, 1.0f));
        render(player, 0.01, mRate);
        // 128 ratios spread over the range, all in phase at the start.
        for (int i = 0; i < 128; ++i) {
            toggle(player, WendleRatio(quint64(64 + i), 64));
            if (i % 32 == 31)
                render(player, 0.01, mRate);
        }
        const std::vector<float> out = render(player, 1.5, mRate);
        QCOMPARE(player.getAllSoundingRatios().size(), 128);
        QVERIFY2(peak(out) <= 1.0, qPrintable(QString::number(peak(out))));
        QVERIFY(rms(out) > 0.001);
    }
};

QTEST_GUILESS_MAIN(TestPdPlayerPatches)
#include "tst_pdplayerpatches.moc"
