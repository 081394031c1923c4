#pragma once

#include "JackServer.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>
#include <utility>

// A MIDI peer on the current JACK server: jack_midi_dump under a client
// name of its own, whose input port is "<client>:input". It prints into a
// file: a pipe nobody reads for a while would stop its printing, and it drops
// what does not fit its queue meanwhile. Every message is checked for
// well-formed bytes as it is read.
class MidiDump
{
public:
    explicit MidiDump(const QString& client);
    ~MidiDump();

    // True once the input port is on the server.
    bool waitReady(int timeoutMs = 10000);
    QString port() const { return mClient + QStringLiteral(":input"); }

    // The messages read since the last take.
    QList<QByteArray> take();
    // Waits until `atLeast` messages have come and then for `quietMs` without
    // more (or `timeoutMs` in all), and takes them.
    QList<QByteArray> collect(int atLeast, int timeoutMs = 5000, int quietMs = 80);
    // The malformed messages read so far, or since the last take, described.
    const QStringList& malformed() const { return mMalformed; }
    QStringList takeMalformed() { return std::exchange(mMalformed, {}); }

    // Empty for a well-formed message; else what is wrong with it.
    static QString checkWellFormed(const QByteArray& message);
    static QString hex(const QByteArray& bytes);
    static QString hex(const QList<QByteArray>& messages);

private:
    void read(int waitMs);

    QString mClient;
    QString mPath;
    std::unique_ptr<JackProcess> mDump;
    QFile mOutput;
    QByteArray mPartial;
    QList<QByteArray> mMessages;
    QStringList mMalformed;
};

// What a synth makes of the messages: the notes that sound, the keys that
// MTS retuned, each channel's bend and its pitch-bend range.
class SynthModel
{
public:
    void feed(const QByteArray& message);
    void feed(const QList<QByteArray>& messages);
    // "channel/key" of every sounding note.
    QStringList sounding() const;
    // Keys tuned away from their own equal-tempered pitch.
    QList<int> retunedKeys() const;
    int bend(int channel) const { return mBend[size_t(channel)]; }
    // Cents set by the pitch-bend range RPN; -1 before any.
    int rangeCents(int channel) const { return mRange[size_t(channel)]; }

private:
    std::array<std::array<bool, 128>, 16> mOn {};
    std::array<int, 128> mTuning {}; // 14-bit fraction above the key's semitone, or -1 for its own
    std::array<int, 128> mSemitone {};
    std::array<int, 16> mBend {};
    std::array<int, 16> mRange {};
    std::array<int, 16> mRpn {};
    bool mInit = false;
    void init();
};
