#include "Settings.h"

#include <QDebug>
#include <QJsonValue>
#include <QStandardPaths>
#include <cmath>
#include <limits>

namespace {

void refuse(const char* key, const QString& value, const char* why)
{
    qWarning().noquote() << QStringLiteral("Option \"%1\" ignored (%2): %3; keeping the current value.")
                                .arg(QLatin1String(key), QString::fromLatin1(why), value);
}

void refuse(const char* key, double value, const char* why)
{
    refuse(key, QString::number(value, 'g', 17), why);
}

void refuse(const char* key, const QJsonValue& value, const char* why)
{
    refuse(key, value.isString() ? value.toString() : QString::number(value.toDouble(), 'g', 17), why);
}

// These reach the audio path: the frequencies become floats and logarithms in
// the engine and the note spelling, the channel a MIDI status byte.
constexpr const char* kBaseFrequencyRange = "outside 0 (exclusive) to 999999 Hz";
constexpr const char* kCalibrationRange = "outside 349 to 499 Hz";
constexpr const char* kChannelRange = "outside the MIDI channels -1 (MPE) to 15";
constexpr const char* kGlissRangeMPERange = "outside 0 to 12749 cents";

bool baseFrequencyValid(double f)
{
    return std::isfinite(f) && f > 0.0 && f <= 999999.0;
}

bool calibrationFrequencyValid(double f)
{
    return f >= 349.0 && f <= 499.0;
}

// A JSON number truncated toward zero, refused when it leaves the 32-bit range.
bool readInt(const QJsonObject& json, const char* key, qint32& field)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (!v.isDouble())
        return false;
    const double t = std::trunc(v.toDouble());
    if (!(t >= double(std::numeric_limits<qint32>::min()) && t <= double(std::numeric_limits<qint32>::max()))) {
        refuse(key, v, "outside the 32-bit integer range");
        return false;
    }
    field = qint32(t);
    return true;
}

// An int taken only when `valid` accepts it; otherwise refused for `why`.
template <typename Valid>
void readIntIf(const QJsonObject& json, const char* key, qint32& field, Valid valid, const char* why)
{
    qint32 v = field;
    if (!readInt(json, key, v))
        return;
    if (valid(v))
        field = v;
    else
        refuse(key, json.value(QLatin1String(key)), why);
}

void readDouble(const QJsonObject& json, const char* key, double& field, bool (*valid)(double), const char* why)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (!v.isDouble())
        return;
    if (valid(v.toDouble()))
        field = v.toDouble();
    else
        refuse(key, v, why);
}

void readFloat(const QJsonObject& json, const char* key, float& field)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (!v.isDouble())
        return;
    const double d = v.toDouble();
    if (std::fabs(d) > double(std::numeric_limits<float>::max())) {
        refuse(key, v, "outside the float range");
        return;
    }
    field = float(d);
}

void readBool(const QJsonObject& json, const char* key, bool& field)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (v.isBool())
        field = v.toBool();
}

void readString(const QJsonObject& json, const char* key, QString& field)
{
    const QJsonValue v = json.value(QLatin1String(key));
    if (v.isString())
        field = v.toString();
}

// "w,h" read without a type test; fewer than two parts leave the pair as it is.
void readPair(const QJsonObject& json, const char* key, qint32& first, qint32& second)
{
    const QStringList parts = json.value(QLatin1String(key)).toString().split(QLatin1Char(','));
    if (parts.size() < 2)
        return;
    bool ok = false;
    const int a = parts[0].toInt(&ok);
    first = ok ? a : 0;
    const int b = parts[1].toInt(&ok);
    second = ok ? b : 0;
}

QString pairText(qint32 a, qint32 b)
{
    return QStringLiteral("%1,%2").arg(a).arg(b);
}

} // namespace

Settings::Settings(QObject* parent)
    : SerializableRoot(parent)
    , lastBrowsedPatchPath(QStandardPaths::writableLocation(QStandardPaths::HomeLocation))
    , lastDirPath(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/chord_presets"))
{
}

Settings::~Settings() = default;

void Settings::readJson(const QJsonObject& json)
{
    readInt(json, "audioDevice", audioDevice);
    // The engine runs the patch in blocks of 64 frames.
    readIntIf(json, "framesPerBuffer", framesPerBuffer, [](qint32 v) { return v > 0 && v % 64 == 0; },
              "not a positive multiple of 64");
    readString(json, "midiOutDevice", midiOutDevice);
    readIntIf(json, "midiOutChannel", midiOutChannel, [](qint32 v) { return v >= -1 && v <= 15; }, kChannelRange);
    readDouble(json, "baseFrequency", baseFrequency, baseFrequencyValid, kBaseFrequencyRange);
    readDouble(json, "calibrationFrequency", calibrationFrequency, calibrationFrequencyValid, kCalibrationRange);
    readString(json, "baseNote", baseNote);
    readFloat(json, "baseNoteFreqRatio", baseNoteFreqRatio);
    readFloat(json, "masterVolume", masterVolume);
    readBool(json, "monophonic", monophonic);
    readString(json, "defaultPatch", defaultPatch);
    readBool(json, "softNodeReset", softNodeReset);
    readInt(json, "udpPort", udpPort);
    readBool(json, "circlesView", circlesView);
    readInt(json, "absRelView", absRelView);
    readInt(json, "updateCheckInterval", updateCheckInterval);
    readString(json, "tSysLastUpdateCheck", tSysLastUpdateCheck);
    readBool(json, "ratiosWithinOctave", ratiosWithinOctave);
    readBool(json, "centralNodeColourRelativeMode", centralNodeColourRelativeMode);
    readInt(json, "toneBudNotation", toneBudNotation);
    readBool(json, "oneOneMenuSplitOctaves", oneOneMenuSplitOctaves);
    readString(json, "lastBrowsedPatchPath", lastBrowsedPatchPath);
    readString(json, "lastDirPath", lastDirPath);
    readPair(json, "windowSize", windowWidth, windowHeight);
    readPair(json, "windowPos", windowX, windowY);
    readBool(json, "windowMaximized", windowMaximized);
    readInt(json, "wendleZoomMode", wendleZoomMode);
    readFloat(json, "glissOneRangeCents", glissOneRangeCents);
    readFloat(json, "glissTwoRangeCents", glissTwoRangeCents);
    readIntIf(json, "glissRangeMPECents", glissRangeMPECents,
              [](qint32 v) { return v >= MinGlissRangeMPECents && v <= MaxGlissRangeMPECents; }, kGlissRangeMPERange);
    readBool(json, "maintainMacroParameters", maintainMacroParameters);
    readInt(json, "centsShowDecimals", centsShowDecimals);
    // Only these counts have a main patch.
    readIntIf(json, "mainPatchNumberOfVoices", mainPatchNumberOfVoices, [this](qint32 v) { return voiceCounts.contains(v); },
              "not an offered voice count");
}

void Settings::writeJson(QJsonObject& json) const
{
    json.insert(QStringLiteral("audioDevice"), audioDevice);
    json.insert(QStringLiteral("framesPerBuffer"), framesPerBuffer);
    json.insert(QStringLiteral("midiOutDevice"), midiOutDevice);
    json.insert(QStringLiteral("midiOutChannel"), midiOutChannel);
    json.insert(QStringLiteral("baseFrequency"), baseFrequency);
    json.insert(QStringLiteral("calibrationFrequency"), calibrationFrequency);
    json.insert(QStringLiteral("baseNote"), baseNote);
    json.insert(QStringLiteral("baseNoteFreqRatio"), double(baseNoteFreqRatio));
    json.insert(QStringLiteral("masterVolume"), double(masterVolume));
    json.insert(QStringLiteral("monophonic"), monophonic);
    json.insert(QStringLiteral("defaultPatch"), defaultPatch);
    json.insert(QStringLiteral("softNodeReset"), softNodeReset);
    json.insert(QStringLiteral("udpPort"), udpPort);
    json.insert(QStringLiteral("circlesView"), circlesView);
    json.insert(QStringLiteral("absRelView"), absRelView);
    json.insert(QStringLiteral("updateCheckInterval"), updateCheckInterval);
    json.insert(QStringLiteral("tSysLastUpdateCheck"), tSysLastUpdateCheck);
    json.insert(QStringLiteral("ratiosWithinOctave"), ratiosWithinOctave);
    json.insert(QStringLiteral("centralNodeColourRelativeMode"), centralNodeColourRelativeMode);
    json.insert(QStringLiteral("toneBudNotation"), toneBudNotation);
    json.insert(QStringLiteral("oneOneMenuSplitOctaves"), oneOneMenuSplitOctaves);
    json.insert(QStringLiteral("lastBrowsedPatchPath"), lastBrowsedPatchPath);
    json.insert(QStringLiteral("lastDirPath"), lastDirPath);
    json.insert(QStringLiteral("windowSize"), pairText(windowWidth, windowHeight));
    json.insert(QStringLiteral("windowPos"), pairText(windowX, windowY));
    json.insert(QStringLiteral("windowMaximized"), windowMaximized);
    json.insert(QStringLiteral("wendleZoomMode"), wendleZoomMode);
    json.insert(QStringLiteral("glissOneRangeCents"), double(glissOneRangeCents));
    json.insert(QStringLiteral("glissTwoRangeCents"), double(glissTwoRangeCents));
    json.insert(QStringLiteral("glissRangeMPECents"), glissRangeMPECents);
    json.insert(QStringLiteral("maintainMacroParameters"), maintainMacroParameters);
    json.insert(QStringLiteral("centsShowDecimals"), centsShowDecimals);
    json.insert(QStringLiteral("mainPatchNumberOfVoices"), mainPatchNumberOfVoices);
}

void Settings::onAudioDeviceChanged(int val)
{
    if (audioDevice != val)
        audioDevice = val;
}

void Settings::onFramesPerBufferChanged(int val)
{
    if (framesPerBuffer != val)
        framesPerBuffer = val;
}

void Settings::onBaseFrequencyChanged(float val)
{
    if (!baseFrequencyValid(val))
        refuse("baseFrequency", val, kBaseFrequencyRange);
    else if (baseFrequency != double(val))
        baseFrequency = double(val);
}

void Settings::onCalibrationFrequencyChanged(int val)
{
    if (!calibrationFrequencyValid(val))
        refuse("calibrationFrequency", val, kCalibrationRange);
    else if (calibrationFrequency != double(val))
        calibrationFrequency = double(val);
}

void Settings::onBaseNoteChanged(QString val)
{
    if (baseNote != val)
        baseNote = val;
}

void Settings::onMasterVolumeChanged(float val)
{
    if (masterVolume != val)
        masterVolume = val;
}

void Settings::onMonophonicChanged(bool val)
{
    if (monophonic != val)
        monophonic = val;
}
