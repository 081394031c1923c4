#pragma once

#include <QtGlobal>
#include <array>
#include <atomic>
#include <initializer_list>
#include <string_view>

class QByteArray;

// What the engine tells the GUI side. The audio thread must not allocate or
// lock, so it writes these fixed records into a single-producer ring and the
// GUI thread turns them into the engine's signals and log lines.
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
        MacroInfoChanged, // number: names (-1: closed, no defaults); values: defaults; text: names joined by ':'
        SetMacroSliders,
        MacroValueChanged,
        PatchDecRequested,
        PatchIncRequested,
        ResetGlissSliders,
        Warning,
        Log, // number: a LogLine; values[0]: a status code; text: its argument
    };

    // Log lines of the audio thread, which may not use the logger itself.
    enum LogLine : qint32 {
        PdPrint,
        MacroNamesText,
        OpeningPatch,
        OpeningPatchFailed,
        DspFailedAfterOpen,
        QueryMacrosRefused,
        ClosingPatch,
        OpenPatchStep,
        WendleInRefused,
        MasterVolRefused,
        SetDspRefused,
    };

    Kind kind = Warning;
    qint32 number = 0; // prime, macro, voice, flag, warning code or log line
    quint64 numerator = 0;
    quint64 denominator = 1;
    float values[8] = {};
    quint32 textSize = 0; // bytes that travel with it in the queue's text ring
};

class EngineReportQueue
{
public:
    static constexpr int Capacity = 4096;
    static constexpr int TextCapacity = 1 << 16;
    // Longer texts are cut to this many bytes.
    static constexpr int MaxTextSize = 4096;

    // Audio thread. False when the queue is full (the report is counted as
    // lost). The pieces travel as one text, after each other.
    bool push(const EngineReport& report, std::initializer_list<std::string_view> text = {});
    // GUI thread. `text` (when given) receives the report's text.
    bool pop(EngineReport& report, QByteArray* text = nullptr);
    // Reports lost since the last call.
    quint32 takeLost();

private:
    std::array<EngineReport, Capacity> mItems;
    std::array<char, TextCapacity> mText;
    std::atomic<quint32> mWrite { 0 };
    std::atomic<quint32> mRead { 0 };
    std::atomic<quint32> mTextWrite { 0 };
    std::atomic<quint32> mTextRead { 0 };
    std::atomic<quint32> mLost { 0 };
};
