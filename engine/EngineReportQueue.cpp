#include "EngineReportQueue.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>

static_assert((EngineReportQueue::TextCapacity & (EngineReportQueue::TextCapacity - 1)) == 0,
              "the text ring's counters wrap at a power of two");

bool EngineReportQueue::push(const EngineReport& report, std::initializer_list<std::string_view> text)
{
    quint32 size = 0;
    for (std::string_view piece : text)
        size += quint32(piece.size());
    size = std::min(size, quint32(MaxTextSize));

    const quint32 w = mWrite.load(std::memory_order_relaxed);
    const quint32 tw = mTextWrite.load(std::memory_order_relaxed);
    // Both must have room before either is written: a text without its
    // report would shift every later text.
    if (w - mRead.load(std::memory_order_acquire) >= quint32(Capacity)
        || tw - mTextRead.load(std::memory_order_acquire) + size > quint32(TextCapacity)) {
        mLost.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    quint32 at = tw;
    quint32 left = size;
    for (std::string_view piece : text) {
        const quint32 n = std::min(quint32(piece.size()), left);
        for (quint32 done = 0; done < n;) {
            const quint32 offset = at % TextCapacity;
            const quint32 chunk = std::min(n - done, quint32(TextCapacity) - offset);
            std::memcpy(mText.data() + offset, piece.data() + done, chunk);
            done += chunk;
            at += chunk;
        }
        left -= n;
    }
    mTextWrite.store(at, std::memory_order_release);
    EngineReport& item = mItems[w % Capacity];
    item = report;
    item.textSize = size;
    mWrite.store(w + 1, std::memory_order_release);
    return true;
}

bool EngineReportQueue::pop(EngineReport& report, QByteArray* text)
{
    const quint32 r = mRead.load(std::memory_order_relaxed);
    if (r == mWrite.load(std::memory_order_acquire))
        return false;
    report = mItems[r % Capacity];
    const quint32 tr = mTextRead.load(std::memory_order_relaxed);
    if (text) {
        text->resize(qsizetype(report.textSize));
        const quint32 offset = tr % TextCapacity;
        const quint32 first = std::min(report.textSize, quint32(TextCapacity) - offset);
        std::memcpy(text->data(), mText.data() + offset, first);
        std::memcpy(text->data() + first, mText.data(), report.textSize - first);
    }
    mTextRead.store(tr + report.textSize, std::memory_order_release);
    mRead.store(r + 1, std::memory_order_release);
    return true;
}

quint32 EngineReportQueue::takeLost()
{
    return mLost.exchange(0, std::memory_order_relaxed);
}
