#include "RatioContext.h"

std::atomic<quint32> RatioContext::sVersion { 0 };
std::atomic<quint64> RatioContext::sWords[4] = { { 1 }, { 1 }, { 1 }, { 1 } };
std::atomic<const bool*> RatioContext::sWithinOctave { nullptr };

void RatioContext::publishTransposition(const Rational& ratio, const Rational& pathRatio)
{
    // Single writer (the GUI thread): odd version while the words change. All
    // accesses are sequentially consistent, so a reader that saw any new word
    // also sees the version move.
    const quint32 v = sVersion.load();
    sVersion.store(v + 1);
    sWords[0].store(ratio.numerator());
    sWords[1].store(ratio.denominator());
    sWords[2].store(pathRatio.numerator());
    sWords[3].store(pathRatio.denominator());
    sVersion.store(v + 2);
}

bool RatioContext::tryTransposition(Transposition& out)
{
    const quint32 before = sVersion.load();
    if (before & 1u)
        return false;
    quint64 w[4];
    for (int i = 0; i < 4; ++i)
        w[i] = sWords[i].load();
    if (sVersion.load() != before)
        return false;
    out.ratio.assign(w[0], w[1]);
    out.pathRatio.assign(w[2], w[3]);
    return true;
}

RatioContext::Transposition RatioContext::transposition()
{
    Transposition t;
    while (!tryTransposition(t)) {
    }
    return t;
}

const RatioContext::Transposition& RatioContext::Reader::read()
{
    // A writer is done in a few stores; a reader that still finds it busy
    // after this many looks has met one that was preempted.
    constexpr int Attempts = 4;
    Transposition t;
    for (int i = 0; i < Attempts; ++i) {
        if (tryTransposition(t)) {
            mLast = t;
            break;
        }
    }
    return mLast;
}

void RatioContext::holdPublication(bool held)
{
    const quint32 v = sVersion.load();
    if (bool(v & 1u) != held)
        sVersion.store(v + 1);
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
