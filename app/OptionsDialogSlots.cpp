// What the options window's controls do. Every change reaches the options
// and, at once, the part of the program that keeps its own copy: the engine
// (through commands and its option setters), the audio and MIDI outputs
// (through their own operations only) and the lattice pages.
#include "OptionsDialog.h"

#include "EngineCommandType.h"
#include "MainWindow.h"
#include "MidiOutput.h"
#include "OptionsDialogRules.h"
#include "TuningWendleApplication.h"
#include "UpdateDialog.h"
#include "WendleEvent.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDebug>
#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <algorithm>
#include <cmath>

namespace {

TuningWendleApplication* app()
{
    return TuningWendleApplication::instance();
}

Settings& options()
{
    return app()->options();
}

MidiOutput* midi()
{
    return app()->midiInterface().midiOutput();
}

} // namespace

void OptionsDialog::postToEngine(qint32 type, float value)
{
    const WendleEvent event(type, value);
    app()->engine().guiCommandBuffer().post(&event);
}

void OptionsDialog::critical(const QString& text)
{
    QMessageBox::critical(this, QCoreApplication::applicationName(), text, QMessageBox::Ok);
}

void OptionsDialog::closeEvent(QCloseEvent* event)
{
    qDebug() << "Options dialog last closed at" << mLastPos;
    mLastPos = pos();
    if (MainWindow* window = mainWindow())
        window->setOptionsDialogPos(mLastPos);
    // Whatever sounds is recalled as a whole, so that it plays on with the new options.
    StoreAndRecall& store = app()->chordStore();
    store.chords.remove(0);
    store.store(0);
    store.recall(0, 0);
    postToEngine(NodesRecalled, 1.0f);
    store.chords.remove(0);
    qDebug() << "Options dialog closed at" << mLastPos;
    QDialog::closeEvent(event);
}

void OptionsDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape
        || (event->key() == Qt::Key_Comma && event->modifiers() == Qt::ControlModifier)) {
        close();
        return;
    }
    event->ignore();
}

void OptionsDialog::onAudioDeviceMenuActivated(int index)
{
    PaAudioOutput& audio = app()->audioOutput();
    const int previous = audio.selectedIndex();
    if (audio.selectDevice(index))
        return;
    critical(QStringLiteral("Failed to open audio device %1.").arg(mAudioDeviceMenu->itemText(index)));
    if (!audio.selectDevice(previous)) {
        const QString name = previous >= 0 ? mAudioDeviceMenu->itemText(previous) : QStringLiteral("(the default device)");
        critical(QStringLiteral("Failed to open audio device %1 again: no audio device plays now.").arg(name));
    }
    // The menu shows what plays, or nothing when nothing does.
    mAudioDeviceMenu->setCurrentIndex(audio.selectedIndex());
}

void OptionsDialog::onMainPatchNumberOfVoicesMenuActivated(int index)
{
    Settings& o = options();
    const qint32 count = o.voiceCounts.value(index, o.mainPatchNumberOfVoices);
    if (count == o.mainPatchNumberOfVoices)
        return;
    o.mainPatchNumberOfVoices = count;
    QMessageBox box;
    box.setText(QStringLiteral("Changing the maximum number of voices will only be effective after restart. "
                               "Please close and restart the application!"));
    box.exec();
}

void OptionsDialog::onMidiOutputDeviceMenuActivated(int index)
{
    const QString chosen = mMidiOutputDeviceMenu->itemText(index);
    const QString previous = midi()->portName();
    if (chosen == previous)
        return;
    if (index == 0) {
        if (midi()->openPort(-1)) {
            critical(QStringLiteral("Failed to close Midi output port / device %1.").arg(previous));
            mMidiOutputDeviceMenu->setCurrentText(previous);
        }
        return;
    }
    // A failed open has closed the previous port already.
    if (!midi()->openPortByName(chosen)) {
        critical(QStringLiteral("Failed to open Midi output port / device %1.").arg(chosen));
        mMidiOutputDeviceMenu->setCurrentIndex(0);
    }
}

void OptionsDialog::onMidiOutputChannelMenuActivated(int index)
{
    midi()->setMidiChannel(index - 1);
    qDebug() << "Midi channel set to: " << index - 1;
}

void OptionsDialog::onOneOneFreqEditValueChanged(double value)
{
    const int decimals = OptionsRules::shortDecimals(value);
    if (decimals != mOneOneFreqDecimals)
        mOneOneFreqEdit->setDecimals(decimals);
    mOneOneFreqDecimals = decimals;
    // Taken before the commit, which may write a clamped value back and come here again.
    const float last = mOneOneFreqLast;
    mOneOneFreqLast = float(value);
    const double step = std::fabs(value - double(last));
    if (step > 0.99 && step < 1.01)
        emit mOneOneFreqEdit->editingFinished();
}

void OptionsDialog::onOneOneFreqEditEditingFinished()
{
    float v = float(mOneOneFreqEdit->value());
    const float clamped = std::clamp(v, 20.0f, 20000.0f);
    if (clamped != v) {
        v = clamped;
        mOneOneFreqEdit->setValue(double(v));
    }
    mBaseFrequency = double(v);
    options().baseFrequency = double(v);
    markEqualTempered(float(mCalibrationFrequency), v, mNoteIndex);
    postToEngine(SetBaseFrequency, v);
    updateCentsLabel();
}

void OptionsDialog::onOneOneNoteChanged(int)
{
    Settings& o = options();
    if (!o.oneOneMenuSplitOctaves) {
        mNoteIndex = mOneOneNoteEdit->currentIndex();
        mBaseNote = mNoteNames.value(mNoteIndex);
    } else {
        const QString octave = mOneOneOctaveEdit->currentText();
        QString note = mOneOneNoteInOctaveEdit->currentText();
        const bool aboveA = note == QLatin1String("B") || note == QLatin1String("Bb") || note == QLatin1String("A#");
        // The table holds only A to B of octave 0 and C to A of octave 8.
        if ((octave == QLatin1String("0") && !aboveA && note != QLatin1String("A")) || (octave == QLatin1String("8") && aboveA)) {
            note = QStringLiteral("A");
            mOneOneNoteInOctaveEdit->setCurrentText(note);
        }
        mBaseNote = note + QLatin1Char(' ') + octave;
        mOneOneNoteEdit->setCurrentText(mBaseNote);
        mNoteIndex = mOneOneNoteEdit->currentIndex();
    }
    if (mNoteIndex < 0 || mNoteIndex >= mNoteNames.size()) {
        qWarning().noquote() << QStringLiteral("Options: no note \"%1\" in the table; the 1/1 stays").arg(mBaseNote);
        mNoteIndex = FallbackNoteIndex;
        mBaseNote = mNoteNames[mNoteIndex];
        syncSplitNoteEditors();
        mOneOneNoteEdit->setCurrentIndex(mNoteIndex);
        return;
    }
    o.baseNote = mBaseNote;
    o.baseNoteFreqRatio = float(mBaseFrequency / mCalibrationFrequency);
    const double noteFrequency = double(mNoteFrequencies[mNoteIndex]) * mCalibrationFrequency / 440.0;
    if (mBaseFrequency != noteFrequency) {
        const float f = float(noteFrequency);
        mOneOneFreqEdit->setDecimals(OptionsRules::longDecimals(f));
        mOneOneFreqEdit->setValue(double(f));
        emit mOneOneFreqEdit->editingFinished();
    }
    syncSplitNoteEditors();
    if (MainWindow* window = mainWindow())
        window->updateAllViews();
}

void OptionsDialog::onCalibrationFreqEditValueChanged(double value)
{
    mCalibrationFrequency = value;
    options().calibrationFrequency = value;
    markEqualTempered(float(value), float(mBaseFrequency), mNoteIndex);
    if (MainWindow* window = mainWindow())
        window->updateAllViews();
    updateCentsLabel();
}

void OptionsDialog::updateCentsLabel()
{
    const float ref = mNoteFrequencies[mNoteIndex];
    const float c = 1200.0f * std::log((float(mBaseFrequency) / ref) / (float(mCalibrationFrequency) / 440.0f)) / 0.6931472f;
    const float r = std::round(c * 100.0f) / 100.0f;
    bool far = false;
    if (r == 0.0f) {
        mCentsLabel->setText(QStringLiteral("0"));
    } else if (std::fabs(r) > 50.0f) {
        mCentsLabel->setText(QStringLiteral("..."));
        far = true;
    } else {
        mCentsLabel->setText(QStringLiteral("%1%2")
                                 .arg(c >= 0.0f ? QLatin1Char('+') : QLatin1Char('-'))
                                 .arg(double(std::fabs(c)), 4, 'f', 2));
    }
    options().baseNoteFlag = far;
}

void OptionsDialog::markEqualTempered(float calibration, float baseFrequency, int noteIndex)
{
    const float halfStep = 0.5f * std::pow(10.0f, float(-OptionsRules::longDecimals(baseFrequency)));
    const float tempered = mNoteFrequencies[noteIndex] * calibration / 440.0f;
    const float off = std::fabs(baseFrequency - tempered);
    qDebug() << "Options: 1/1 equal tempered? " << baseFrequency << tempered << off << halfStep;
    const bool equal = off < halfStep;
    const QString menus = equal ? styleSheet() : QStringLiteral("background-color: rgb(32, 32, 32) ;");
    for (QComboBox* m : { mOneOneNoteEdit, mOneOneNoteInOctaveEdit, mOneOneOctaveEdit })
        m->setStyleSheet(menus);
    mOneOneNoteLabel->setStyleSheet(equal ? styleSheet() : QStringLiteral("color: rgb(255, 0, 0) ; font-style: italic ;"));
    qDebug() << "Is equal tempered" << (equal ? "true" : "false");
}

void OptionsDialog::onUpdateCheckFrequencyActivated(int index)
{
    options().updateCheckInterval = index;
}

void OptionsDialog::onUpdateButtonClicked()
{
    const QDateTime now = QDateTime::currentDateTime();
    UpdateDialog::startCheck(this, true);
    options().tSysLastUpdateCheck = now.toString(Qt::TextDate);
}

void OptionsDialog::onFurtherOptionsChanged2(bool b)
{
    options().centralNodeColourRelativeMode = b;
    if (MainWindow* window = mainWindow())
        window->updateAllViews();
}

void OptionsDialog::onFurtherOptionsChanged5(bool b)
{
    options().oneOneMenuSplitOctaves = b;
    showSplitMenus(b);
}

void OptionsDialog::onAllowZoomChanged(bool b)
{
    options().wendleZoomMode = b ? 6 : 0;
    if (MainWindow* window = mainWindow())
        window->applyViewScale();
}

void OptionsDialog::onSoftNodeResetChanged(bool b)
{
    options().softNodeReset = b;
    app()->engine().setSoftNodeReset(b);
}

void OptionsDialog::onMaintainMacrosChanged(bool b)
{
    options().maintainMacroParameters = b;
    app()->engine().setMaintainMacroParameters(b);
}

void OptionsDialog::onGlissOneRangeChanged(double data)
{
    Settings& o = options();
    o.glissOneRangeCents = float(data);
    // The engine reads its own copy when it runs the reset.
    app()->engine().setGlissRangeOptions(o.glissOneRangeCents, o.glissTwoRangeCents);
    postToEngine(NodeResetGlissOne, 1.0f);
}

void OptionsDialog::onGlissTwoRangeChanged(double data)
{
    Settings& o = options();
    o.glissTwoRangeCents = float(data);
    app()->engine().setGlissRangeOptions(o.glissOneRangeCents, o.glissTwoRangeCents);
    postToEngine(NodeResetGlissTwo, 1.0f);
}

// The options' bounds are the MIDI output's, less the 50 cents added here and at start-up.
static_assert(Settings::MinGlissRangeMPECents + 50 == MidiOutput::MinRangeCents
              && Settings::MaxGlissRangeMPECents + 50 == MidiOutput::MaxRangeCents);

void OptionsDialog::onGlissRangeMPEChanged(double data)
{
    Settings& o = options();
    o.glissRangeMPECents = qint32(data);
    midi()->setPitchBendRange(o.glissRangeMPECents + 50);
}

void OptionsDialog::onCentsShowDecimalsChanged(int n)
{
    options().centsShowDecimals = n;
    if (MainWindow* window = mainWindow())
        window->updateAllViews();
}
