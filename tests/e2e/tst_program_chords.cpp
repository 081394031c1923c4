// Chords in the built program, played from the keyboard on a private X and
// JACK server (scripts/headless.sh): what a recall sounds, what a store
// leaves in the auto-saved chords, and a bad auto-save kept aside.
#include <QDir>
#include <QFile>
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

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Twenty slot lines, the first ones given.
QByteArray chordFile(const QList<QByteArray>& first)
{
    QByteArray text;
    for (int i = 0; i < 20; ++i)
        text += (i < first.size() ? first[i] : QByteArray("0")) + '\n';
    return text;
}

} // namespace

class TestProgramChords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const char* tool : { "bash", "Xvfb", "xdotool", "import", "convert", "compare", "jackd", "jack_lsp", "jack_rec" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 not installed (scripts/setup.sh installs it)").arg(QLatin1String(tool))));
        }
    }

    void chords_data()
    {
        QTest::addColumn<QByteArray>("saved"); // the auto-saved chords before the start; empty: none
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<double>("hz"); // what the recording measures; 0: no recording
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QByteArray>("aside"); // ".temp.lmpr.bad"
        // The click sounds /3; Alt+1 stores it.
        QTest::newRow("store") << QByteArray() << QStringList { "--keys", "alt+1" } << 660.0 << chordFile({ "3/2 0" }) << QByteArray();
        // Key 1 recalls 5/4 from the auto-save; Alt+2 stores what the recall sounds.
        QTest::newRow("recall") << chordFile({ "5/4 0" }) << QStringList { "--keys-first", "1", "--no-click", "--keys", "alt+2" }
                                << 550.0 << chordFile({ "5/4 0", "5/4 0" }) << QByteArray();
        QTest::newRow("bad auto-save") << QByteArray("5/4 x\n") << QStringList { "--no-play" } << 0.0 << chordFile({}) << QByteArray("5/4 x\n");
    }

    void chords()
    {
        QFETCH(QByteArray, saved);
        QFETCH(QStringList, options);
        QFETCH(double, hz);
        QFETCH(QByteArray, after);
        QFETCH(QByteArray, aside);
        QTemporaryDir temp;
        const QString config = temp.filePath("data/Drovane Tuning Wendle");
        QVERIFY(QDir().mkpath(config));
        if (!saved.isEmpty()) {
            QFile file(config + "/.temp.lmpr");
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(saved) == saved.size());
        }

        QProcess harness;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        harness.setProcessEnvironment(env);
#ifdef Q_OS_LINUX
        harness.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        const QString source = qEnvironmentVariable("WENDLE_SOURCE_DIR", WENDLE_SOURCE_DIR_FALLBACK);
        harness.start("bash", QStringList { source + "/scripts/headless.sh", "--data", temp.filePath("data"), "--out", temp.filePath("out"),
                                            "--program", WENDLE_PROGRAM, "--measure", WENDLE_MEASURE } + options);
        QVERIFY(harness.waitForFinished(150000));
        const QString printed = QString::fromLocal8Bit(harness.readAllStandardOutput());
        QHash<QString, QString> values;
        for (const QString& line : printed.split('\n', Qt::SkipEmptyParts))
            values.insert(line.section('=', 0, 0), line.section('=', 1));
        const QString report = printed + QString::fromLocal8Bit(harness.readAllStandardError())
            + QString::fromLocal8Bit(readAll(temp.filePath("out/program.log")).right(3000));
        if (harness.exitCode() != 0)
            temp.setAutoRemove(false);
        QVERIFY2(harness.exitCode() == 0 && values.value("exit") == "0", qPrintable(report));
        if (hz > 0) {
            const double cents = 1200.0 * std::log2(values.value("frequency").toDouble() / hz);
            QVERIFY2(std::abs(cents) <= 1.0, qPrintable(values.value("frequency") + " Hz, expected " + QString::number(hz)));
        }
        QCOMPARE(readAll(config + "/.temp.lmpr"), after);
        QCOMPARE(readAll(config + "/.temp.lmpr.bad"), aside);
    }
};

QTEST_GUILESS_MAIN(TestProgramChords)
#include "tst_program_chords.moc"
