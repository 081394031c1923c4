#include "CommandRingBuffer.h"

#include "WendleEvent.h"

#include <QDebug>

extern "C" {
#include "z_ringbuffer.h"
}

CommandRingBuffer::~CommandRingBuffer()
{
    if (mRing)
        rb_free(mRing);
}

bool CommandRingBuffer::create(int size)
{
    if (mRing)
        return true;
    mRing = rb_create(size);
    return mRing != nullptr;
}

void CommandRingBuffer::post(const WendleEvent* event)
{
    if (!event)
        return;
    if (!postCommand(EngineCommand::fromEvent(*event)))
        qWarning() << "Command buffer full";
}

bool CommandRingBuffer::postCommand(const EngineCommand& command)
{
    if (!mRing || rb_available_to_write(mRing) < int(sizeof(EngineCommand)))
        return false;
    if (rb_write_to_buffer(mRing, 1, reinterpret_cast<const char*>(&command), int(sizeof(EngineCommand))) != 0)
        return false;
    mWritten.store(mWritten.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
}

int CommandRingBuffer::freeCommandSlots() const
{
    return mRing ? rb_available_to_write(mRing) / int(sizeof(EngineCommand)) : 0;
}

void CommandRingBuffer::drain(EngineCommandList& list)
{
    list.count = 0;
    if (!mRing)
        return;
    int bytes = rb_available_to_read(mRing);
    // Writers only ever add whole records, so the readable bytes are whole records.
    bytes -= bytes % int(sizeof(EngineCommand));
    if (bytes > int(sizeof list.scratch))
        bytes = int(sizeof list.scratch);
    if (bytes <= 0 || rb_read_from_buffer(mRing, list.scratch, bytes) != 0)
        return;
    const int n = bytes / int(sizeof(EngineCommand));
    for (int i = 0; i < n; ++i)
        list.items[i] = reinterpret_cast<const EngineCommand*>(list.scratch + i * sizeof(EngineCommand));
    list.count = n;
}
