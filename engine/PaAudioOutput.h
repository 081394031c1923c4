#pragma once

#include "AudioOutput.h"

#include <QHash>
#include <atomic>
#include <portaudio.h>

// The audio output on PortAudio: one stereo 32-bit float output stream whose
// callback runs the engine. Set-up and device changes happen on the GUI
// thread; the callback runs on PortAudio's audio thread.
class PaAudioOutput : public AudioOutput
{
    Q_OBJECT

public:
    static constexpr int ChannelCount = 2;
    static constexpr double PreferredSampleRate = 44100.0;
    // PortAudio's JACK host can wait ten minutes for its server while it
    // opens a stream; a device that takes longer than this counts as failed.
    static constexpr int OpenDeadlineMs = 5000;

    explicit PaAudioOutput(QObject* parent = nullptr);
    ~PaAudioOutput() override;

    bool init(int framesPerBuffer, int deviceIndex, PdPlayer* player) override;
    void term() override;
    QStringList deviceNames() const override;
    void printDeviceInfo() const override;
    bool selectDevice(int index) override;
    void mute() override;
    void unmute() override;

    int selectedIndex() const { return mSelectedIndex; }
    int framesPerBuffer() const { return mFramesPerBuffer; }
    bool hasStream() const { return mStream != nullptr; }
    // Stream opens left running past their deadline that have not returned
    // yet: while one is under way its JACK server must not go away, or
    // PortAudio's JACK host ends the process.
    static int opensUnderWay();
    bool isMuted() const { return mSilenced.load(std::memory_order_relaxed); }

    // PortAudio's callback; `userData` is the PaAudioOutput. Allocates nothing
    // and takes no lock beyond what the executed commands need.
    static int streamCallback(const void* input, void* output, unsigned long frameCount,
                              const PaStreamCallbackTimeInfo* timeInfo,
                              PaStreamCallbackFlags statusFlags, void* userData);

private:
    bool closeStream();
    PaError openStream(const PaStreamParameters& output, double sampleRate, bool bounded);
    void streamGone();

    int mSelectedIndex = -1;
    int mFramesPerBuffer = 256;
    PdPlayer* mPlayer = nullptr;
    PaStream* mStream = nullptr;
    bool mStreamOnJack = false;
    // A stream whose JACK server died is never stopped or closed (see
    // closeStream), and so PortAudio is never terminated after it.
    bool mStreamAbandoned = false;
    // A stream open that passed its deadline is still running on a thread of
    // its own: no stream is opened again, and PortAudio is never terminated.
    bool mOpenStuck = false;
    bool mInitialised = false;
    // Menu index -> PortAudio device index; rebuilt by every deviceNames().
    mutable QHash<int, int> mDeviceMap;
    std::atomic<bool> mSilenced { false };
};
