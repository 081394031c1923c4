#include "JackServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>
#include <atomic>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

#ifdef Q_OS_UNIX
namespace {

// How long a program has to stop on its signal before it, and whatever it
// started, is killed.
constexpr int StopGraceMs = 3000;

} // namespace
#endif

JackProcess::JackProcess(const QString& program, const QStringList& arguments, const QString& outputFile)
    : mProgram(QFileInfo(program).fileName())
{
    if (!outputFile.isEmpty()) {
        mProcess.setProcessChannelMode(QProcess::MergedChannels);
        mProcess.setStandardOutputFile(outputFile);
    } else {
        mProcess.setStandardErrorFile(QProcess::nullDevice());
    }
#ifdef Q_OS_UNIX
    // A shell between watches the test and stops the program once the test
    // is gone, however it ended (a parent-death signal could not: a stopped
    // server does not act on SIGTERM, and SIGKILL is no clean stop). jackd
    // stops on SIGTERM, the JACK tools on SIGINT, which a shell's background
    // command starts with ignored: env gives it back. A stopped program is
    // resumed to take its signal; one still running after the grace is
    // killed, and so is the process group that the shell leads.
    static const QString Watch = QStringLiteral(
        "t=$1; s=$2; shift 2; c=; "
        "end() { trap '' INT TERM; c=${c:-$!}; kill -CONT $c; kill -$s $c; i=0; "
        "while kill -0 $c && [ $i -lt %1 ]; do sleep 0.1; i=$((i + 1)); done; "
        "if kill -0 $c; then kill -KILL $c; kill -KILL -$$; fi; wait $c; exit; } 2>/dev/null; "
        "trap end INT TERM; env --default-signal=INT \"$@\" & c=$!; "
        "while kill -0 $t 2>/dev/null && kill -0 $c 2>/dev/null; do sleep 0.2; done; end")
                                     .arg(StopGraceMs / 100);
    const QString stop = mProgram == QStringLiteral("jackd") ? QStringLiteral("TERM") : QStringLiteral("INT");
    mProcess.setChildProcessModifier([] { ::setpgid(0, 0); });
    mProcess.start(QStringLiteral("sh"), QStringList { QStringLiteral("-c"), Watch, QStringLiteral("sh"),
                                                       QString::number(QCoreApplication::applicationPid()), stop,
                                                       program }
                                             + arguments);
#else
    mProcess.start(program, arguments);
#endif
    mProcess.waitForStarted(5000);
}

JackProcess::~JackProcess()
{
    if (!isRunning())
        return;
    // A clean stop lets a client leave and a server unregister itself: a
    // server killed, or one that meets a client killed under it, keeps its
    // slot in JACK's table of servers for good, and the table holds eight.
#ifdef Q_OS_UNIX
    const pid_t watch = pid_t(mProcess.processId());
    ::kill(watch, SIGTERM);
    if (!mProcess.waitForFinished(StopGraceMs + 5000)) {
        // Not reaped yet, so the group is still the watch's own.
        ::kill(-watch, SIGKILL);
        mProcess.kill();
        mProcess.waitForFinished(2000);
    }
#else
    mProcess.terminate();
    if (!mProcess.waitForFinished(10000)) {
        mProcess.kill();
        mProcess.waitForFinished(2000);
    }
#endif
}

qint64 JackProcess::programPid() const
{
#ifdef Q_OS_UNIX
    // The watching shell's child of that name, beside its sleeps.
    const qint64 watch = mProcess.processId();
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(watch));
    if (watch <= 0 || !children.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray name = QFile::encodeName(mProgram).left(15); // as the kernel keeps it
    for (const QByteArray& pid : children.readAll().simplified().split(' ')) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid)));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            return pid.toLongLong();
    }
    return 0;
#else
    return mProcess.processId();
#endif
}

JackServer::JackServer(const QString& name, int rate, int period, LateClients late)
    : mName(name)
{
    // jackd's output is kept for the error, should it not come up.
    mLogPath = QDir::temp().filePath(name + QStringLiteral(".log"));
    QStringList arguments { QStringLiteral("--no-realtime"), QStringLiteral("-n"), name };
    if (late == LateClients::Wait)
        arguments << QStringLiteral("--sync");
    arguments << QStringLiteral("-d") << QStringLiteral("dummy") << QStringLiteral("-r") << QString::number(rate)
              << QStringLiteral("-p") << QString::number(period);
    mServer = std::make_unique<JackProcess>(QStringLiteral("jackd"), arguments, mLogPath);
    use(name);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 15000 && mServer->isRunning()) {
        bool ok = false;
        if (runTool(QStringLiteral("jack_lsp"), {}, &ok, 5000).contains(QStringLiteral("system:playback_1")) && ok)
            return;
        QThread::msleep(100);
    }
    mError = QStringLiteral("JACK server %1 did not answer: %2").arg(name, output());
}

JackServer::~JackServer()
{
    // A stopped jackd would not see the signal that ends it.
    if (mSuspended)
        resume();
    mServer.reset();
    QFile::remove(mLogPath);
}

QString JackServer::output() const
{
    QFile log(mLogPath);
    if (!log.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(log.readAll().right(4000));
}

#ifdef Q_OS_UNIX
namespace {

// Whether every thread of `pid` has stopped: a stop signal is only sent by
// kill(), and a busy thread of jackd may answer one more request meanwhile.
bool allThreadsStopped(pid_t pid)
{
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& id : ids) {
        QFile stat(tasks.filePath(id + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        // "pid (comm) state ...": the command may hold spaces and brackets.
        const QByteArray line = stat.readAll();
        const qsizetype end = line.lastIndexOf(')');
        if (end < 0 || line.mid(end + 2, 1) != "T")
            return false;
    }
    return !ids.isEmpty();
}

} // namespace
#endif

bool JackServer::suspend()
{
#ifdef Q_OS_UNIX
    const pid_t pid = mServer ? pid_t(mServer->programPid()) : 0;
    mSuspended = pid > 0 && ::kill(pid, SIGSTOP) == 0;
    QElapsedTimer clock;
    clock.start();
    while (mSuspended && !allThreadsStopped(pid)) {
        if (clock.elapsed() > 10000)
            return false;
        QThread::usleep(200);
    }
    return mSuspended;
#else
    return false;
#endif
}

bool JackServer::resume()
{
#ifdef Q_OS_UNIX
    const pid_t pid = mServer ? pid_t(mServer->programPid()) : 0;
    if (pid <= 0 || ::kill(pid, SIGCONT) != 0)
        return false;
    mSuspended = false;
    return true;
#else
    return false;
#endif
}

QString JackServer::uniqueName(const QString& stem)
{
    static std::atomic<int> sCount { 0 };
    return QStringLiteral("%1-%2-%3").arg(stem).arg(QCoreApplication::applicationPid()).arg(sCount++);
}

void JackServer::use(const QString& name)
{
    qputenv("JACK_DEFAULT_SERVER", name.toLocal8Bit());
    qputenv("JACK_NO_START_SERVER", "1");
}

QString JackServer::missingTool(std::initializer_list<const char*> tools)
{
    for (const char* tool : tools) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QString::fromLatin1(tool);
    }
    return QString();
}

QString JackServer::runTool(const QString& program, const QStringList& arguments, bool* ok, int timeoutMs)
{
    QProcess p;
#ifdef Q_OS_LINUX
    // A tool waiting on a stopped server would outlive a test that dies meanwhile.
    p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#endif
    p.start(program, arguments);
    const bool finished = p.waitForFinished(timeoutMs);
    if (!finished) {
        p.kill();
        p.waitForFinished(2000);
    }
    if (ok)
        *ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QStringList JackServer::ports(bool connections)
{
    return runTool(QStringLiteral("jack_lsp"), connections ? QStringList { QStringLiteral("-c") } : QStringList())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList JackServer::connectionsOf(const QString& port)
{
    QStringList result;
    bool inside = false;
    for (const QString& line : ports(true)) {
        if (!line.startsWith(QLatin1Char(' ')))
            inside = line == port;
        else if (inside)
            result << line.trimmed();
    }
    return result;
}
