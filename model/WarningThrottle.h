#pragma once

#include <QString>
#include <QtGlobal>

// Keeps a flood of one kind of warning out of the log, since anyone on the
// network can send datagrams: the first few in a second are written in full,
// the rest counted and written as one line per second for as long as the
// flood lasts.
class WarningThrottle
{
public:
    static constexpr int Burst = 20;
    static constexpr qint64 WindowMs = 1000;

    // `summary` takes the number left out (%1) and the milliseconds it covers (%2).
    explicit WarningThrottle(const QString& summary);

    // True when this occurrence is to be written in full.
    bool admit(qint64 nowMs);
    // Writes the summary of a second that is over; called on every pass of a
    // loop, so that the end of a flood is summed up too.
    void roll(qint64 nowMs);
    // Writes what is left out so far, at the end.
    void flush(qint64 nowMs);

private:
    QString mSummary;
    qint64 mWindowStart = -1; // no window open
    qint64 mCount = 0;
    qint64 mLeftOut = 0;
    bool mFlooding = false;
};
