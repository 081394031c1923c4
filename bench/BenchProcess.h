#pragma once

#include <QProcess>
#include <initializer_list>
#include <memory>

class QTemporaryDir;

// A program a benchmark runs beside itself: it ends with the benchmark, even
// one that is killed, and is asked to end when this object goes.
class BenchProcess
{
public:
    BenchProcess(const QString& program, const QStringList& args, const QProcessEnvironment& env);
    ~BenchProcess();
    BenchProcess(const BenchProcess&) = delete;
    BenchProcess& operator=(const BenchProcess&) = delete;

    // Whether every tool is on the path; says which is not.
    static bool installed(std::initializer_list<const char*> tools);
    // Starts Xvfb on a display of its own and points `env` at it, with a
    // runtime folder inside `work`; null when Xvfb did not start.
    static std::unique_ptr<BenchProcess> privateDisplay(const QTemporaryDir& work, QProcessEnvironment& env);

    QProcess process;
};
