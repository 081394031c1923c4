#pragma once

#include <QDialog>
#include <QList>
#include <QPoint>
#include <QString>
#include <QStringList>

class MainWindow;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QTabWidget;
class QWidget;

// The options window: sound, MIDI, pitch and display options, the update
// checks and the about text. Built afresh at every opening from the options
// as they stand; every change applies at once, to the options and to the
// part of the program that keeps its own copy.
class OptionsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit OptionsDialog(QWidget* parent);
    ~OptionsDialog() override;

    static constexpr const char* Version = "2.0.0";
    // Where a 1/1 note name that is not in the table points.
    static constexpr int FallbackNoteIndex = 48;

    // The note table, highest note first: names and equal-tempered
    // frequencies at A4 = 440 Hz.
    const QStringList& noteNames() const { return mNoteNames; }
    const QList<float>& noteFrequencies() const { return mNoteFrequencies; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private slots:
    void onAudioDeviceMenuActivated(int index);
    void onMainPatchNumberOfVoicesMenuActivated(int index);
    void onMidiOutputDeviceMenuActivated(int index);
    void onMidiOutputChannelMenuActivated(int index);
    void onOneOneFreqEditValueChanged(double value);
    void onOneOneFreqEditEditingFinished();
    void onOneOneNoteChanged(int index);
    void onCalibrationFreqEditValueChanged(double value);
    void onUpdateCheckFrequencyActivated(int index);
    void onUpdateButtonClicked();
    void onFurtherOptionsChanged2(bool b);
    void onFurtherOptionsChanged5(bool b);
    void onAllowZoomChanged(bool b);
    void onSoftNodeResetChanged(bool b);
    void onGlissOneRangeChanged(double data);
    void onGlissTwoRangeChanged(double data);
    void onGlissRangeMPEChanged(double data);
    void onMaintainMacrosChanged(bool b);
    void onCentsShowDecimalsChanged(int n);

private:
    QWidget* buildMainPage();
    QWidget* buildUpdatePage();
    QWidget* buildAboutPage();
    void buildNoteTable();
    void updateCentsLabel();
    void markEqualTempered(float calibration, float baseFrequency, int noteIndex);
    void syncSplitNoteEditors();
    void showSplitMenus(bool split);
    void postToEngine(qint32 type, float value);
    void critical(const QString& text);
    MainWindow* mainWindow() const;

    QTabWidget* mTabWidget = nullptr;
    QComboBox* mAudioDeviceMenu = nullptr;
    QComboBox* mMidiOutputDeviceMenu = nullptr;
    QComboBox* mMidiOutputChannelMenu = nullptr;
    QComboBox* mNumberOfVoicesMenu = nullptr;
    QComboBox* mUpdateIntervalBox = nullptr;
    QComboBox* mOneOneNoteEdit = nullptr;
    QComboBox* mOneOneOctaveEdit = nullptr;
    QComboBox* mOneOneNoteInOctaveEdit = nullptr;
    QDoubleSpinBox* mCalibrationFreqEdit = nullptr;
    QDoubleSpinBox* mOneOneFreqEdit = nullptr;
    qint32 mOneOneFreqDecimals = 0;
    float mOneOneFreqLast = 0.0f;
    QLabel* mOneOneNoteLabel = nullptr;
    QLabel* mCentsLabel = nullptr;
    QDoubleSpinBox* mGlissOneRangeEdit = nullptr;
    QDoubleSpinBox* mGlissTwoRangeEdit = nullptr;
    QDoubleSpinBox* mGlissRangeMPEEdit = nullptr;
    double mCalibrationFrequency = 440.0;
    QString mBaseNote = QStringLiteral("A 4");
    double mBaseFrequency = 440.0;
    qint32 mNoteIndex = FallbackNoteIndex;
    QList<float> mNoteFrequencies;
    QStringList mNoteNames;
    QStringList mNotesInOctave;
    QStringList mOctaves;
    QStringList mUpdateIntervals;
    QPushButton* mUpdateCheckButton = nullptr;
    QPoint mLastPos;
};
