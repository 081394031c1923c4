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
