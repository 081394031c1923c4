// The GUI side of the RtMidi output: the API, ports, mode and range changes
// and the messages that silence and reset a port.
#include "MidiOutRtMidi.h"

#include "JackWatch.h"

#include <QDebug>
#include <RtMidi.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Lock = std::lock_guard<std::mutex>;

constexpr int DefaultRangeCents = 200;

// Refuses, with a warning, what the RPN cannot carry or the bend cannot use.
bool rangeAccepted(int cents)
{
    if (cents >= MidiOutput::MinRangeCents && cents <= MidiOutput::MaxRangeCents)
        return true;
    qWarning().noquote() << QStringLiteral("MIDI pitch-bend range of %1 cents refused: it must lie from %2 to %3 cents")
                                .arg(cents)
                                .arg(MidiOutput::MinRangeCents)
                                .arg(MidiOutput::MaxRangeCents);
    return false;
}

// RtMidi repeats its notes (such as "no JACK server") at every call; only its errors are warnings.
void onRtMidiError(RtMidiError::Type type, const std::string& text, void*)
{
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING)
        qDebug().noquote() << "RtMidi:" << QString::fromStdString(text);
    else
        qWarning().noquote() << "RtMidi:" << QString::fromStdString(text);
}

} // namespace

#if defined(__SANITIZE_ADDRESS__)
// RtMidi's JACK backend makes a new 16 KB ring at every attempt to reach a
// server (its constructor, every listing and open) and frees none of those
// that failed. Here, as in the program, so that a run without a JACK server
// still ends clean under LeakSanitizer.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:jack_ringbuffer_create\n";
}
#endif

MidiOutRtMidi::MidiOutRtMidi(Api api, QObject* parent)
    : MidiOutput(parent)
    , mRequestedApi(api)
{
    mChannelNote.fill(69);
    mChannelExactNote.fill(69.0);
    mWarningTimer.setInterval(100);
    connect(&mWarningTimer, &QTimer::timeout, this, &MidiOutRtMidi::deliverWarnings);
}

// Outputs whose JACK server died: never destroyed, and held here so that
// leak checkers see them as kept rather than lost.
std::vector<std::unique_ptr<RtMidiOut>>& MidiOutRtMidi::abandoned()
{
    static auto* outputs = new std::vector<std::unique_ptr<RtMidiOut>>;
    return *outputs;
}

MidiOutRtMidi::~MidiOutRtMidi()
{
    term();
}

void MidiOutRtMidi::init()
{
    const auto create = [this](RtMidi::Api api) {
        mMidiOut = std::make_unique<RtMidiOut>(api, "RtMidi Output Client");
        mServerGone = false;
        mMidiOut->setErrorCallback(&onRtMidiError, nullptr);
        const RtMidi::Api used = mMidiOut->getCurrentApi();
        mJack = used == RtMidi::UNIX_JACK;
        mApiName = mJack ? QStringLiteral("JACK") : QString::fromStdString(RtMidi::getApiDisplayName(used));
    };
    Lock lock(mLock);
    if (mMidiOut)
        return;
    QString defaultError;
    if (mRequestedApi == Api::Default) {
        try {
            create(RtMidi::UNSPECIFIED);
            qDebug().noquote() << "MIDI output on" << mApiName;
        } catch (const RtMidiError& e) {
            defaultError = QString::fromStdString(e.getMessage()).trimmed();
            if (defaultError.endsWith(QLatin1Char('.')))
                defaultError.chop(1);
        }
    }
    if (!mMidiOut) {
        try {
            create(RtMidi::UNIX_JACK);
            if (mRequestedApi == Api::Default)
                mNotice = QStringLiteral("MIDI output on %1, as the default MIDI system is missing (%2): its ports "
                                         "are those of a running JACK server")
                              .arg(mApiName, defaultError);
        } catch (const RtMidiError& e) {
            mMidiOut.reset();
            mApiName.clear();
            mNotice = QStringLiteral("No MIDI system (%1%2): MIDI output stays off")
                          .arg(defaultError.isEmpty() ? QString() : defaultError + QStringLiteral("; "),
                               QString::fromStdString(e.getMessage()).trimmed());
        }
    }
    if (mMidiOut) {
        if (mJack)
            mWatch = std::make_unique<JackWatch>();
        mStopSender.store(false, std::memory_order_relaxed);
        mSender = std::thread(&MidiOutRtMidi::senderLoop, this);
    }
    mWarningTimer.start();
}

void MidiOutRtMidi::term()
{
    bool had = false;
    {
        Lock lock(mLock);
        had = mMidiOut != nullptr;
        if (had) {
            drainLocked();
            closeLocked();
        }
    }
    stopSender();
    {
        Lock lock(mLock);
        if (had && serverGoneLocked())
            abandoned().push_back(std::move(mMidiOut));
        mMidiOut.reset();
        mWatch.reset();
    }
    mWarningTimer.stop();
    deliverWarnings();
    if (had)
        portChanged(false);
}

void MidiOutRtMidi::stopSender()
{
    mStopSender.store(true, std::memory_order_release);
    mWake.post();
    if (mSender.joinable())
        mSender.join();
}

QStringList MidiOutRtMidi::portNames() const
{
    QStringList names;
    Lock lock(mLock);
    if (!mMidiOut || serverGoneLocked())
        return names;
    qDebug() << "Midi Output ports available:";
    try {
        const unsigned int count = mMidiOut->getPortCount();
        for (unsigned int i = 0; i < count; ++i) {
            names << QString::fromStdString(mMidiOut->getPortName(i));
            qDebug().noquote() << QStringLiteral("  Output Port #%1: %2").arg(i).arg(names.last());
        }
    } catch (const RtMidiError& e) {
        qWarning().noquote() << "Listing the MIDI output ports failed:" << QString::fromStdString(e.getMessage());
    }
    return names;
}

bool MidiOutRtMidi::openPortByName(const QString& name)
{
    return openPort(int(portNames().indexOf(name)));
}

bool MidiOutRtMidi::openPort(int index)
{
    bool opened = false;
    {
        Lock lock(mLock);
        if (!mMidiOut)
            return false;
        drainLocked();
        closeLocked();
        if (index >= 0 && !serverGoneLocked()) {
            try {
                if (mJack && !mWatch->open()) {
                    if (!serverGoneLocked())
                        qWarning() << "MIDI output: the JACK server does not answer; no port is opened";
                } else if (unsigned(index) < mMidiOut->getPortCount()) {
                    const std::string destination = mMidiOut->getPortName(unsigned(index));
                    const QString name = QString::fromStdString(destination);
                    mMidiOut->openPort(unsigned(index), OurPortName);
                    // With an error callback RtMidi reports a failed open instead of throwing.
                    if (mMidiOut->isPortOpen()) {
                        mPortName = name;
                        opened = true;
                        // JACK takes the new connection into its graph at a
                        // cycle's start; what its port carries before goes nowhere.
                        if (mJack) {
                            mWatch->waitCycles(mWatch->cycleFrame(), 2, JackStallMs);
                            mWatch->rememberSibling(QByteArray::fromStdString(destination), OurPortName);
                        }
                    }
                }
            } catch (const RtMidiError& e) {
                qWarning().noquote() << "Opening MIDI output port" << index << "failed:" << QString::fromStdString(e.getMessage());
            }
        }
        // The watch goes with the last port, once its silencing has been
        // delivered: a patchbay would show it as a stray client. The next
        // port opens it again.
        if (mJack && !opened)
            mWatch->close();
        if (opened) {
            mOpen.store(true, std::memory_order_relaxed);
            countChangeLocked();
            qDebug().noquote() << "Midi-Out port opened:" << mPortName;
            if (mMpe.load(std::memory_order_relaxed))
                rpnLocked(mRange.load(std::memory_order_relaxed));
        }
    }
    portChanged(opened);
    return opened;
}

void MidiOutRtMidi::closeLocked()
{
    if (mMidiOut->isPortOpen() && !serverGoneLocked()) {
        silenceLocked();
        // RtMidi's close unregisters the port after one more cycle of its
        // own, which can take the port away before a receiver read it.
        waitDeliveredLocked();
        try {
            if (!serverGoneLocked()) {
                mMidiOut->closePort();
                // RtMidi's callback may still be in a cycle that began before
                // the port went, and RtMidi frees the ring it reads before it
                // closes its client: let that cycle end before anything may
                // delete the output.
                if (mJack && mWatch->isOpen())
                    mWatch->waitCycles(mWatch->cycleFrame(), 2, JackStallMs);
            }
        } catch (const RtMidiError& e) {
            qWarning().noquote() << "Closing the MIDI output port failed:" << QString::fromStdString(e.getMessage());
        }
    }
    const bool wasOpen = mOpen.exchange(false, std::memory_order_relaxed);
    mPortName = QString::fromLatin1(NoPortName);
    countChangeLocked();
    if (wasOpen)
        qDebug() << "Midi-Out port closed";
}

void MidiOutRtMidi::countChangeLocked()
{
    mChangeCount.fetch_add(1, std::memory_order_release);
}

bool MidiOutRtMidi::setMidiChannel(int channel)
{
    if (channel < -1 || channel > 15) {
        qWarning().noquote() << QStringLiteral("MIDI channel %1 refused: channels are 0 to 15, or -1 for MPE").arg(channel);
        return false;
    }
    Lock lock(mLock);
    if (mMidiOut)
        drainLocked();
    const int old = mChannel.load(std::memory_order_relaxed);
    if (channel == old)
        return true;
    const bool open = mOpen.load(std::memory_order_relaxed);
    if (open) {
        if (old == -1) {
            allNotesOffAllChannelsLocked();
            rpnLocked(DefaultRangeCents);
        } else {
            // The old channel's notes would hang, and retuned keys would
            // detune the notes that MPE plays on them.
            notesOffLocked(old);
            if (channel == -1)
                resetMtsLocked();
        }
    }
    mMpe.store(channel == -1, std::memory_order_relaxed);
    mChannel.store(channel, std::memory_order_relaxed);
    countChangeLocked();
    if (open && channel == -1)
        rpnLocked(mRange.load(std::memory_order_relaxed));
    return true;
}

bool MidiOutRtMidi::setPitchBendRange(int cents)
{
    if (!rangeAccepted(cents))
        return false;
    Lock lock(mLock);
    if (mMidiOut)
        drainLocked();
    // Not a counted change: notes keep sounding, and only bends already on
    // their way still carry the old range.
    mRange.store(cents, std::memory_order_release);
    if (mOpen.load(std::memory_order_relaxed) && mMpe.load(std::memory_order_relaxed))
        rpnLocked(cents);
    return true;
}

void MidiOutRtMidi::allNotesOff()
{
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed) && !mMpe.load(std::memory_order_relaxed)) {
        drainLocked();
        notesOffLocked(mChannel.load(std::memory_order_relaxed));
    }
}

void MidiOutRtMidi::resetMtsNotes()
{
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed)) {
        drainLocked();
        resetMtsLocked();
    }
}

void MidiOutRtMidi::resetPitchBend(int channel)
{
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed) && channel >= 0 && channel < 16) {
        drainLocked();
        resetPitchBendLocked(channel);
    }
}

void MidiOutRtMidi::resetPitchBendAll()
{
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed)) {
        drainLocked();
        for (int c = 0; c < 16; ++c)
            resetPitchBendLocked(c);
    }
}

void MidiOutRtMidi::allNotesOffAllChannels()
{
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed)) {
        drainLocked();
        allNotesOffAllChannelsLocked();
    }
}

void MidiOutRtMidi::sendPitchBendRange()
{
    sendPitchBendRangeRpn(mRange.load(std::memory_order_relaxed));
}

void MidiOutRtMidi::sendPitchBendRangeRpn(int cents)
{
    if (!rangeAccepted(cents))
        return;
    Lock lock(mLock);
    if (mOpen.load(std::memory_order_relaxed)) {
        drainLocked();
        rpnLocked(cents);
    }
}

void MidiOutRtMidi::resetPitchBendRange()
{
    sendPitchBendRangeRpn(DefaultRangeCents);
}

void MidiOutRtMidi::silenceLocked()
{
    if (mMpe.load(std::memory_order_relaxed)) {
        allNotesOffAllChannelsLocked();
        rpnLocked(DefaultRangeCents);
    } else {
        notesOffLocked(mChannel.load(std::memory_order_relaxed));
        resetMtsLocked();
    }
}

void MidiOutRtMidi::notesOffLocked(int channel)
{
    const quint8 message[3] = { quint8(0xB0 | channel), 123, 0 };
    sendLocked(message, 3);
}

void MidiOutRtMidi::allNotesOffAllChannelsLocked()
{
    for (int c = 0; c < 16; ++c)
        notesOffLocked(c);
    for (int c = 0; c < 16; ++c)
        resetPitchBendLocked(c);
}

void MidiOutRtMidi::resetPitchBendLocked(int channel)
{
    const quint8 message[3] = { quint8(0xE0 | channel), 0, 64 };
    sendLocked(message, 3);
}

// A synth keeps its own range on the channels that are not told, so every
// channel is told.
void MidiOutRtMidi::rpnLocked(int cents)
{
    const int semitones = cents / 100;
    const int rest = cents - 100 * semitones;
    for (int c = 0; c < 16; ++c) {
        const quint8 status = quint8(0xB0 | c);
        const quint8 messages[6][3] = {
            { status, 100, 0 }, { status, 101, 0 }, { status, 6, quint8(semitones) },
            { status, 38, quint8(rest) }, { status, 100, 127 }, { status, 101, 127 },
        };
        for (const auto& m : messages)
            sendLocked(m, 3);
    }
    qDebug().noquote() << QStringLiteral("Midi RPN messages sent: Pitch bend range set to: semitones, cents %1 %2")
                              .arg(semitones)
                              .arg(rest);
}

void MidiOutRtMidi::markRetunedLocked(const quint8* message, int size)
{
    if (size < 8 || message[0] != 0xF0 || message[3] != 0x08 || message[4] != 0x02)
        return;
    for (int at = 7; at + 4 < size; at += 4) {
        const quint8 key = message[at] & 0x7F;
        if (!mRetuned.test(key)) {
            mRetuned.set(key);
            mRetunedKeys[size_t(mRetunedCount++)] = key;
        }
    }
}

void MidiOutRtMidi::resetMtsLocked()
{
    if (mRetunedCount == 0)
        return;
    quint8* m = mScratch;
    int n = 0;
    for (const quint8 b : { 0xF0, 0x7F, 0x7F, 0x08, 0x02, 0x00 })
        m[n++] = b;
    m[n++] = quint8(mRetunedCount);
    for (int i = 0; i < mRetunedCount; ++i) {
        // Each key back to its own equal-tempered pitch.
        const quint8 key = mRetunedKeys[size_t(i)];
        for (const quint8 b : { key, key, quint8(0), quint8(0) })
            m[n++] = b;
    }
    m[n++] = 0xF7;
    sendLocked(m, n);
    mRetunedCount = 0;
    mRetuned.reset();
}

void MidiOutRtMidi::deliverWarnings()
{
    if (!mNotice.isEmpty())
        qWarning().noquote() << std::exchange(mNotice, QString());
    MidiWarning w;
    while (mWarnings.pop(w)) {
        switch (w.code) {
        case WarnBelowRange:
            qWarning().noquote() << "MTS: Freq sent to MIDI below MIDI range:" << w.value;
            break;
        case WarnAboveRange:
            qWarning().noquote() << "MTS: Freq sent to MIDI above MIDI range:" << w.value;
            break;
        case WarnBendFactor:
            qWarning().noquote() << "MPE Pitch-bend factor exceeds +-1.";
            break;
        case WarnVoiceWithoutKey:
            qWarning().noquote() << QStringLiteral("MIDI: voice %1 has no key in channel mode (keys %2 to 127 carry voices "
                                                   "0 to %3); its messages are left out")
                                        .arg(w.number)
                                        .arg(KeyOffset)
                                        .arg(KeyedVoices - 1);
            break;
        case WarnNoChannel:
            qWarning().noquote() << QStringLiteral("Cannot add PdPlayer voice %1. All MPE channels in use!").arg(w.number);
            break;
        case WarnNoPitch:
            qWarning().noquote() << QStringLiteral("MIDI: voice %1 has no pitch (frequency %2); it is left out")
                                        .arg(w.number)
                                        .arg(double(w.value));
            break;
        default:
            break;
        }
    }
    if (const quint32 lost = mWarnings.takeLost())
        qWarning().noquote() << QStringLiteral("MIDI: %1 warnings of the audio thread were lost").arg(lost);
}
