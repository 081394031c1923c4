#pragma once

#include <cmath>

// The number rules of the options window's pitch controls.
namespace OptionsRules {

// The equal-tempered pitch k semitones from A4 = 440 Hz, rounded to six
// significant digits.
inline float equalTempered(int k)
{
    const double f = 440.0 * std::pow(2.0, k / 12.0);
    const double scale = std::pow(10.0, 5 - int(std::floor(std::log10(f))));
    return float(std::round(f * scale) / scale);
}

// Decimals that show a 1/1 frequency to about six significant digits.
inline int longDecimals(double f)
{
    return f >= 10000 ? 1 : f >= 1000 ? 2 : f >= 100 ? 3 : f >= 10 ? 4 : f >= 1 ? 5 : 6;
}

// The same while the player types: never more than four.
inline int shortDecimals(double f)
{
    return f >= 10000 ? 1 : f >= 1000 ? 2 : f >= 100 ? 3 : 4;
}

} // namespace OptionsRules
