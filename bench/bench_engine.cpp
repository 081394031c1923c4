// Prints what the engine costs: one command from post to dispatch; the audio
// callback on a thread of its own, as the audio thread runs it, beside the
// same patch and notes driven through bare libpd calls; and the callback in
// which a posted note is first heard.
#include "BenchTools.h"
#include "EngineCommandType.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "WendleNoteEvent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <thread>
#include <vector>

#include "z_libpd.h"

using namespace BenchTools;

namespace {

constexpr double MaxEngineOverPlain = 1.30;
constexpr double MaxSinePercent = 15.0;
constexpr double MaxVoicePatchPercent = 30.0;

// Warnings and debug lines of the engine would drown the figures.
void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

void commandFigure()
{
    PdPlayer player;
    player.createRings();
    std::vector<float> none(2);
    const WendleEvent volume(MasterVolumeSet, 0.5f);
    const int batch = 200;
    const int rounds = 5000;
    QElapsedTimer clock;
    clock.start();
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < batch; ++i)
            player.guiCommandBuffer().post(&volume);
        player.processCallback(none.data(), 0, true);
        player.deliverReports();
    }
    const double ns = double(clock.nsecsElapsed()) / double(batch * rounds);
    std::printf("command post+drain+dispatch: %.1f ns per command (%d commands)\n", ns, batch * rounds);
}

// Distinct ratios from 1/1 upwards, 64 to an octave.
WendleRatio ratioOfNote(int i)
{
    return WendleRatio(quint64(64 + i), 64);
}

// A player with the 128-voice main patch and `voicePatch` open, as after a load.
struct OpenPlayer
{
    explicit OpenPlayer(const QString& voicePatch)
        : folder(128, voicePatch)
    {
        opened = folder.isValid() && player.createRings()
            && player.loadPendingPatch(folder.path(), QStringLiteral("wendle_main.pd"));
        if (opened) {
            const WendleEvent master(MasterVolumeSet, player.masterVolume());
            player.guiCommandBuffer().post(&master);
        }
    }
    ~OpenPlayer()
    {
        if (player.hasPatch())
            player.unloadPatch();
        player.deliverReports();
    }

    PatchFolder folder;
    PdPlayer player;
    bool opened = false;
};

// The engine's callbacks on a new thread that first does Qt string work; the
// upper vector halves are also set by hand before every callback, as any
// code between two callbacks of a real audio thread might leave them.
RunFigures runEngine(PdPlayer& player, UpperHalves& afterQtWork)
{
    RunFigures figures;
    std::thread audio([&] {
        cleanUpperHalves();
        runQtStringWork();
        afterQtWork = upperHalvesState();
        std::vector<float> out;
        const auto callback = [&player](std::vector<float>& o) {
            dirtyUpperHalves();
            player.processCallback(o.data(), Frames, false);
        };
        timeCallbacks(figures, out, callback);
    });
    audio.join();
    return figures;
}

struct Case
{
    int notes;
    const char* voicePatch;
    double maxPercent; // 0: no budget target
};

bool measureCase(const Case& c)
{
    std::vector<Note> notes;
    VoiceSettings settings {};
    RunFigures engine;
    UpperHalves afterQtWork = UpperHalves::Unknown;
    {
        OpenPlayer open { QString::fromLatin1(c.voicePatch) };
        if (!open.opened) {
            std::printf("%s: the main patch did not open (patches under %s)\n", c.voicePatch,
                        qPrintable(PatchFolder::patchesDir()));
            return false;
        }
        PdPlayer& player = open.player;
        for (int i = 0; i < c.notes; ++i) {
            const WendleRatio r = ratioOfNote(i);
            const WendleNoteEvent note(ToggleRatioNote, 1.0f, WendlePath(), r);
            player.guiCommandBuffer().post(&note);
            // The engine's own frequency arithmetic, so both runs play the same floats.
            notes.push_back({ i, float(r.numerator()) / float(r.denominator()) * player.baseFrequency() });
        }
        for (int m = 0; m < 8; ++m)
            settings.macros[m] = player.macro(m + 1);
        settings.volume = player.voiceVolume();
        settings.master = player.masterVolume();
        engine = runEngine(player, afterQtWork);
    }
    PatchFolder folder(128, QString::fromLatin1(c.voicePatch));
    const RunFigures plain = runPlainLibpd(folder.path(), notes, settings);
    if (!engine.ok || !plain.ok) {
        std::printf("%s: a run failed\n", c.voicePatch);
        return false;
    }
    const double percent = 100.0 * engine.usPerCallback / BudgetUs;
    const double ratio = engine.usPerCallback / plain.usPerCallback;
    const bool met = ratio <= MaxEngineOverPlain && (c.maxPercent <= 0.0 || percent <= c.maxPercent);
    QString patchName = QString::fromLatin1(c.voicePatch);
    patchName.chop(3);
    std::printf("%6d  %-6s %10.1f %9.1f %9.1f %9.2f   %-4s  %-7s %-7s  %s\n", c.notes, qPrintable(patchName),
                engine.usPerCallback, percent, plain.usPerCallback, ratio, engine.digest == plain.digest ? "yes" : "NO",
                describe(afterQtWork), describe(plain.stateAtStart), met ? "met" : "MISSED");
    if (engine.peak == 0.0f)
        std::printf("        the engine played silence: the notes did not sound\n");
    return met;
}

// A note posted just before callback k: the callback (relative to k) and the
// frame of its first non-zero sample.
void latencyFigures()
{
    OpenPlayer open { QStringLiteral("Sine.pd") };
    if (!open.opened)
        return;
    PdPlayer& player = open.player;
    std::vector<float> out(size_t(Frames) * 2);
    const auto callback = [&] { player.processCallback(out.data(), Frames, false); };
    // Until the output has stayed exactly silent for a while (or 3 s passed).
    const auto settle = [&] {
        for (int i = 0, silent = 0; i < 600 && silent < 20; ++i) {
            callback();
            silent = peakOf(out) == 0.0f ? silent + 1 : 0;
        }
        return peakOf(out) == 0.0f;
    };
    settle();
    std::printf("\nnote latency (128-voice main patch, Sine; note posted into the GUI ring just before callback k):\n");
    const WendleNoteEvent notes[] = {
        WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(1, 1)),
        WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(7, 4)),
        WendleNoteEvent(TogglePathNote, 1.0f, WendlePath::fromSteps({ 3 }), WendleRatio()),
        WendleNoteEvent(TogglePathNote, 1.0f, WendlePath::fromSteps({ -2, 5 }), WendleRatio()),
        WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), WendleRatio(15, 8)),
    };
    for (const WendleNoteEvent& note : notes) {
        const QString name = note.type == TogglePathNote ? QStringLiteral("path %1 (type 0)").arg(note.path.toString())
                                                         : QStringLiteral("ratio %1 (type 34)").arg(note.ratio.toString());
        player.guiCommandBuffer().post(&note);
        int at = -1;
        int frame = -1;
        for (int k = 0; k < 40 && at < 0; ++k) {
            callback();
            for (int f = 0; f < Frames && at < 0; ++f) {
                if (out[size_t(f) * 2] != 0.0f || out[size_t(f) * 2 + 1] != 0.0f) {
                    at = k;
                    frame = f;
                }
            }
        }
        if (at < 0)
            std::printf("  %-24s silent for 40 callbacks\n", qPrintable(name));
        else
            std::printf("  %-24s first non-zero sample in callback k+%d, frame %d\n", qPrintable(name), at, frame);
        // The same toggle releases it; wait for the release to end in exact zeros.
        player.guiCommandBuffer().post(&note);
        if (!settle())
            std::printf("  %-24s did not fall silent after its release\n", "");
        player.deliverReports();
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(quietHandler);
    PdPlayer::initLibpd();
    libpd_init_audio(0, 2, Rate);

    commandFigure();

    std::printf("\ncallback of %d frames at %d Hz, budget %.0f us; thread CPU time, lowest mean of %d rounds of %d "
                "callbacks after %d warm-up ones\n",
                Frames, Rate, BudgetUs, Rounds, CallbacksPerRound, WarmUpCallbacks);
    std::printf("engine: PdPlayer::processCallback on a thread of its own that ran Qt string work first; upper vector "
                "halves set again before every callback (x86 with AVX)\n");
    std::printf("plain: the same main and voice patch, notes and settings through bare libpd calls on a fresh thread "
                "with clean vector registers\n");
    std::printf("same: engine and plain output bit for bit equal; vector state: upper halves after the Qt work "
                "(engine) and at the start of timing (plain)\n");
    std::printf("targets: engine at most %.0f %% over plain libpd; 128 Sine voices at most %.0f %% of the budget; "
                "128 voices of each voice patch at most %.0f %%\n",
                100.0 * (MaxEngineOverPlain - 1.0), MaxSinePercent, MaxVoicePatchPercent);
    std::printf("voices  patch   engine us  %% budget  plain us  eng/plain  same  vector state     targets\n");
    std::printf("%58s engine  plain\n", "");
    const Case cases[] = {
        { 1, "Sine.pd", 0.0 },
        { 16, "Sine.pd", 0.0 },
        { 128, "Sine.pd", MaxSinePercent },
        { 128, "Saw.pd", MaxVoicePatchPercent },
        { 128, "Bell.pd", MaxVoicePatchPercent },
        { 128, "Organ.pd", MaxVoicePatchPercent },
    };
    bool allMet = true;
    for (const Case& c : cases)
        allMet = measureCase(c) && allMet;
    std::printf("all targets %s\n", allMet ? "met" : "NOT met");

    latencyFigures();
    return 0;
}
