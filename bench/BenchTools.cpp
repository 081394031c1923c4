#include "BenchTools.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define BENCH_X86 1
#endif

#include "z_libpd.h"

namespace BenchTools {

double threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

#ifdef BENCH_X86
namespace {

bool hasAvx()
{
    return __builtin_cpu_supports("avx");
}

// XGETBV with ECX = 1 reads which state components are in use.
bool canReadStateInUse()
{
    unsigned a, b, c, d;
    if (!hasAvx() || !__get_cpuid_count(0xD, 1, &a, &b, &c, &d))
        return false;
    return (a & (1u << 2)) != 0;
}

} // namespace

UpperHalves upperHalvesState()
{
    if (!canReadStateInUse())
        return UpperHalves::Unknown;
    unsigned lo, hi;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    // Bit 2: upper halves of ymm0-15; bit 6: upper halves of zmm0-15. Bit 7
    // (zmm16-31) cannot slow SSE code, which never names those registers.
    return (lo & ((1u << 2) | (1u << 6))) ? UpperHalves::Dirty : UpperHalves::Clean;
}

void cleanUpperHalves()
{
    if (hasAvx())
        asm volatile("vzeroupper" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8",
                     "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

bool dirtyUpperHalves()
{
    if (!hasAvx())
        return false;
    // All ones in ymm15, left there without a vzeroupper.
    asm volatile("vcmpps $15, %%ymm15, %%ymm15, %%ymm15" ::: "xmm15");
    return true;
}
#else
UpperHalves upperHalvesState()
{
    return UpperHalves::Unknown;
}
void cleanUpperHalves() {}
bool dirtyUpperHalves()
{
    return false;
}
#endif

const char* describe(UpperHalves state)
{
    switch (state) {
    case UpperHalves::Clean: return "clean";
    case UpperHalves::Dirty: return "dirty";
    case UpperHalves::Unknown: break;
    }
    return "unknown";
}

void runQtStringWork()
{
    QHash<QString, int> names;
    QString line;
    for (int i = 0; i < 200; ++i) {
        const QString name = QStringLiteral("voice %1 at %2 Hz").arg(i % 37).arg(QString::number(440.0 * (1.0 + i / 64.0), 'f', 3));
        names[name] += 1;
        line += name.left(8);
    }
    qDebug().noquote() << QStringLiteral("%1 names, %2 characters").arg(names.size()).arg(line.size());
}

quint64 digestOf(const std::vector<float>& samples)
{
    quint64 h = 1469598103934665603ull;
    for (float s : samples) {
        quint32 bits;
        std::memcpy(&bits, &s, sizeof bits);
        h = (h ^ bits) * 1099511628211ull;
    }
    return h;
}

float peakOf(const std::vector<float>& samples)
{
    float peak = 0.0f;
    for (float s : samples)
        peak = std::max(peak, std::fabs(s));
    return peak;
}

namespace {

void sendList(const char* receiver, std::initializer_list<float> values)
{
    libpd_start_message(int(values.size()));
    for (float v : values)
        libpd_add_float(v);
    libpd_finish_list(receiver);
}

void switchDsp(bool on)
{
    libpd_start_message(1);
    libpd_add_float(on ? 1.0f : 0.0f);
    libpd_finish_message("pd", "dsp");
}

} // namespace

RunFigures runPlainLibpd(const QString& folder, const std::vector<Note>& notes, const VoiceSettings& settings)
{
    RunFigures figures;
    const QByteArray dir = QFile::encodeName(folder);
    void* patch = libpd_openfile("wendle_main.pd", dir.constData());
    if (!patch)
        return figures;
    std::thread audio([&] {
        cleanUpperHalves();
        switchDsp(true);
        sendList("master-vol", { settings.master });
        // Per voice, in the engine's order: the macros, frequency, volume, gate last.
        for (const Note& n : notes) {
            const float voice = float(n.voice + 1);
            for (int m = 0; m < 8; ++m)
                sendList("wendle-in", { settings.macros[m], float(4 + m), voice });
            sendList("wendle-in", { n.frequency, 2.0f, voice });
            sendList("wendle-in", { settings.volume, 3.0f, voice });
            sendList("wendle-in", { 1.0f, 1.0f, voice });
        }
        std::vector<float> out;
        timeCallbacks(figures, out, [](std::vector<float>& o) { libpd_process_float(Frames / 64, nullptr, o.data()); });
        switchDsp(false);
    });
    audio.join();
    libpd_closefile(patch);
    return figures;
}

} // namespace BenchTools
