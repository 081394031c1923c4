#include "PdPlayerTestSupport.h"

#include "PatchFolder.h"
#include "RatioContext.h"

#include <QFileInfo>
#include <QMutex>
#include <QtTest>

#include <cmath>
#include <cstring>

#include "z_libpd.h"

char* toString(const WendleRatio& ratio)
{
    return QTest::toString(ratio.toString(false));
}

namespace PdPlayerTest {

namespace {

QMutex gSentMutex;
QList<Sent> gSent;
QList<float> gMasterVolumes;

// Records what the engine sends to the patch, then hands every list on to the
// engine's own hook so that "voice-stop" and "output-voice-info" still work.
void recordingListHook(const char* source, int argc, t_atom* argv)
{
    auto isFloat = [&](int i) { return i < argc && libpd_is_float(&argv[i]); };
    if (source && std::strcmp(source, "wendle-in") == 0 && argc == 3 && isFloat(0) && isFloat(1) && isFloat(2)) {
        QMutexLocker lock(&gSentMutex);
        gSent.append({ libpd_get_float(&argv[0]), int(libpd_get_float(&argv[1])), int(libpd_get_float(&argv[2])) });
    } else if (source && std::strcmp(source, "master-vol") == 0 && argc == 1 && isFloat(0)) {
        QMutexLocker lock(&gSentMutex);
        gMasterVolumes.append(libpd_get_float(&argv[0]));
    }
    PdPlayer::pdListHook(source, argc, argv);
}

} // namespace

void initLibpd()
{
    QVERIFY(PdPlayer::initLibpd());
    QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
    libpd_set_listhook(&recordingListHook);
    QVERIFY(libpd_bind("wendle-in") != nullptr);
    QVERIFY(libpd_bind("master-vol") != nullptr);
    QVERIFY(QFileInfo::exists(dataDir() + QStringLiteral("/engine_macros.pd")));
}

void initTest()
{
    RatioContext::publishTransposition(Rational(1, 1), Rational(1, 1));
    clearSent();
}

void clearSent()
{
    QMutexLocker lock(&gSentMutex);
    gSent.clear();
    gMasterVolumes.clear();
}

QList<Sent> sent(int voiceIndex)
{
    QMutexLocker lock(&gSentMutex);
    QList<Sent> list;
    for (const Sent& s : gSent) {
        if (voiceIndex < 0 || s.voice == voiceIndex + 1)
            list << s;
    }
    return list;
}

QList<int> parameters(const QList<Sent>& list)
{
    QList<int> p;
    for (const Sent& s : list)
        p << s.parameter;
    return p;
}

QList<float> masterVolumes()
{
    QMutexLocker lock(&gSentMutex);
    return gMasterVolumes;
}

void sendVoiceStop(float number)
{
    t_atom atom;
    libpd_set_float(&atom, number);
    PdPlayer::pdListHook("voice-stop", 1, &atom);
}

void answerMacros(const char* text)
{
    t_atom atoms[2];
    libpd_set_float(&atoms[0], 1.0f);
    libpd_set_symbol(&atoms[1], text);
    PdPlayer::pdListHook("output-voice-info", 2, atoms);
}

QString entry(const char* signal, const WendleRatio& r, bool flag)
{
    return QStringLiteral("%1(%2,%3)").arg(QLatin1String(signal), r.toString(false), flag ? "true" : "false");
}

QStringList stateOf(const PdPlayer& p)
{
    QStringList macros, primesOff;
    for (int m = 1; m <= PdPlayer::MacroCount; ++m)
        macros << QString::number(p.macro(m), 'g', 6);
    for (int i = 0; i < 32; ++i) {
        if (!p.primeEnabled(i))
            primesOff << QString::number(i);
    }
    return { "transposition " + p.transposition().toString(false), "voice " + QString::number(p.voiceVolume(), 'g', 6),
             "master " + QString::number(p.masterVolume(), 'g', 6), "base " + QString::number(p.baseFrequency(), 'g', 6),
             QStringLiteral("mono %1").arg(p.monophonic()), QStringLiteral("hold %1").arg(p.hold()),
             "macros " + macros.join(','), "primes off " + primesOff.join(',') };
}

WendleRatio R(quint64 n, quint64 d) { return WendleRatio(n, d); }

Rational stepInterval(int step)
{
    const Rational& i = primeIntervalTable[std::abs(step)];
    return step > 0 ? i : Rational(i.denominator(), i.numerator());
}

Rational pathRatio(const QList<int>& steps)
{
    Rational r(1, 1);
    for (int s : steps)
        r *= stepInterval(s);
    return r;
}

float frequency(const WendleRatio& r, float base)
{
    return float(r.numerator()) / float(r.denominator()) * base;
}

float glissFactor(float position, double rangeCents)
{
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * rangeCents / 1200.0));
}

QSet<WendleRatio> asSet(const QList<WendleRatio>& list)
{
    return QSet<WendleRatio>(list.begin(), list.end());
}

QString dataDir()
{
    return PatchFolder::sourceDir() + QStringLiteral("/tests/engine/data");
}

} // namespace PdPlayerTest
