// The Pd patch protocol: messages to and from the patch, patch open and
// close on the audio thread, and the GUI thread's side of the hand-over.
#include "PdPlayer.h"

#include "AudioOutput.h"
#include "EngineCommandType.h"
#include "WendleEvent.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <cmath>
#include <cstring>

#include "z_libpd.h"

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
