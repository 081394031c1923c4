// The diagnostics window fed by the real log handler. The program's own
// command line follows "--": ctest runs this with a source file of ours
// ("settings"), with "all" and with nothing.
#include "DiagnosticsDialog.h"
#include "TuningWendleApplication.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

class TestDiagnostics : public QObject
{
    Q_OBJECT

    std::unique_ptr<DiagnosticsDialog> mDialog;

    static bool forwarding() { return !TuningWendleApplication::instance()->flags().isEmpty(); }
    // Our lines ("...): -<value>;"), without what other parts say under "all".
    QStringList lines(const QString& value = QStringLiteral("\\d+")) const
    {
        const QString text = mDialog->findChild<QPlainTextEdit*>()->toPlainText();
        return text.split('\n').filter(QRegularExpression(QStringLiteral("\\): -(%1);").arg(value)));
    }
    // A warning logged by Settings.cpp, carrying -value.
    static void log(int value) { Settings().onBaseFrequencyChanged(-float(value)); }

private slots:
    // QtTest puts its own handler in place of the program's.
    void initTestCase() { qInstallMessageHandler(TuningWendleApplication::messageHandler); }
    void init() { mDialog = std::make_unique<DiagnosticsDialog>(); }

    // Three threads log 4000 lines each: each thread's lines keep their order,
    // the text holds the newest lines up to its cap, every thread's last included.
    void threeThreads()
    {
        constexpr int Lines = 4000;
        std::vector<std::thread> threads;
        for (int t = 1; t <= 3; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < Lines; ++i)
                    log(t * 100000 + i);
            });
        for (std::thread& t : threads)
            t.join();
        // Every line was posted to the window before its thread ended.
        QCoreApplication::processEvents();
        if (!forwarding()) {
            QVERIFY(mDialog->findChild<QPlainTextEdit*>()->toPlainText().isEmpty());
            return;
        }
        QTRY_COMPARE(mDialog->findChild<QPlainTextEdit*>()->blockCount(), DiagnosticsDialog::MaxLines);
        QList<int> last { -1, -1, -1, -1 };
        for (const QString& line : lines()) {
            const int value = QRegularExpression("\\): -(\\d+);").match(line).captured(1).toInt();
            const int t = value / 100000, i = value % 100000;
            QVERIFY2(last[t] == -1 || i == last[t] + 1, qPrintable(line));
            last[t] = i;
        }
        QCOMPARE(last.mid(1), QList<int>({ Lines - 1, Lines - 1, Lines - 1 }));
        QVERIFY(lines().last().contains(QString::number(Lines - 1) + ';'));
    }

    // Closed, the window keeps collecting; shown again, everything is there.
    // A message from another thread is one line: showing it logs nothing
    // (under "all" it would come back).
    void hiddenKeepsCollecting()
    {
        mDialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(mDialog.get()));
        log(1);
        mDialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Close)->click();
        QVERIFY(!mDialog->isVisible());
        const int before = mDialog->findChild<QPlainTextEdit*>()->blockCount();
        std::thread([] { log(2); }).join();
        QCoreApplication::processEvents(); // the line was posted before the join
        mDialog->show();
        QCOMPARE(lines("[12]").size(), forwarding() ? 2 : 0);
        QCOMPARE(mDialog->findChild<QPlainTextEdit*>()->blockCount() - before, forwarding() ? 1 : 0);
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QList<char*> testArgs { argv[0] }, programArgs { argv[0] };
    for (int i = 1, program = 0; i < argc; ++i) {
        if (!program && qstrcmp(argv[i], "--") == 0)
            program = 1;
        else
            (program ? programArgs : testArgs) << argv[i];
    }
    int programArgc = int(programArgs.size()), testArgc = int(testArgs.size());
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    TuningWendleApplication app(programArgc, programArgs.data());
    if (!QDir().mkpath(TuningWendleApplication::configDir()))
        return 1;
    app.openLog();
    TestDiagnostics test;
    return QTest::qExec(&test, testArgc, testArgs.data());
}

#include "tst_diagnostics.moc"
