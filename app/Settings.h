#pragma once

#include "SerializableRoot.h"

#include <QList>
#include <QString>

// The program's options, kept in "options.json". Other parts read and write
// the fields directly; the slots take the values that the engine reports.
class Settings : public SerializableRoot
{
    Q_OBJECT

public:
    static constexpr const char* FileName = "options.json";
    // Start-up hands the MIDI output this range plus 50 cents, and the output
    // takes 50 to 12799 cents.
    static constexpr qint32 MinGlissRangeMPECents = 0;
    static constexpr qint32 MaxGlissRangeMPECents = 12749;

    explicit Settings(QObject* parent = nullptr);
    ~Settings() override;

    void readJson(const QJsonObject& json) override;
    void writeJson(QJsonObject& json) const override;

    qint32 audioDevice = -1;
    qint32 framesPerBuffer = 256;
    QString midiOutDevice = QStringLiteral("deactivated");
    qint32 midiOutChannel = 0;
    double baseFrequency = 440.0;
    double calibrationFrequency = 440.0;
    QString baseNote = QStringLiteral("A 4");
    float baseNoteFreqRatio = 1.0f;
    bool baseNoteFlag = true; // not stored
    float masterVolume = 0.75f;
    bool monophonic = false;
    QString defaultPatch = QStringLiteral("Sine.pd");
    bool softNodeReset = false;
    bool circlesView = false;
    qint32 absRelView = 1;
    qint32 udpPort = 8888;
    qint32 windowWidth = -1;
    qint32 windowHeight = -1;
    qint32 windowX = -1;
    qint32 windowY = -1;
    bool windowMaximized = false;
    qint32 wendleZoomMode = 6;
    qint32 updateCheckInterval = 1;
    QString tSysLastUpdateCheck;
    bool ratiosWithinOctave = true;
    bool centralNodeColourRelativeMode = true;
    qint32 toneBudNotation = 0;
    bool oneOneMenuSplitOctaves = false;
    QString lastBrowsedPatchPath;
    QString lastDirPath;
    float glissOneRangeCents = 1200.0f;
    float glissTwoRangeCents = 100.0f;
    qint32 glissRangeMPECents = 0;
    bool maintainMacroParameters = false;
    qint32 centsShowDecimals = 0;
    qint32 mainPatchNumberOfVoices = 128;
    const QList<qint32> voiceCounts { 4, 8, 12, 16, 24, 32, 48, 64, 96, 128 }; // not stored

public slots:
    void onAudioDeviceChanged(int val);
    void onFramesPerBufferChanged(int val);
    void onBaseFrequencyChanged(float val);
    void onCalibrationFrequencyChanged(int val);
    void onBaseNoteChanged(QString val);
    void onMasterVolumeChanged(float val);
    void onMonophonicChanged(bool val);
};
