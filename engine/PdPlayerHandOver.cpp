// The GUI thread's side of a patch change (it fades the patch out, posts the
// close or open to the audio thread and waits for exactly that command), and
// its wait for the commands it posted before a store or recall.
#include "PdPlayer.h"

#include "AudioOutput.h"
#include "EngineCommandType.h"
#include "WendleEvent.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QThread>
#include <cmath>
#include <limits>

#include "z_libpd.h"

namespace {

// The patch ramps "master-vol" over 20 ms; the close waits a little longer.
constexpr double FadeOutMs = 30.0;

} // namespace

quint32 PdPlayer::postPatchCommand(qint32 type)
{
    // Called with mMutex held, so the wake cannot come before the wait.
    if (mGuiRing.freeCommandSlots() < 1) {
        qWarning() << "Command buffer full";
        return 0;
    }
    mLastPatchCommandId = mLastPatchCommandId % MaxPatchCommandId + 1;
    // Only this command's own completion may end the wait that follows.
    mDonePatchCommandId = 0;
    const WendleEvent command(type, float(mLastPatchCommandId));
    mGuiRing.post(&command);
    return mLastPatchCommandId;
}

bool PdPlayer::waitForPatchCommand(quint32 id, const QDeadlineTimer& deadline, const char* what)
{
    // Called with mMutex held.
    if (id == 0)
        return false;
    while (mDonePatchCommandId != id) {
        if (!streamRunning()) {
            // No stream (any more): nothing else runs the engine, so the GUI
            // thread runs the waiting commands itself.
            mMutex.unlock();
            float none[2];
            processCallback(none, 0, true);
            mMutex.lock();
            return mDonePatchCommandId == id;
        }
        if (deadline.hasExpired()) {
            qCritical() << "Audio thread did not" << what << "within" << HandOverTimeoutMs << "ms; going on without it";
            return false;
        }
        mWaitCondition.wait(&mMutex, deadline);
    }
    return true;
}

void PdPlayer::fadeOutBeforeClose(const QDeadlineTimer& deadline)
{
    if (!hasPatch())
        return;
    if (!streamRunning()) {
        // Nobody listens, and no other thread calls libpd now.
        sendMasterVolume(0.0f);
        return;
    }
    mPendingMasterVolume.store(0.0f, std::memory_order_relaxed);
    mHasPendingMasterVolume.store(true, std::memory_order_release);
    const double rate = sys_getsr() > 0 ? double(sys_getsr()) : 44100.0;
    const quint64 fadeFrames = quint64(std::ceil(rate * FadeOutMs / 1000.0));
    // Frames count only from the callback that took the new volume on.
    bool applied = false;
    quint64 start = 0;
    while (streamRunning()) {
        if (!applied && !mHasPendingMasterVolume.load(std::memory_order_acquire)) {
            applied = true;
            start = mProcessedFrames.load(std::memory_order_acquire);
        }
        if (applied && mProcessedFrames.load(std::memory_order_acquire) - start >= fadeFrames)
            return;
        if (deadline.hasExpired()) {
            qCritical() << "Audio thread did not fade out the patch within" << HandOverTimeoutMs
                        << "ms; going on without it";
            // Not for whatever patch is open when the stream comes back.
            mHasPendingMasterVolume.store(false, std::memory_order_release);
            return;
        }
        QThread::msleep(1);
    }
}

void PdPlayer::unloadPatch()
{
    const QDeadlineTimer deadline(HandOverTimeoutMs);
    qDebug() << "GUI fading out the patch before unloading it";
    fadeOutBeforeClose(deadline);
    // Muting only now keeps the cut inaudible: the fade has reached zero.
    if (mAudioOutput)
        mAudioOutput->mute();
    mMutex.lock();
    const quint32 id = postPatchCommand(ClosePatch);
    qDebug() << "GUI waiting for audio thread to unload patch";
    waitForPatchCommand(id, deadline, "close the patch");
    mMutex.unlock();
    if (mAudioOutput)
        mAudioOutput->unmute();
    // The audio thread's lines about the close go to the log before the GUI's next ones.
    deliverReports();
    qDebug() << "GUI woke up after unloading patch";
}

bool PdPlayer::loadPendingPatch(const QString& folder, const QString& name)
{
    const QDeadlineTimer deadline(HandOverTimeoutMs);
    const int createFailures = sCreateFailures.load(std::memory_order_relaxed);
    mMutex.lock();
    mPendingName = name.toLocal8Bit();
    mPendingFolder = folder.toLocal8Bit();
    mPendingPatchId = postPatchCommand(OpenPatch);
    qDebug() << "GUI waiting for audio thread to load patch";
    const bool opened = waitForPatchCommand(mPendingPatchId, deadline, "open the patch") && mOpenSucceeded;
    // The load is over either way: an open that runs later finds no name.
    mPendingName.clear();
    mPendingFolder.clear();
    mPendingPatchId = 0;
    mMutex.unlock();
    deliverReports();
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

bool PdPlayer::waitForGuiCommands(QDeadlineTimer deadline)
{
    const quint64 target = mGuiRing.written();
    if (executedGuiCommands() >= target)
        return true;
    mGuiWaitTarget.store(target);
    if (executedGuiCommands() < target) {
        const qint64 ms = deadline.remainingTime();
        const int timeout = ms < 0 ? -1 : int(std::min<qint64>(ms, std::numeric_limits<int>::max()));
        if (mGuiCommandsDone.tryAcquire(1, timeout))
            return true;
    }
    // Reached before sleeping, or the deadline came: the target is taken back
    // unless the audio thread has just claimed it, and then so is its release.
    quint64 expected = target;
    if (mGuiWaitTarget.compare_exchange_strong(expected, 0))
        return executedGuiCommands() >= target;
    mGuiCommandsDone.acquire();
    return true;
}

QStringList PdPlayer::macroNames() const
{
    return mGuiMacroNames;
}
