#pragma once

#include <vector>

// Measurements of rendered stereo audio (interleaved).
namespace SignalMeasure {

// Frequency of a single tone in the left channel from interpolated rising zero crossings.
double zeroCrossingFrequency(const std::vector<float>& stereo, double rate);
// Power of the left channel at one frequency (Goertzel), normalised to the signal's power.
double relativePowerAt(const std::vector<float>& stereo, double rate, double frequency);
double peak(const std::vector<float>& stereo);
double rms(const std::vector<float>& stereo);

} // namespace SignalMeasure
