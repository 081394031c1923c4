#include "SoundingSnapshot.h"

void SoundingSnapshot::beginWrite()
{
    mVersion.store(mVersion.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
}

void SoundingSnapshot::set(int index, const WendleRatio& ratio)
{
    mNumerators[index].store(ratio.numerator(), std::memory_order_relaxed);
    mDenominators[index].store(ratio.denominator(), std::memory_order_relaxed);
}

void SoundingSnapshot::endWrite(int count)
{
    mCount.store(count, std::memory_order_relaxed);
    mVersion.store(mVersion.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

QList<WendleRatio> SoundingSnapshot::read() const
{
    quint64 num[Capacity];
    quint64 den[Capacity];
    int count = 0;
    for (;;) {
        const quint32 before = mVersion.load(std::memory_order_acquire);
        if (before & 1u)
            continue;
        count = mCount.load(std::memory_order_relaxed);
        for (int i = 0; i < count; ++i) {
            num[i] = mNumerators[i].load(std::memory_order_relaxed);
            den[i] = mDenominators[i].load(std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_acquire);
        if (mVersion.load(std::memory_order_relaxed) == before)
            break;
    }
    QList<WendleRatio> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(WendleRatio(num[i], den[i]));
    return list;
}
