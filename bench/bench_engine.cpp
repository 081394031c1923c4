// Prints what the engine costs: one command from post to dispatch, and the
// audio callback with 1, 16 and 128 voices sounding in the real patches, as
// a share of the real-time budget of 256 frames at 48000 Hz.
#include "EngineCommandType.h"
#include "PatchFolder.h"
#include "PdPlayer.h"
#include "WendleNoteEvent.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <ctime>
#include <vector>

#include "z_libpd.h"

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 256;

double threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    PdPlayer::initLibpd();
    libpd_init_audio(0, 2, kRate);
    PdPlayer player;
    player.createRings();
    std::vector<float> out(kFrames * 2);

    // One command: post into the GUI ring, drain and dispatch (a volume set).
    {
        const WendleEvent volume(MasterVolumeSet, 0.5f);
        const int batch = 200;
        const int rounds = 5000;
        QElapsedTimer clock;
        clock.start();
        for (int r = 0; r < rounds; ++r) {
            for (int i = 0; i < batch; ++i)
                player.guiCommandBuffer().post(&volume);
            player.processCallback(out.data(), 0, true);
            player.deliverReports();
        }
        const double ns = double(clock.nsecsElapsed()) / double(batch * rounds);
        std::printf("command post+drain+dispatch: %.1f ns per command (%d commands)\n", ns, batch * rounds);
    }

    PatchFolder dir(128, QStringLiteral("Sine.pd"));
    if (!dir.isValid()) {
        std::printf("patches not found under %s\n", qPrintable(PatchFolder::patchesDir()));
        return 1;
    }
    if (!player.loadPendingPatch(dir.path(), QStringLiteral("wendle_main.pd"))) {
        std::printf("the main patch did not open\n");
        return 1;
    }
    const double budgetNs = double(kFrames) / kRate * 1e9;
    int sounding = 0;
    for (int target : { 1, 16, 128 }) {
        for (; sounding < target; ++sounding) {
            // Distinct ratios across the audible range: steps of 17/16 and 19/16 around 1/1.
            WendlePath path;
            path.append(qint8(sounding % 2 ? 17 : -17));
            path.append(qint8((sounding / 2) % 2 ? 19 : -19));
            path.append(qint8((sounding / 4) % 2 ? 23 : -23));
            path.append(qint8((sounding / 8) % 2 ? 29 : -29));
            path.append(qint8((sounding / 16) % 2 ? 31 : -31));
            path.append(qint8(sounding / 32 == 0 ? 3 : sounding / 32 == 1 ? -3 : sounding / 32 == 2 ? 5 : -5));
            const WendleNoteEvent note(TogglePathNote, 1.0f, path, WendleRatio());
            player.guiCommandBuffer().post(&note);
        }
        // Let the notes start, then measure steady callbacks.
        for (int i = 0; i < 50; ++i)
            player.processCallback(out.data(), kFrames, false);
        player.deliverReports();
        const int callbacks = 2000;
        const double start = threadCpuNs();
        for (int i = 0; i < callbacks; ++i)
            player.processCallback(out.data(), kFrames, false);
        const double perCallback = (threadCpuNs() - start) / callbacks;
        std::printf("callback with %3d voices sounding: %8.1f us CPU, %5.1f %% of the %.0f us budget\n", target,
                    perCallback / 1000.0, 100.0 * perCallback / budgetNs, budgetNs / 1000.0);
    }
    player.unloadPatch();
    return 0;
}
