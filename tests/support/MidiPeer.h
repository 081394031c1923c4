#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

struct _jack_client;
struct _jack_port;

// A synth stand-in on the current JACK server, in this process: a JACK client
// with one MIDI input port. Its process callback copies every event of every
// cycle, with its frame time, into a ring allocated here, and counts what it
// could not keep: the test takes the messages often enough, or sizes the
// ring for all it expects. takeProblems() names every event the ring dropped,
// every event JACK reports lost on the way to the port or took away while it
// was read, and every malformed message; account() tells the cycles this
// peer missed, whose events a server that drops late clients has lost.
//
// The waits end on what arrives or on a deadline, never on a quiet spell.
class MidiPeer
{
public:
    using Messages = QList<QByteArray>;

    // A peer `lateUs` > 0 reads its port that long after each cycle has
    // reached it, as a synth in another process on a busy machine may.
    explicit MidiPeer(const QString& client, int ringBytes = 1 << 20, int lateUs = 0);
    ~MidiPeer();
    MidiPeer(const MidiPeer&) = delete;
    MidiPeer& operator=(const MidiPeer&) = delete;

    // True once the client is active with its port; error() says why not.
    bool isReady() const { return mError.isEmpty(); }
    const QString& error() const { return mError; }
    // The input port's full name, "<client>:input".
    const QString& port() const { return mPort; }

    // The messages that arrived since the last take.
    Messages take();
    // Waits until `done` holds for the messages not yet taken; false at the deadline.
    bool waitFor(const std::function<bool(const Messages&)>& done, int timeoutMs = 10000);
    // Waits until `count` messages have arrived since the last take, and
    // takes all that have arrived (more, should more have come).
    Messages collect(int count, int timeoutMs = 10000);
    // Waits for the `nth` arrival of `last` and takes the messages up to it;
    // what came after stays for the next take.
    Messages collectUntil(const QByteArray& last, int nth = 1, int timeoutMs = 10000);
    // Waits until this peer has run `cycles` more process cycles: what a
    // sender's client put into its port before now has then arrived here.
    bool waitCycles(int cycles = 2, int timeoutMs = 10000);
    // Waits until a cycle of this peer has run with a sender connected: JACK
    // takes a new connection into its graph at a cycle's start.
    bool waitConnected(int timeoutMs = 10000);

    // Whether the server knows a client of that name, with ports or without.
    bool knowsClient(const QString& name) const;

    // Events lost on their way or here, and malformed messages, described:
    // those found since the last call.
    QStringList takeProblems();
    // What the process callback saw: cycles (missed, run twice), events, the
    // most in one cycle, the connections, the server's timing and the last
    // messages with their frames; for a failure's message.
    QString account() const;

    // Empty for a well-formed message; else what is wrong with it.
    static QString checkWellFormed(const QByteArray& message);
    static QString hex(const QByteArray& bytes);
    static QString hex(const Messages& messages);

private:
    static int process(unsigned int frames, void* self);
    void record(unsigned int frames);
    // Moves what the callback published into mPending.
    void pump();
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);

    QString mError;
    QString mPort;
    _jack_client* mClient = nullptr;
    _jack_port* mInput = nullptr;
    int mLateUs = 0;

    // The ring: per event a header (frame, size) and the bytes, wrapping.
    // The callback alone writes mWritten, the test's thread alone mRead.
    std::unique_ptr<unsigned char[]> mRing;
    quint64 mRingSize = 0;
    std::atomic<quint64> mWritten { 0 };
    std::atomic<quint64> mRead { 0 };

    // The callback's counts.
    std::atomic<quint64> mCycles { 0 };
    std::atomic<quint64> mEvents { 0 };
    std::atomic<quint64> mDropped { 0 };
    std::atomic<quint64> mVanished { 0 };
    std::atomic<quint64> mJackLost { 0 };
    std::atomic<quint32> mMostInCycle { 0 };
    std::atomic<quint64> mSkipped { 0 };
    std::atomic<quint64> mRepeated { 0 };
    std::atomic<int> mConnections { 0 };
    std::atomic<quint64> mConnectionChanges { 0 };
    std::atomic<quint32> mLastFrame { 0 };
    quint64 mDroppedTold = 0;
    quint64 mVanishedTold = 0;
    quint64 mJackLostTold = 0;

    Messages mPending;
    QStringList mMalformed;
    // The last messages read, with their frames, for the account.
    QStringList mRecent;
};
