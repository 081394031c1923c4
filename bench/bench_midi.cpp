// Prints what the MIDI output costs the audio thread, with a JACK port open
// (a private server, the tests' MIDI peer as the synth): microseconds per note start
// and per 96-voice gliss step in MTS and MPE mode, and heap allocations per
// 1000 instructions, counted by this program's operator new and, as Qt's
// containers take their memory from malloc, its malloc too. Beside them, in
// the same run, a plain reference: an empty instruction sink for the time,
// and the instruction lists the engine builds today for the count.
#include "Interface.h"
#include "JackServer.h"
#include "MidiOutRtMidi.h"
#include "MidiPeer.h"

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

namespace {

thread_local bool tCounting = false;
std::atomic<long> gAllocations { 0 };

void* allocate(std::size_t size)
{
    // Counted once, here or in malloc.
    const bool counting = tCounting;
    tCounting = false;
    void* p = std::malloc(size ? size : 1);
    tCounting = counting;
    if (counting)
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (!p)
        throw std::bad_alloc();
    return p;
}

} // namespace

// Sanitizers bring their own malloc; there only operator new is counted.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define WENDLE_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size)
{
    if (tCounting)
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    if (tCounting)
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void* realloc(void* p, std::size_t size)
{
    if (tCounting)
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Figures
{
    std::vector<double> us;
    long allocations = 0;
    long calls = 0;

    void print(const char* what) const
    {
        std::vector<double> sorted = us;
        std::sort(sorted.begin(), sorted.end());
        double sum = 0.0;
        for (double v : sorted)
            sum += v;
        std::printf("  %-34s mean %7.3f us  median %7.3f us  p99 %7.3f us  allocations %6.1f per 1000 (%ld calls)\n", what,
                    sum / double(sorted.size()), sorted[sorted.size() / 2], sorted[sorted.size() * 99 / 100],
                    1000.0 * double(allocations) / double(calls), calls);
    }
};

// Times one instruction as the audio thread would make it, counting its allocations.
template<typename F>
void timed(Figures& figures, F&& call)
{
    const long before = gAllocations.load(std::memory_order_relaxed);
    tCounting = true;
    const auto t0 = std::chrono::steady_clock::now();
    call();
    const auto t1 = std::chrono::steady_clock::now();
    tCounting = false;
    figures.allocations += gAllocations.load(std::memory_order_relaxed) - before;
    figures.us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    ++figures.calls;
}

struct NullSink : InstructionSink
{
    void receiveInstructions(int, const int*, const float*, const float*, int) override {}
};

float pitch(int i)
{
    return float(110.0 * std::pow(2.0, double((i * 37) % 3600) / 1200.0));
}

void pace(int micros)
{
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
}

// Note starts (each followed by its stop, untimed) on `voices` voices, then
// 96-voice gliss steps.
void run(Interface& iface, InstructionSink& sink, const char* mode, int voices, int glissPause)
{
    Figures starts, glides;
    const float velocity = 0.8f;
    for (int i = 0; i < 2000; ++i) {
        const int v = i % voices;
        const float f = pitch(i);
        timed(starts, [&] { sink.receiveInstructions(1, &v, &f, &velocity, 1); });
        iface.receiveInstructions(-1, &v, &f, &velocity, 1);
        pace(1000);
    }
    int all[96];
    float freqs[96], velocities[96];
    for (int v = 0; v < 96; ++v) {
        all[v] = v;
        freqs[v] = pitch(v);
        velocities[v] = velocity;
        iface.receiveInstructions(1, &all[v], &freqs[v], &velocity, 1);
        pace(500);
    }
    for (int step = 0; step < 1000; ++step) {
        for (int v = 0; v < 96; ++v)
            freqs[v] = pitch(v) * float(1.0 + 0.0001 * step);
        timed(glides, [&] { sink.receiveInstructions(2, all, freqs, velocities, 96); });
        pace(glissPause);
    }
    for (int v = 0; v < 96; ++v)
        iface.receiveInstructions(-1, &all[v], &freqs[v], &velocity, 1);
    std::printf("%s\n", mode);
    starts.print("note start");
    glides.print("96-voice gliss step");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!JackServer::missingTool({ "jackd", "jack_lsp" }).isEmpty()) {
        std::printf("jackd and jack_lsp are needed (scripts/setup.sh installs them)\n");
        return 1;
    }
    JackServer server(JackServer::uniqueName("wendle-bench-midi"), 48000, 256, JackServer::LateClients::Wait);
    if (!server.isRunning()) {
        std::printf("%s\n", qPrintable(server.error()));
        return 1;
    }
    // Sized for everything the run sends, so that it never needs taking.
    MidiPeer synth(JackServer::uniqueName("wendle-bench-synth"), 8 << 20);
    if (!synth.isReady()) {
        std::printf("%s\n", qPrintable(synth.error()));
        return 1;
    }

    Interface iface(new MidiOutRtMidi(MidiOutRtMidi::Api::Jack));
    MidiOutput* out = iface.midiOutput();
    if (!out->openPortByName(synth.port())) {
        std::printf("the MIDI port %s did not open\n", qPrintable(synth.port()));
        return 1;
    }
    QFile loadavg(QStringLiteral("/proc/loadavg"));
    if (loadavg.open(QIODevice::ReadOnly))
        std::printf("load average: %s", loadavg.readAll().constData());
    std::printf("JACK server %s, port %s open\n", qPrintable(server.name()), qPrintable(out->portName()));

    {
        Figures empty, lists;
        NullSink null;
        const float f = 440.0f, velocity = 0.8f;
        const int v = 0;
        for (int i = 0; i < 2000; ++i)
            timed(empty, [&] { null.receiveInstructions(1, &v, &f, &velocity, 1); });
        // What the engine's signal costs today: three lists per instruction, handed to the list slot.
        out->openPort(-1);
        for (int i = 0; i < 2000; ++i)
            timed(lists, [&] { iface.receiveInstructions(1, QList<int> { v }, QList<float> { f }, QList<float> { velocity }); });
        out->openPortByName(synth.port());
#ifdef WENDLE_COUNTS_MALLOC
        std::printf("reference (allocations: operator new and malloc)\n");
#else
        std::printf("reference (allocations: operator new only in this sanitizer build)\n");
#endif
        empty.print("empty sink, one voice");
        lists.print("engine's lists today, port closed");
    }

    out->setMidiChannel(0);
    run(iface, iface, "MTS (channel 0)", 96, 2000);
    out->setMidiChannel(-1);
    out->setPitchBendRange(200);
    run(iface, iface, "MPE (range 200 cents)", 16, 5000);
    out->term();
    synth.waitCycles();
    const qsizetype received = synth.take().size();
    const QStringList problems = synth.takeProblems();
    std::printf("the synth received %lld messages%s%s\n", static_cast<long long>(received),
                problems.isEmpty() ? ", none lost" : "; ", qPrintable(problems.join(QStringLiteral("; "))));
    return 0;
}
