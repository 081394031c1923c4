#pragma once

#include "PrimeTables.h"

#include <atomic>

// What a ratio reads from outside itself: the lattice's current transposition
// and whether texts are reduced into the octave. The lattice publishes its
// transposition from the GUI thread; the audio thread reads it while building
// ratios, so it travels as a sequence-counted snapshot that readers retry
// until they see one whole version.
class RatioContext
{
public:
    struct Transposition
    {
        Rational ratio { 1, 1 };     // the lattice's transposition ratio
        Rational pathRatio { 1, 1 }; // product of the steps of its transposition path
    };

    static void publishTransposition(const Rational& ratio, const Rational& pathRatio);
    static Transposition transposition();

    // The text forms follow this flag; the application points it at its option.
    static void bindWithinOctave(const bool* flag);
    static bool withinOctave();

private:
    static std::atomic<quint32> sVersion;
    static std::atomic<quint64> sWords[4];
    static std::atomic<const bool*> sWithinOctave;
};
