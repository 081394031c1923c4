// The built program's start-up update check against a feed on loopback:
// scripts/headless.sh runs it on a private X server and JACK server, and
// python's http.server serves the feed.
#include <QDir>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

const QString FeedPath = QStringLiteral("/downloads/updates.json");

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A child that a dying test takes along.
void start(QProcess& p, const QString& program, const QStringList& arguments)
{
#ifdef Q_OS_LINUX
    p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    p.start(program, arguments);
}

} // namespace

class TestProgramUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char* tool : { "bash", "python3", "Xvfb", "xdotool", "import", "convert", "compare", "jackd", "jack_lsp", "jack_rec" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 not installed (scripts/setup.sh installs it)").arg(QLatin1String(tool))));
        }
    }

    void startUpCheck_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("fetched");
        QTest::addColumn<bool>("window");
        QTest::newRow("newer version") << 0 << "2.0.1" << 1 << true;
        QTest::newRow("same version") << 0 << "2.0.0" << 1 << false;
        QTest::newRow("never") << 4 << "2.0.1" << 0 << false;
    }

    // A newer version brings up the update window and its box; "No" closes
    // both and the program plays on. The option keeps the time of the check.
    void startUpCheck()
    {
        QFETCH(int, interval);
        QFETCH(QString, version);
        QFETCH(int, fetched);
        QFETCH(bool, window);
        QTemporaryDir temp;
        const QString config = temp.filePath("data/Drovane Tuning Wendle/");
        QVERIFY(QDir().mkpath(config) && QDir().mkpath(temp.filePath("feed/downloads")));
        const QJsonObject entry { { "latest-version", version }, { "changelog", "<b>Faster</b> lattice" },
                                  { "download-url", "http://127.0.0.1:9/files/Wendle-2.0.1.bin" } };
        const QJsonObject feed { { "updates", QJsonObject { { "linux", entry }, { "windows", entry } } } };
        QVERIFY(writeAll(temp.filePath("feed") + FeedPath, QJsonDocument(feed).toJson()));
        QVERIFY(writeAll(config + "options.json", QStringLiteral(R"({"updateCheckInterval":%1,"windowPos":"20,20","windowSize":"1316,600",)"
                                                                 R"("circlesView":true,"defaultPatch":"Sine.pd"})")
                                                      .arg(interval)
                                                      .toUtf8()));

        QProcess server;
        server.setProcessChannelMode(QProcess::MergedChannels);
        start(server, "python3", { "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", temp.filePath("feed") });
        QByteArray served;
        QRegularExpressionMatch port;
        // A busy machine can take many seconds to start Python.
        QTRY_VERIFY2_WITH_TIMEOUT((port = QRegularExpression("port (\\d+)").match(QString::fromLocal8Bit(served += server.readAll()))).hasMatch(),
                                  served.constData(), 60000);

        QProcess harness;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        env.insert("WENDLE_UPDATE_FEED_URL", "http://127.0.0.1:" + port.captured(1) + FeedPath);
        harness.setProcessEnvironment(env);
        const QString source = qEnvironmentVariable("WENDLE_SOURCE_DIR", WENDLE_SOURCE_DIR_FALLBACK);
        QStringList options { source + "/scripts/headless.sh", "--data", temp.filePath("data"), "--out", temp.filePath("out"),
                              "--program", WENDLE_PROGRAM, "--measure", WENDLE_MEASURE };
        if (window)
            options << "--update-window";
        start(harness, "bash", options);
        if (!harness.waitForFinished(120000))
            harness.terminate();
        harness.waitForFinished(30000);
        server.terminate();
        server.waitForFinished(10000);
        served += server.readAll();

        QHash<QString, QString> run;
        const QString printed = QString::fromLocal8Bit(harness.readAllStandardOutput());
        for (const QString& line : printed.split('\n', Qt::SkipEmptyParts))
            run.insert(line.section('=', 0, 0), line.section('=', 1));
        const QByteArray why = printed.toLocal8Bit() + harness.readAllStandardError() + "\n--- feed server ---\n" + served;
        QVERIFY2(harness.exitStatus() == QProcess::NormalExit && harness.exitCode() == 0, why.constData());
        QCOMPARE(int(served.count("GET " + FeedPath.toUtf8())), fetched);
        if (window) {
            QCOMPARE(run.value("update_windows"), QString("2"));
            QCOMPARE(run.value("update_windows_after"), QString("0"));
        }
        // The program plays on, with no box or update window left.
        QVERIFY2(run.value("frequency").toDouble() > 0.0, why.constData());
        QCOMPARE(run.value("app_windows"), QString("0"));
        QCOMPARE(run.value("exit"), QString("0"));

        QFile saved(config + "options.json");
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QString last = QJsonDocument::fromJson(saved.readAll()).object().value("tSysLastUpdateCheck").toString();
        QCOMPARE(QDateTime::fromString(last, Qt::TextDate).isValid(), fetched > 0);
    }
};

QTEST_GUILESS_MAIN(TestProgramUpdate)
#include "tst_program_update.moc"
