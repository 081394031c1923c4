#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <array>

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
