#pragma once

#include "EngineCommand.h"

#include <atomic>

struct ring_buffer;
class WendleEvent;

// The commands that one drain read: pointers into a shared scratch area.
struct EngineCommandList
{
    static constexpr int Capacity = 256;
    alignas(8) char scratch[Capacity * sizeof(EngineCommand)];
    const EngineCommand* items[Capacity];
    qint64 count = 0;
};

// One lock-free ring of 64-byte commands: one writing thread, the audio thread reading.
class CommandRingBuffer
{
public:
    static constexpr int DefaultSize = 16384;

    CommandRingBuffer() = default;
    ~CommandRingBuffer();
    CommandRingBuffer(const CommandRingBuffer&) = delete;
    CommandRingBuffer& operator=(const CommandRingBuffer&) = delete;

    bool create(int size = DefaultSize);
    bool isValid() const { return mRing != nullptr; }

    // Writer side. Drops the command with "Command buffer full" when it does not fit.
    void post(const WendleEvent* event);
    bool postCommand(const EngineCommand& command);
    int freeCommandSlots() const;
    // Commands the ring has taken since it was made (not those it refused).
    quint64 written() const { return mWritten.load(std::memory_order_relaxed); }

    // Reader side: every waiting command into the list, in order.
    void drain(EngineCommandList& list);

private:
    ring_buffer* mRing = nullptr;
    std::atomic<quint64> mWritten { 0 }; // written and read by the writer
};
