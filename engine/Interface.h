#pragma once

#include "InstructionSink.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class MidiOutput;
class PdPlayer;
class WendleEvent;

// The bridge from the engine to the external MIDI protocol: it owns the one
// MIDI output and turns the engine's per-voice instructions into retunes,
// note ons and note offs there. The instructions arrive on the audio thread.
class Interface : public QObject, public InstructionSink
{
    Q_OBJECT

public:
    // Creates the RtMidi output and initialises it.
    explicit Interface(QObject* parent = nullptr);
    // Takes `output` (initialised here) in place of the RtMidi one.
    explicit Interface(MidiOutput* output, QObject* parent = nullptr);
    ~Interface() override;

    MidiOutput* midiOutput() const { return mMidiOutput; }

    // Has the engine hand its instructions here, and lets it hand them only
    // while a MIDI port is open.
    void attachEngine(PdPlayer* engine);

    // Audio thread: the allocation-free entry.
    void receiveInstructions(int parameter, const int* voices, const float* value1, const float* value2,
                             int count) override;

    // A velocity fraction as a note-on data byte: 0 would read as a note off,
    // and more than 127 would be a status byte.
    static int velocityOf(float fraction);

signals:
    void eventReceived(QString source, const WendleEvent* event);
    void inputAssigned();

public slots:
    void receiveInstructions(int parameter, QList<int> voices, QList<float> value1, QList<float> value2);

private:
    MidiOutput* const mMidiOutput;
    QPointer<PdPlayer> mEngine;
};
