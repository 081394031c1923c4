#pragma once

#include <boost/rational.hpp>
#include <QtGlobal>
#include <array>

// The exact interval of one step along each prime, reduced into one octave.
using Rational = boost::rational<quint64>;

// Indexed by the prime itself; 0/1 at every index that is not a prime 2..31.
extern const std::array<Rational, 32> primeIntervalTable;
// 1 followed by the primes 2..31.
extern const std::array<int, 12> primeList;
// Indexed by the prime; -1.0 at non-primes, which makes it the test of a valid step.
extern const std::array<float, 32> primeIntervalFloats;

// True when s is +p or -p for one of the primes 2..31.
constexpr bool isPrimeStep(int s)
{
    const int a = s < 0 ? -s : s;
    switch (a) {
    case 2: case 3: case 5: case 7: case 11: case 13:
    case 17: case 19: case 23: case 29: case 31:
        return true;
    default:
        return false;
    }
}
