#include "SignalMeasure.h"

#include <cmath>

namespace SignalMeasure {

double zeroCrossingFrequency(const std::vector<float>& stereo, double rate)
{
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (size_t i = 2; i + 1 < stereo.size(); i += 2) {
        const double a = stereo[i - 2];
        const double b = stereo[i];
        if (a < 0.0 && b >= 0.0) {
            const double t = double(i / 2 - 1) + a / (a - b);
            if (first < 0.0)
                first = t;
            else
                ++crossings;
            last = t;
        }
    }
    if (crossings == 0)
        return 0.0;
    return crossings * rate / (last - first);
}

double relativePowerAt(const std::vector<float>& stereo, double rate, double frequency)
{
    const size_t n = stereo.size() / 2;
    const double w = 2.0 * M_PI * frequency / rate;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0, energy = 0.0;
    for (size_t i = 0; i < n; ++i) {
        // A Hann window keeps neighbouring tones from leaking into each other.
        const double x = stereo[2 * i] * (0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(n - 1)));
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += x * x;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return energy > 0.0 ? power / (energy * double(n)) : 0.0;
}

double peak(const std::vector<float>& stereo)
{
    double p = 0.0;
    for (float s : stereo)
        p = std::max(p, double(std::fabs(s)));
    return p;
}

double rms(const std::vector<float>& stereo)
{
    double sum = 0.0;
    for (float s : stereo)
        sum += double(s) * s;
    return stereo.empty() ? 0.0 : std::sqrt(sum / double(stereo.size()));
}

} // namespace SignalMeasure
