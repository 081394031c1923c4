// Command dispatch: what each command type does to the engine.
#include "PdPlayer.h"

#include "EngineCommandType.h"
#include "PrimeTables.h"

#include <cmath>

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
        // The path's own ratio times the player's transposition; a WendleRatio
        // built from the path would also read the lattice's, and could wait on it.
        const Rational base = WendleRatio::ratioOfSteps(path.steps, WendlePath::MaxSteps);
        if (base.numerator() == 0)
            return;
        Rational product;
        if (!WendleRatio::multiplyExact(base, mTransposition.ratio, product))
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
        // Never waits on the GUI thread: a publication under way leaves the
        // lattice's transposition as this thread last saw it whole.
        Rational absolute;
        WendleRatio::multiplyExact(command.ratio().ratio, mLatticeTransposition.read().ratio, absolute);
        if (absolute.numerator() == 0) {
            warn(WarnIgnoredNullRatio, float(command.type));
            return;
        }
        if (command.type == ToggleNodeSelection)
            toggleNodeSelection(WendleRatio(absolute));
        else
            resetSingleNode(WendleRatio(absolute), value != 0.0f);
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
