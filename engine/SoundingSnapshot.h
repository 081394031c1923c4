#pragma once

#include "WendleRatio.h"

#include <QList>
#include <atomic>

// The sounding ratios as the audio thread last published them, readable from
// the GUI thread without a lock: a sequence-counted copy that the reader
// retries until it sees one whole version.
class SoundingSnapshot
{
public:
    static constexpr int Capacity = 128;

    // Single writer (the audio thread).
    void beginWrite();
    void set(int index, const WendleRatio& ratio);
    void endWrite(int count);

    QList<WendleRatio> read() const;

private:
    std::atomic<quint32> mVersion { 0 };
    std::atomic<int> mCount { 0 };
    std::atomic<quint64> mNumerators[Capacity] = {};
    std::atomic<quint64> mDenominators[Capacity] = {};
};
