// The Pd patch protocol: messages to and from the patch and patch open and
// close on the audio thread. These may not use the logger: their log lines
// and the macro names travel to the GUI thread through the report queue.
#include "PdPlayer.h"

#include <QDebug>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "z_libpd.h"

namespace {

// Macro texts are cut to this many bytes before they are parsed.
constexpr std::size_t MacroTextSize = 1024;

std::string_view bytes(const QByteArray& a)
{
    return std::string_view(a.constData(), std::size_t(a.size()));
}

// A macro default as the patch wrote it: a number with optional blanks
// around it and an optional plus sign, in the C locale; 0.0 otherwise.
float parseDefault(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+')
        text.remove_prefix(1);
    float value = 0.0f;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return 0.0f;
    return value;
}

// The id a GUI-side open or close carries in its value; 0 for any other.
quint32 patchCommandId(const EngineCommand* command)
{
    if (!command)
        return 0;
    const float v = command->value;
    return v >= 1.0f && v <= float(PdPlayer::MaxPatchCommandId) && v == std::floor(v) ? quint32(v) : 0;
}

} // namespace

// GUI thread: the audio thread's log lines, in the texts and levels it would
// have used, with this file as their source.
void PdPlayer::logPatchLine(const EngineReport& r, const QByteArray& text)
{
    const int status = int(r.values[0]);
    const auto refused = [status](const char* what) {
        return QStringLiteral("libpd_start_message for %1 returned error status: %2").arg(QLatin1String(what)).arg(status);
    };
    switch (r.number) {
    case EngineReport::PdPrint:
        qDebug().noquote() << QStringLiteral("libPD:") << QString::fromUtf8(text).trimmed();
        break;
    case EngineReport::MacroNamesText:
        qDebug().noquote() << QStringLiteral("Received macro names:") << QString::fromUtf8(text);
        break;
    case EngineReport::OpenPatchStep:
        qDebug() << "PdPlayer::openPatch()";
        break;
    case EngineReport::OpeningPatch:
        qWarning().noquote() << QStringLiteral("Opening PD patch:") << QString::fromLocal8Bit(text);
        break;
    case EngineReport::OpeningPatchFailed:
        qCritical().noquote() << QStringLiteral("Opening PD patch failed:") << QString::fromLocal8Bit(text);
        break;
    case EngineReport::DspFailedAfterOpen:
        qCritical().noquote() << QStringLiteral("setDsp(true) failed after opening:") << QString::fromLocal8Bit(text);
        break;
    case EngineReport::QueryMacrosRefused:
        qCritical().noquote() << QStringLiteral("libpd_bang for query-macros returned error status: %1").arg(status);
        break;
    case EngineReport::ClosingPatch:
        qWarning() << "Closing PD patch...";
        break;
    case EngineReport::WendleInRefused:
        qCritical().noquote() << refused("wendle-in");
        break;
    case EngineReport::MasterVolRefused:
        qCritical().noquote() << refused("master-vol");
        break;
    case EngineReport::SetDspRefused:
        qCritical().noquote() << refused("setDsp");
        break;
    default:
        qWarning().noquote() << QStringLiteral("Engine log line %1: %2").arg(r.number).arg(QString::fromUtf8(text));
        break;
    }
}

void PdPlayer::sendToPd(int parameter, float value, float voice)
{
    const int status = libpd_start_message(3);
    if (status != 0) {
        refused(EngineReport::WendleInRefused, status);
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
        refused(EngineReport::MasterVolRefused, status);
        return;
    }
    libpd_add_float(volume);
    libpd_finish_list("master-vol");
}

bool PdPlayer::setDsp(bool on) const
{
    const int status = libpd_start_message(1);
    if (status != 0) {
        refused(EngineReport::SetDspRefused, status);
        return false;
    }
    libpd_add_float(on ? 1.0f : 0.0f);
    libpd_finish_message("pd", "dsp");
    return true;
}

void PdPlayer::refused(EngineReport::LogLine line, int status)
{
    if (sInstance) {
        sInstance->reportLog(line, status);
        return;
    }
    // No player, so no audio thread either.
    EngineReport r;
    r.number = line;
    r.values[0] = float(status);
    logPatchLine(r, QByteArray());
}

void PdPlayer::reportLog(EngineReport::LogLine line, int status, std::initializer_list<std::string_view> text)
{
    EngineReport r;
    r.kind = EngineReport::Log;
    r.number = line;
    r.values[0] = float(status);
    mReports.push(r, text);
}

void PdPlayer::pdPrintHook(const char* text)
{
    if (!text)
        return;
    if (std::strstr(text, "couldn't create"))
        sCreateFailures.fetch_add(1, std::memory_order_relaxed);
    if (PdPlayer* self = sInstance)
        self->reportLog(EngineReport::PdPrint, 0, { text });
    else // no player, so no audio thread either
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
    const std::string_view whole = text ? std::string_view(text) : std::string_view();
    reportLog(EngineReport::MacroNamesText, 0, { whole });
    const std::string_view macroText = whole.substr(0, MacroTextSize);

    // The names, cut at their brackets, joined by ':' for the GUI thread.
    char names[MacroTextSize];
    std::size_t namesSize = 0;
    int pieces = 0;
    mMacroDefaultList.count = 0;
    std::size_t start = 0;
    while (start <= macroText.size()) {
        std::size_t end = macroText.find(':', start);
        if (end == std::string_view::npos)
            end = macroText.size();
        std::string_view piece = macroText.substr(start, end - start);
        start = end + 1;
        if (piece.empty())
            continue;
        if (++pieces > MacroCount)
            continue;
        const std::size_t i = piece.find('(');
        const std::size_t j = piece.find(')');
        float value = -1.0f;
        if (i != std::string_view::npos && j != std::string_view::npos && j > i) {
            value = parseDefault(piece.substr(i + 1, j - i - 1));
            piece = piece.substr(0, i);
        }
        if (mMacroDefaultList.count > 0)
            names[namesSize++] = ':';
        std::memcpy(names + namesSize, piece.data(), piece.size());
        namesSize += piece.size();
        mMacroDefaultList.values[mMacroDefaultList.count++] = value;
    }
    if (pieces > MacroCount)
        warn(WarnTooManyMacros, float(pieces));

    const bool maintain = mMaintainMacros.load(std::memory_order_relaxed);
    for (int m = 0; m < mMacroDefaultList.count; ++m) {
        mMacroDefaults[m] = mMacroDefaultList.values[m];
        if (!maintain)
            mMacros[m] = mMacroDefaultList.values[m];
    }
    handOverMacroInfo(true, std::string_view(names, namesSize));
}

void PdPlayer::handOverMacroInfo(bool fromPatch, std::string_view joinedNames)
{
    EngineReport r;
    r.kind = EngineReport::MacroInfoChanged;
    r.number = fromPatch ? mMacroDefaultList.count : -1;
    std::copy(mMacroDefaultList.values, mMacroDefaultList.values + mMacroDefaultList.count, r.values);
    mReports.push(r, { joinedNames });
}

void PdPlayer::openPatch()
{
    const quint32 id = patchCommandId(mCommand);
    reportLog(EngineReport::OpenPatchStep);
    QMutexLocker lock(&mMutex);
    // An open without an id, or one whose load gave up and took its name
    // back, has no name of its own: opening whatever is pending would open a
    // patch nobody waits for.
    const auto finish = [&](bool opened) {
        if (id != 0) {
            mDonePatchCommandId = id;
            mOpenSucceeded = opened;
        }
        mWaitCondition.wakeAll();
    };
    if (id == 0 || id != mPendingPatchId || mPendingName.isEmpty()) {
        warn(WarnOpenWithoutName);
        finish(false);
        return;
    }
    const std::string_view where[] = { bytes(mPendingFolder), " ", bytes(mPendingName) };
    reportLog(EngineReport::OpeningPatch, 0, { where[0], where[1], where[2] });
    void* handle = libpd_openfile(mPendingName.constData(), mPendingFolder.constData());
    if (!handle) {
        reportLog(EngineReport::OpeningPatchFailed, 0, { where[0], where[1], where[2] });
        finish(false);
        return;
    }
    mPatch.store(handle, std::memory_order_release);
    if (!setDsp(true)) {
        reportLog(EngineReport::DspFailedAfterOpen, 0, { where[0], where[1], where[2] });
        finish(false);
        return;
    }
    mVoiceInfoReceiver = libpd_bind("output-voice-info");
    mVoiceStopReceiver = libpd_bind("voice-stop");
    mWaitingForMacros = true;
    const int status = libpd_bang("query-macros");
    if (status != 0)
        reportLog(EngineReport::QueryMacrosRefused, status);
    finish(true);
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
    const quint32 id = patchCommandId(mCommand);
    QMutexLocker lock(&mMutex);
    if (void* handle = mPatch.load(std::memory_order_acquire)) {
        reportLog(EngineReport::ClosingPatch);
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
        mMacroDefaultList.count = 0;
        handOverMacroInfo(false);
    }
    if (id != 0)
        mDonePatchCommandId = id;
    mWaitCondition.wakeAll();
}
