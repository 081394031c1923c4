#include "SignalMeasure.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
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

namespace {

// Power of `x` at `frequency` (Goertzel); `x` is already windowed.
double powerAt(const std::vector<double>& x, double rate, double frequency)
{
    const double coeff = 2.0 * std::cos(2.0 * M_PI * frequency / rate);
    double s1 = 0.0, s2 = 0.0;
    for (double v : x) {
        const double s0 = v + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

} // namespace

std::vector<double> partialsNear(const std::vector<float>& stereo, double rate, double around, double cents, double floor)
{
    const size_t n = stereo.size() / 2;
    if (n < 2)
        return {};
    // Blackman-Harris: its sidelobes, 92 dB down, pull no peak off its place.
    std::vector<double> x(n);
    for (size_t i = 0; i < n; ++i) {
        const double t = 2.0 * M_PI * double(i) / double(n - 1);
        x[i] = stereo[2 * i] * (0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2.0 * t) - 0.01168 * std::cos(3.0 * t));
    }
    // A quarter of a bin apart, so that no main lobe falls between two steps.
    const double step = rate / double(n) / 4.0;
    const double low = around * std::exp2(-cents / 1200.0);
    const double high = around * std::exp2(cents / 1200.0);
    std::vector<double> power;
    for (double f = low; f <= high; f += step)
        power.push_back(powerAt(x, rate, f));
    const double strongest = power.empty() ? 0.0 : *std::max_element(power.begin(), power.end());
    std::vector<double> partials;
    for (size_t i = 1; i + 1 < power.size(); ++i) {
        if (power[i] < floor * strongest || power[i] < power[i - 1] || power[i] <= power[i + 1])
            continue;
        // Golden-section search for the top between the two neighbours.
        const double g = (std::sqrt(5.0) - 1.0) / 2.0;
        double a = low + double(i - 1) * step, b = low + double(i + 1) * step;
        double c = b - g * (b - a), d = a + g * (b - a);
        double pc = powerAt(x, rate, c), pd = powerAt(x, rate, d);
        while (b - a > 1e-6) {
            if (pc > pd) {
                b = d, d = c, pd = pc;
                c = b - g * (b - a);
                pc = powerAt(x, rate, c);
            } else {
                a = c, c = d, pc = pd;
                d = a + g * (b - a);
                pd = powerAt(x, rate, d);
            }
        }
        partials.push_back((a + b) / 2.0);
    }
    return partials;
}

double centsBetween(double measured, double expected)
{
    return 1200.0 * std::log2(measured / expected);
}

double peak(const std::vector<float>& samples)
{
    double p = 0.0;
    for (float s : samples)
        p = std::max(p, double(std::fabs(s)));
    return p;
}

double rms(const std::vector<float>& samples)
{
    double sum = 0.0;
    for (float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

namespace {

// Periods between rising zero crossings after sample `from`, each crossing
// placed between its two samples by linear interpolation.
std::vector<double> crossingPeriods(const std::vector<float>& samples, size_t from)
{
    std::vector<double> periods;
    double previous = -1.0;
    for (size_t i = from + 1; i < samples.size(); ++i) {
        const double a = samples[i - 1], b = samples[i];
        if (a < 0.0 && b >= 0.0) {
            const double at = double(i - 1) + a / (a - b);
            if (previous >= 0.0)
                periods.push_back(at - previous);
            previous = at;
        }
    }
    return periods;
}

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

} // namespace

double medianPeriodFrequency(const std::vector<float>& samples, int rate)
{
    // The median keeps a dropped or repeated buffer from moving the result;
    // the last second leaves out an attack at the start of a recording.
    const std::vector<double> periods = crossingPeriods(samples, samples.size() - std::min(samples.size(), size_t(std::max(rate, 0))));
    return periods.empty() ? 0.0 : rate / median(periods);
}

bool readWav16(const QString& path, std::vector<float> channels[2], int* rate, QString* error)
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    channels[0].clear();
    channels[1].clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
    const QByteArray wav = file.readAll();
    if (wav.size() < 12 || !wav.startsWith("RIFF") || wav.mid(8, 4) != "WAVE")
        return fail(QStringLiteral("%1 is not a RIFF WAVE file").arg(path));
    const auto u16 = [&wav](qsizetype at) { return int(quint8(wav.at(at))) | int(quint8(wav.at(at + 1))) << 8; };
    const auto u32 = [&u16](qsizetype at) { return qsizetype(u16(at)) | qsizetype(u16(at + 2)) << 16; };
    int count = 0;
    bool data = false;
    // Chunks follow the header, each padded to an even length.
    for (qsizetype pos = 12; pos + 8 <= wav.size(); pos += 8 + u32(pos + 4) + (u32(pos + 4) & 1)) {
        const QByteArray id = wav.mid(pos, 4);
        if (id == "fmt " && pos + 24 <= wav.size()) {
            // 1 is plain PCM; 0xFFFE (extensible) is how some writers label it too.
            const int format = u16(pos + 8);
            count = u16(pos + 10);
            *rate = int(u32(pos + 12));
            if ((format != 1 && format != 0xFFFE) || u16(pos + 22) != 16 || count < 1 || count > 2)
                return fail(QStringLiteral("%1 is not 16-bit PCM of one or two channels").arg(path));
        } else if (id == "data") {
            if (count == 0)
                return fail(QStringLiteral("%1 has its samples before their format").arg(path));
            const qsizetype end = std::min(wav.size(), pos + 8 + u32(pos + 4));
            for (qsizetype at = pos + 8; at + 2 * count <= end; at += 2 * count) {
                for (int c = 0; c < count; ++c)
                    channels[c].push_back(float(qint16(u16(at + 2 * c))) / 32768.0f);
            }
            data = true;
        }
    }
    if (!data)
        return fail(QStringLiteral("%1 holds no samples").arg(path));
    return true;
}

} // namespace SignalMeasure
