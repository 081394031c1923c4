#include "WendleRatio.h"

#include "RatioContext.h"

#include <QHashFunctions>
#include <numeric>

namespace {

using u128 = unsigned __int128;

bool fits(u128 v) { return v <= u128(~quint64(0)); }

// n/d in lowest terms from 128-bit parts; false when either part stays above 64 bits.
bool reduce(u128 n, u128 d, Rational& out)
{
    if (d == 0)
        return false;
    if (n == 0) {
        out.assign(0, 1);
        return true;
    }
    u128 a = n, b = d;
    while (b != 0) {
        const u128 t = a % b;
        a = b;
        b = t;
    }
    n /= a;
    d /= a;
    if (!fits(n) || !fits(d))
        return false;
    out.assign(quint64(n), quint64(d));
    return true;
}

QString decimal(u128 v)
{
    if (v == 0)
        return QStringLiteral("0");
    char buf[48];
    int i = sizeof buf;
    while (v != 0) {
        buf[--i] = char('0' + int(v % 10));
        v /= 10;
    }
    return QString::fromLatin1(buf + i, int(sizeof buf) - i);
}

// Multiplies by a transposition-sized factor formed the way the lattice forms
// its products: first as 128-bit products, then cancelled.
Rational scaled(const Rational& r, quint64 num, quint64 den)
{
    Rational out(0, 1);
    if (!reduce(u128(r.numerator()) * num, u128(r.denominator()) * den, out))
        return Rational(0, 1);
    return out;
}

} // namespace

void WendleRatio::registerMetaTypes()
{
    qRegisterMetaType<WendleRatio>("WendleRatio");
    qRegisterMetaType<WendlePath>("WendlePath");
    qRegisterMetaType<QList<float>>("QList<float>");
}

WendleRatio::WendleRatio() = default;

WendleRatio::WendleRatio(const WendlePath& path)
{
    ratio = ratioOfSteps(path.steps, WendlePath::MaxSteps);
    const RatioContext::Transposition t = RatioContext::transposition();
    if (!multiplyExact(t.pathRatio, ratio, transposedRatio))
        transposedRatio.assign(0, 1);
}

WendleRatio::WendleRatio(quint64 numerator, quint64 denominator)
{
    if (denominator != 0)
        ratio.assign(numerator, denominator);
}

WendleRatio::WendleRatio(const Rational& r)
    : ratio(r)
{
}

WendleRatio::WendleRatio(const WendleRatio& other)
    : ratio(other.ratio)
{
}

WendleRatio::WendleRatio(WendleRatio&& other) noexcept
    : ratio(other.ratio)
{
}

WendleRatio& WendleRatio::operator=(const WendleRatio& other)
{
    ratio = other.ratio;
    transposedRatio.assign(0, 1);
    return *this;
}

WendleRatio& WendleRatio::operator=(WendleRatio&& other) noexcept
{
    ratio = other.ratio;
    transposedRatio.assign(0, 1);
    return *this;
}

WendleRatio::~WendleRatio() = default;

double WendleRatio::toDouble() const
{
    return double(ratio.numerator()) / double(ratio.denominator());
}

bool WendleRatio::multiplyExact(const Rational& a, const Rational& b, Rational& result)
{
    if (reduce(u128(a.numerator()) * b.numerator(), u128(a.denominator()) * b.denominator(), result))
        return true;
    result.assign(0, 1);
    return false;
}

Rational WendleRatio::ratioOfSteps(const qint8* steps, int maxSteps)
{
    Rational r(1, 1);
    for (int i = 0; i < maxSteps && steps[i] != 0; ++i) {
        const int s = steps[i];
        // Anything but a signed prime has no interval: the whole path has no
        // ratio rather than a reciprocal of 0/1 or a read past the table.
        if (!isPrimeStep(s))
            return Rational(0, 1);
        const Rational& step = primeIntervalTable[s < 0 ? -s : s];
        if (s > 0)
            r *= step;
        else
            r /= step;
    }
    return r;
}

Rational WendleRatio::absoluteRatio() const
{
    const Rational t = RatioContext::transposition().ratio;
    return scaled(ratio, t.numerator(), t.denominator());
}

Rational WendleRatio::relativeRatio() const
{
    const Rational t = RatioContext::transposition().ratio;
    return scaled(ratio, t.denominator(), t.numerator());
}

QString WendleRatio::rationalText(const Rational& r, bool withinOctave)
{
    u128 n = r.numerator();
    u128 d = r.denominator();
    // A zero numerator has no octave to reduce into.
    if (withinOctave && n != 0) {
        while (n >= 2 * d) {
            if (n % 2 == 0)
                n /= 2;
            else
                d *= 2;
        }
        while (n < d) {
            if (d % 2 == 0)
                d /= 2;
            else
                n *= 2;
        }
    }
    return decimal(n) + QLatin1Char('/') + decimal(d);
}

QString WendleRatio::toString() const
{
    return rationalText(ratio, RatioContext::withinOctave());
}

QString WendleRatio::toString(bool withinOctave) const
{
    return rationalText(ratio, withinOctave);
}

QString WendleRatio::toAbsoluteString() const
{
    return rationalText(absoluteRatio(), RatioContext::withinOctave());
}

std::unique_ptr<qint8[]> WendleRatio::toSteps() const
{
    auto buffer = std::make_unique<qint8[]>(StepBufferSize);
    std::fill_n(buffer.get(), StepBufferSize, qint8(0));
    int used = 0;
    auto push = [&](int step) {
        if (used < StepBufferSize - 1)
            buffer[used++] = qint8(step);
    };

    quint64 n = ratio.numerator();
    quint64 d = ratio.denominator();
    if (n == 0 || d == 0)
        return buffer;
    // Every raising step before every lowering one; n/p × 2^k stays below n.
    auto factorOut = [&](quint64& x, int sign) {
        for (int i = 2; i < int(primeList.size()); ++i) {
            const quint64 p = quint64(primeList[i]);
            const quint64 octave = primeIntervalTable[p].denominator();
            while (x % p == 0) {
                push(sign * int(p));
                x = x / p * octave;
            }
        }
    };
    factorOut(n, 1);
    factorOut(d, -1);
    while (n % 2 == 0 && d % 2 == 0) {
        n /= 2;
        d /= 2;
    }
    while (n % 2 == 0) {
        push(2);
        n /= 2;
    }
    while (d % 2 == 0) {
        push(-2);
        d /= 2;
    }
    return buffer;
}

bool operator==(const WendleRatio& a, const WendleRatio& b)
{
    return a.ratio.numerator() == b.ratio.numerator() && a.ratio.denominator() == b.ratio.denominator();
}

size_t qHash(const WendleRatio& ratio, size_t seed)
{
    // Each whole term mixed before they are combined: a plain h*31 + term
    // puts whole families such as k/(M - 31k) in one bucket, and a chord file
    // of them would take quadratic time to read.
    return qHashMulti(seed, ratio.ratio.numerator(), ratio.ratio.denominator());
}

int highestPrime(const qint8* steps)
{
    int greatest = 0;
    int least = 0;
    bool any = false;
    for (int i = 0; steps[i] != 0; ++i) {
        greatest = any ? std::max(greatest, int(steps[i])) : steps[i];
        least = any ? std::min(least, int(steps[i])) : steps[i];
        any = true;
    }
    if (!any)
        return 1;
    return std::max(greatest, -least);
}
