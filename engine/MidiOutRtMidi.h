#pragma once

#include "MidiOutput.h"
#include "MidiQueues.h"

#include <QTimer>
#include <array>
#include <atomic>
#include <bitset>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class JackWatch;
class RtMidiOut;

// MidiOutput on RtMidi.
//
// RtMidi is not thread-safe, its JACK send spins while its ring is full and
// its JACK close waits for a cycle, so the audio thread never calls it: the
// audio-thread operations only compute finished messages into a fixed queue,
// each tagged with the change count it was computed under, and wake the
// sender thread without a lock. The sender drains the queue under the one
// lock that every RtMidi call and every port, mode or range change takes. A
// change first sends what is queued, then silences and resets what the old
// port or mode received, and only then counts itself; messages tagged with an
// older count are dropped, so nothing computed for the old port or mode
// reaches the synth after its silencing. The MPE allocation belongs to the
// audio thread, which frees every channel when it sees the count move.
//
// On JACK a client of our own that is never activated (JackWatch), open
// while a port is and read under the lock alone, tells the server's cycles
// and its death: a send never writes more into RtMidi's ring than its
// process callback takes in a cycle, so RtMidi never spins; the sender
// waits for the next cycle without the lock; a port is connected, and its
// silencing delivered, when the server has run the cycles that carry them;
// and once the server has gone nothing calls RtMidi's JACK client.
class MidiOutRtMidi : public MidiOutput
{
    Q_OBJECT

public:
    // Default: the system's default API (ALSA here), falling back to JACK.
    enum class Api { Default, Jack };

    explicit MidiOutRtMidi(Api api = Api::Default, QObject* parent = nullptr);
    ~MidiOutRtMidi() override;

    void init() override;
    void term() override;
    QStringList portNames() const override;
    bool openPortByName(const QString& name) override;
    bool openPort(int index) override;
    void sendMtsSingleNote(const int* voices, const float* frequencies, int count) override;
    void noteOn(int voice, int velocity) override;
    void noteOff(int voice) override;
    void allNotesOff() override;
    void resetMtsNotes() override;
    void sendMpePitchBend(const int* voices, const float* frequencies, int count) override;
    void resetPitchBend(int channel) override;
    void resetPitchBendAll() override;
    void mpeVoiceOn(int voice, int velocity) override;
    void mpeVoiceOff(int voice) override;
    void allNotesOffAllChannels() override;
    bool setPitchBendRange(int cents) override;
    void sendPitchBendRange() override;
    void sendPitchBendRangeRpn(int cents) override;
    void resetPitchBendRange() override;
    bool setMidiChannel(int channel) override;

    bool portOpen() const override { return mOpen.load(std::memory_order_acquire); }
    int midiChannel() const override { return mChannel.load(std::memory_order_acquire); }
    int pitchBendRange() const override { return mRange.load(std::memory_order_acquire); }
    QString portName() const override { return mPortName; }
    void beginInstruction() override;
    void endInstruction() override;

    // "ALSA" or "JACK" as RtMidi names them; empty without a MIDI system.
    QString apiName() const { return mApiName; }
    // Logs the API fallback and what the audio thread had to warn about; a
    // timer calls it while an event loop runs.
    void deliverWarnings();

    // The audio thread's warnings.
    enum WarningCode : qint32 {
        WarnBelowRange = 1,
        WarnAboveRange,
        WarnBendFactor,
        WarnVoiceWithoutKey,
        WarnNoPitch,
        WarnNoChannel,
    };

    // What RtMidi's JACK ring holds (16 KB less one byte), each message with
    // its 4-byte length. Its process callback moves the whole ring into the
    // port buffer (32 KB on JACK2) every cycle.
    static constexpr int JackRingBytes = 16383;
    // A server whose cycles stand still this long is given up on: what is
    // left to send is dropped rather than held.
    static constexpr int JackStallMs = 500;
    // The name of the port that RtMidi opens for us.
    static constexpr const char* OurPortName = "RtMidi Output";

private:
    struct State
    {
        quint32 count = 0;
        bool open = false;
        bool mpe = false;
        int channel = 0;
        int range = MinRangeCents;
    };

    // --- under mLock, never on the audio thread ---
    // Sends what is queued. A GUI-side caller (mayWait) waits for the cycles
    // that make room; the sender returns true instead while some is left.
    bool drainLocked(bool mayWait = true);
    // Sends one message, waiting for room in RtMidi's JACK ring unless it
    // was `counted` in already; drops it where the server is gone or stalled.
    void sendLocked(const quint8* bytes, int size, bool counted = false);
    enum class Room { Yes, Later, No };
    Room jackRoomLocked(int size, bool mayWait, bool count = true);
    // True once the JACK server is known to be gone; says so once.
    bool serverGoneLocked() const;
    // Waits until the server has run the cycles that deliver what was sent.
    void waitDeliveredLocked();
    void closeLocked();
    void countChangeLocked();
    void notesOffLocked(int channel);
    void allNotesOffAllChannelsLocked();
    void resetPitchBendLocked(int channel);
    void rpnLocked(int cents);
    void resetMtsLocked();
    void markRetunedLocked(const quint8* message, int size);
    // What the synth must hear before the port or mode changes.
    void silenceLocked();
    void senderLoop();
    static std::vector<std::unique_ptr<RtMidiOut>>& abandoned();
    void stopSender();

    // --- audio thread ---
    void takeState();
    void queue(const quint8* bytes, int size);
    void wakeSender();
    void warn(WarningCode code, qint32 number, float value = 0.0f);
    void freeChannels();

    const Api mRequestedApi;
    QString mApiName;
    bool mJack = false;
    QString mPortName = QString::fromLatin1(NoPortName);
    // The API fallback, told once the log is up: the output is made with the application.
    QString mNotice;

    mutable std::mutex mLock;
    std::unique_ptr<RtMidiOut> mMidiOut;
    std::unique_ptr<JackWatch> mWatch;
    // Set once the JACK server died: RtMidi's client is then left alone.
    mutable bool mServerGone = false;
    bool mStalled = false;
    std::thread mSender;
    std::atomic<bool> mStopSender { false };
    WakeSignal mWake;
    // The sender sleeps on mWake: the audio thread posts only then.
    std::atomic<bool> mWakeArmed { false };
    // Keys retuned since their last reset, in the order of their first retune.
    std::array<quint8, 128> mRetunedKeys {};
    int mRetunedCount = 0;
    std::bitset<128> mRetuned;
    quint8 mScratch[MidiMessageQueue::MaxMessage];
    // Bytes written into RtMidi's JACK ring during the cycle that began at
    // mCycle and during the one before: all that the ring may still hold.
    quint32 mCycle = 0;
    int mCycleBytes = 0;
    int mPreviousCycleBytes = 0;
    quint32 mLastSendCycle = 0;

    // Written by the GUI thread under mLock, read by the audio thread.
    std::atomic<quint32> mChangeCount { 0 };
    std::atomic<bool> mOpen { false };
    std::atomic<bool> mMpe { false };
    std::atomic<int> mChannel { 0 };
    std::atomic<int> mRange { MinRangeCents };
    std::atomic<bool> mQueueOverflow { false };

    // The audio thread's own.
    State mState;
    bool mStatePinned = false;
    quint32 mSeenCount = 0;
    bool mWarnedKeys = false;
    // Once per burst of voices without a free MPE channel.
    bool mWarnedChannels = false;
    std::array<int, 16> mChannelVoice {};
    std::array<bool, 16> mChannelInUse {};
    std::array<int, 16> mChannelNote {};
    std::array<double, 16> mChannelExactNote {};

    MidiMessageQueue mQueue;
    MidiWarningQueue mWarnings;
    QTimer mWarningTimer;
};
