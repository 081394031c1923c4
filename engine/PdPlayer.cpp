#include "PdPlayer.h"

#include "AudioOutput.h"
#include "EngineCommandType.h"
#include "PrimeTables.h"
#include "WendleEvent.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <cmath>
#include <cstring>
#include <memory>

#include "z_libpd.h"

PdPlayer* PdPlayer::sInstance = nullptr;
std::atomic<int> PdPlayer::sCreateFailures { 0 };

namespace {

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
    case PdPlayer::WarnPdMessageRefused:
        return QStringLiteral("libpd refused a message, error status: %1").arg(int(v));
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
    sInstance = this;
    mReportTimer.setInterval(4);
    mReportTimer.setTimerType(Qt::PreciseTimer);
    connect(&mReportTimer, &QTimer::timeout, this, &PdPlayer::deliverReports);
    mReportTimer.start();
}

PdPlayer::~PdPlayer()
{
    delete mMacroMailbox.exchange(nullptr);
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
    mSerialRing.post(event);
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
    while (mReports.pop(r)) {
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
            // Several reports may find one (the newest) hand-over.
            std::unique_ptr<MacroInfo> info(mMacroMailbox.exchange(nullptr, std::memory_order_acq_rel));
            if (!info)
                break;
            mGuiMacroNames = info->names;
            emit macroNamesReceived(info->names);
            if (info->fromPatch)
                emit macroDefaultsReceived(info->defaults);
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
        }
    }
}

// ---------------------------------------------------------------- callback

void PdPlayer::processCallback(float* output, unsigned long frameCount, bool silenced)
{
    // Re-posts of type 13 made in an earlier callback sit before anything the
    // GUI posted since; those made now by a controller command come after it.
    const int carried = mReplayCount;
    mSerialRing.drain(mCommandList);
    executeList(mCommandList);
    const int beforeGui = mReplayCount;
    runReplays(carried);
    mGuiRing.drain(mCommandList);
    executeList(mCommandList);
    runReplays(beforeGui - carried);

    applyPendingMasterVolume();
    if (mSoundingDirty)
        publishSounding();

    const unsigned long blocks = frameCount / 64;
    unsigned long written = 0;
    if (hasPatch()) {
        libpd_process_float(int(blocks), nullptr, output);
        written = blocks * 64;
        if (silenced)
            written = 0;
    }
    // Frames past the last whole block, and everything while silenced or
    // without a patch, are silence rather than whatever the buffer held.
    std::memset(output + written * 2, 0, (frameCount - written) * 2 * sizeof(float));
}

void PdPlayer::executeList(EngineCommandList& list)
{
    for (qint64 i = 0; i < list.count; ++i)
        processEvent(*list.items[i]);
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

QList<WendleRatio> PdPlayer::getAllSoundingRatios() const
{
    const QList<WendleRatio> list = mSounding.read();
    qDebug() << "PdPlayer:getAllSoundingRatios, number of which are " << list.size();
    return list;
}

// ---------------------------------------------------------------- dispatch

void PdPlayer::processEvent(const EngineCommand& command)
{
    const float value = command.value;
    switch (command.type) {
    case TogglePathNote: {
        const WendlePath path = command.wendlePath();
        if (path.isInvalid())
            return;
        const int n = path.size();
        const int last = n == 0 ? primeList[0] : std::abs(int(path.steps[n - 1]));
        if (last >= 32 || !mPrimeTable[last])
            return;
        const WendleRatio base(path);
        if (base.isNull())
            return;
        Rational product;
        if (!WendleRatio::multiplyExact(base.ratio, mTransposition.ratio, product))
            return;
        toggleRatio(WendleRatio(product), false);
        return;
    }
    case AllNotesOffExceptHeld:
        allNotesOff(false);
        return;
    case AllNotesOff:
        allNotesOff(true);
        return;
    case DeselectAll: {
        deselectAllNodes();
        const WendleRatio ratio = command.ratio();
        if (voiceOf(ratio))
            noteOff(ratio);
        report(EngineReport::RemoveNodeInStack, 0, &ratio);
        return;
    }
    case ResetSelectedNodes:
        resetSelectedNodes(false);
        return;
    case ResetSelectedNodesAndDeselect:
        resetSelectedNodes(true);
        return;
    case ResetAlteredNodes:
        resetAlteredNodes(false, false);
        return;
    case ResetAlteredNodesAndDeselect:
        resetAlteredNodes(false, true);
        return;
    case ResetAllParameters:
        resetAlteredNodes(true, false);
        return;
    case ResetAllParametersAndDeselect:
        resetAlteredNodes(true, true);
        return;
    case NodeResetGlissOne:
        nodeReset(1);
        return;
    case NodeResetGlissTwo:
        nodeReset(2);
        return;
    case NodeResetGliss:
        nodeReset(0);
        return;
    case ReplaySelection:
        for (int i = 0; i < mSelection.size(); ++i) {
            if (mReplayCount == ReplayCapacity) {
                warn(WarnReplayFull);
                break;
            }
            mReplays[mReplayCount++] = mSelection[i];
        }
        return;
    case SelectSounding:
        for (const Voice& v : mVoices) {
            if (v.sounds() && !mSelection.contains(v.ratio))
                toggleNodeSelection(v.ratio);
        }
        return;
    case TransposeByPrime: {
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        // Rounded half away from zero, then reduced to a signed 8-bit step.
        const double rounded = std::trunc(double(value) + (value < 0 ? -0.5 : 0.5));
        const int step = int(qint8(quint8(qint64(std::fmod(rounded, 256.0)) & 0xff)));
        if (step == 0) {
            mTransposition = WendleRatio(1, 1);
            report(EngineReport::Transposed, 0, &mTransposition);
            return;
        }
        if (!isPrimeStep(step)) {
            warn(WarnIgnoredTransposeStep, value);
            return;
        }
        WendlePath one;
        one.append(qint8(step));
        transposeBy(WendleRatio::ratioOfSteps(one.steps, WendlePath::MaxSteps), step);
        return;
    }
    case VoiceVolumeAdd:
    case VoiceVolumeSet:
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        mVoiceVolume = command.type == VoiceVolumeAdd ? mVoiceVolume + value : value;
        report(EngineReport::VoiceVolumeChanged, 0, nullptr, mVoiceVolume);
        return;
    case MasterVolumeAdd:
    case MasterVolumeSet:
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        mMasterVolume = command.type == MasterVolumeAdd ? mMasterVolume + value : value;
        sendMasterVolume(mMasterVolume);
        report(EngineReport::VolumeChanged, 0, nullptr, mMasterVolume);
        return;
    case SetMonophonic:
        mMonoVoice = -1;
        mMonophonic = value > 0.5f;
        report(EngineReport::MonophonicChanged, 0, nullptr, mMonophonic ? 1.0f : 0.0f);
        return;
    case PatchStep:
        report(value > 0 ? EngineReport::PatchIncRequested : EngineReport::PatchDecRequested);
        return;
    case SetBaseFrequency:
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        mBaseFrequency = value;
        report(EngineReport::BaseFrequencyChanged, 0, nullptr, value);
        return;
    case TogglePrime: {
        if (!(value > -1.0f && value < 32.0f)) {
            warn(WarnIgnoredPrimeIndex, value);
            return;
        }
        const int prime = int(value);
        mPrimeTable[prime] = !mPrimeTable[prime];
        report(EngineReport::PrimeEnabledToggled, prime, nullptr, mPrimeTable[prime] ? 1.0f : 0.0f);
        return;
    }
    case SetMacro1: case SetMacro2: case SetMacro3: case SetMacro4:
    case SetMacro5: case SetMacro6: case SetMacro7: case SetMacro8:
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        setMacroValue(command.type - 23, value);
        return;
    case SetGlissOne:
    case SetGlissTwo:
        if (!std::isfinite(value)) {
            warn(WarnIgnoredNonFinite, float(command.type));
            return;
        }
        mGlissPositions[command.type == SetGlissOne ? 0 : 1] = value;
        applyGliss();
        return;
    case ToggleRatioNote: {
        const WendleRatio ratio = command.ratio();
        if (ratio.isNull()) {
            warn(WarnIgnoredNullRatio, float(command.type));
            return;
        }
        toggleRatio(ratio, value != 2.0f);
        return;
    }
    case RemoveNode: {
        const WendleRatio ratio = command.ratio();
        if (voiceOf(ratio))
            noteOff(ratio);
        report(EngineReport::RemoveNodeInStack, 0, &ratio);
        return;
    }
    case TransposeByRatio: {
        const WendleRatio ratio = command.ratio();
        if (ratio.isNull()) {
            warn(WarnIgnoredZeroTransposition);
            return;
        }
        transposeBy(ratio.ratio, 1000);
        return;
    }
    case ToggleNodeSelection:
    case ResetNode: {
        const WendleRatio ratio = command.ratio();
        const WendleRatio absolute(ratio.absoluteRatio());
        if (absolute.isNull()) {
            warn(WarnIgnoredNullRatio, float(command.type));
            return;
        }
        if (command.type == ToggleNodeSelection)
            toggleNodeSelection(absolute);
        else
            resetSingleNode(absolute, value != 0.0f);
        return;
    }
    case NodesRecalled:
        report(EngineReport::NodesRecalled);
        return;
    case SetHold:
        setHold(value == 1.0f);
        return;
    case OpenPatch:
        openPatch();
        return;
    case ClosePatch:
        closePatch();
        return;
    default:
        return;
    }
}

void PdPlayer::transposeBy(const Rational& factor, int prime)
{
    Rational product;
    if (!WendleRatio::multiplyExact(mTransposition.ratio, factor, product)) {
        warn(WarnInexactTransposition);
        return;
    }
    mTransposition = WendleRatio(product);
    report(EngineReport::Transposed, prime, &mTransposition);
}

// ---------------------------------------------------------------- voices

int PdPlayer::activeVoices() const
{
    return mMaxVoices.load(std::memory_order_acquire);
}

Voice* PdPlayer::mappedVoice(const WendleRatio& ratio)
{
    for (Voice& v : mVoices) {
        if (v.mapped && v.ratio == ratio)
            return &v;
    }
    return nullptr;
}

const Voice* PdPlayer::voiceOf(const WendleRatio& ratio) const
{
    return const_cast<PdPlayer*>(this)->mappedVoice(ratio);
}

float PdPlayer::frequencyOf(const WendleRatio& ratio) const
{
    return float(ratio.numerator()) / float(ratio.denominator()) * mBaseFrequency;
}

float PdPlayer::mapGlissOne(float position) const
{
    const double range = mGlissOneRange.load(std::memory_order_relaxed);
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * range / 1200.0));
}

float PdPlayer::mapGlissTwo(float position) const
{
    const double range = mGlissTwoRange.load(std::memory_order_relaxed);
    return float(std::pow(2.0, (double(position) - 0.5) * 2.0 * range / 1200.0));
}

void PdPlayer::sendMacros(int voice, const float* values)
{
    for (int m = 0; m < MacroCount; ++m)
        sendToPd(4 + m, values[m], float(voice));
}

void PdPlayer::storePlainNodeParameters(const WendleRatio& ratio)
{
    NodeParameters p;
    std::copy(mMacros, mMacros + MacroCount, p.macros);
    mNodeParameters.insert(ratio, p);
}

void PdPlayer::noteOn(const WendleRatio& ratio)
{
    ++mNoteCounter;
    if (mNoteCounter == 0) // 0 marks a free voice
        mNoteCounter = 1;
    float f = frequencyOf(ratio);

    const int voices = activeVoices();
    int chosen = -1;
    for (int i = 0; i < voices; ++i) {
        if (mVoices[i].seqId == 0) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        chosen = 0;
        for (int i = 1; i < voices; ++i) {
            if (mVoices[i].seqId < mVoices[chosen].seqId)
                chosen = i;
        }
        Voice& victim = mVoices[chosen];
        if (!victim.inRelease && victim.mapped)
            noteOff(victim.ratio);
        victim.inRelease = true;
        onVoiceStopped(chosen);
    }

    if (mMonophonic) {
        if (mMonoVoice != -1 && mVoices[mMonoVoice].sounds())
            noteOff(mVoices[mMonoVoice].ratio);
        mMonoVoice = chosen;
    }

    if (Voice* old = mappedVoice(ratio))
        old->mapped = false;
    Voice& v = mVoices[chosen];
    v.ratio = ratio;
    v.voice = chosen;
    v.inRelease = false;
    v.seqId = mNoteCounter;
    v.mapped = true;

    float velocity = mMacros[0];
    const bool selected = mSelection.contains(ratio);
    NodeParameters* altered = selected || mAltered.contains(ratio) ? alteredEntry(ratio) : nullptr;
    if (selected && altered) {
        f *= mapGlissOne(mGlissPositions[0] + altered->gliss[0]) * mapGlissTwo(mGlissPositions[1] + altered->gliss[1]);
        float values[MacroCount];
        for (int m = 0; m < MacroCount; ++m)
            values[m] = mMacros[m] + altered->macros[m];
        sendMacros(chosen, values);
    } else if (altered) {
        f *= mapGlissOne(altered->gliss[0]) * mapGlissTwo(altered->gliss[1]);
        sendMacros(chosen, altered->macros);
        velocity = altered->macros[0];
    } else {
        sendMacros(chosen, mMacros);
    }

    if (f > 20.0f && f < 20000.0f) {
        sendToPd(2, f, float(chosen));
        sendToPd(3, mVoiceVolume, float(chosen));
        sendToPd(1, 1.0f, float(chosen));
        if (mInterfaceActive.load(std::memory_order_relaxed))
            emit instructionsToInterface(1, { chosen }, { f }, { velocity });
    }
    report(EngineReport::NoteToggled, 0, &ratio, 1.0f);
    if (!mAltered.contains(ratio))
        storePlainNodeParameters(ratio);
    mSoundingDirty = true;
}

void PdPlayer::noteOff(const WendleRatio& ratio)
{
    Voice* v = mappedVoice(ratio);
    if (!v)
        return;
    v->inRelease = true;
    sendToPd(1, 0.0f, float(v->voice));
    if (mInterfaceActive.load(std::memory_order_relaxed))
        emit instructionsToInterface(-1, { v->voice }, { -1.0f }, { -1.0f });
    report(EngineReport::NoteToggled, 0, &ratio, 0.0f);
    mNodeParameters.remove(ratio);
    mSoundingDirty = true;
}

void PdPlayer::toggleRatio(const WendleRatio& ratio, bool keepHeld)
{
    const Voice* v = voiceOf(ratio);
    if (!v || v->inRelease)
        noteOn(ratio);
    else if (!(keepHeld && mHold && mHeld.contains(ratio)))
        noteOff(ratio);
}

void PdPlayer::collectSoundingRatios()
{
    mSoundingList.clear();
    for (const Voice& v : mVoices) {
        if (v.sounds())
            mSoundingList.append(v.ratio);
    }
}

void PdPlayer::allNotesOff(bool all)
{
    for (Voice& v : mVoices) {
        if (!v.mapped || v.seqId == 0)
            continue;
        if (!all && mHeld.contains(v.ratio))
            continue;
        noteOff(v.ratio);
    }
}

void PdPlayer::onVoiceStopped(int voice)
{
    if (voice < 0 || voice >= MaxVoices)
        return;
    Voice& v = mVoices[voice];
    if (!v.inRelease)
        return;
    v.mapped = false;
    v.inRelease = false;
    v.seqId = 0;
    mSoundingDirty = true;
}

void PdPlayer::setHold(bool on)
{
    for (int i = 0; i < mHeld.size(); ++i)
        report(EngineReport::NodeHold, 0, &mHeld[i], 0.0f);
    mHeld.clear();
    if (on) {
        for (const Voice& v : mVoices) {
            if (v.sounds()) {
                mHeld.append(v.ratio);
                report(EngineReport::NodeHold, 0, &v.ratio, 1.0f);
            }
        }
    }
    mHold = on;
}

// ---------------------------------------------------------------- nodes

NodeParameters* PdPlayer::alteredEntry(const WendleRatio& ratio)
{
    return mAlteredParameters.find(ratio);
}

const NodeParameters* PdPlayer::alteredParameters(const WendleRatio& r) const
{
    return const_cast<PdPlayer*>(this)->mAlteredParameters.find(r);
}

const NodeParameters* PdPlayer::nodeParameters(const WendleRatio& r) const
{
    return const_cast<PdPlayer*>(this)->mNodeParameters.find(r);
}

void PdPlayer::toggleNodeSelection(const WendleRatio& which)
{
    // The argument may live in the selection list that this changes.
    const WendleRatio ratio = which;
    const int index = mSelection.indexOf(ratio);
    if (index >= 0) {
        if (NodeParameters* p = alteredEntry(ratio)) {
            p->gliss[0] += mGlissPositions[0];
            p->gliss[1] += mGlissPositions[1];
            for (int m = 0; m < MacroCount; ++m)
                p->macros[m] += mMacros[m];
        }
        mSelection.removeAt(index);
        report(EngineReport::NodeSelected, 0, &ratio, 0.0f);
        return;
    }

    const bool wasAltered = mAltered.contains(ratio);
    // Fixed storage: refuse a selection that could not keep its parameters.
    if (mSelection.isFull() || (!wasAltered && (mAltered.isFull() || (!mAlteredParameters.contains(ratio) && mAlteredParameters.isFull())))) {
        warn(WarnSelectionFull);
        return;
    }
    mSelection.append(ratio);
    if (!wasAltered) {
        mAltered.append(ratio);
        report(EngineReport::NodeAltered, 0, &ratio, 1.0f);
        NodeParameters p;
        const NodeParameters* plain = mNodeParameters.find(ratio);
        std::copy(plain ? plain->macros : mMacros, (plain ? plain->macros : mMacros) + MacroCount, p.macros);
        mAlteredParameters.insert(ratio, p);
    }
    NodeParameters* p = alteredEntry(ratio);
    p->gliss[0] -= mGlissPositions[0];
    p->gliss[1] -= mGlissPositions[1];
    for (int m = 0; m < MacroCount; ++m)
        p->macros[m] -= mMacros[m];
    report(EngineReport::NodeSelected, 0, &ratio, 1.0f);
}

void PdPlayer::deselectAllNodes()
{
    while (!mSelection.isEmpty())
        toggleNodeSelection(mSelection.first());
}

void PdPlayer::setMacroValue(int macro, float value)
{
    if (macro < 1 || macro > MacroCount)
        return;
    const int k = macro - 1;
    mMacros[k] = value;
    EngineReport r;
    r.kind = EngineReport::MacroValueChanged;
    r.number = macro;
    r.values[0] = value;
    mReports.push(r);
    for (int i = 0; i < mSelection.size(); ++i) {
        const WendleRatio& ratio = mSelection[i];
        NodeParameters* p = alteredEntry(ratio);
        if (!p)
            continue;
        const float sum = p->macros[k] + value;
        float sent = sum;
        if (sum >= 1.0f) {
            p->macros[k] = 1.0f - value;
            sent = 1.0f;
        } else if (sum <= 0.0f) {
            p->macros[k] = -value;
            sent = 0.0f;
        }
        if (const Voice* v = voiceOf(ratio))
            sendToPd(3 + macro, sent, float(v->voice));
    }
}

void PdPlayer::applyGliss()
{
    int voices[MaxVoices];
    float freqs[MaxVoices];
    int n = 0;
    for (int i = 0; i < mSelection.size(); ++i) {
        const WendleRatio& ratio = mSelection[i];
        const Voice* v = voiceOf(ratio);
        const NodeParameters* p = alteredEntry(ratio);
        if (!v || !p)
            continue;
        const float f = frequencyOf(ratio) * mapGlissOne(mGlissPositions[0] + p->gliss[0])
            * mapGlissTwo(mGlissPositions[1] + p->gliss[1]);
        sendToPd(2, f, float(v->voice));
        if (n < MaxVoices) {
            voices[n] = v->voice;
            freqs[n] = f;
            ++n;
        }
    }
    if (n > 0 && mInterfaceActive.load(std::memory_order_relaxed))
        emit instructionsToInterface(2, QList<int>(voices, voices + n), QList<float>(freqs, freqs + n), QList<float>(n, -1.0f));
}

void PdPlayer::resetGliss(const WendleRatio& ratio, short useNode)
{
    const NodeParameters* p = useNode > 0 ? alteredEntry(ratio) : nullptr;
    const float one = p ? p->gliss[0] : mGlissDefaults[0];
    const float two = p ? p->gliss[1] : mGlissDefaults[1];
    const Voice* v = voiceOf(ratio);
    if (!v)
        return;
    const float f = frequencyOf(ratio) * mapGlissOne(one) * mapGlissTwo(two);
    sendToPd(2, f, float(v->voice));
    if (mInterfaceActive.load(std::memory_order_relaxed))
        emit instructionsToInterface(2, { v->voice }, { f }, { -1.0f });
}

void PdPlayer::nodeResetParameters(const WendleRatio& ratio)
{
    NodeParameters p;
    std::copy(mMacroDefaults, mMacroDefaults + MacroCount, p.macros);
    mAlteredParameters.insert(ratio, p);
    report(EngineReport::NodeAltered, 0, &ratio, 0.0f);
}

void PdPlayer::nodeReset(short mode)
{
    report(EngineReport::ResetGlissSliders, mode);
    mWorkList.assign(mSelection);
    deselectAllNodes();
    if (mode != 2)
        mGlissPositions[0] = 0.5f;
    if (mode != 1)
        mGlissPositions[1] = 0.5f;
    for (int i = 0; i < mAltered.size(); ++i) {
        const WendleRatio& ratio = mAltered[i];
        if (NodeParameters* p = alteredEntry(ratio)) {
            if (mode != 2)
                p->gliss[0] = 0.5f;
            if (mode != 1)
                p->gliss[1] = 0.5f;
        }
        resetGliss(ratio, mode);
    }
    mGlissOneRange.store(mGlissOneRangeOption.load(std::memory_order_relaxed), std::memory_order_relaxed);
    mGlissTwoRange.store(mGlissTwoRangeOption.load(std::memory_order_relaxed), std::memory_order_relaxed);
    for (int i = 0; i < mWorkList.size(); ++i)
        toggleNodeSelection(mWorkList[i]);
    mWorkList.clear();
}

void PdPlayer::resetSingleNode(const WendleRatio& ratio, bool deselect)
{
    const bool soft = mSoftNodeReset.load(std::memory_order_relaxed);
    const Voice* v = voiceOf(ratio);
    const bool voiced = v != nullptr;
    const bool selected = mSelection.contains(ratio);
    if (!mAltered.contains(ratio)) {
        if (!voiced)
            return;
        if (soft) {
            noteOff(ratio);
            noteOn(ratio);
        } else {
            sendMacros(v->voice, mMacros);
            storePlainNodeParameters(ratio);
        }
        return;
    }
    if (voiced && soft) {
        noteOff(ratio);
        if (selected)
            toggleNodeSelection(ratio);
        nodeResetParameters(ratio);
        mAltered.removeOne(ratio);
        if (selected && !deselect)
            toggleNodeSelection(ratio);
        noteOn(ratio);
        return;
    }
    if (selected)
        toggleNodeSelection(ratio);
    nodeResetParameters(ratio);
    if (voiced) {
        resetGliss(ratio, 0);
        sendMacros(v->voice, mMacros);
        storePlainNodeParameters(ratio);
    }
    mAltered.removeOne(ratio);
    if (selected && !deselect)
        toggleNodeSelection(ratio);
}

void PdPlayer::resetSelectedNodes(bool deselect)
{
    mWorkList.assign(mSelection);
    for (int i = 0; i < mWorkList.size(); ++i)
        resetSingleNode(mWorkList[i], deselect);
    mWorkList.clear();
}

void PdPlayer::resetAlteredNodes(bool defaults, bool deselect)
{
    const bool soft = mSoftNodeReset.load(std::memory_order_relaxed);
    collectSoundingRatios();
    mWorkList.assign(mSelection);
    if (soft)
        allNotesOff(true);
    deselectAllNodes();
    for (int i = 0; i < mAltered.size(); ++i) {
        if (!soft)
            resetGliss(mAltered[i], 0);
        nodeResetParameters(mAltered[i]);
    }
    mAltered.clear();
    if (defaults) {
        for (int i = 0; i < mMacroDefaultList.size() && i < MacroCount; ++i)
            setMacroValue(i + 1, mMacroDefaultList[i]);
        report(EngineReport::ResetGlissSliders, 0);
        std::copy(mMacroDefaults, mMacroDefaults + MacroCount, mMacros);
        mGlissPositions[0] = 0.5f;
        mGlissPositions[1] = 0.5f;
    }
    mNodeParameters.clear();
    for (int i = 0; i < mSoundingList.size(); ++i) {
        const WendleRatio& ratio = mSoundingList[i];
        if (soft) {
            noteOn(ratio);
        } else if (const Voice* v = voiceOf(ratio)) {
            sendMacros(v->voice, mMacros);
            storePlainNodeParameters(ratio);
        }
    }
    if (!deselect) {
        for (int i = 0; i < mWorkList.size(); ++i)
            toggleNodeSelection(mWorkList[i]);
    }
    mWorkList.clear();
    mSoundingList.clear();
}

// ---------------------------------------------------------------- patch protocol

void PdPlayer::sendToPd(int parameter, float value, float voice)
{
    const int status = libpd_start_message(3);
    if (status != 0) {
        if (sInstance)
            sInstance->warn(WarnPdMessageRefused, float(status));
        return;
    }
    libpd_add_float(value);
    libpd_add_float(float(parameter));
    libpd_add_float(voice + 1.0f);
    libpd_finish_list("wendle-in");
}

void PdPlayer::sendMasterVolume(float volume)
{
    const int status = libpd_start_message(1);
    if (status != 0) {
        qCritical() << "libpd_start_message for master-vol returned error status: " << status;
        return;
    }
    libpd_add_float(volume);
    libpd_finish_list("master-vol");
}

bool PdPlayer::setDsp(bool on) const
{
    const int status = libpd_start_message(1);
    if (status != 0) {
        qCritical() << "libpd_start_message for setDsp returned error status: " << status;
        return false;
    }
    libpd_add_float(on ? 1.0f : 0.0f);
    libpd_finish_message("pd", "dsp");
    return true;
}

void PdPlayer::pdPrintHook(const char* text)
{
    if (std::strstr(text, "couldn't create"))
        sCreateFailures.fetch_add(1, std::memory_order_relaxed);
    qDebug().noquote() << QStringLiteral("libPD:") << QString::fromUtf8(text).trimmed();
}

void PdPlayer::pdListHook(const char* source, int argc, t_atom* argv)
{
    PdPlayer* self = sInstance;
    if (!self || !source)
        return;
    if (std::strcmp(source, "voice-stop") == 0) {
        if (argc < 1 || !libpd_is_float(&argv[0]))
            return;
        const float number = libpd_get_float(&argv[0]);
        // The number comes from a patch: only whole voice numbers of this engine count.
        if (!(number >= 1.0f && number <= float(self->activeVoices())) || number != std::floor(number)) {
            self->warn(WarnIgnoredVoiceStop, number);
            return;
        }
        self->onVoiceStopped(int(number) - 1);
        return;
    }
    if (!self->mWaitingForMacros)
        return;
    if (std::strcmp(source, "output-voice-info") == 0) {
        if (argc >= 2 && libpd_is_symbol(&argv[1]))
            self->parseMacroNames(libpd_get_symbol(&argv[1]));
        self->mWaitingForMacros = false;
    }
}

void PdPlayer::parseMacroNames(const char* text)
{
    // Runs inside a patch open or in a later block: a rare, non-real-time step.
    qDebug().noquote() << QStringLiteral("Received macro names:") << text;
    QStringList pieces = QString::fromUtf8(text).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (pieces.size() > MacroCount) {
        warn(WarnTooManyMacros, float(pieces.size()));
        pieces = pieces.mid(0, MacroCount);
    }
    QList<float> defaults;
    for (QString& piece : pieces) {
        const qsizetype i = piece.indexOf(QLatin1Char('('));
        const qsizetype j = piece.indexOf(QLatin1Char(')'));
        float value = -1.0f;
        if (i >= 0 && j > i) {
            bool ok = false;
            value = piece.mid(i + 1, j - i - 1).toFloat(&ok);
            if (!ok || !std::isfinite(value))
                value = 0.0f;
            piece.truncate(i);
        }
        defaults.append(value);
    }
    const bool maintain = mMaintainMacros.load(std::memory_order_relaxed);
    for (int m = 0; m < defaults.size(); ++m) {
        mMacroDefaults[m] = defaults[m];
        if (!maintain)
            mMacros[m] = defaults[m];
    }
    mMacroNames = pieces;
    mMacroDefaultList = defaults;
    handOverMacroInfo(true);
}

void PdPlayer::handOverMacroInfo(bool fromPatch)
{
    // Names change only at a patch open or close, never in steady playing, so
    // the hand-over may allocate; it never waits for the GUI thread.
    auto info = new MacroInfo { mMacroNames, mMacroDefaultList, fromPatch };
    delete mMacroMailbox.exchange(info, std::memory_order_acq_rel);
    report(EngineReport::MacroInfoChanged);
}

QStringList PdPlayer::macroNames() const
{
    return mGuiMacroNames;
}

void PdPlayer::openPatch()
{
    QMutexLocker lock(&mMutex);
    if (mPendingName.isEmpty()) {
        warn(WarnOpenWithoutName);
        ++mPatchOperations;
        mWaitCondition.wakeAll();
        return;
    }
    qWarning().noquote() << QStringLiteral("Opening PD patch: ") << QString::fromLocal8Bit(mPendingFolder)
                         << QString::fromLocal8Bit(mPendingName);
    void* handle = libpd_openfile(mPendingName.constData(), mPendingFolder.constData());
    if (!handle) {
        qCritical().noquote() << QStringLiteral("Opening PD patch failed: ") << QString::fromLocal8Bit(mPendingFolder)
                              << QString::fromLocal8Bit(mPendingName);
        ++mPatchOperations;
        mWaitCondition.wakeAll();
        return;
    }
    mPatch.store(handle, std::memory_order_release);
    if (!setDsp(true)) {
        qCritical().noquote() << QStringLiteral("setDsp(true) failed after opening: ") << QString::fromLocal8Bit(mPendingFolder)
                              << QString::fromLocal8Bit(mPendingName);
        ++mPatchOperations;
        mWaitCondition.wakeAll();
        return;
    }
    mVoiceInfoReceiver = libpd_bind("output-voice-info");
    mVoiceStopReceiver = libpd_bind("voice-stop");
    mWaitingForMacros = true;
    const int status = libpd_bang("query-macros");
    if (status != 0)
        qCritical() << "libpd_bang for query-macros returned error status: " << status;
    mPendingName.clear();
    mPendingFolder.clear();
    ++mPatchOperations;
    mWaitCondition.wakeAll();
    if (mFirstOpen) {
        mFirstOpen = false;
        return;
    }
    mGlissPositions[0] = mSavedGlissPositions[0];
    mGlissPositions[1] = mSavedGlissPositions[1];
    if (mMaintainMacros.load(std::memory_order_relaxed)) {
        EngineReport r;
        r.kind = EngineReport::SetMacroSliders;
        std::copy(mSavedMacros, mSavedMacros + MacroCount, r.values);
        mReports.push(r);
    }
    for (int i = 0; i < mSoundingList.size(); ++i)
        noteOn(mSoundingList[i]);
    for (int i = 0; i < mWorkList.size(); ++i)
        toggleNodeSelection(mWorkList[i]);
    mSoundingList.clear();
    mWorkList.clear();
}

void PdPlayer::closePatch()
{
    QMutexLocker lock(&mMutex);
    if (void* handle = mPatch.load(std::memory_order_acquire)) {
        qWarning() << "Closing PD patch...";
        collectSoundingRatios();
        mWorkList.assign(mSelection);
        mSavedGlissPositions[0] = mGlissPositions[0];
        mSavedGlissPositions[1] = mGlissPositions[1];
        if (mMaintainMacros.load(std::memory_order_relaxed))
            std::copy(mMacros, mMacros + MacroCount, mSavedMacros);
        allNotesOff(true);
        deselectAllNodes();
        setDsp(false);
        if (mVoiceInfoReceiver)
            libpd_unbind(mVoiceInfoReceiver);
        if (mVoiceStopReceiver)
            libpd_unbind(mVoiceStopReceiver);
        mVoiceInfoReceiver = nullptr;
        mVoiceStopReceiver = nullptr;
        mWaitingForMacros = false;
        libpd_closefile(handle);
        mPatch.store(nullptr, std::memory_order_release);
        mMacroNames.clear();
        mMacroDefaultList.clear();
        handOverMacroInfo(false);
    }
    ++mPatchOperations;
    mWaitCondition.wakeAll();
}

bool PdPlayer::waitForPatchOperation(quint64 target, const char* what)
{
    // Called with mMutex held.
    QElapsedTimer clock;
    clock.start();
    while (mPatchOperations < target) {
        if (!streamRunning()) {
            // No stream (any more): nothing else runs the engine, so the GUI
            // thread runs the waiting commands itself.
            mMutex.unlock();
            float none[2];
            processCallback(none, 0, true);
            mMutex.lock();
            return mPatchOperations >= target;
        }
        const qint64 left = HandOverTimeoutMs - clock.elapsed();
        if (left <= 0) {
            qCritical() << "Audio thread did not" << what << "within" << HandOverTimeoutMs << "ms; going on without it";
            return false;
        }
        mWaitCondition.wait(&mMutex, QDeadlineTimer(left));
    }
    return true;
}

void PdPlayer::unloadPatch()
{
    if (mAudioOutput)
        mAudioOutput->mute();
    qDebug() << "GUI sleep before unload patch";
    // The master volume goes to the patch from whichever thread runs libpd.
    if (streamRunning()) {
        mPendingMasterVolume.store(0.0f, std::memory_order_relaxed);
        mHasPendingMasterVolume.store(true, std::memory_order_release);
    } else if (hasPatch()) {
        sendMasterVolume(0.0f);
    }
    QThread::msleep(100);
    WendleEvent close(ClosePatch);
    mMutex.lock();
    const quint64 target = mPatchOperations + 1;
    mGuiRing.post(&close);
    qDebug() << "GUI waiting for audio thread to unload patch";
    waitForPatchOperation(target, "close the patch");
    mMutex.unlock();
    qDebug() << "GUI sleep after unload patch";
    QThread::msleep(100);
    if (mAudioOutput)
        mAudioOutput->unmute();
    qDebug() << "GUI woke up after unloading patch";
}

bool PdPlayer::loadPendingPatch(const QString& folder, const QString& name)
{
    WendleEvent open(OpenPatch);
    const int createFailures = sCreateFailures.load(std::memory_order_relaxed);
    mMutex.lock();
    mPendingName = name.toLocal8Bit();
    mPendingFolder = folder.toLocal8Bit();
    const quint64 target = mPatchOperations + 1;
    mGuiRing.post(&open);
    qDebug() << "GUI waiting for audio thread to load patch";
    waitForPatchOperation(target, "open the patch");
    const bool opened = mPendingName.isEmpty() && hasPatch();
    mPendingName.clear();
    mPendingFolder.clear();
    mMutex.unlock();
    qDebug() << "GUI woke up after loading patch";
    QThread::msleep(100);
    if (opened && sCreateFailures.load(std::memory_order_relaxed) != createFailures) {
        // A voice that Pd could not build plays nothing: the open did not succeed.
        qCritical().noquote() << QStringLiteral("Pd could not create every object of %1; closing it").arg(name);
        unloadPatch();
        return false;
    }
    if (opened)
        emit patchLoaded(QFileInfo(folder + QLatin1Char('/') + name).absoluteFilePath());
    return opened;
}
