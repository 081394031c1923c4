#include "WarningThrottle.h"

#include <QDebug>

WarningThrottle::WarningThrottle(const QString& summary)
    : mSummary(summary)
{
}

bool WarningThrottle::admit(qint64 nowMs)
{
    roll(nowMs);
    if (mWindowStart < 0)
        mWindowStart = nowMs;
    ++mCount;
    // While a flood goes on, even the first of a second is only counted.
    if (!mFlooding && mCount <= Burst)
        return true;
    ++mLeftOut;
    return false;
}

void WarningThrottle::roll(qint64 nowMs)
{
    if (mWindowStart < 0 || nowMs - mWindowStart < WindowMs)
        return;
    if (mLeftOut > 0)
        qWarning().noquote() << mSummary.arg(mLeftOut).arg(nowMs - mWindowStart);
    // A flood ends with a second of no more than the burst.
    mFlooding = mCount > Burst;
    mWindowStart = mFlooding ? nowMs : -1;
    mCount = 0;
    mLeftOut = 0;
}

void WarningThrottle::flush(qint64 nowMs)
{
    if (mLeftOut > 0)
        qWarning().noquote() << mSummary.arg(mLeftOut).arg(nowMs - mWindowStart);
    mWindowStart = -1;
    mCount = 0;
    mLeftOut = 0;
    mFlooding = false;
}
