#pragma once

#include <QString>

#include <vector>

// Measurements of rendered audio: interleaved stereo where named so, one
// channel otherwise.
namespace SignalMeasure {

// Frequency of a single tone in the left channel from interpolated rising zero crossings.
double zeroCrossingFrequency(const std::vector<float>& stereo, double rate);
// Power of the left channel at one frequency (Goertzel), normalised to the signal's power.
double relativePowerAt(const std::vector<float>& stereo, double rate, double frequency);
// The partials of the left channel within `cents` of `around`, in Hz and in
// ascending order: the peaks of its windowed spectrum at least `floor` times
// the strongest one's power, each refined to well under a thousandth of a
// hertz. Telling two partials apart takes a window several times longer than
// the inverse of their distance.
std::vector<double> partialsNear(const std::vector<float>& stereo, double rate, double around, double cents, double floor = 0.01);
// How far `measured` lies from `expected`, in cents.
double centsBetween(double measured, double expected);
double peak(const std::vector<float>& samples);
double rms(const std::vector<float>& samples);

// Frequency of one channel from the median period between rising zero
// crossings in its last second; 0 when that second has fewer than two.
double medianPeriodFrequency(const std::vector<float>& samples, int rate);

// A 16-bit PCM WAV file of one or two channels (as jack_rec -b 16 writes),
// each channel scaled to [-1, 1); a mono file leaves channels[1] empty.
// On failure `error` says why.
bool readWav16(const QString& path, std::vector<float> channels[2], int* rate, QString* error = nullptr);

} // namespace SignalMeasure
