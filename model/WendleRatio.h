#pragma once

#include "PrimeTables.h"
#include "WendlePath.h"

#include <QMetaType>
#include <QString>
#include <memory>

// An exact frequency ratio, always in lowest terms. The second ratio includes
// the lattice's transposition and exists only in the object built from a path:
// copies carry the first ratio alone, and equality and hashing look at it alone.
class WendleRatio
{
public:
    WendleRatio();
    explicit WendleRatio(const WendlePath& path);
    WendleRatio(quint64 numerator, quint64 denominator);
    explicit WendleRatio(const Rational& r);
    WendleRatio(const WendleRatio& other);
    WendleRatio(WendleRatio&& other) noexcept;
    WendleRatio& operator=(const WendleRatio& other);
    WendleRatio& operator=(WendleRatio&& other) noexcept;
    virtual ~WendleRatio();

    quint64 numerator() const { return ratio.numerator(); }
    quint64 denominator() const { return ratio.denominator(); }
    // 0/1 marks "no ratio": the default, and what steps outside the tables give.
    bool isNull() const { return ratio.numerator() == 0; }
    double toDouble() const;

    Rational absoluteRatio() const;
    Rational relativeRatio() const;
    QString toString() const;
    QString toString(bool withinOctave) const;
    QString toAbsoluteString() const;
    std::unique_ptr<qint8[]> toSteps() const;

    // Exact product; false (and 0/1) when it does not fit in 64 bits.
    static bool multiplyExact(const Rational& a, const Rational& b, Rational& result);
    // The product of the interval of each step; 0/1 for a step that is not a signed prime.
    static Rational ratioOfSteps(const qint8* steps, int maxSteps);
    static QString rationalText(const Rational& r, bool withinOctave);

    static constexpr int StepBufferSize = 101;

    // Registers WendleRatio, WendlePath and QList<float> by name, so that they
    // travel through queued connections made with string signatures.
    static void registerMetaTypes();

    Rational ratio { 0, 1 };
    Rational transposedRatio { 0, 1 };
};

bool operator==(const WendleRatio& a, const WendleRatio& b);
inline bool operator!=(const WendleRatio& a, const WendleRatio& b) { return !(a == b); }
size_t qHash(const WendleRatio& ratio, size_t seed = 0);

// Largest absolute step of a 0-terminated step list; 1 when it is empty.
int highestPrime(const qint8* steps);

Q_DECLARE_METATYPE(WendleRatio)
