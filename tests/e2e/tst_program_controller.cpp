// The built program with a controller table, end to end: scripts/headless.sh
// starts it on a private X server and JACK server, sends a wand's datagram or
// clicks, records what it plays and ends it with SIGTERM.
#include "ControllerTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

using L = QStringList;

const QString ConfigName = QStringLiteral("Drovane Tuning Wendle");
const QByteArray Table = R"({"PlayFifth0": {"value": "/3"}})";

QString sourceDir()
{
    return qEnvironmentVariable("WENDLE_SOURCE_DIR", QStringLiteral(WENDLE_SOURCE_DIR_FALLBACK));
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// How often the log has `text` as a whole message.
int logged(const QByteArray& log, const QString& text)
{
    int n = 0;
    for (const QByteArray& line : log.split('\n'))
        n += line.endsWith("] " + text.toUtf8());
    return n;
}

} // namespace

class TestProgramController : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> mTemp;

    QString config(const QString& name) const { return mTemp->filePath(QStringLiteral("data/") + ConfigName + QLatin1Char('/') + name); }

    // The harness's "key=value" lines; its whole output under "report".
    QHash<QString, QString> runHarness(const QStringList& options)
    {
        QProcess harness;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        harness.setProcessEnvironment(env);
#ifdef Q_OS_LINUX
        harness.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        harness.start(QStringLiteral("bash"), L { sourceDir() + QStringLiteral("/scripts/headless.sh"),
                                                  QStringLiteral("--data"), mTemp->filePath(QStringLiteral("data")),
                                                  QStringLiteral("--out"), mTemp->filePath(QStringLiteral("out")),
                                                  QStringLiteral("--program"), QStringLiteral(WENDLE_PROGRAM),
                                                  QStringLiteral("--measure"), QStringLiteral(WENDLE_MEASURE) }
                          + options);
        QHash<QString, QString> values;
        if (!harness.waitForFinished(120000)) {
            harness.terminate();
            harness.waitForFinished(30000);
        }
        values.insert(QStringLiteral("status"), QString::number(harness.exitStatus() == QProcess::NormalExit ? harness.exitCode() : -1));
        const QString printed = QString::fromLocal8Bit(harness.readAllStandardOutput());
        for (const QString& line : printed.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq > 0)
                values.insert(line.left(eq), line.mid(eq + 1));
        }
        values.insert(QStringLiteral("report"), printed + QString::fromLocal8Bit(harness.readAllStandardError()));
        return values;
    }

private slots:
    void initTestCase()
    {
        for (const char* tool : { "bash", "dd", "Xvfb", "xdotool", "import", "convert", "compare", "jackd", "jack_lsp", "jack_rec" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 not installed (scripts/setup.sh installs it)").arg(QLatin1String(tool))));
        }
    }

    void init()
    {
        mTemp = std::make_unique<QTemporaryDir>();
        QVERIFY(mTemp->isValid());
        QVERIFY(QDir().mkpath(config(QString())));
    }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            mTemp->setAutoRemove(false);
            qWarning().noquote() << "kept" << mTemp->path();
        }
        mTemp.reset();
    }

    void plays_data()
    {
        QTest::addColumn<bool>("table");
        QTest::addColumn<int>("port"); // 0: a free one
        QTest::addColumn<bool>("datagram");
        QTest::addColumn<bool>("listens");
        QTest::addColumn<QStringList>("once");
        QTest::addColumn<QStringList>("never");
        const QString stopping = QStringLiteral("Stopping UDP thread...");
        QTest::newRow("datagram plays") << true << 0 << true << true << L { "UDP socket opened on port %1", stopping, "UDP thread exits run" } << L();
        // The box comes after the window; the click then still plays.
        QTest::newRow("bad port") << true << 70000 << false << false << L { "Can't open UDP socket on port 70000. UDP thread shutting down." }
                                  << L { stopping, "UDP socket opened on port 4464" };
        QTest::newRow("no table") << false << 0 << false << false << L() << L { "UDP thread starting...", stopping };
    }

    // /3 sounds 3/2 above 440 Hz, played by a wand's tag or by the click.
    void plays()
    {
        QFETCH(bool, table);
        QFETCH(int, port);
        QFETCH(bool, datagram);
        QFETCH(bool, listens);
        QFETCH(QStringList, once);
        QFETCH(QStringList, never);
        if (port == 0)
            port = freeUdpPort();
        QVERIFY(writeAll(config(QStringLiteral("options.json")),
                         QStringLiteral(R"({"updateCheckInterval":4,"windowPos":"20,20","windowSize":"1316,600",)"
                                        R"("circlesView":true,"defaultPatch":"Sine.pd","udpPort":%1})")
                             .arg(port)
                             .toUtf8()));
        if (table)
            QVERIFY(writeAll(config(QStringLiteral("rfid_map.json")), Table));
        L options;
        if (datagram) {
            const QString file = mTemp->filePath(QStringLiteral("datagram"));
            QVERIFY(writeAll(file, wandDatagram(-1, "PLAYFIFTH0")));
            options << QStringLiteral("--udp-port") << QString::number(port) << QStringLiteral("--datagram") << file;
        }
        const bool badPort = port > 65535;
        if (badPort)
            options << QStringLiteral("--late-box");

        const QHash<QString, QString> run = runHarness(options);
        const QByteArray log = [&] { QFile f(config(QStringLiteral("log.txt"))); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }();
        const QString why = run.value(QStringLiteral("report")) + QString::fromUtf8(log.right(3000));
        QVERIFY2(run.value(QStringLiteral("status")) == QStringLiteral("0"), qPrintable(why));
        QCOMPARE(run.value(QStringLiteral("datagram")), datagram ? QStringLiteral("sent") : QString());
        QCOMPARE(run.value(QStringLiteral("click")), datagram ? QString() : QStringLiteral("made"));
        if (badPort) {
            QCOMPARE(run.value(QStringLiteral("late_box")), QStringLiteral("found"));
            QCOMPARE(run.value(QStringLiteral("box_again")), QStringLiteral("no"));
        }
        bool ok = false;
        const double hz = run.value(QStringLiteral("frequency")).toDouble(&ok);
        QVERIFY2(ok && std::abs(1200.0 * std::log2(hz / 660.0)) <= 1.0, qPrintable(why));
        QCOMPARE(run.value(QStringLiteral("ball_lit")), QStringLiteral("yes"));
        QCOMPARE(run.value(QStringLiteral("udp_ports")).split(QLatin1Char(' '), Qt::SkipEmptyParts).contains(QString::number(port)), listens);
        QCOMPARE(run.value(QStringLiteral("exit")), QStringLiteral("0"));

        for (const QString& text : once)
            QVERIFY2(logged(log, text.contains(QLatin1String("%1")) ? text.arg(port) : text) == 1, qPrintable(text));
        for (const QString& text : never)
            QVERIFY2(logged(log, text) == 0, qPrintable(text));
        QCOMPARE(QFileInfo::exists(config(QStringLiteral("rfid_map.json"))), table);
    }
};

QTEST_GUILESS_MAIN(TestProgramController)
#include "tst_program_controller.moc"
