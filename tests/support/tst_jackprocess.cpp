// What a test starts through JackProcess ends with it, promptly, however the
// test ends. A helper (this program again) starts the processes and then ends
// as told; this test follows them in /proc.
#include "JackServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/prctl.h>

namespace {

const char* const HelperVar = "WENDLE_JACKPROCESS_HELPER";

// A process and its start time, which tells it from a later one given its id.
struct Proc
{
    qint64 pid;
    QByteArray start;
};

// The fields of /proc/<pid>/stat after the command: the state first, the start time at 19.
QList<QByteArray> statOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = file.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

// `pid` and every process under it.
void addTree(qint64 pid, QList<Proc>& out)
{
    const QList<QByteArray> stat = statOf(pid);
    if (stat.size() <= 19)
        return;
    out.append({ pid, stat[19] });
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly)) {
        for (const QByteArray& child : children.readAll().simplified().split(' '))
            addTree(child.toLongLong(), out);
    }
}

// Those of `procs` still running: a zombie has ended, only its parent's wait is missing.
QStringList running(const QList<Proc>& procs)
{
    QStringList out;
    for (const Proc& p : procs) {
        const QList<QByteArray> stat = statOf(p.pid);
        if (stat.size() > 19 && stat[0] != "Z" && stat[19] == p.start)
            out << QString::number(p.pid) + QLatin1Char(' ') + QString::fromLatin1(stat[0]);
    }
    return out;
}

// Starts a tool that ignores SIGINT (as jack_iodelay did under a shell), or a
// server that it suspends; says "ready", and ends at the next line it reads.
int helper(const QByteArray& what)
{
    std::unique_ptr<JackServer> server;
    std::unique_ptr<JackProcess> tool;
    if (what == "server") {
        server = std::make_unique<JackServer>(JackServer::uniqueName("wendle-procs"));
        if (!server->isRunning() || !server->suspend())
            return std::fprintf(stderr, "no suspended server: %s\n", qPrintable(server->error())), 1;
    } else {
        tool = std::make_unique<JackProcess>("sh", QStringList { "-c", "trap '' INT; sleep 600; :" });
        // The trap is set once the sleep runs.
        for (QList<Proc> tree; tree.size() < 2; QThread::msleep(10)) {
            tree.clear();
            addTree(tool->programPid(), tree);
        }
    }
    std::puts("ready");
    std::fflush(stdout);
    char line[16];
    (void)std::fgets(line, sizeof line, stdin);
    return 0;
}

} // namespace

class TestJackProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = JackServer::missingTool({ "jackd", "jack_lsp" });
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing + " not installed: this test needs the jackd2 package (scripts/setup.sh installs it)"));
    }

    void endsWithTheTest_data()
    {
        QTest::addColumn<QByteArray>("what");
        QTest::addColumn<bool>("killed");
        QTest::newRow("tool deaf to SIGINT, object destroyed") << QByteArray("tool") << false;
        QTest::newRow("suspended server, owner killed") << QByteArray("server") << true;
    }

    void endsWithTheTest()
    {
        QFETCH(QByteArray, what);
        QFETCH(bool, killed);
        QProcess owner;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(HelperVar, what);
        owner.setProcessEnvironment(env);
        owner.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        owner.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(owner.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(owner.canReadLine() || owner.state() == QProcess::NotRunning, 30000);
        QVERIFY2(owner.readLine() == "ready\n", owner.readAllStandardError().constData());

        QList<Proc> started;
        addTree(owner.processId(), started);
        started.removeFirst(); // the owner itself
        QVERIFY(started.size() >= 2);
        // Whatever a failure leaves is ended here.
        const auto cleanup = qScopeGuard([&started] {
            for (const QString& p : running(started))
                ::kill(pid_t(p.section(QLatin1Char(' '), 0, 0).toLongLong()), SIGKILL);
        });

        if (killed)
            ::kill(pid_t(owner.processId()), SIGKILL);
        else
            owner.write("end\n");
        QVERIFY(owner.waitForFinished(20000));
        QTRY_VERIFY2_WITH_TIMEOUT(running(started).isEmpty(), qPrintable(running(started).join(", ")), 10000);
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray what = qgetenv(HelperVar);
    if (!what.isEmpty())
        return helper(what);
    TestJackProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_jackprocess.moc"
