// Prints what the idle instrument costs: the real program on a private Xvfb
// and a private JACK server, its window shown, nothing sounding, once without
// a MIDI port and once with a JACK MIDI port open (the tests' MIDI peer as
// the synth). Its CPU share of one core is read from the scheduler's run time
// of all its threads, with its wakeups a second. Beside it, in the same run,
// the plain reference: the same main patch as the program laid it out, run
// through bare libpd calls in real time at the same period.
//
//   bench_idle [path of drovane-tuning-wendle]
#include "BenchProcess.h"
#include "BenchTools.h"
#include "JackServer.h"
#include "MidiPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "z_libpd.h"

namespace {

constexpr int Rounds = 3;
constexpr int RoundMs = 5000;
constexpr int SettleMs = 3000;

double nowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

// Run time on a CPU and voluntary switches, summed over every thread of `pid`.
struct Usage
{
    double cpuNs = 0.0;
    double switches = 0.0;
};

Usage usageOf(qint64 pid)
{
    Usage u;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& id : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile sched(tasks.filePath(id + "/schedstat"));
        if (sched.open(QIODevice::ReadOnly))
            u.cpuNs += sched.readAll().split(' ').value(0).toDouble();
        QFile status(tasks.filePath(id + "/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    u.switches += line.mid(24).trimmed().toDouble();
            }
        }
    }
    return u;
}

struct Share
{
    double percent = 0.0; // of one core
    double wakeups = 0.0; // a second
};

Share median(std::vector<Share> v)
{
    std::sort(v.begin(), v.end(), [](const Share& a, const Share& b) { return a.percent < b.percent; });
    return v.empty() ? Share() : v[v.size() / 2];
}

bool run(const QString& program, const QStringList& args, const QProcessEnvironment& env, int timeoutMs)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    return p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

QString readText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// The program idle with its window shown: its share in rounds after a settling spell.
bool measureProgram(const QString& program, const QProcessEnvironment& env, const QString& config,
                    MidiPeer* synth, Share* share, QString* error)
{
    QDir().mkpath(config);
    QJsonObject options { { "updateCheckInterval", 4 } };
    if (synth)
        options.insert("midiOutDevice", synth->port());
    QFile file(config + "/options.json");
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(options).toJson());
    file.close();

    BenchProcess app(program, {}, env);
    if (!run("xdotool", { "search", "--sync", "--onlyvisible", "--name", "^Drovane Tuning Wendle 2$" }, env, 60000)) {
        *error = "the window did not show";
        return false;
    }
    const QString log = config + "/log.txt";
    QElapsedTimer waited;
    waited.start();
    while (!readText(log).contains("Voice patch loaded") && waited.elapsed() < 30000)
        QThread::msleep(50);
    // The port is opened before the window is made.
    if (synth && !synth->waitConnected(1000)) {
        *error = "the MIDI port did not open: " + readText(log).right(600);
        return false;
    }
    QThread::msleep(SettleMs);
    std::vector<Share> rounds;
    const qint64 pid = app.process.processId();
    for (int r = 0; r < Rounds; ++r) {
        const Usage before = usageOf(pid);
        const double start = nowNs();
        QThread::msleep(RoundMs);
        const Usage after = usageOf(pid);
        const double wall = nowNs() - start;
        rounds.push_back({ 100.0 * (after.cpuNs - before.cpuNs) / wall, (after.switches - before.switches) * 1e9 / wall });
    }
    if (app.process.state() != QProcess::Running) {
        *error = "the program ended: " + readText(log).right(600);
        return false;
    }
    *share = median(rounds);
    return true;
}

// The same main patch through bare libpd, DSP on and nothing sounding, one
// period of ticks every period on a thread of its own: its run time a round.
Share measurePlainLibpd(const QString& folder, int period)
{
    std::vector<Share> rounds;
    void* patch = libpd_openfile("wendle_main.pd", QFile::encodeName(folder).constData());
    if (!patch)
        return {};
    std::thread audio([&] {
        libpd_start_message(1);
        libpd_add_float(1.0f);
        libpd_finish_message("pd", "dsp");
        std::vector<float> out(size_t(period) * 2);
        const long periodNs = long(1e9 * period / BenchTools::Rate);
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        const auto advance = [&] {
            next.tv_nsec += periodNs;
            while (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        };
        for (double settle = nowNs(); nowNs() - settle < 1e9;) {
            libpd_process_float(period / 64, nullptr, out.data());
            advance();
        }
        for (int r = 0; r < Rounds; ++r) {
            const double cpu = BenchTools::threadCpuNs();
            const double start = nowNs();
            while (nowNs() - start < RoundMs * 1e6) {
                libpd_process_float(period / 64, nullptr, out.data());
                advance();
            }
            const double wall = nowNs() - start;
            rounds.push_back({ 100.0 * (BenchTools::threadCpuNs() - cpu) / wall, 0.0 });
        }
        libpd_start_message(1);
        libpd_add_float(0.0f);
        libpd_finish_message("pd", "dsp");
    });
    audio.join();
    libpd_closefile(patch);
    return median(rounds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication qapp(argc, argv);
    const QString binDir = QCoreApplication::applicationDirPath();
    const QString program = argc > 1 ? argv[1] : binDir + "/../app/drovane-tuning-wendle";
    if (!BenchProcess::installed({ "Xvfb", "jackd", "jack_lsp", "xdotool" }))
        return 1;

    QTemporaryDir work;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const std::unique_ptr<BenchProcess> xvfb = BenchProcess::privateDisplay(work, env);
    if (!xvfb) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }

    // The server as the MIDI tests run theirs; the peer is this process's client.
    JackServer server(JackServer::uniqueName("wendle-bench-idle"), BenchTools::Rate, BenchTools::Frames,
                      JackServer::LateClients::Wait);
    if (!server.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.error()));
        return 1;
    }
    env.insert("JACK_DEFAULT_SERVER", server.name());
    env.insert("JACK_NO_START_SERVER", "1");
    MidiPeer peer(JackServer::uniqueName("wendle-bench-synth"));
    if (!peer.isReady()) {
        std::fprintf(stderr, "%s\n", qPrintable(peer.error()));
        return 1;
    }

    Share without, with;
    QString error;
    const QString config = work.filePath("data/Drovane Tuning Wendle");
    env.insert("XDG_DATA_HOME", work.filePath("data"));
    if (!measureProgram(program, env, config, nullptr, &without, &error)
        || !measureProgram(program, env, config, &peer, &with, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    peer.take();

    libpd_init();
    if (libpd_init_audio(0, 2, BenchTools::Rate) != 0) {
        std::fprintf(stderr, "libpd did not start\n");
        return 1;
    }
    const Share plain = measurePlainLibpd(config + "/patch", BenchTools::Frames);

    std::printf("idle, window shown, nothing sounding; median of %d rounds of %d s, %d frames at %d Hz\n", Rounds,
                RoundMs / 1000, BenchTools::Frames, BenchTools::Rate);
    std::printf("                                 %% of one core   wakeups/s\n");
    std::printf("program, no MIDI port            %12.2f   %9.0f\n", without.percent, without.wakeups);
    std::printf("program, JACK MIDI port open     %12.2f   %9.0f\n", with.percent, with.wakeups);
    std::printf("bare libpd, same main patch      %12.2f\n", plain.percent);
    std::printf("the MIDI port adds               %12.2f   (target: at most 0.30)\n", with.percent - without.percent);
    return 0;
}
