#pragma once

#include "NodeParameters.h"
#include "WendleRatio.h"

#include <array>

// Ratio → node parameters in fixed storage (open addressing, linear probing,
// deletion by backward shift), usable from the audio thread.
template <int N>
class NodeParameterTable
{
    static_assert((N & (N - 1)) == 0, "capacity must be a power of two");

public:
    int size() const { return mCount; }
    bool isFull() const { return mCount >= N - N / 8; }

    NodeParameters* find(const WendleRatio& r)
    {
        for (int i = home(r), probes = 0; probes < N; i = (i + 1) & (N - 1), ++probes) {
            if (!mUsed[i])
                return nullptr;
            if (mKeys[i] == r)
                return &mValues[i];
        }
        return nullptr;
    }

    bool contains(const WendleRatio& r) { return find(r) != nullptr; }

    // Inserts or replaces; false only when the table is full.
    bool insert(const WendleRatio& r, const NodeParameters& p)
    {
        if (NodeParameters* existing = find(r)) {
            *existing = p;
            return true;
        }
        if (isFull())
            return false;
        int i = home(r);
        while (mUsed[i])
            i = (i + 1) & (N - 1);
        mUsed[i] = true;
        mKeys[i] = r;
        mValues[i] = p;
        ++mCount;
        return true;
    }

    void remove(const WendleRatio& r)
    {
        int i = home(r);
        for (int probes = 0; probes < N; i = (i + 1) & (N - 1), ++probes) {
            if (!mUsed[i])
                return;
            if (mKeys[i] == r)
                break;
        }
        if (!mUsed[i] || !(mKeys[i] == r))
            return;
        // Shift later members of the probe run back so lookups never stop early.
        int hole = i;
        for (int j = (i + 1) & (N - 1); mUsed[j]; j = (j + 1) & (N - 1)) {
            const int h = home(mKeys[j]);
            const bool movable = hole <= j ? (h <= hole || h > j) : (h <= hole && h > j);
            if (movable) {
                mKeys[hole] = mKeys[j];
                mValues[hole] = mValues[j];
                hole = j;
            }
        }
        mUsed[hole] = false;
        --mCount;
    }

    void clear()
    {
        mUsed.fill(false);
        mCount = 0;
    }

private:
    static int home(const WendleRatio& r) { return int(qHash(r, 0x9e3779b9u) & (N - 1)); }

    std::array<bool, N> mUsed {};
    std::array<WendleRatio, N> mKeys;
    std::array<NodeParameters, N> mValues;
    int mCount = 0;
};
