#include "EngineReportQueue.h"

bool EngineReportQueue::push(const EngineReport& report)
{
    const quint32 w = mWrite.load(std::memory_order_relaxed);
    if (w - mRead.load(std::memory_order_acquire) >= quint32(Capacity)) {
        mLost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    mItems[w % Capacity] = report;
    mWrite.store(w + 1, std::memory_order_release);
    return true;
}

bool EngineReportQueue::pop(EngineReport& report)
{
    const quint32 r = mRead.load(std::memory_order_relaxed);
    if (r == mWrite.load(std::memory_order_acquire))
        return false;
    report = mItems[r % Capacity];
    mRead.store(r + 1, std::memory_order_release);
    return true;
}

quint32 EngineReportQueue::takeLost()
{
    return mLost.exchange(0, std::memory_order_relaxed);
}
