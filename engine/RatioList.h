#pragma once

#include "WendleRatio.h"

#include <QList>
#include <array>

// An insertion-ordered list of ratios in fixed storage, so that the audio
// thread can keep its selection, hold and scratch lists without allocating.
template <int N>
class RatioList
{
public:
    int size() const { return mCount; }
    bool isEmpty() const { return mCount == 0; }
    bool isFull() const { return mCount == N; }
    const WendleRatio& operator[](int i) const { return mItems[i]; }
    const WendleRatio& first() const { return mItems[0]; }

    int indexOf(const WendleRatio& r) const
    {
        for (int i = 0; i < mCount; ++i) {
            if (mItems[i] == r)
                return i;
        }
        return -1;
    }
    bool contains(const WendleRatio& r) const { return indexOf(r) >= 0; }

    bool append(const WendleRatio& r)
    {
        if (mCount == N)
            return false;
        mItems[mCount++] = r;
        return true;
    }

    void removeAt(int i)
    {
        for (int j = i + 1; j < mCount; ++j)
            mItems[j - 1] = mItems[j];
        --mCount;
    }

    bool removeOne(const WendleRatio& r)
    {
        const int i = indexOf(r);
        if (i < 0)
            return false;
        removeAt(i);
        return true;
    }

    void clear() { mCount = 0; }

    template <int M>
    void assign(const RatioList<M>& other)
    {
        clear();
        for (int i = 0; i < other.size() && i < N; ++i)
            append(other[i]);
    }

    QList<WendleRatio> toList() const
    {
        QList<WendleRatio> list;
        for (int i = 0; i < mCount; ++i)
            list.append(mItems[i]);
        return list;
    }

private:
    std::array<WendleRatio, N> mItems;
    int mCount = 0;
};
