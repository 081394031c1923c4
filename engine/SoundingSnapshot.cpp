#include "SoundingSnapshot.h"

// Single writer, any number of readers. Every access is sequentially
// consistent: a reader that saw any word of a newer version also sees the
// version counter move and tries again.

void SoundingSnapshot::beginWrite()
{
    mVersion.store(mVersion.load() + 1);
}

void SoundingSnapshot::set(int index, const WendleRatio& ratio)
{
    mNumerators[index].store(ratio.numerator());
    mDenominators[index].store(ratio.denominator());
}

void SoundingSnapshot::endWrite(int count)
{
    mCount.store(count);
    mVersion.store(mVersion.load() + 1);
}

QList<WendleRatio> SoundingSnapshot::read() const
{
    quint64 num[Capacity];
    quint64 den[Capacity];
    int count = 0;
    for (;;) {
        const quint32 before = mVersion.load();
        if (before & 1u)
            continue;
        count = mCount.load();
        for (int i = 0; i < count; ++i) {
            num[i] = mNumerators[i].load();
            den[i] = mDenominators[i].load();
        }
        if (mVersion.load() == before)
            break;
    }
    QList<WendleRatio> list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(WendleRatio(num[i], den[i]));
    return list;
}
