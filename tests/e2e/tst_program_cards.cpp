// The built program's cards, as a player meets them: scripts/headless.sh
// clicks the /3 ball on a private X server and JACK server, finds the card
// that appears beside the lattice and right-clicks it.
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {

QString sourceDir()
{
    return qEnvironmentVariable("WENDLE_SOURCE_DIR", QStringLiteral(WENDLE_SOURCE_DIR_FALLBACK));
}

QPoint pointOf(const QString& text)
{
    const QStringList xy = text.split(QLatin1Char(','));
    return xy.size() == 2 ? QPoint(xy[0].toInt(), xy[1].toInt()) : QPoint(-1, -1);
}

} // namespace

class TestProgramCards : public QObject
{
    Q_OBJECT

    QTemporaryDir mTemp;

private slots:
    void initTestCase()
    {
        for (const char* tool : { "bash", "Xvfb", "xdotool", "import", "convert", "compare", "jackd", "jack_lsp", "jack_rec" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 not installed: the program runs on Xvfb and JACK here "
                                                "(scripts/setup.sh installs them)").arg(QLatin1String(tool))));
        }
        QVERIFY(mTemp.isValid());
        for (const char* path : { WENDLE_PROGRAM, WENDLE_MEASURE })
            QVERIFY2(QFileInfo(QString::fromLocal8Bit(path)).isExecutable(), path);
    }

    // No card before the click; the card of 3/2 stands right of its ball
    // at the size the style sheet gives; a right click on it silences the
    // note and the card goes.
    void clickShowsTheCard()
    {
        QProcess harness;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        harness.setProcessEnvironment(env);
#ifdef Q_OS_LINUX
        harness.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
        harness.start(QStringLiteral("bash"),
                      { sourceDir() + QStringLiteral("/scripts/headless.sh"), QStringLiteral("--fresh"),
                        QStringLiteral("--data"), mTemp.filePath(QStringLiteral("data")), QStringLiteral("--out"),
                        mTemp.filePath(QStringLiteral("out")), QStringLiteral("--program"), QStringLiteral(WENDLE_PROGRAM),
                        QStringLiteral("--measure"), QStringLiteral(WENDLE_MEASURE), QStringLiteral("--card") });
        if (!harness.waitForFinished(120000)) {
            harness.terminate();
            harness.waitForFinished(30000);
        }
        QHash<QString, QString> values;
        const QString printed = QString::fromLocal8Bit(harness.readAllStandardOutput());
        for (const QString& line : printed.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const qsizetype eq = line.indexOf(QLatin1Char('='));
            if (eq > 0)
                values.insert(line.left(eq), line.mid(eq + 1));
        }
        const QString report = printed + QString::fromLocal8Bit(harness.readAllStandardError());
        if (harness.exitStatus() != QProcess::NormalExit || harness.exitCode() != 0)
            mTemp.setAutoRemove(false);
        QVERIFY2(harness.exitStatus() == QProcess::NormalExit && harness.exitCode() == 0, qPrintable(report));

        QCOMPARE(values.value(QStringLiteral("card_before")), QStringLiteral("none"));
        const QPoint ball = pointOf(values.value(QStringLiteral("ball")));
        const QPoint card = pointOf(values.value(QStringLiteral("card")));
        QVERIFY2(card.x() > ball.x() + 100, qPrintable(report));
        // The white inside the card's 2-pixel border, a little less for its corners.
        const QStringList size = values.value(QStringLiteral("card_size")).split(QLatin1Char('x'));
        QVERIFY2(size.size() == 2 && size[0].toInt() > 150 && size[0].toInt() <= 168 && size[1].toInt() > 70
                     && size[1].toInt() <= 88,
                 qPrintable(report));
        QCOMPARE(values.value(QStringLiteral("card_after_right_click")), QStringLiteral("gone"));
        QCOMPARE(values.value(QStringLiteral("exit")), QStringLiteral("0"));
    }
};

QTEST_GUILESS_MAIN(TestProgramCards)
#include "tst_program_cards.moc"
