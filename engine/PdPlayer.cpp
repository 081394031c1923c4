#include "PdPlayer.h"

#include "EngineCommandType.h"
#include "PrimeTables.h"
#include "VectorState.h"
#include "WendleEvent.h"

#include <QDebug>
#include <cmath>
#include <cstring>

#include "z_libpd.h"

PdPlayer* PdPlayer::sInstance = nullptr;
std::atomic<int> PdPlayer::sCreateFailures { 0 };

namespace {

// More atoms than any message the engine sends to the patch.
constexpr int MessageAtoms = 16;

WendleRatio ratioOf(const EngineReport& r)
{
    return WendleRatio(r.numerator, r.denominator);
}

QString warningText(const EngineReport& r)
{
    const float v = r.values[0];
    switch (r.number) {
    case PdPlayer::WarnIgnoredTransposeStep:
        return QStringLiteral("Transposition by %1 ignored: not a prime step").arg(double(v));
    case PdPlayer::WarnIgnoredPrimeIndex:
        return QStringLiteral("Prime toggle for %1 ignored: not an index 0 to 31").arg(double(v));
    case PdPlayer::WarnIgnoredNullRatio:
        return QStringLiteral("Command %1 ignored: it carries no ratio").arg(int(v));
    case PdPlayer::WarnIgnoredZeroTransposition:
        return QStringLiteral("Transposition by a ratio without value ignored");
    case PdPlayer::WarnInexactTransposition:
        return QStringLiteral("Transposition ignored: the product would not stay exact");
    case PdPlayer::WarnIgnoredVoiceStop:
        return QStringLiteral("voice-stop for voice %1 ignored: no such voice").arg(double(v));
    case PdPlayer::WarnReplayFull:
        return QStringLiteral("Command buffer full");
    case PdPlayer::WarnSelectionFull:
        return QStringLiteral("Node selection ignored: too many selected or altered nodes");
    case PdPlayer::WarnTooManyMacros:
        return QStringLiteral("The patch reported %1 macros; only the first 8 are used").arg(int(v));
    case PdPlayer::WarnIgnoredNonFinite:
        return QStringLiteral("Command %1 ignored: its value is not a finite number").arg(int(v));
    case PdPlayer::WarnOpenWithoutName:
        return QStringLiteral("Open patch command without a pending patch name ignored");
    default:
        return QStringLiteral("Engine warning %1").arg(r.number);
    }
}

} // namespace

PdPlayer::PdPlayer(QObject* parent)
    : QObject(parent)
{
    WendleRatio::registerMetaTypes();
    mPrimeTable.fill(true);
    mSerialClock.start();
    sInstance = this;
    mReportTimer.setInterval(4);
    mReportTimer.setTimerType(Qt::PreciseTimer);
    connect(&mReportTimer, &QTimer::timeout, this, &PdPlayer::deliverReports);
    connect(&mReportTimer, &QTimer::timeout, this, &PdPlayer::rollDroppedCommandCount);
    mReportTimer.start();
}

PdPlayer::~PdPlayer()
{
    if (sInstance == this)
        sInstance = nullptr;
}

bool PdPlayer::createRings()
{
    if (!mGuiRing.create(CommandRingBuffer::DefaultSize)) {
        qCritical() << "failed to allocate gui command buffer";
        return false;
    }
    if (!mSerialRing.create(CommandRingBuffer::DefaultSize)) {
        qCritical() << "failed to allocate serial command buffer";
        return false;
    }
    return true;
}

bool PdPlayer::initLibpd()
{
    static bool done = false;
    if (done)
        return true;
    libpd_set_printhook(&PdPlayer::pdPrintHook);
    libpd_set_listhook(&PdPlayer::pdListHook);
    // libpd refuses a second initialisation with -1, which is no failure here.
    const int status = libpd_init();
    done = status == 0 || status == -1;
    // libpd grows its message buffer on first use; growing it here keeps
    // that allocation off the audio thread.
    if (done)
        libpd_start_message(MessageAtoms);
    return done;
}

void PdPlayer::setMaxVoices(int voices)
{
    if (voices < 1 || voices > MaxVoices) {
        qWarning() << "PdPlayer: Max number of voices" << voices << "ignored: not 1 to" << MaxVoices;
        return;
    }
    mMaxVoices.store(voices, std::memory_order_release);
    qWarning().noquote() << QStringLiteral("PdPlayer: Max number of voices set to %1").arg(voices);
}

void PdPlayer::setGlissRanges(float oneCents, float twoCents)
{
    mGlissOneRange.store(oneCents, std::memory_order_relaxed);
    mGlissTwoRange.store(twoCents, std::memory_order_relaxed);
    setGlissRangeOptions(oneCents, twoCents);
}

void PdPlayer::setGlissRangeOptions(float oneCents, float twoCents)
{
    mGlissOneRangeOption.store(oneCents, std::memory_order_relaxed);
    mGlissTwoRangeOption.store(twoCents, std::memory_order_relaxed);
}

void PdPlayer::setSoftNodeReset(bool on)
{
    mSoftNodeReset.store(on, std::memory_order_relaxed);
}

void PdPlayer::setMaintainMacroParameters(bool on)
{
    mMaintainMacros.store(on, std::memory_order_relaxed);
}

void PdPlayer::setInterfaceActive(bool on)
{
    mInterfaceActive.store(on, std::memory_order_relaxed);
}

void PdPlayer::setStreamRunning(bool running)
{
    mStreamRunning.store(running, std::memory_order_release);
}

// ---------------------------------------------------------------- posting

void PdPlayer::queueEventGui(const WendleEvent* event)
{
    mGuiRing.post(event);
}

void PdPlayer::queueEventSerial(const WendleEvent* event)
{
    if (!event)
        return;
    const bool posted = mSerialRing.postCommand(EngineCommand::fromEvent(*event));
    const std::lock_guard<std::mutex> lock(mSerialRingFullLock);
    // Read under the lock, so that the throttle sees time run forward from either thread.
    const qint64 now = mSerialClock.elapsed();
    if (posted) {
        // Sums up a flood that has ended.
        mSerialRingFull.roll(now);
        return;
    }
    if (mSerialRingFull.admit(now))
        qWarning() << "Command buffer full";
}

void PdPlayer::rollDroppedCommandCount()
{
    const std::lock_guard<std::mutex> lock(mSerialRingFullLock);
    mSerialRingFull.roll(mSerialClock.elapsed());
}

void PdPlayer::writeDroppedCommandCount()
{
    const std::lock_guard<std::mutex> lock(mSerialRingFullLock);
    mSerialRingFull.flush(mSerialClock.elapsed());
}

void PdPlayer::queueEventFromInterface(QString source, const WendleEvent* event)
{
    if (!event)
        return;
    qDebug().noquote() << QStringLiteral("Player: Event received from Interface: %1 %2 %3")
                              .arg(source).arg(event->type).arg(double(event->value));
}

// ---------------------------------------------------------------- reports

void PdPlayer::report(EngineReport::Kind kind, qint32 number, const WendleRatio* ratio, float value)
{
    EngineReport r;
    r.kind = kind;
    r.number = number;
    if (ratio) {
        r.numerator = ratio->numerator();
        r.denominator = ratio->denominator();
    }
    r.values[0] = value;
    mReports.push(r);
}

void PdPlayer::warn(WarningCode code, float value, qint32 number)
{
    EngineReport r;
    r.kind = EngineReport::Warning;
    r.number = code;
    r.values[0] = value;
    r.values[1] = float(number);
    mReports.push(r);
}

void PdPlayer::deliverReports()
{
    if (const quint32 lost = mReports.takeLost())
        qWarning() << "PdPlayer: report queue full," << lost << "reports from the audio thread were lost";
    EngineReport r;
    QByteArray text;
    while (mReports.pop(r, &text)) {
        const bool flag = r.values[0] != 0.0f;
        switch (r.kind) {
        case EngineReport::NoteToggled: emit noteToggled(ratioOf(r), flag); break;
        case EngineReport::NodeSelected: emit nodeSelected(ratioOf(r), flag); break;
        case EngineReport::NodeHold: emit nodeHold(ratioOf(r), flag); break;
        case EngineReport::NodeAltered: emit nodeAltered(ratioOf(r), flag); break;
        case EngineReport::RemoveNodeInStack: emit removeNodeInStack(ratioOf(r)); break;
        case EngineReport::NodesRecalled: emit nodesRecalled(); break;
        case EngineReport::Transposed: emit transposed(ratioOf(r), r.number); break;
        case EngineReport::VolumeChanged: emit volumeChanged(r.values[0]); break;
        case EngineReport::VoiceVolumeChanged: emit voiceVolumeChanged(r.values[0]); break;
        case EngineReport::BaseFrequencyChanged: emit baseFrequencyChanged(r.values[0]); break;
        case EngineReport::MonophonicChanged: emit monophonicChanged(flag); break;
        case EngineReport::PrimeEnabledToggled: emit primeEnabledToggled(r.number, flag); break;
        case EngineReport::MacroInfoChanged: {
            // number: the patch's macro count, or -1 for a close (names only).
            QStringList names;
            if (r.number > 0)
                names = QString::fromUtf8(text).split(QLatin1Char(':'));
            mGuiMacroNames = names;
            emit macroNamesReceived(names);
            if (r.number >= 0)
                emit macroDefaultsReceived(QList<float>(r.values, r.values + r.number));
            break;
        }
        case EngineReport::SetMacroSliders:
            emit setMacroSliders(QList<float>(r.values, r.values + MacroCount));
            break;
        case EngineReport::MacroValueChanged: emit macroValueChanged(r.number, r.values[0]); break;
        case EngineReport::PatchDecRequested: emit patchDecRequested(); break;
        case EngineReport::PatchIncRequested: emit patchIncRequested(); break;
        case EngineReport::ResetGlissSliders: emit resetGlissSliders(short(r.number)); break;
        case EngineReport::Warning: qWarning().noquote() << warningText(r); break;
        case EngineReport::Log: logPatchLine(r, text); break;
        }
    }
}

// ---------------------------------------------------------------- callback

void PdPlayer::processCallback(float* output, unsigned long frameCount, bool silenced)
{
    // Whatever ran on this thread before may have left the AVX upper halves
    // dirty; Pd's SSE maths would pay for it on every sample.
    VectorState::clearUpperHalves();
    // Re-posts of type 13 made in an earlier callback sit before anything the
    // GUI posted since; those made now by a controller command come after it.
    const int carried = mReplayCount;
    mSerialRing.drain(mCommandList);
    executeList(mCommandList);
    const int beforeGui = mReplayCount;
    runReplays(carried);
    mGuiRing.drain(mCommandList);
    const qint64 guiCommands = mCommandList.count;
    executeList(mCommandList);
    runReplays(beforeGui - carried);

    applyPendingMasterVolume();
    if (mSoundingDirty)
        publishSounding();
    // Counted once what they did is published. Replays that this callback's
    // GUI commands left for the next one are part of what those commands do.
    mGuiCommandsRun += quint64(guiCommands);
    publishExecutedGuiCommands(mReplayCount == 0 ? mGuiCommandsRun : mGuiCommandsRun - quint64(guiCommands));

    const unsigned long blocks = frameCount / 64;
    unsigned long written = 0;
    if (hasPatch()) {
        libpd_process_float(int(blocks), nullptr, output);
        written = blocks * 64;
        // One writer: the audio thread, or the GUI thread when no stream runs.
        mProcessedFrames.store(mProcessedFrames.load(std::memory_order_relaxed) + written, std::memory_order_release);
        if (silenced)
            written = 0;
    }
    // Frames past the last whole block, and everything while silenced or
    // without a patch, are silence rather than whatever the buffer held.
    std::memset(output + written * 2, 0, (frameCount - written) * 2 * sizeof(float));
}

void PdPlayer::executeList(EngineCommandList& list)
{
    // Patch opens and closes read their id from the command itself.
    for (qint64 i = 0; i < list.count; ++i) {
        mCommand = list.items[i];
        processEvent(*mCommand);
    }
    mCommand = nullptr;
    list.count = 0;
}

void PdPlayer::runReplays(int count)
{
    if (count <= 0)
        return;
    for (int i = 0; i < count; ++i)
        toggleRatio(mReplays[i], true);
    for (int i = count; i < mReplayCount; ++i)
        mReplays[i - count] = mReplays[i];
    mReplayCount -= count;
}

void PdPlayer::applyPendingMasterVolume()
{
    if (mHasPendingMasterVolume.exchange(false, std::memory_order_acq_rel) && hasPatch())
        sendMasterVolume(mPendingMasterVolume.load(std::memory_order_relaxed));
}

void PdPlayer::publishSounding()
{
    mSounding.beginWrite();
    int n = 0;
    for (const Voice& v : mVoices) {
        if (v.sounds())
            mSounding.set(n++, v.ratio);
    }
    mSounding.endWrite(n);
    mSoundingDirty = false;
}

void PdPlayer::publishExecutedGuiCommands(quint64 count)
{
    // Sequentially consistent, as the waiter's store of its target and its
    // load of the count: one of the two sides sees the other.
    mExecutedGuiCommands.store(count);
    quint64 target = mGuiWaitTarget.load();
    if (target != 0 && count >= target && mGuiWaitTarget.compare_exchange_strong(target, 0))
        mGuiCommandsDone.release();
}

QList<WendleRatio> PdPlayer::getAllSoundingRatios() const
{
    const QList<WendleRatio> list = mSounding.read();
    qDebug() << "PdPlayer:getAllSoundingRatios, number of which are " << list.size();
    return list;
}
