#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <memory>

// A JACK program (server, client or tool) that runs while this object lives.
// It ends with the test, however the test ends, and so does whatever it
// starts: a machine runs only a few JACK servers at once.
class JackProcess
{
public:
    // The program's output goes to `outputFile`, or else into a pipe that
    // must be read: a program blocked on a full pipe stops (jackd stops every
    // client's cycle with it).
    JackProcess(const QString& program, const QStringList& arguments, const QString& outputFile = QString());
    ~JackProcess();
    JackProcess(const JackProcess&) = delete;
    JackProcess& operator=(const JackProcess&) = delete;

    QProcess& process() { return mProcess; }
    bool isRunning() const { return mProcess.state() != QProcess::NotRunning; }
    // The program's own process id (not its watch's), or 0 while it is not running.
    qint64 programPid() const;

private:
    QString mProgram;
    QProcess mProcess;
};

// A private JACK server on the dummy driver: paced in real time, without a
// sound card. While it lives, libjack in this process and in the programs it
// starts talks to this server only, and never starts one of its own.
class JackServer
{
public:
    // What a cycle does about a client that has not run when the next one is
    // due. Drop starts the next cycle without it, as a sound card's clock
    // would: the events its predecessors sent in the missed cycle are lost.
    // Wait makes the server wait for every client (jackd's synchronous
    // mode): a client starved of CPU delays the cycles instead.
    enum class LateClients { Drop, Wait };

    explicit JackServer(const QString& name, int rate = 48000, int period = 256,
                        LateClients late = LateClients::Drop);
    ~JackServer();
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // True once the server answers; error() says why not.
    bool isRunning() const { return mError.isEmpty(); }
    const QString& error() const { return mError; }
    const QString& name() const { return mName; }
    // Whether jackd still runs, and the end of what it printed.
    bool isAlive() const { return mServer && mServer->isRunning(); }
    QString output() const;
    // Stops jackd in its tracks (SIGSTOP), as a server that hangs: its
    // clients' requests and cycles wait. The destructor resumes it.
    bool suspend();
    bool resume();

    // A server or client name no other test process uses.
    static QString uniqueName(const QString& stem);
    // Points libjack (this process's and its children's) at the server `name`.
    static void use(const QString& name);
    // The first of `tools` that is not installed, or an empty string.
    static QString missingTool(std::initializer_list<const char*> tools);
    // Runs a JACK tool against the current server and returns its output.
    static QString runTool(const QString& program, const QStringList& arguments, bool* ok = nullptr,
                           int timeoutMs = 10000);
    // The current server's ports; with `connections` each port is followed by
    // the ports it is connected to, indented.
    static QStringList ports(bool connections = false);
    static QStringList connectionsOf(const QString& port);

private:
    QString mName;
    QString mError;
    QString mLogPath;
    std::unique_ptr<JackProcess> mServer;
    bool mSuspended = false;
};
