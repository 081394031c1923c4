#pragma once

#include "CommandRingBuffer.h"
#include "EngineReportQueue.h"
#include "NodeParameterTable.h"
#include "RatioContext.h"
#include "RatioList.h"
#include "SoundingSnapshot.h"
#include "Voice.h"
#include "WarningThrottle.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QSemaphore>
#include <QStringList>
#include <QTimer>
#include <QWaitCondition>
#include <array>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <string_view>

class AudioOutput;
class InstructionSink;
class QDeadlineTimer;
class WendleEvent;
typedef struct _atom t_atom;

// The sound engine: the voices, transposition, volumes, macros, gliss,
// selection and hold, driven by 64-byte commands from two rings and played by
// a Pd patch through libpd. Everything but the GUI-side operations runs on the
// audio thread, which allocates nothing and takes no lock outside patch
// open and close; what it reports reaches the GUI thread as this object's
// signals through a report queue.
class PdPlayer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxVoices = 128;
    static constexpr int MacroCount = 8;
    static constexpr int SelectionCapacity = 512;
    static constexpr int ReplayCapacity = 256;

    explicit PdPlayer(QObject* parent = nullptr);
    ~PdPlayer() override;

    // --- set-up (GUI thread, before the audio stream starts) ---
    bool createRings();
    // Installs the print and list hooks and initialises libpd once per process.
    static bool initLibpd();
    void setMaxVoices(int voices);
    void setGlissRanges(float oneCents, float twoCents);
    // Options that the audio thread reads at the moment of use.
    void setGlissRangeOptions(float oneCents, float twoCents);
    void setSoftNodeReset(bool on);
    void setMaintainMacroParameters(bool on);
    // Voice instructions go to the MIDI side only while its port is open.
    void setInterfaceActive(bool on);
    // Where voice instructions go without a queued signal: called on the audio
    // thread, so the sink must not block or allocate. Without one they are emitted.
    void setInstructionSink(InstructionSink* sink) { mInstructionSink.store(sink, std::memory_order_release); }
    // The output that unloadPatch silences while the patch changes.
    void setAudioOutput(AudioOutput* output) { mAudioOutput = output; }
    // Set by the audio output while a stream calls processCallback.
    void setStreamRunning(bool running);
    bool streamRunning() const { return mStreamRunning.load(std::memory_order_acquire); }

    CommandRingBuffer& guiCommandBuffer() { return mGuiRing; }
    CommandRingBuffer& serialCommandBuffer() { return mSerialRing; }

    // --- audio thread ---
    // One audio callback: execute the waiting commands, then run the patch
    // into `output` (interleaved stereo), or write silence.
    void processCallback(float* output, unsigned long frameCount, bool silenced);
    void processEvent(const EngineCommand& command);
    bool hasPatch() const { return mPatch.load(std::memory_order_acquire) != nullptr; }

    // --- GUI thread ---
    // The sounding ratios as the audio thread last published them.
    QList<WendleRatio> getAllSoundingRatios() const;
    // Sleeps until the audio thread has executed every command posted to the
    // GUI ring before this call and published what they did; false when the
    // deadline came first. Only while a stream runs: nothing else would wake it.
    bool waitForGuiCommands(QDeadlineTimer deadline);
    // The GUI ring's commands that the audio thread has executed and published.
    quint64 executedGuiCommands() const { return mExecutedGuiCommands.load(); }
    // Closes the open patch and returns when it is closed (or the wait timed out).
    void unloadPatch();
    // Opens `name` in `folder` on the audio thread; true when it opened.
    bool loadPendingPatch(const QString& folder, const QString& name);
    static void sendMasterVolume(float volume);
    // The macro names of the open patch as last delivered to the GUI thread.
    QStringList macroNames() const;
    // Turns the waiting reports into signals; a timer calls it while an event loop runs.
    void deliverReports();
    // Writes the count of controller commands dropped and not logged yet;
    // at shutdown, once the controller thread has stopped.
    void writeDroppedCommandCount();

    static constexpr int HandOverTimeoutMs = 3000;
    // Ids of the GUI thread's opens and closes stay exact in a command's float value.
    static constexpr quint32 MaxPatchCommandId = 1u << 24;

public slots:
    void queueEventGui(const WendleEvent* event);
    void queueEventSerial(const WendleEvent* event);
    void queueEventFromInterface(QString source, const WendleEvent* event);

signals:
    void noteToggled(WendleRatio ratio, bool on);
    void nodeSelected(WendleRatio ratio, bool selected);
    void nodeHold(WendleRatio ratio, bool hold);
    void nodeAltered(WendleRatio ratio, bool altered);
    void removeNodeInStack(WendleRatio ratio);
    void nodesRecalled();
    void transposed(WendleRatio ratio, int prime);
    void volumeChanged(float volume);
    void voiceVolumeChanged(float volume);
    void baseFrequencyChanged(float freq);
    void monophonicChanged(bool mono);
    void primeEnabledToggled(int prime, bool enabled);
    void macroNamesReceived(QStringList names);
    void macroDefaultsReceived(QList<float> defaults);
    void setMacroSliders(QList<float> macros);
    void macroValueChanged(int macro, float value);
    void macroValueChanged(int macro, float value, float voice);
    void instructionsToInterface(int parameter, QList<int> voices, QList<float> value1, QList<float> value2);
    void patchLoaded(QString patchPath);
    void patchDecRequested();
    void patchIncRequested();
    void resetGlissSliders(short which);

public:
    // --- engine state, audio thread (read by tests between callbacks) ---
    float masterVolume() const { return mMasterVolume; }
    float voiceVolume() const { return mVoiceVolume; }
    float baseFrequency() const { return mBaseFrequency; }
    bool monophonic() const { return mMonophonic; }
    bool hold() const { return mHold; }
    WendleRatio transposition() const { return mTransposition; }
    // Lets a test reach the note counter's wrap without 2^32 notes.
    void setNoteCounter(quint32 value) { mNoteCounter = value; }
    const Voice& voiceAt(int i) const { return mVoices[i]; }
    const Voice* voiceOf(const WendleRatio& ratio) const;
    float macro(int m) const { return mMacros[m - 1]; }
    float macroDefault(int m) const { return mMacroDefaults[m - 1]; }
    float glissPosition(int which) const { return mGlissPositions[which]; }
    bool primeEnabled(int prime) const { return prime >= 0 && prime < 32 && mPrimeTable[prime]; }
    QList<WendleRatio> selection() const { return mSelection.toList(); }
    QList<WendleRatio> altered() const { return mAltered.toList(); }
    QList<WendleRatio> held() const { return mHeld.toList(); }
    const NodeParameters* alteredParameters(const WendleRatio& r) const;
    const NodeParameters* nodeParameters(const WendleRatio& r) const;

    // Voice and node operations (audio thread).
    void noteOn(const WendleRatio& ratio);
    void noteOff(const WendleRatio& ratio);
    void allNotesOff(bool all);
    void onVoiceStopped(int voice);
    void setHold(bool on);
    float mapGlissOne(float position) const;
    float mapGlissTwo(float position) const;
    void toggleNodeSelection(const WendleRatio& ratio);
    void deselectAllNodes();
    void setMacroValue(int macro, float value);
    void applyGliss();
    void resetGliss(const WendleRatio& ratio, short useNode);
    void nodeReset(short mode);
    void nodeResetParameters(const WendleRatio& ratio);
    void resetSingleNode(const WendleRatio& ratio, bool deselect);
    void resetSelectedNodes(bool deselect);
    void resetAlteredNodes(bool defaults, bool deselect);

    static void sendToPd(int parameter, float value, float voice);
    bool setDsp(bool on) const;
    void parseMacroNames(const char* text);

    // Codes of the warnings that the audio thread hands to the GUI thread for logging.
    enum WarningCode : qint32 {
        WarnIgnoredTransposeStep = 1,
        WarnIgnoredPrimeIndex,
        WarnIgnoredZeroTransposition,
        WarnIgnoredNullRatio,
        WarnInexactTransposition,
        WarnIgnoredVoiceStop,
        WarnReplayFull,
        WarnSelectionFull,
        WarnTooManyMacros,
        WarnIgnoredNonFinite,
        WarnOpenWithoutName,
    };

    // libpd's hooks; a test may install its own list hook that forwards here.
    static void pdPrintHook(const char* text);
    static void pdListHook(const char* source, int argc, t_atom* argv);

private:

    // Hands the macro names and defaults to the GUI thread; without a patch
    // (a close) only the empty names go.
    void handOverMacroInfo(bool fromPatch, std::string_view joinedNames = {});
    // A log line of the audio thread, written by the GUI thread's deliverReports.
    void reportLog(EngineReport::LogLine line, int status = 0, std::initializer_list<std::string_view> text = {});
    static void logPatchLine(const EngineReport& report, const QByteArray& text);
    // A message libpd refused to start, reported through the player that runs it.
    static void refused(EngineReport::LogLine line, int status);
    void report(EngineReport::Kind kind, qint32 number = 0, const WendleRatio* ratio = nullptr, float value = 0.0f);
    void warn(WarningCode code, float value = 0.0f, qint32 number = 0);
    // Sums up the last second of a flood of drops that no later post ends; the report timer calls it.
    void rollDroppedCommandCount();
    void executeList(EngineCommandList& list);
    // Type 34's toggle; keepHeld leaves a held ratio sounding while hold is on.
    void toggleRatio(const WendleRatio& ratio, bool keepHeld);
    // The sounding ratios into mSoundingList, for the resets and a patch close.
    void collectSoundingRatios();
    void runReplays(int count);
    void openPatch();
    void closePatch();
    quint32 postPatchCommand(qint32 type);
    bool waitForPatchCommand(quint32 id, const QDeadlineTimer& deadline, const char* what);
    void fadeOutBeforeClose(const QDeadlineTimer& deadline);
    void applyPendingMasterVolume();
    void publishSounding();
    void publishExecutedGuiCommands(quint64 count);
    int activeVoices() const;
    Voice* mappedVoice(const WendleRatio& ratio);
    float frequencyOf(const WendleRatio& ratio) const;
    void sendMacros(int voice, const float* values);
    void instruct(int parameter, const int* voices, const float* value1, const float* value2, int count);
    void storePlainNodeParameters(const WendleRatio& ratio);
    void transposeBy(const Rational& factor, int prime);
    NodeParameters* alteredEntry(const WendleRatio& ratio);

    CommandRingBuffer mGuiRing;
    CommandRingBuffer mSerialRing;
    // The controller's ring can be filled by anyone on the network: its
    // drops reach the log a few a second. The controller thread counts them,
    // the GUI thread writes what a flood leaves; never the audio thread.
    WarningThrottle mSerialRingFull { QStringLiteral("%1 more controller commands dropped in %2 ms: command buffer full") };
    std::mutex mSerialRingFullLock;
    QElapsedTimer mSerialClock;
    EngineCommandList mCommandList;

    std::atomic<void*> mPatch { nullptr };
    WendleRatio mTransposition { 1, 1 };
    float mMasterVolume = 0.8f;
    float mVoiceVolume = 1.0f;
    float mBaseFrequency = 440.0f;
    bool mMonophonic = false;
    std::array<bool, 32> mPrimeTable;
    qint32 mMonoVoice = -1;
    std::array<Voice, MaxVoices> mVoices;
    bool mHold = false;
    RatioList<MaxVoices> mHeld;
    RatioList<SelectionCapacity> mSelection;
    RatioList<SelectionCapacity> mAltered;
    RatioList<MaxVoices> mSoundingList;
    RatioList<SelectionCapacity> mWorkList;
    NodeParameterTable<2048> mAlteredParameters;
    NodeParameterTable<512> mNodeParameters;
    float mMacroDefaults[MacroCount] = {};
    const float mGlissDefaults[2] = { 0.5f, 0.5f };
    float mMacros[MacroCount] = {};
    float mGlissPositions[2] = { 0.5f, 0.5f };
    float mSavedMacros[MacroCount] = {};
    float mSavedGlissPositions[2] = { 0.5f, 0.5f };
    quint32 mNoteCounter = 0;
    // The lattice's transposition as types 37 and 38 last read it whole.
    RatioContext::Reader mLatticeTransposition;

    // Patch protocol. The defaults the patch reported belong to the audio
    // thread; the GUI thread gets the names through the report queue.
    struct MacroDefaultList
    {
        float values[MacroCount] = {};
        int count = 0;
        int size() const { return count; }
        float operator[](int i) const { return values[i]; }
    };
    QStringList mGuiMacroNames;
    MacroDefaultList mMacroDefaultList;
    void* mVoiceInfoReceiver = nullptr;
    void* mVoiceStopReceiver = nullptr;
    bool mWaitingForMacros = false;
    QByteArray mPendingName;
    QByteArray mPendingFolder;
    mutable QMutex mMutex;
    QWaitCondition mWaitCondition;
    // Every open and close the GUI thread posts carries an id in its value,
    // so that a waiter that gave up is never woken by a later command's
    // completion, nor a late open served with another load's name.
    quint32 mLastPatchCommandId = 0; // GUI thread
    quint32 mPendingPatchId = 0; // the load that owns the pending name, under mMutex
    quint32 mDonePatchCommandId = 0; // under mMutex
    bool mOpenSucceeded = false; // the last open, under mMutex
    const EngineCommand* mCommand = nullptr; // the command being executed
    bool mFirstOpen = true;

    std::atomic<float> mGlissOneRange { 1200.0f };
    std::atomic<float> mGlissTwoRange { 100.0f };
    std::atomic<float> mGlissOneRangeOption { 1200.0f };
    std::atomic<float> mGlissTwoRangeOption { 100.0f };
    std::atomic<bool> mSoftNodeReset { false };
    std::atomic<bool> mMaintainMacros { false };
    std::atomic<int> mMaxVoices { MaxVoices };
    std::atomic<bool> mInterfaceActive { false };
    std::atomic<InstructionSink*> mInstructionSink { nullptr };
    std::atomic<bool> mStreamRunning { false };
    std::atomic<bool> mHasPendingMasterVolume { false };
    std::atomic<float> mPendingMasterVolume { 0.0f };
    // Frames libpd has computed, so that the GUI thread can wait out a fade.
    std::atomic<quint64> mProcessedFrames { 0 };

    // The GUI ring's commands executed and published (one writer: the audio
    // thread, or the GUI thread when no stream runs), the count a waiting GUI
    // thread needs (0: none waits), and its wake-up. The audio thread claims
    // the target before it releases, so every release has one taker; a
    // release takes no lock.
    quint64 mGuiCommandsRun = 0;
    std::atomic<quint64> mExecutedGuiCommands { 0 };
    std::atomic<quint64> mGuiWaitTarget { 0 };
    QSemaphore mGuiCommandsDone;

    // Type 13 re-posts: kept by the audio thread itself instead of writing into
    // the GUI ring, which has the GUI thread as its one writer.
    std::array<WendleRatio, ReplayCapacity> mReplays;
    int mReplayCount = 0;

    bool mSoundingDirty = true;
    SoundingSnapshot mSounding;
    EngineReportQueue mReports;
    QTimer mReportTimer;

    AudioOutput* mAudioOutput = nullptr;

    static PdPlayer* sInstance;
    // Objects Pd could not create, counted by the print hook: an open that
    // adds to it has left part of the patch out.
    static std::atomic<int> sCreateFailures;
};
