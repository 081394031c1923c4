#include "MidiPeer.h"

#include <QElapsedTimer>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace {

// Per event in the ring: its frame time and its size, then its bytes.
struct Header
{
    quint32 frame;
    quint32 size;
};

void nap()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

MidiPeer::MidiPeer(const QString& client, int ringBytes, int lateUs)
    : mLateUs(lateUs)
{
    // A power of two, so that positions wrap by a mask.
    mRingSize = 1024;
    while (mRingSize < quint64(std::max(ringBytes, 1024)))
        mRingSize *= 2;
    mRing = std::make_unique<unsigned char[]>(mRingSize);

    jack_status_t status {};
    mClient = jack_client_open(client.toLocal8Bit().constData(),
                               jack_options_t(JackNoStartServer | JackUseExactName), &status);
    if (!mClient) {
        mError = QStringLiteral("JACK client %1 did not open (status 0x%2)").arg(client).arg(int(status), 0, 16);
        return;
    }
    mInput = jack_port_register(mClient, "input", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!mInput) {
        mError = QStringLiteral("JACK client %1 has no MIDI input port").arg(client);
        return;
    }
    mPort = QString::fromLocal8Bit(jack_port_name(mInput));
    jack_set_process_callback(mClient, &MidiPeer::process, this);
    if (jack_activate(mClient) != 0)
        mError = QStringLiteral("JACK client %1 did not activate").arg(client);
}

MidiPeer::~MidiPeer()
{
    if (mClient)
        jack_client_close(mClient);
}

int MidiPeer::process(jack_nframes_t frames, void* self)
{
    static_cast<MidiPeer*>(self)->record(frames);
    return 0;
}

// The process callback: no allocation, no lock, no wait.
void MidiPeer::record(jack_nframes_t frames)
{
    if (mLateUs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(mLateUs));
    void* buffer = jack_port_get_buffer(mInput, frames);
    const jack_nframes_t cycle = jack_last_frame_time(mClient);
    const quint64 cycles = mCycles.load(std::memory_order_relaxed);
    const jack_nframes_t last = mLastFrame.load(std::memory_order_relaxed);
    if (cycles > 0) {
        if (cycle == last)
            mRepeated.fetch_add(1, std::memory_order_relaxed);
        else if (cycle - last > frames)
            mSkipped.fetch_add(1, std::memory_order_relaxed);
    }
    mLastFrame.store(cycle, std::memory_order_relaxed);

    const int connections = jack_port_connected(mInput);
    if (connections != mConnections.load(std::memory_order_relaxed)) {
        mConnections.store(connections, std::memory_order_relaxed);
        mConnectionChanges.fetch_add(1, std::memory_order_relaxed);
    }
    if (const quint32 lost = jack_midi_get_lost_event_count(buffer))
        mJackLost.fetch_add(lost, std::memory_order_relaxed);

    const quint32 count = jack_midi_get_event_count(buffer);
    if (count > mMostInCycle.load(std::memory_order_relaxed))
        mMostInCycle.store(count, std::memory_order_relaxed);
    quint64 written = mWritten.load(std::memory_order_relaxed);
    const quint64 read = mRead.load(std::memory_order_acquire);
    const quint64 mask = mRingSize - 1;
    const auto put = [&](const unsigned char* bytes, quint64 size) {
        for (quint64 i = 0; i < size; ++i)
            mRing[(written + i) & mask] = bytes[i];
        written += size;
    };
    quint64 dropped = 0;
    quint64 vanished = 0;
    for (quint32 i = 0; i < count; ++i) {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0) {
            ++vanished;
            continue;
        }
        const Header header { cycle + event.time, quint32(event.size) };
        if (mRingSize - (written - read) < sizeof header + event.size) {
            ++dropped;
            continue;
        }
        put(reinterpret_cast<const unsigned char*>(&header), sizeof header);
        put(event.buffer, event.size);
    }
    mWritten.store(written, std::memory_order_release);
    if (dropped)
        mDropped.fetch_add(dropped, std::memory_order_relaxed);
    if (vanished)
        mVanished.fetch_add(vanished, std::memory_order_relaxed);
    mEvents.fetch_add(count, std::memory_order_relaxed);
    // Last: a cycle counted has published its events.
    mCycles.store(cycles + 1, std::memory_order_release);
}

void MidiPeer::pump()
{
    const quint64 written = mWritten.load(std::memory_order_acquire);
    quint64 read = mRead.load(std::memory_order_relaxed);
    const quint64 mask = mRingSize - 1;
    const auto get = [&](unsigned char* bytes, quint64 size) {
        for (quint64 i = 0; i < size; ++i)
            bytes[i] = mRing[(read + i) & mask];
        read += size;
    };
    while (read < written) {
        Header header;
        get(reinterpret_cast<unsigned char*>(&header), sizeof header);
        QByteArray message(qsizetype(header.size), Qt::Uninitialized);
        get(reinterpret_cast<unsigned char*>(message.data()), header.size);
        const QString wrong = checkWellFormed(message);
        if (!wrong.isEmpty())
            mMalformed << QStringLiteral("%1 at frame %2: %3").arg(hex(message)).arg(header.frame).arg(wrong);
        mPending << message;
        mRecent << QStringLiteral("%1@%2").arg(hex(message)).arg(header.frame);
    }
    if (mRecent.size() > 12)
        mRecent.remove(0, mRecent.size() - 12);
    mRead.store(read, std::memory_order_release);
}

MidiPeer::Messages MidiPeer::take()
{
    pump();
    return std::exchange(mPending, {});
}

bool MidiPeer::waitFor(const std::function<bool(const Messages&)>& done, int timeoutMs)
{
    return waitUntil([&] {
        pump();
        return done(mPending);
    }, timeoutMs);
}

bool MidiPeer::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        nap();
    }
    return true;
}

MidiPeer::Messages MidiPeer::collect(int count, int timeoutMs)
{
    waitFor([count](const Messages& m) { return m.size() >= count; }, timeoutMs);
    return take();
}

MidiPeer::Messages MidiPeer::collectUntil(const QByteArray& last, int nth, int timeoutMs)
{
    qsizetype end = -1;
    waitFor(
        [&](const Messages& m) {
            int seen = 0;
            for (end = 0; end < m.size(); ++end) {
                if (m[end] == last && ++seen == nth)
                    return true;
            }
            return false;
        },
        timeoutMs);
    // At the deadline everything is taken, for the failure to show.
    Messages taken = end < mPending.size() ? mPending.mid(0, end + 1) : mPending;
    mPending.remove(0, taken.size());
    return taken;
}

bool MidiPeer::waitCycles(int cycles, int timeoutMs)
{
    const quint64 until = mCycles.load(std::memory_order_acquire) + quint64(cycles);
    return waitUntil([&] { return mCycles.load(std::memory_order_acquire) >= until; }, timeoutMs);
}

bool MidiPeer::waitConnected(int timeoutMs)
{
    return waitUntil([&] { return mConnections.load(std::memory_order_relaxed) >= 1; }, timeoutMs);
}

bool MidiPeer::knowsClient(const QString& name) const
{
    char* uuid = mClient ? jack_get_uuid_for_client_name(mClient, name.toLocal8Bit().constData()) : nullptr;
    if (!uuid)
        return false;
    jack_free(uuid);
    return true;
}

QStringList MidiPeer::takeProblems()
{
    pump();
    QStringList all = std::exchange(mMalformed, {});
    // What a count gained since the last call.
    const auto since = [](const std::atomic<quint64>& count, quint64& told) {
        const quint64 now = count.load(std::memory_order_relaxed);
        return now - std::exchange(told, now);
    };
    if (const quint64 n = since(mDropped, mDroppedTold))
        all << QStringLiteral("the peer's ring of %1 bytes was full: it dropped %2 events").arg(mRingSize).arg(n);
    // The sender cleared its buffer while this peer read it: the server had
    // started the next cycle without waiting for this peer.
    if (const quint64 n = since(mVanished, mVanishedTold))
        all << QStringLiteral("%1 events vanished from %2 while it read them: the sender ran its next cycle meanwhile")
                   .arg(n)
                   .arg(mPort);
    if (const quint64 n = since(mJackLost, mJackLostTold))
        all << QStringLiteral("JACK lost %1 events on their way to %2: a sender's port buffer was full").arg(n).arg(mPort);
    return all;
}

QString MidiPeer::account() const
{
    QString server;
    if (mClient) {
        server = QStringLiteral("; the server at frame %1, period %2 frames at %3 Hz, DSP load %4%")
                     .arg(jack_frame_time(mClient))
                     .arg(jack_get_buffer_size(mClient))
                     .arg(jack_get_sample_rate(mClient))
                     .arg(double(jack_cpu_load(mClient)), 0, 'f', 1);
    }
    return QStringLiteral("%1: %2 cycles (the last at frame %3), %4 missed, %5 run twice; %6 events, at most %7 "
                          "in one cycle; %8 connections, changed %9 times%10; the last read: %11")
        .arg(mPort)
        .arg(mCycles.load())
        .arg(mLastFrame.load())
        .arg(mSkipped.load())
        .arg(mRepeated.load())
        .arg(mEvents.load())
        .arg(mMostInCycle.load())
        .arg(mConnections.load())
        .arg(mConnectionChanges.load())
        .arg(server, mRecent.join(QStringLiteral(", ")));
}

QString MidiPeer::checkWellFormed(const QByteArray& message)
{
    if (message.isEmpty())
        return QStringLiteral("an empty event");
    const quint8 status = quint8(message.at(0));
    if (status < 0x80)
        return QStringLiteral("no status byte");
    if (status == 0xF0) {
        if (quint8(message.back()) != 0xF7)
            return QStringLiteral("system exclusive without its end");
        for (qsizetype i = 1; i + 1 < message.size(); ++i) {
            if (quint8(message.at(i)) >= 0x80)
                return QStringLiteral("data byte %1 is 0x80 or more").arg(i);
        }
        return QString();
    }
    const int length = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : status < 0xF0 ? 3 : -1;
    if (length < 0)
        return QStringLiteral("a system message this output never sends");
    if (message.size() != length)
        return QStringLiteral("%1 bytes for a message of %2").arg(message.size()).arg(length);
    for (qsizetype i = 1; i < message.size(); ++i) {
        if (quint8(message.at(i)) >= 0x80)
            return QStringLiteral("data byte %1 is 0x80 or more").arg(i);
    }
    return QString();
}

QString MidiPeer::hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

QString MidiPeer::hex(const Messages& messages)
{
    QStringList parts;
    for (const QByteArray& m : messages)
        parts << hex(m);
    return parts.join(QStringLiteral(" | "));
}
