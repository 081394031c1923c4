#include "PrimeTables.h"

namespace {

std::array<Rational, 32> buildIntervalTable()
{
    std::array<Rational, 32> table;
    table.fill(Rational(0, 1));
    for (int p = 2; p < 32; ++p) {
        if (!isPrimeStep(p))
            continue;
        if (p == 2) {
            table[p] = Rational(2, 1);
            continue;
        }
        quint64 octave = 1;
        while (octave * 2 < quint64(p))
            octave *= 2;
        table[p] = Rational(quint64(p), octave);
    }
    return table;
}

std::array<float, 32> buildIntervalFloats()
{
    std::array<float, 32> floats;
    floats.fill(-1.0f);
    for (int p = 2; p < 32; ++p) {
        if (isPrimeStep(p))
            floats[p] = float(primeIntervalTable[p].numerator()) / float(primeIntervalTable[p].denominator());
    }
    return floats;
}

} // namespace

const std::array<Rational, 32> primeIntervalTable = buildIntervalTable();
const std::array<int, 12> primeList = { 1, 2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31 };
const std::array<float, 32> primeIntervalFloats = buildIntervalFloats();
