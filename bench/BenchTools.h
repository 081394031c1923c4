#pragma once

// Pieces shared by the engine benchmark: thread CPU time, the state of the
// upper vector register halves, and the same patch driven through bare libpd
// calls as a baseline for the engine.
#include <QString>
#include <QtGlobal>
#include <vector>

namespace BenchTools {

constexpr int Rate = 48000;
constexpr int Frames = 256;
constexpr double BudgetUs = 1e6 * Frames / Rate;

double threadCpuNs();

// Whether the upper halves of the vector registers hold data on this thread.
// Dirty halves make every SSE instruction pay for a state transition or a
// merge on x86 CPUs with AVX.
enum class UpperHalves { Clean, Dirty, Unknown };
UpperHalves upperHalvesState();
const char* describe(UpperHalves state);
// A thread that never ran Qt or AVX code: what a plain libpd program has.
void cleanUpperHalves();
// Qt string work of the kind the GUI side does (numbers, arguments, a hash
// of names, a debug line), which leaves the halves dirty on AVX machines.
void runQtStringWork();
// Leaves data in the upper half of one register, as a missing vzeroupper
// would; false on CPUs without AVX.
bool dirtyUpperHalves();

// One voice of the benchmark: voice index from 0 and its frequency in Hz.
struct Note
{
    int voice;
    float frequency;
};

// What the engine sends with every note besides its frequency.
struct VoiceSettings
{
    float macros[8];
    float volume;
    float master;
};

struct RunFigures
{
    bool ok = false;
    double usPerCallback = 0.0; // the lowest round's mean
    UpperHalves stateAtStart = UpperHalves::Unknown;
    quint64 digest = 0; // of the last warm-up callback and the one after the timed ones
    float peak = 0.0f; // of the last warm-up callback
};

// Callback timing: warm-up callbacks, then rounds of timed ones.
constexpr int WarmUpCallbacks = 50;
constexpr int Rounds = 5;
constexpr int CallbacksPerRound = 400;

// Runs `callback(out)` (one 256-frame callback into `out`) on the calling
// thread: warm-up, the timed rounds and one more callback. The vector state
// is read just before the timed rounds.
template<typename Callback>
void timeCallbacks(RunFigures& figures, std::vector<float>& out, Callback callback);

quint64 digestOf(const std::vector<float>& samples);
float peakOf(const std::vector<float>& samples);

// Opens wendle_main.pd in `folder` with libpd and, on a fresh thread with
// clean vector registers, starts the notes as the engine would and times
// libpd_process_float alone.
RunFigures runPlainLibpd(const QString& folder, const std::vector<Note>& notes, const VoiceSettings& settings);

template<typename Callback>
void timeCallbacks(RunFigures& figures, std::vector<float>& out, Callback callback)
{
    out.assign(size_t(Frames) * 2, 0.0f);
    for (int i = 0; i < WarmUpCallbacks; ++i)
        callback(out);
    // Read while every note still sounds: a bell has died away by the end.
    figures.peak = peakOf(out);
    quint64 digest = digestOf(out);
    figures.stateAtStart = upperHalvesState();
    double best = -1.0;
    for (int r = 0; r < Rounds; ++r) {
        const double start = threadCpuNs();
        for (int i = 0; i < CallbacksPerRound; ++i)
            callback(out);
        const double mean = (threadCpuNs() - start) / CallbacksPerRound;
        if (best < 0.0 || mean < best)
            best = mean;
    }
    callback(out);
    figures.usPerCallback = best / 1000.0;
    figures.digest = digest * 1099511628211ull ^ digestOf(out);
    figures.ok = true;
}

} // namespace BenchTools
