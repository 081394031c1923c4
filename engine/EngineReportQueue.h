#pragma once

#include <QtGlobal>
#include <array>
#include <atomic>

// What the engine tells the GUI side. The audio thread must not allocate or
// lock, so it writes these fixed records into a single-producer ring and the
// GUI thread turns them into the engine's signals.
struct EngineReport
{
    enum Kind : qint32 {
        NoteToggled,
        NodeSelected,
        NodeHold,
        NodeAltered,
        RemoveNodeInStack,
        NodesRecalled,
        Transposed,
        VolumeChanged,
        VoiceVolumeChanged,
        BaseFrequencyChanged,
        MonophonicChanged,
        PrimeEnabledToggled,
        MacroInfoChanged,
        SetMacroSliders,
        MacroValueChanged,
        PatchDecRequested,
        PatchIncRequested,
        ResetGlissSliders,
        Warning,
    };

    Kind kind = Warning;
    qint32 number = 0; // prime, macro, voice, flag or warning code
    quint64 numerator = 0;
    quint64 denominator = 1;
    float values[8] = {};
};

class EngineReportQueue
{
public:
    static constexpr int Capacity = 4096;

    // Audio thread. False when the queue is full (the report is counted as lost).
    bool push(const EngineReport& report);
    // GUI thread.
    bool pop(EngineReport& report);
    // Reports lost since the last call.
    quint32 takeLost();

private:
    std::array<EngineReport, Capacity> mItems;
    std::atomic<quint32> mWrite { 0 };
    std::atomic<quint32> mRead { 0 };
    std::atomic<quint32> mLost { 0 };
};
