// Prints how long the instrument takes to start and to stop, each the median
// of five runs: from launch to the voice patch loaded and to the window on
// screen, and from SIGTERM to the process gone. Beside it, a bare Qt window
// program measured the same way, so that the figures read as ratios on a
// busy machine. Runs on a private Xvfb and a private JACK server.
//
//   bench_startup [path of drovane-tuning-wendle] [path of bench_reference_window]
#include "BenchProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int Runs = 5;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool run(const QString& program, const QStringList& args, const QProcessEnvironment& env, int timeoutMs = 10000)
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    return p.waitForFinished(timeoutMs) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Timing
{
    double loaded = 0;
    double window = 0;
    double exit = 0;
    bool ok = false;
};

// One start and stop of `program`, whose window is titled `title`; `log` (if
// given) is searched for the line that marks the loaded patch. The instrument
// must end cleanly on SIGTERM; the reference simply dies of it.
Timing measure(const QString& program, const QString& title, const QProcessEnvironment& env, const QString& log)
{
    Timing t;
    QElapsedTimer clock;
    const QTime launched = QTime::currentTime();
    clock.start();
    BenchProcess app(program, {}, env);
    // Blocks until the window is mapped.
    if (!run("xdotool", { "search", "--sync", "--onlyvisible", "--name", "^" + title + "$" }, env, 30000))
        return t;
    t.window = clock.nsecsElapsed() / 1e6;
    if (!log.isEmpty()) {
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        const QString text = QString::fromUtf8(f.readAll());
        const QRegularExpression loadedLine("\\[(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d)\\] Voice patch loaded");
        QString stamp;
        for (auto it = loadedLine.globalMatch(text); it.hasNext();)
            stamp = it.next().captured(1);
        if (stamp.isEmpty())
            return t;
        t.loaded = launched.msecsTo(QTime::fromString(stamp, "hh:mm:ss.zzz"));
    }
    QThread::msleep(500);
    clock.restart();
    app.process.terminate();
    if (!app.process.waitForFinished(15000))
        return t;
    t.exit = clock.nsecsElapsed() / 1e6;
    t.ok = log.isEmpty() || (app.process.exitStatus() == QProcess::NormalExit && app.process.exitCode() == 0);
    return t;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication qapp(argc, argv);
    const QString binDir = QCoreApplication::applicationDirPath();
    const QString program = argc > 1 ? argv[1] : binDir + "/../app/drovane-tuning-wendle";
    const QString reference = argc > 2 ? argv[2] : binDir + "/bench_reference_window";
    if (!BenchProcess::installed({ "Xvfb", "jackd", "jack_lsp", "xdotool" }))
        return 1;

    QTemporaryDir work;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const std::unique_ptr<BenchProcess> xvfb = BenchProcess::privateDisplay(work, env);
    if (!xvfb) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }

    const QString server = QStringLiteral("bench%1").arg(QCoreApplication::applicationPid());
    env.insert("JACK_DEFAULT_SERVER", server);
    env.insert("JACK_NO_START_SERVER", "1");
    BenchProcess jack("jackd", { "--no-realtime", "-n", server, "-d", "dummy", "-r", "48000", "-p", "256" }, env);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 15000) {
        QProcess lsp;
        lsp.setProcessEnvironment(env);
        lsp.start("jack_lsp", {});
        lsp.waitForFinished(5000);
        if (lsp.readAll().contains("system:playback_1"))
            break;
        QThread::msleep(100);
    }

    std::vector<double> loaded, window, exitTime, refWindow, refExit;
    for (int i = 0; i < Runs; ++i) {
        // Every run starts from an empty configuration, as a first start does.
        const QString data = work.filePath(QStringLiteral("data%1").arg(i));
        QDir().mkpath(data + "/Drovane Tuning Wendle");
        QFile options(data + "/Drovane Tuning Wendle/options.json");
        options.open(QIODevice::WriteOnly);
        options.write("{ \"updateCheckInterval\": 4 }\n");
        options.close();
        QProcessEnvironment runEnv = env;
        runEnv.insert("XDG_DATA_HOME", data);
        const Timing t = measure(program, "Drovane Tuning Wendle 2", runEnv, data + "/Drovane Tuning Wendle/log.txt");
        const Timing r = measure(reference, "Reference window", runEnv, QString());
        if (!t.ok || !r.ok) {
            std::fprintf(stderr, "run %d failed (program %s, reference %s)\n", i + 1, t.ok ? "ok" : "failed", r.ok ? "ok" : "failed");
            return 1;
        }
        loaded.push_back(t.loaded);
        window.push_back(t.window);
        exitTime.push_back(t.exit);
        refWindow.push_back(r.window);
        refExit.push_back(r.exit);
        QThread::msleep(1000);
    }
    std::printf("median of %d runs (ms)          instrument   bare Qt window   ratio\n", Runs);
    std::printf("launch to voice patch loaded  %10.0f\n", median(loaded));
    std::printf("launch to window on screen    %10.0f   %14.0f   %5.1f\n", median(window), median(refWindow),
                median(window) / median(refWindow));
    std::printf("SIGTERM to exit               %10.0f   %14.0f   %5.1f\n", median(exitTime), median(refExit),
                median(exitTime) / median(refExit));
    return 0;
}
