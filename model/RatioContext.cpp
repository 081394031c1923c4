#include "RatioContext.h"

std::atomic<quint32> RatioContext::sVersion { 0 };
std::atomic<quint64> RatioContext::sWords[4] = { { 1 }, { 1 }, { 1 }, { 1 } };
std::atomic<const bool*> RatioContext::sWithinOctave { nullptr };

void RatioContext::publishTransposition(const Rational& ratio, const Rational& pathRatio)
{
    // Single writer (the GUI thread): odd version while the words change.
    const quint32 v = sVersion.load(std::memory_order_relaxed);
    sVersion.store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    sWords[0].store(ratio.numerator(), std::memory_order_relaxed);
    sWords[1].store(ratio.denominator(), std::memory_order_relaxed);
    sWords[2].store(pathRatio.numerator(), std::memory_order_relaxed);
    sWords[3].store(pathRatio.denominator(), std::memory_order_relaxed);
    sVersion.store(v + 2, std::memory_order_release);
}

RatioContext::Transposition RatioContext::transposition()
{
    quint64 w[4];
    for (;;) {
        const quint32 before = sVersion.load(std::memory_order_acquire);
        if (before & 1u)
            continue;
        for (int i = 0; i < 4; ++i)
            w[i] = sWords[i].load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sVersion.load(std::memory_order_relaxed) == before)
            break;
    }
    Transposition t;
    // The words were normalised when published; assign without re-normalising.
    t.ratio.assign(w[0], w[1]);
    t.pathRatio.assign(w[2], w[3]);
    return t;
}

void RatioContext::bindWithinOctave(const bool* flag)
{
    sWithinOctave.store(flag, std::memory_order_release);
}

bool RatioContext::withinOctave()
{
    const bool* flag = sWithinOctave.load(std::memory_order_acquire);
    return flag ? *flag : true;
}
