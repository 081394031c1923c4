#include "BenchProcess.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

BenchProcess::BenchProcess(const QString& program, const QStringList& args, const QProcessEnvironment& env)
{
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, args);
    process.waitForStarted(5000);
}

BenchProcess::~BenchProcess()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(15000))
        process.kill();
    process.waitForFinished(2000);
}

std::unique_ptr<BenchProcess> BenchProcess::privateDisplay(const QTemporaryDir& work, QProcessEnvironment& env)
{
    const QString runtime = work.filePath("runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert("XDG_RUNTIME_DIR", runtime);

    // Xvfb tells the display it took on the descriptor it is given. Only its
    // abstract socket (as scripts/headless.sh): a server that has just freed
    // the number could otherwise unlink this one's socket file. No reset when
    // a last client leaves, which would drop a connection being set up.
    int fds[2];
    if (::pipe(fds) != 0)
        return nullptr;
    auto xvfb = std::make_unique<BenchProcess>(
        "Xvfb",
        QStringList { "-displayfd", QString::number(fds[1]), "-screen", "0", "1400x900x24", "-nolisten", "tcp", "-nolisten", "unix",
                      "-noreset" },
        env);
    ::close(fds[1]);
    char buf[32] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    if (n <= 0)
        return nullptr;
    env.insert("DISPLAY", ":" + QString::fromLatin1(buf).trimmed());
    env.insert("QT_QPA_PLATFORM", "xcb");
    return xvfb;
}

bool BenchProcess::installed(std::initializer_list<const char*> tools)
{
    for (const char* tool : tools) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            std::fprintf(stderr, "%s is not installed (scripts/setup.sh installs it)\n", tool);
            return false;
        }
    }
    return true;
}
