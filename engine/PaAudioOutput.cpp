#include "PaAudioOutput.h"

#include "JackProbe.h"
#include "PdPlayer.h"

#include <QDebug>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "z_libpd.h"

#if defined(_WIN32) && defined(PA_USE_ASIO)
#include <pa_asio.h>
#endif

namespace {

// Pd processes audio in blocks of this many frames.
constexpr int PdBlockSize = 64;

void logPaError(const char* call, PaError err)
{
    qCritical().nospace() << call << " returned err: " << err << " " << Pa_GetErrorText(err);
}

QString hostApiName(const PaHostApiInfo* host)
{
    return host ? QString::fromLocal8Bit(host->name) : QString();
}

} // namespace

PaAudioOutput::PaAudioOutput(QObject* parent)
    : AudioOutput(parent)
{
}

PaAudioOutput::~PaAudioOutput()
{
    // A stream left running would call into an engine that may be gone next.
    if (mStream || mInitialised)
        term();
    if (mPlayer)
        mPlayer->setAudioOutput(nullptr);
}

bool PaAudioOutput::init(int framesPerBuffer, int deviceIndex, PdPlayer* player)
{
    qDebug().nospace() << "Thread @ PaAudioOutput::init: Thread, ID " << QThread::currentThread()
                       << " " << QThread::currentThreadId();

    // The callback reads mPlayer, so no stream may run while it changes.
    if (mStream)
        closeStream();

    if (mPlayer && mPlayer != player)
        mPlayer->setAudioOutput(nullptr);
    mPlayer = player;
    // The engine silences this output while it changes patches.
    if (mPlayer)
        mPlayer->setAudioOutput(this);
    if (framesPerBuffer < 1) {
        qWarning().nospace() << "Frames per buffer " << framesPerBuffer << " is not positive; keeping "
                             << mFramesPerBuffer;
    } else {
        mFramesPerBuffer = framesPerBuffer;
        if (framesPerBuffer % PdBlockSize != 0)
            qWarning().nospace() << "Frames per buffer " << framesPerBuffer << " is not a multiple of "
                                 << PdBlockSize << ": the frames after the last whole block of each buffer stay silent";
    }

    if (!mInitialised) {
        const PaError err = Pa_Initialize();
        if (err != paNoError) {
            logPaError("Pa_Initialize", err);
            return false;
        }
        mInitialised = true;
        qWarning() << "PortAudio initialised.";
        qDebug() << "PortAudio version number:" << Pa_GetVersion();
        qDebug() << "PortAudio version text:" << Pa_GetVersionText();
    }

    deviceNames();

    if (selectDevice(deviceIndex))
        return true;
    // The default device would hang on the same host.
    if (mOpenStuck)
        return false;
    return selectDevice(-1);
}

void PaAudioOutput::term()
{
    qWarning() << "PaAudioOutput::term...";
    closeStream();
    // PortAudio's JACK host stops the process when it cannot detach from a
    // server that died, and waits for the stream of one: PortAudio is then
    // left as it is, for the process's end to clean up.
    const bool jackGone = mInitialised && !mOpenStuck
        && (mStreamAbandoned || (Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0 && !JackProbe::serverAnswers()));
    if (mInitialised && mOpenStuck) {
        qWarning() << "PortAudio is left as it is: a stream open never returned";
        mInitialised = false;
        mDeviceMap.clear();
    } else if (jackGone) {
        qWarning() << "PortAudio is left as it is: its JACK server is gone";
        mInitialised = false;
        mDeviceMap.clear();
    } else if (mInitialised) {
        qWarning() << "Calling Pa_Terminate...";
        const PaError err = Pa_Terminate();
        if (err != paNoError)
            logPaError("Pa_Terminate", err);
        // Cleared so that a second term does not terminate someone else's PortAudio.
        mInitialised = false;
        mDeviceMap.clear();
    }
}

QStringList PaAudioOutput::deviceNames() const
{
    mDeviceMap.clear();
    QStringList names;

    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        logPaError("Pa_GetDeviceCount", count);
        return names;
    }

    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (!info || info->maxOutputChannels < 1)
            continue;
        QString host = hostApiName(Pa_GetHostApiInfo(info->hostApi));
        if (host.toLower() == QLatin1String("windows directsound"))
            host = QStringLiteral("DS");
        mDeviceMap.insert(int(names.size()), i);
        names << host + QStringLiteral(": ") + QString::fromLocal8Bit(info->name);
    }
    return names;
}

void PaAudioOutput::printDeviceInfo() const
{
    const QStringList names = deviceNames();
    qWarning() << "Number of audio devices found:" << names.size();

    for (int index = 0; index < names.size(); ++index) {
        const PaDeviceIndex device = mDeviceMap.value(index, 0);
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        if (!info)
            continue;
        const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
        qWarning() << "Index:" << index;
        qWarning().noquote() << "Name:" << QString::fromLocal8Bit(info->name);
        qWarning().noquote() << "Host API:" << hostApiName(host);
        qWarning() << "Max inputs:" << info->maxInputChannels;
        qWarning() << "Max outputs:" << info->maxOutputChannels;
        qWarning() << "Default low input latency:" << info->defaultLowInputLatency;
        qWarning() << "Default high input latency:" << info->defaultHighInputLatency;
        qWarning() << "Default low output latency:" << info->defaultLowOutputLatency;
        qWarning() << "Default high output latency:" << info->defaultHighOutputLatency;
#if defined(_WIN32) && defined(PA_USE_ASIO)
        if (host && host->type == paASIO) {
            long minSize = 0;
            long maxSize = 0;
            long preferredSize = 0;
            long granularity = 0;
            if (PaAsio_GetAvailableBufferSizes(device, &minSize, &maxSize, &preferredSize, &granularity) == paNoError) {
                qWarning() << "ASIO minimum buffer size:" << minSize;
                qWarning() << "ASIO maximum buffer size:" << maxSize;
                qWarning() << "ASIO preferred buffer size:" << preferredSize;
                if (granularity == -1)
                    qWarning() << "ASIO buffer granularity: power of 2";
                else
                    qWarning() << "ASIO buffer granularity:" << granularity;
            }
        }
#endif
        qWarning() << "Default sample rate:" << info->defaultSampleRate;
    }
}

bool PaAudioOutput::selectDevice(int index)
{
    if (mOpenStuck) {
        qCritical() << "No audio device can be opened: an earlier stream open never returned";
        return false;
    }
    int menuIndex = index;
    PaDeviceIndex device = paNoDevice;
    const auto mapped = mDeviceMap.constFind(index);
    if (index != -1 && mapped != mDeviceMap.constEnd()) {
        device = mapped.value();
    } else {
        device = Pa_GetDefaultOutputDevice();
        if (device == paNoDevice) {
            qCritical() << "No default output device returned from Pa_GetDefaultOutputDevice";
            return false;
        }
        menuIndex = mDeviceMap.key(device, 0);
    }

    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (device < 0 || device >= count) {
        qCritical().noquote()
            << QStringLiteral("Device index %1 passed to PaAudioOutput::selectDevice did not translate to valid paIndex %2. Device count: %3.")
                   .arg(menuIndex)
                   .arg(device)
                   .arg(count);
        return false;
    }

    if (!closeStream())
        return false;

    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters output {};
    output.device = device;
    output.channelCount = ChannelCount;
    output.sampleFormat = paFloat32;
    output.suggestedLatency = (info->defaultLowOutputLatency + info->defaultHighOutputLatency) / 2.0;
    output.hostApiSpecificStreamInfo = nullptr;

    double sampleRate = PreferredSampleRate;
    const PaError format = Pa_IsFormatSupported(nullptr, &output, sampleRate);
    if (format == paInvalidSampleRate) {
        qWarning() << "Got invalid sample rate for 44100";
        sampleRate = info->defaultSampleRate;
    } else if (format != paFormatIsSupported) {
        qCritical() << "Output format not supported";
        logPaError("Pa_IsFormatSupported", format);
        streamGone();
        return false;
    }

    qWarning() << "Selecting device" << menuIndex << "with latency:" << output.suggestedLatency
               << "frames per buffer:" << mFramesPerBuffer << "sample rate:" << sampleRate
               << "channel count:" << ChannelCount;

    qWarning() << "Initialising libpd with sampleRate" << int(sampleRate);
    const int pdStatus = libpd_init_audio(0, ChannelCount, int(sampleRate));
    if (pdStatus != 0)
        qCritical().nospace() << "libpd_init_audio returned error status: " << pdStatus;

    const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
    const bool onJack = host && host->type == paJACK;
    PaError err = openStream(output, sampleRate, onJack);
    if (mOpenStuck) {
        qCritical().noquote() << QStringLiteral("Pa_OpenStream did not return within %1 ms; the device counts as failed")
                                     .arg(OpenDeadlineMs);
        mStream = nullptr;
        streamGone();
        return false;
    }
    if (err != paNoError) {
        logPaError("Pa_OpenStream", err);
        mStream = nullptr;
        streamGone();
        return false;
    }

    if (const PaStreamInfo* streamInfo = Pa_GetStreamInfo(mStream))
        qWarning() << "PaStream opened with output latency" << streamInfo->outputLatency << "and sample rate"
                   << streamInfo->sampleRate;

    err = Pa_StartStream(mStream);
    if (err != paNoError) {
        logPaError("Pa_StartStream", err);
        // Never keep a stream that does not play: the next device change
        // would otherwise have to stop one that never started.
        const PaError closeErr = Pa_CloseStream(mStream);
        if (closeErr != paNoError)
            logPaError("Pa_CloseStream", closeErr);
        mStream = nullptr;
        streamGone();
        return false;
    }

    qWarning() << "PaStream started";
    mStreamOnJack = onJack;
    mSelectedIndex = menuIndex;
    if (mPlayer)
        mPlayer->setStreamRunning(true);
    emit selectedDeviceChanged(menuIndex);
    return true;
}

namespace {
std::atomic<int> sOpensUnderWay { 0 };
}

int PaAudioOutput::opensUnderWay()
{
    return sOpensUnderWay.load(std::memory_order_acquire);
}

// With `bounded`, Pa_OpenStream runs on a thread of its own, waited for until
// OpenDeadlineMs. One that does not return by then is left running, with
// mOpenStuck set: the stream it may still open is never started, so its
// callback never runs. Only PortAudio's JACK host is known to wait like that;
// the others open on this thread, where some (ASIO, WASAPI) keep the COM
// objects of the thread that initialised PortAudio.
PaError PaAudioOutput::openStream(const PaStreamParameters& output, double sampleRate, bool bounded)
{
    struct Open
    {
        std::mutex lock;
        std::condition_variable returned;
        bool done = false;
        PaError err = paNoError;
        PaStream* stream = nullptr;
    };
    const auto open = std::make_shared<Open>();
    const unsigned long frames = (unsigned long)mFramesPerBuffer;
    // The thread holds only its own copy of what it needs: it may outlive this object.
    sOpensUnderWay.fetch_add(1, std::memory_order_relaxed);
    const auto call = [open, output, sampleRate, frames, self = this] {
        PaStream* stream = nullptr;
        const PaError err = Pa_OpenStream(&stream, nullptr, &output, sampleRate, frames, paNoFlag,
                                          &PaAudioOutput::streamCallback, self);
        {
            const std::lock_guard<std::mutex> hold(open->lock);
            open->err = err;
            open->stream = stream;
            open->done = true;
            open->returned.notify_one();
        }
        sOpensUnderWay.fetch_sub(1, std::memory_order_release);
    };
    if (!bounded) {
        call();
    } else {
        try {
            std::thread(call).detach();
        } catch (const std::system_error& e) {
            qWarning() << "No thread for the stream open, opened without a deadline:" << e.what();
            call();
        }
    }

    std::unique_lock<std::mutex> hold(open->lock);
    if (!open->returned.wait_for(hold, std::chrono::milliseconds(OpenDeadlineMs), [&open] { return open->done; })) {
        mOpenStuck = true;
        return paTimedOut;
    }
    mStream = open->stream;
    return open->err;
}

bool PaAudioOutput::closeStream()
{
    if (!mStream)
        return true;

    // Our callback never ends the stream, so a started JACK stream that is no
    // longer active lost its server. PortAudio's JACK host would wait ten
    // minutes to stop or close it: it is left open instead.
    if (mStreamOnJack && Pa_IsStreamActive(mStream) == 0 && Pa_IsStreamStopped(mStream) == 0) {
        qWarning() << "The JACK server stopped under the running stream; the stream is left open";
        mStreamAbandoned = true;
        mStream = nullptr;
        streamGone();
        return true;
    }

    qWarning() << "Stopping stream...";
    PaError err = Pa_StopStream(mStream);
    if (err != paNoError)
        logPaError("Pa_StopStream", err);

    qWarning() << "Closing stream...";
    err = Pa_CloseStream(mStream);
    if (err != paNoError)
        logPaError("Pa_CloseStream", err);

    mStream = nullptr;
    streamGone();
    return err != paUnanticipatedHostError;
}

// No stream plays any more: the engine must run patch changes itself.
void PaAudioOutput::streamGone()
{
    if (mPlayer)
        mPlayer->setStreamRunning(false);
    mSelectedIndex = -1;
    emit selectedDeviceChanged(-1);
}

void PaAudioOutput::mute()
{
    mSilenced.store(true, std::memory_order_relaxed);
}

void PaAudioOutput::unmute()
{
    mSilenced.store(false, std::memory_order_relaxed);
}

int PaAudioOutput::streamCallback(const void* /*input*/, void* output, unsigned long frameCount,
                                  const PaStreamCallbackTimeInfo* /*timeInfo*/,
                                  PaStreamCallbackFlags /*statusFlags*/, void* userData)
{
    auto* self = static_cast<PaAudioOutput*>(userData);
    float* out = static_cast<float*>(output);
    if (self->mPlayer)
        self->mPlayer->processCallback(out, frameCount, self->mSilenced.load(std::memory_order_relaxed));
    else
        std::fill_n(out, frameCount * ChannelCount, 0.0f);
    return paContinue;
}
