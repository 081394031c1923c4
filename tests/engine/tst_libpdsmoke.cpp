#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <vector>

#include "z_libpd.h"
#include "z_print_util.h"

namespace {

constexpr int kOutChannels = 2;

QStringList printedLines;

void capturePrint(const char *line)
{
    printedLines << QString::fromUtf8(line).trimmed();
}

QString sourceDir()
{
    const QString fromEnv = qEnvironmentVariable("WENDLE_SOURCE_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(WENDLE_SOURCE_DIR_FALLBACK) : fromEnv;
}

bool switchDsp(bool on)
{
    if (libpd_start_message(1) != 0)
        return false;
    libpd_add_float(on ? 1.0f : 0.0f);
    return libpd_finish_message("pd", "dsp") == 0;
}

// Renders whole Pd blocks of interleaved stereo output.
std::vector<float> render(int frames)
{
    const int ticks = (frames + libpd_blocksize() - 1) / libpd_blocksize();
    std::vector<float> out(size_t(ticks) * size_t(libpd_blocksize()) * kOutChannels, -2.0f);
    float unusedInput = 0.0f;
    if (libpd_process_float(ticks, &unusedInput, out.data()) != 0)
        out.clear();
    return out;
}

std::vector<float> channel(const std::vector<float> &interleaved, int index)
{
    std::vector<float> mono;
    mono.reserve(interleaved.size() / kOutChannels);
    for (size_t i = size_t(index); i < interleaved.size(); i += kOutChannels)
        mono.push_back(interleaved[i]);
    return mono;
}

// Frequency from the first and last rising zero crossings, each placed
// between its two samples by linear interpolation.
double measuredFrequency(const std::vector<float> &samples, int sampleRate)
{
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        const double a = samples[i - 1];
        const double b = samples[i];
        if (a < 0.0 && b >= 0.0) {
            const double at = double(i - 1) + a / (a - b);
            if (crossings == 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2)
        return 0.0;
    return double(crossings - 1) * sampleRate / (last - first);
}

bool printedCouldntCreate()
{
    return std::any_of(printedLines.cbegin(), printedLines.cend(),
                       [](const QString &l) { return l.contains(QLatin1String("couldn't create")); });
}

} // namespace

class TestLibpdSmoke : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sineAtRequestedFrequency_data();
    void sineAtRequestedFrequency();
    void closedPatchFallsSilent();
    void missingObjectIsReported();

private:
    QString patchDir() const { return QDir(sourceDir()).filePath(QStringLiteral("tests/engine/data")); }
};

void TestLibpdSmoke::initTestCase()
{
    QVERIFY2(QFile::exists(QDir(patchDir()).filePath(QStringLiteral("smoke.pd"))),
             qPrintable(QStringLiteral("smoke.pd not found in ") + patchDir()));
    libpd_set_concatenated_printhook(capturePrint);
    libpd_set_printhook(libpd_print_concatenator);
    QCOMPARE(libpd_init(), 0);
    // Pd announces its version on start-up: proof that prints reach us.
    QVERIFY2(std::any_of(printedLines.cbegin(), printedLines.cend(),
                         [](const QString &l) { return l.startsWith(QLatin1String("pd 0.")); }),
             qPrintable(printedLines.join(QLatin1Char('|'))));
    QCOMPARE(libpd_blocksize(), 64);
}

void TestLibpdSmoke::init()
{
    printedLines.clear();
}

void TestLibpdSmoke::sineAtRequestedFrequency_data()
{
    QTest::addColumn<int>("sampleRate");
    QTest::addColumn<float>("frequency");

    for (const int rate : {48000, 44100}) {
        for (const float hz : {220.0f, 440.0f, 1000.0f}) {
            QTest::addRow("%d Hz at %d", int(hz), rate) << rate << hz;
        }
    }
}

void TestLibpdSmoke::sineAtRequestedFrequency()
{
    QFETCH(int, sampleRate);
    QFETCH(float, frequency);

    QCOMPARE(libpd_init_audio(0, kOutChannels, sampleRate), 0);
    void *patch = libpd_openfile("smoke.pd", qPrintable(patchDir()));
    QVERIFY(patch);
    QVERIFY(libpd_getdollarzero(patch) > 0);
    QVERIFY(switchDsp(true));
    QCOMPARE(libpd_float("smoke-freq", frequency), 0);

    const std::vector<float> out = render(sampleRate);
    libpd_closefile(patch);
    QVERIFY(switchDsp(false));
    QVERIFY(!out.empty());

    const std::vector<float> left = channel(out, 0);
    const std::vector<float> right = channel(out, 1);
    QCOMPARE(left, right);

    const double measured = measuredFrequency(left, sampleRate);
    const double cents = 1200.0 * std::log2(measured / frequency);
    QVERIFY2(std::abs(cents) <= 0.1,
             qPrintable(QStringLiteral("measured %1 Hz, %2 cents off").arg(measured, 0, 'f', 4).arg(cents, 0, 'f', 4)));

    const auto [lo, hi] = std::minmax_element(left.cbegin(), left.cend());
    QVERIFY2(*hi > 0.99f && *hi <= 1.0001f, qPrintable(QString::number(*hi)));
    QVERIFY2(*lo < -0.99f && *lo >= -1.0001f, qPrintable(QString::number(*lo)));

    QVERIFY2(!printedCouldntCreate(), qPrintable(printedLines.join(QLatin1Char('|'))));
}

void TestLibpdSmoke::closedPatchFallsSilent()
{
    QCOMPARE(libpd_init_audio(0, kOutChannels, 48000), 0);
    void *patch = libpd_openfile("smoke.pd", qPrintable(patchDir()));
    QVERIFY(patch);
    QVERIFY(libpd_exists("smoke-freq"));
    QVERIFY(switchDsp(true));
    QCOMPARE(libpd_float("smoke-freq", 440.0f), 0);
    const std::vector<float> playing = render(4800);
    QVERIFY(std::any_of(playing.cbegin(), playing.cend(), [](float s) { return std::abs(s) > 0.5f; }));

    libpd_closefile(patch);
    QVERIFY(!libpd_exists("smoke-freq"));
    QVERIFY(libpd_float("smoke-freq", 220.0f) != 0);
    const std::vector<float> closed = render(4800);
    QVERIFY(!closed.empty());
    QVERIFY(std::all_of(closed.cbegin(), closed.cend(), [](float s) { return s == 0.0f; }));
    QVERIFY(switchDsp(false));
    QVERIFY2(printedLines.filter(QLatin1String("error")).isEmpty(),
             qPrintable(printedLines.join(QLatin1Char('|'))));
}

// The check on "couldn't create" above is only worth something if Pd's
// complaint about an unknown object does reach the print hook.
void TestLibpdSmoke::missingObjectIsReported()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("broken.pd")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#N canvas 0 50 360 240 12;\n"
               "#X obj 40 30 smoke-no-such-object~;\n"
               "#X obj 40 80 dac~;\n"
               "#X connect 0 0 1 0;\n");
    file.close();

    void *patch = libpd_openfile("broken.pd", qPrintable(dir.path()));
    QVERIFY(patch);
    libpd_closefile(patch);
    QVERIFY2(printedCouldntCreate(), qPrintable(printedLines.join(QLatin1Char('|'))));
}

QTEST_GUILESS_MAIN(TestLibpdSmoke)
#include "tst_libpdsmoke.moc"
