#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

// The instrument's MIDI output on one port. In channel mode voice v plays
// key 32 + v on one channel and is retuned by an MTS single-note tuning change
// before it sounds; in MPE mode each voice gets a channel of its own, plays
// the nearest equal-tempered note there and is bent to its exact pitch.
//
// Threads: the note, tuning and pitch-bend operations (sendMtsSingleNote,
// noteOn, noteOff, sendMpePitchBend, mpeVoiceOn, mpeVoiceOff) run on the audio
// thread and must neither block nor allocate; everything else runs on the
// GUI thread.
class MidiOutput : public QObject
{
    Q_OBJECT

public:
    static constexpr int KeyOffset = 32;
    // Voices 0 to 95 have a key in channel mode; data bytes stop at 127.
    static constexpr int KeyedVoices = 128 - KeyOffset;
    // The range must hold the note's own offset of up to 50 cents, and its
    // semitones must fit one data byte.
    static constexpr int MinRangeCents = 50;
    static constexpr int MaxRangeCents = 12799;
    static constexpr const char* NoPortName = "- deactivated -";

    explicit MidiOutput(QObject* parent = nullptr);
    ~MidiOutput() override;

    virtual void init() = 0;
    virtual void term() = 0;
    virtual QStringList portNames() const = 0;
    virtual bool openPortByName(const QString& name) = 0;
    virtual bool openPort(int index) = 0;
    virtual void sendMtsSingleNote(const int* voices, const float* frequencies, int count) = 0;
    virtual void noteOn(int voice, int velocity) = 0;
    virtual void noteOff(int voice) = 0;
    virtual void allNotesOff() = 0;
    virtual void resetMtsNotes() = 0;
    virtual void sendMpePitchBend(const int* voices, const float* frequencies, int count) = 0;
    virtual void resetPitchBend(int channel) = 0;
    virtual void resetPitchBendAll() = 0;
    virtual void mpeVoiceOn(int voice, int velocity) = 0;
    virtual void mpeVoiceOff(int voice) = 0;
    virtual void allNotesOffAllChannels() = 0;
    // False, with a warning, for a range outside MinRangeCents..MaxRangeCents.
    virtual bool setPitchBendRange(int cents) = 0;
    virtual void sendPitchBendRange() = 0;
    virtual void sendPitchBendRangeRpn(int cents) = 0;
    virtual void resetPitchBendRange() = 0;
    // 0 to 15 for channel mode, -1 for MPE; anything else is refused with a
    // warning and leaves the mode as it was.
    virtual bool setMidiChannel(int channel) = 0;

    // Readable from any thread.
    virtual bool portOpen() const = 0;
    virtual int midiChannel() const = 0;
    virtual int pitchBendRange() const = 0;
    // GUI thread: the open port's name, or NoPortName.
    virtual QString portName() const = 0;

    // The audio thread's calls between these see one port and mode, whatever
    // the GUI thread changes meanwhile.
    virtual void beginInstruction() {}
    virtual void endInstruction() {}

    // Told on the GUI thread, after every open, close and term, whether a port is open.
    void setPortWatcher(std::function<void(bool open)> watcher);

protected:
    void portChanged(bool open);

private:
    std::function<void(bool)> mPortWatcher;
};
