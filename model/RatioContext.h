#pragma once

#include "PrimeTables.h"

#include <atomic>

// What a ratio reads from outside itself: the lattice's current transposition
// and whether texts are reduced into the octave. The lattice publishes its
// transposition from the GUI thread; other threads read it as a
// sequence-counted snapshot, whole or not at all.
class RatioContext
{
public:
    struct Transposition
    {
        Rational ratio { 1, 1 };     // the lattice's transposition ratio
        Rational pathRatio { 1, 1 }; // product of the steps of its transposition path
    };

    static void publishTransposition(const Rational& ratio, const Rational& pathRatio);
    // Retries until it sees one whole version: only for threads that may wait
    // on the writer (the writer's own, the GUI thread).
    static Transposition transposition();
    // One attempt that never waits: false while a publication is under way.
    static bool tryTransposition(Transposition& out);

    // For a thread that must not wait (the audio thread): a few attempts, then
    // the last whole version this reader saw.
    class Reader
    {
    public:
        const Transposition& read();

    private:
        Transposition mLast;
    };

    // Leaves a publication open (or closes it) as a writer preempted halfway
    // would, so that tests can show that readers do not wait on it.
    static void holdPublication(bool held);

    // The text forms follow this flag; the application points it at its option.
    static void bindWithinOctave(const bool* flag);
    static bool withinOctave();

private:
    static std::atomic<quint32> sVersion;
    static std::atomic<quint64> sWords[4];
    static std::atomic<const bool*> sWithinOctave;
};
