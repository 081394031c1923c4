#include "MidiOutput.h"
#include "TuningWendleApplication.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>
#include <vector>

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes, const QDateTime& time)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size() && f.flush()
        && f.setFileTime(time, QFileDevice::FileModificationTime);
}

QDateTime modified(const QString& path)
{
    return QFileInfo(path).lastModified();
}

const QRegularExpression Stamped(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] "));

} // namespace

// The application object's own work, without the audio device: flags, the
// log, copying the patches into place, the style sheets and the bundle.
// main() below makes the application with the flag "-TST_Application".
class TestApplication : public QObject
{
    Q_OBJECT

    TuningWendleApplication* app() { return TuningWendleApplication::instance(); }
    QString logText() { return QString::fromUtf8(bytesOf(TuningWendleApplication::configDir() + "/log.txt")); }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(TuningWendleApplication::configDir()));
        // Every message from here on goes through the program's handler.
        app()->openLog();
    }

    void cleanupTestCase() { qInstallMessageHandler(nullptr); }

    void flags_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("flags");
        QTest::newRow("one dash") << QStringList { "-ALL" } << QStringList { "all" };
        QTest::newRow("two dashes") << QStringList { "--ALL" } << QStringList { "-all" };
        QTest::newRow("empty") << QStringList { "" } << QStringList { "" };
        QTest::newRow("source") << QStringList { "-PdPlayer", "Wendle" } << QStringList { "pdplayer", "wendle" };
        QTest::newRow("none") << QStringList {} << QStringList {};
    }

    void flags()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, flags);
        QCOMPARE(TuningWendleApplication::flagsOf(arguments), QSet<QString>(flags.begin(), flags.end()));
    }

    void forwarding_data()
    {
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("forwarded");
        QTest::newRow("all") << QStringList { "all" } << "/src/engine/PdPlayer.cpp" << true;
        QTest::newRow("by base name") << QStringList { "pdplayer" } << "/src/engine/PdPlayer.cpp" << true;
        QTest::newRow("backslashes") << QStringList { "pdplayer" } << "C:\\src\\PdPlayer.cpp" << true;
        QTest::newRow("no separator") << QStringList { "pdplayer" } << "PdPlayer.cpp" << false;
        QTest::newRow("no file") << QStringList { "all" } << QString() << false;
        QTest::newRow("other file") << QStringList { "wendle" } << "/src/model/WendleBall.cpp" << false;
        QTest::newRow("last dot") << QStringList { "a.b" } << "/x/a.b.cpp" << true;
        QTest::newRow("no flags") << QStringList {} << "/src/engine/PdPlayer.cpp" << false;
    }

    void forwarding()
    {
        QFETCH(QStringList, flags);
        QFETCH(QString, file);
        QFETCH(bool, forwarded);
        const QByteArray path = file.toLocal8Bit();
        QCOMPARE(TuningWendleApplication::forwards(QSet<QString>(flags.begin(), flags.end()),
                                                   file.isNull() ? nullptr : path.constData()),
                 forwarded);
    }

    // The file: a banner per run, stamped lines, criticals set apart, no
    // debug; the diagnostics window: this file's messages, debug included.
    void logFormat()
    {
        QSignalSpy forwarded(app(), &TuningWendleApplication::diagnosticMessage);
        qWarning("plain warning");
        qDebug("debug only forwarded");
        qCritical("something broke");
        qInfo("some info");
        const QString log = logText();
        QVERIFY(log.contains("\n" + QString(78, '-') + "\nStarting app at "));
        const QString banner = log.mid(log.lastIndexOf("Starting app at ") + 16, 21);
        QVERIFY2(QDateTime::fromString(banner.left(17), "dd/MM/yy hh:mm:ss").isValid(), qPrintable(banner));
        const QStringList lines = log.mid(log.indexOf("plain warning") - 15).split('\n');
        QVERIFY(Stamped.match(lines[0]).hasMatch());
        QVERIFY(lines[0].endsWith("] plain warning"));
        QCOMPARE(lines[1], QString());
        QCOMPARE(lines[2], QString("CRITICAL:"));
        QVERIFY(Stamped.match(lines[3]).hasMatch() && lines[3].endsWith("] something broke"));
        QCOMPARE(lines[4], QString());
        QVERIFY(lines[5].endsWith("] some info"));
        QVERIFY(!log.contains("debug only forwarded"));

        QCOMPARE(forwarded.size(), 4);
        const QString first = forwarded.at(0).at(0).toString();
        QVERIFY(Stamped.match(first).hasMatch());
        QVERIFY2(first.endsWith("]  plain warning\n"), qPrintable(first));
        QVERIFY(forwarded.at(1).at(0).toString().endsWith(" debug only forwarded\n"));
    }

    // A receiver that logs while a message is handled must neither recurse nor deadlock.
    void loggingWhileLogging()
    {
        auto c = connect(app(), &TuningWendleApplication::diagnosticMessage, this, [] { qWarning("from the receiver"); },
                         Qt::DirectConnection);
        qWarning("outer message");
        disconnect(c);
        const QString log = logText();
        QVERIFY(log.contains("] outer message\n"));
        QVERIFY(!log.contains("from the receiver"));
    }

    // Eight threads logging at once leave whole entries only.
    void threadsLeaveWholeEntries()
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 200; ++i) {
                    if (i % 10 == 0)
                        qCritical("thread %d critical %d", t, i);
                    else
                        qWarning("thread %d line %d", t, i);
                }
            });
        }
        for (std::thread& t : threads)
            t.join();
        const QStringList lines = logText().split('\n');
        int warnings = 0, criticals = 0;
        for (int i = 0; i < lines.size(); ++i) {
            if (!lines[i].contains("thread "))
                continue;
            QVERIFY2(Stamped.match(lines[i]).hasMatch(), qPrintable(lines[i]));
            if (lines[i].contains(" critical ")) {
                ++criticals;
                QVERIFY(i >= 2 && lines[i - 1] == "CRITICAL:" && lines[i - 2].isEmpty() && lines[i + 1].isEmpty());
            } else {
                ++warnings;
                QVERIFY(QRegularExpression("\\] thread \\d line \\d+$").match(lines[i]).hasMatch());
            }
        }
        QCOMPARE(warnings, 8 * 180);
        QCOMPARE(criticals, 8 * 20);
    }

    void copyFile_data()
    {
        QTest::addColumn<int>("targetAge"); // seconds relative to the source; 0 missing
        QTest::addColumn<bool>("force");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("missing") << 0 << false << true;
        QTest::newRow("older") << -60 << false << true;
        QTest::newRow("newer") << 60 << false << false;
        QTest::newRow("equal") << 1 << false << false;
        QTest::newRow("newer, forced") << 60 << true << true;
        QTest::newRow("equal, forced") << 1 << true << true;
    }

    void copyFile()
    {
        QFETCH(int, targetAge);
        QFETCH(bool, force);
        QFETCH(bool, replaced);
        QTemporaryDir dir;
        const QString source = dir.filePath("source.pd"), target = dir.filePath("target.pd");
        const QDateTime sourceTime = QDateTime::currentDateTime().addDays(-1);
        QVERIFY(writeFile(source, "new", sourceTime));
        if (targetAge != 0) {
            // "equal" writes the target at the source's own time.
            QVERIFY(writeFile(target, "old", targetAge == 1 ? sourceTime : sourceTime.addSecs(targetAge)));
        }
        QVERIFY(TuningWendleApplication::copyFile(source, target, force));
        QCOMPARE(bytesOf(target), replaced ? QByteArray("new") : QByteArray("old"));
        if (replaced)
            QCOMPARE(modified(target), modified(source));
    }

    void copyFileFailures()
    {
        QTemporaryDir dir;
        QVERIFY(!TuningWendleApplication::copyFile(dir.filePath("missing.pd"), dir.filePath("t.pd"), true));
        // A target that cannot be deleted (a folder in its place).
        QVERIFY(QDir().mkpath(dir.filePath("busy.pd/inside")));
        QVERIFY(writeFile(dir.filePath("s.pd"), "x", QDateTime::currentDateTime()));
        QVERIFY(!TuningWendleApplication::copyFile(dir.filePath("s.pd"), dir.filePath("busy.pd"), true));
    }

    // The shell patches come from the program's folder; the main patch is the
    // one for the stored voice count, and a missing one fails after all five were tried.
    void initPatches()
    {
        const QString shell = TuningWendleApplication::programDir() + "/patches/shell";
        QDir(TuningWendleApplication::programDir() + "/patches").removeRecursively();
        QVERIFY(QDir().mkpath(shell));
        const QString installed = qEnvironmentVariable("WENDLE_SOURCE_DIR") + "/patches/shell";
        for (const QString& name : QDir(installed).entryList(QDir::Files))
            QVERIFY(QFile::copy(installed + "/" + name, shell + "/" + name));
        const QString folder = TuningWendleApplication::configDir() + "/patch";
        QDir(folder).removeRecursively();

        app()->options().mainPatchNumberOfVoices = 64;
        QVERIFY(app()->initPatches());
        QCOMPARE(bytesOf(folder + "/wendle_main.pd"), bytesOf(shell + "/wendle_main_64voice.pd"));
        for (const char* name : { "wendle_vprep.pd", "equal-loudness.pd", "tb_compressor~.pd", "tb_compressorUI.pd" })
            QCOMPARE(bytesOf(folder + "/" + name), bytesOf(shell + "/" + name));

        QDir(folder).removeRecursively();
        QVERIFY(QFile::remove(shell + "/wendle_vprep.pd"));
        QVERIFY(!app()->initPatches());
        QVERIFY(QFileInfo::exists(folder + "/wendle_main.pd") && QFileInfo::exists(folder + "/tb_compressorUI.pd"));
        QDir(TuningWendleApplication::programDir() + "/patches").removeRecursively();
        app()->options().mainPatchNumberOfVoices = 128;
    }

    void midiHooks_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("glissRange");
        QTest::addColumn<int>("expectedChannel");
        QTest::addColumn<int>("expectedRange");
        // The range is the MPE gliss range plus the note's own 50 cents.
        QTest::newRow("MPE") << -1 << 150 << -1 << 200;
        QTest::newRow("channel 9") << 9 << 0 << 9 << 50;
        // Hand-edited values the output refuses: what it had stays.
        QTest::newRow("channel 99, gliss range -200") << 99 << -200 << 9 << 50;
    }

    // Start-up sets the MIDI output from the options (a missing port is not
    // fatal), and the window state keeps the output's port and channel.
    void midiHooks()
    {
        QFETCH(int, channel);
        QFETCH(int, glissRange);
        QFETCH(int, expectedChannel);
        QFETCH(int, expectedRange);
        Settings& options = app()->options();
        MidiOutput* midi = app()->midiInterface().midiOutput();
        options.midiOutDevice = "a synth that is not there";
        options.midiOutChannel = channel;
        options.glissRangeMPECents = glissRange;
        app()->configureMidi();
        QVERIFY(!midi->portOpen());
        QCOMPARE(midi->midiChannel(), expectedChannel);
        QCOMPARE(midi->pitchBendRange(), expectedRange);

        options.midiOutChannel = 5;
        app()->captureWindowState();
        QCOMPARE(options.midiOutDevice, QString(MidiOutput::NoPortName));
        QCOMPARE(options.midiOutChannel, expectedChannel);
    }

    void bundle()
    {
        QVERIFY(app()->loadStyleSheet());
        QVERIFY(app()->styleSheet().contains("#b4b4aa"));
        for (const QString& name : QDir(":/").entryList(QDir::Files) + QDir(":/icons").entryList(QDir::Files)) {
            const QString path = QFileInfo::exists(":/" + name) ? ":/" + name : ":/icons/" + name;
            if (name.endsWith(".svg"))
                QVERIFY2(QSvgRenderer(path).isValid(), qPrintable(path));
            else if (name.endsWith(".png"))
                QVERIFY2(!QImage(path).isNull(), qPrintable(path));
            else
                QVERIFY2(!bytesOf(path).isEmpty(), qPrintable(path));
        }
        QVERIFY(bytesOf(":/about.html").contains("<version>"));
        QCOMPARE(QDir(":/").entryList({ "*.svg" }).size(), 16);
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    // The program's flag for this file: its messages reach the diagnostics signal.
    char flag[] = "-TST_Application";
    char* args[] = { argv[0], flag, nullptr };
    int count = 2;
    TuningWendleApplication app(count, args);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
