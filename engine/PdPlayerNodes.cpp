// Node selection, node parameters, gliss and the resets.
#include "PdPlayer.h"

#include <algorithm>

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
    float none[MaxVoices];
    std::fill_n(none, n, -1.0f);
    if (n > 0)
        instruct(2, voices, freqs, none, n);
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
    const float none = -1.0f;
    instruct(2, &v->voice, &f, &none, 1);
}

void PdPlayer::nodeResetParameters(const WendleRatio& ratio)
{
    // Every reset takes the node from the altered list right after this, and
    // nothing reads the entry of a node that is neither selected nor altered:
    // a later selection makes a fresh one. Dropped here, entries of nodes reset
    // long ago never fill the table.
    mAlteredParameters.remove(ratio);
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
