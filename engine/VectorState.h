#pragma once

// The CPU's vector register state as the audio thread finds it. Code that
// ran earlier on the thread (Qt's, for one) may leave the upper halves of the
// AVX registers in use; every later SSE instruction then pays a transition
// or merge penalty, which makes Pd's per-sample maths (exp, for one) several
// times dearer.
class VectorState
{
public:
    // Marks the upper halves unused (vzeroupper) on x86 CPUs with AVX; does
    // nothing elsewhere. Cheap enough for every audio callback.
    static void clearUpperHalves();
    // Whether clearUpperHalves does anything on this machine.
    static bool canClearUpperHalves();
};
