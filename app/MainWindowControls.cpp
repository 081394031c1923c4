// The continuous controls: volume, gliss and macro sliders, mono and poly,
// the transpose row and the hidden interaction-mode buttons. Each posts a
// command; the engine's answers move the controls back without posting.
#include "MainWindow.h"

#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "PrimeToggleButton.h"
#include "TransposeWidget.h"
#include "TuningWendleApplication.h"
#include "ui_MainWindow.h"

#include <QDebug>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

namespace {

constexpr int MacroCount = 8;

// The engine's echo of a value it took (0 to 1) moves the slider without
// being sent back; nothing that is not a number reaches the slider.
void followEngine(QSlider* slider, float value)
{
    if (!slider || !std::isfinite(value))
        return;
    const float min = float(slider->minimum()), max = float(slider->maximum());
    const float v = std::clamp(min + (max - min) * value, min, max);
    const QSignalBlocker block(slider);
    slider->setValue(int(v >= 0 ? v + 0.5f : v - 0.5f));
}

// A macro value from the patch as a command can carry it: a number from 0 to
// 1, or -1 for "no default".
float macroEntry(float value, int index)
{
    if (std::isnan(value) || value <= -0.5f) {
        if (std::isnan(value))
            qWarning() << "Macro default" << index + 1 << "is not a number; taken as no default";
        return -1.0f;
    }
    if (value < 0.0f || value > 1.0f) {
        qWarning() << "Macro default" << index + 1 << "of" << value << "clamped to 0..1";
        return std::clamp(value, 0.0f, 1.0f);
    }
    return value;
}

} // namespace

void MainWindow::postToEngine(const WendleEvent& event)
{
    TuningWendleApplication::instance()->engine().guiCommandBuffer().post(&event);
}

QList<QSlider*> MainWindow::macroSliders() const
{
    return { mUi->macroSlider1, mUi->macroSlider2, mUi->macroSlider3, mUi->macroSlider4,
             mUi->macroSlider5, mUi->macroSlider6, mUi->macroSlider7, mUi->macroSlider8 };
}

void MainWindow::setUpTransposeRow()
{
    TransposeWidget* row = mUi->transposeWidget;
    row->orientation = 2;
    row->build(mLattice);
    // The row made these connections too: a click must still post once.
    const auto unique = Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection);
    connect(row->resetButtonWidget(), SIGNAL(clicked()), row, SLOT(onResetClicked()), unique);
    connect(mLattice, SIGNAL(transposeOrBaseFrequencyChanged()), row, SLOT(onTransposeChanged()), unique);
    // A prime switched elsewhere (the controller, a dropped command) shows as the engine has it.
    connect(&TuningWendleApplication::instance()->engine(), SIGNAL(primeEnabledToggled(int, bool)), row,
            SLOT(onPrimeEnabledToggled(int, bool)), Qt::QueuedConnection);
}

TransposeWidget* MainWindow::transposeWidget() const
{
    return mUi->transposeWidget;
}

void MainWindow::setUpControls()
{
    for (QAbstractButton* b : { static_cast<QAbstractButton*>(mUi->toggleModeButton),
                                static_cast<QAbstractButton*>(mUi->shiftModeButton),
                                static_cast<QAbstractButton*>(mUi->removeModeButton),
                                static_cast<QAbstractButton*>(mUi->selectApplyModeButton) })
        b->setCheckable(true);
    for (QSlider* s : macroSliders())
        connect(s, SIGNAL(valueChanged(int)), this, SLOT(onMacroSliderValueChanged(int)), Qt::DirectConnection);
    PdPlayer* engine = &TuningWendleApplication::instance()->engine();
    connect(engine, SIGNAL(monophonicChanged(bool)), this, SLOT(onMonophonicChanged(bool)), Qt::QueuedConnection);
    connect(engine, SIGNAL(macroNamesReceived(QStringList)), this, SLOT(onMacroNamesReceived(QStringList)),
            Qt::QueuedConnection);
    connect(engine, SIGNAL(setMacroSliders(QList<float>)), this, SLOT(onSetMacroSliders(QList<float>)),
            Qt::QueuedConnection);
    connect(engine, SIGNAL(resetGlissSliders(short)), this, SLOT(onResetGlissSliders(short)), Qt::QueuedConnection);
}

// ---------------------------------------------------------------- sending

void MainWindow::on_volumeSlider_valueChanged(int vol)
{
    const QSlider* s = mUi->volumeSlider;
    postToEngine(WendleEvent(MasterVolumeSet, float(vol - s->minimum()) / float(s->maximum() - s->minimum())));
}

void MainWindow::on_glissSliderBig_valueChanged(int value)
{
    qDebug() << "Gliss slider value, previous value " << value;
    postToEngine(WendleEvent(SetGlissOne, float(value) / 400.0f));
}

void MainWindow::on_glissFineSliderBig_valueChanged(int value)
{
    postToEngine(WendleEvent(SetGlissTwo, float(value) / 400.0f));
}

void MainWindow::onMacroSliderValueChanged(int value)
{
    const QString name = sender() ? sender()->objectName() : QString();
    const int k = name.isEmpty() ? -1 : name.right(1).toInt() - 1;
    if (k < 0 || k >= MacroCount) {
        qWarning() << "Macro value from" << name << "ignored: not a macro slider";
        return;
    }
    sendMacroValue(k, float(value));
}

void MainWindow::sendMacroValue(int k, float value)
{
    if (k < 0 || k >= MacroCount)
        return;
    const QSlider* s = mUi->macroSlider1;
    postToEngine(WendleEvent(SetMacro1 + k, (value - float(s->minimum())) / float(s->maximum() - s->minimum())));
}

void MainWindow::on_glissButton_clicked()
{
    mGlissOneShown = mUi->glissButton->isChecked();
    mGlissTwoShown = mUi->glissFineButton->isChecked();
    mUi->glissSliderBig->setVisible(mGlissOneShown);
    mUi->glissCLineCenter->setVisible(mGlissOneShown || mGlissTwoShown);
}

void MainWindow::on_glissFineButton_clicked()
{
    mGlissOneShown = mUi->glissButton->isChecked();
    mGlissTwoShown = mUi->glissFineButton->isChecked();
    mUi->glissFineSliderBig->setVisible(mGlissTwoShown);
    mUi->glissCLineCenter->setVisible(mGlissOneShown || mGlissTwoShown);
}

void MainWindow::on_glissResetButton_clicked()
{
    mUi->glissFineSliderBig->setValue(mUi->glissFineSliderBig->maximum() / 2);
    mUi->glissSliderBig->setValue(mUi->glissSliderBig->maximum() / 2);
}

void MainWindow::on_monoButton_clicked()
{
    if (mUi->monoButton->isChecked()) {
        postToEngine(WendleEvent(SetMonophonic, 1.0f));
        return;
    }
    mUi->monoButton->setChecked(true);
    mUi->polyButton->setChecked(false);
}

void MainWindow::on_polyButton_clicked()
{
    if (mUi->polyButton->isChecked()) {
        postToEngine(WendleEvent(SetMonophonic, 0.0f));
        return;
    }
    mUi->monoButton->setChecked(false);
    mUi->polyButton->setChecked(true);
}

// ---------------------------------------------------------------- engine answers

void MainWindow::onVolumeChanged(float vol)
{
    followEngine(mUi->volumeSlider, vol);
}

void MainWindow::onMonophonicChanged(bool mono)
{
    mUi->monoButton->setChecked(mono);
    mUi->polyButton->setChecked(!mono);
}

void MainWindow::onMacroValueChanged(int macro, float value)
{
    if (macro < 1 || macro > MacroCount) {
        qWarning() << "Value for macro" << macro << "ignored: the window has macros 1 to 8";
        return;
    }
    followEngine(macroSliders().at(macro - 1), value);
}

void MainWindow::onMacroNamesReceived(QStringList names)
{
    if (names.size() > MacroCount)
        qWarning() << "The patch names" << names.size() << "macros; the window shows the first" << MacroCount;
    const QList<QSlider*> sliders = macroSliders();
    for (int i = 0; i < MacroCount; ++i) {
        QLabel* label = findChild<QLabel*>(QStringLiteral("macroLabel%1").arg(i + 1));
        const QString name = i < names.size() ? names.at(i).trimmed() : QString();
        const bool used = !name.isEmpty();
        if (i < names.size() && !used)
            qWarning() << "Macro" << i + 1 << "has an empty name; shown as unused";
        label->setText(used ? name.left(1).toUpper() + name.mid(1).toLower() : QStringLiteral("Unused"));
        label->setEnabled(used);
        sliders.at(i)->setEnabled(used);
    }
}

void MainWindow::onMacroDefaultsReceived(QList<float> defaults)
{
    // Eight macros have commands: entries past the eighth have no control.
    if (defaults.size() > MacroCount) {
        qWarning() << "The patch sends" << defaults.size() << "macro defaults; the window takes the first" << MacroCount;
        defaults.resize(MacroCount);
    }
    for (int i = 0; i < int(defaults.size()); ++i) {
        defaults[i] = macroEntry(defaults[i], i);
        if (defaults[i] > -0.5f)
            postToEngine(WendleEvent(SetMacro1 + i, defaults[i]));
    }
    mMacroDefaults = defaults;
}

void MainWindow::setMacroSlidersToDefault()
{
    onMacroDefaultsReceived(mMacroDefaults);
}

void MainWindow::onSetMacroSliders(QList<float> macros)
{
    for (int i = 0; i < std::min<int>(int(macros.size()), MacroCount); ++i) {
        const float v = macroEntry(macros[i], i);
        if (v > -0.5f)
            postToEngine(WendleEvent(SetMacro1 + i, v));
    }
}

void MainWindow::onResetGlissSliders(short which)
{
    const QSignalBlocker blockOne(mUi->glissSliderBig);
    const QSignalBlocker blockTwo(mUi->glissFineSliderBig);
    if (which == 0 || which == 1)
        mUi->glissSliderBig->setValue(mUi->glissSliderBig->maximum() / 2);
    if (which == 0 || which == 2)
        mUi->glissFineSliderBig->setValue(mUi->glissFineSliderBig->maximum() / 2);
}

// ---------------------------------------------------------------- Alt-release defaults

void MainWindow::sliderToDefault(QSlider* slider, int value)
{
    // Signals stay on: the value goes to the engine as a move would.
    if (mAltDown)
        slider->setValue(value);
}

void MainWindow::macroSliderReleased(int k)
{
    // Before the patch sent its defaults, or for a macro it gave none, there is nothing to jump to.
    if (k >= int(mMacroDefaults.size()) || !(mMacroDefaults[k] > -0.5f))
        return;
    QSlider* s = macroSliders().at(k);
    sliderToDefault(s, int(float(s->maximum()) * std::clamp(mMacroDefaults[k], 0.0f, 1.0f)));
}

void MainWindow::on_macroSlider1_sliderReleased() { macroSliderReleased(0); }
void MainWindow::on_macroSlider2_sliderReleased() { macroSliderReleased(1); }
void MainWindow::on_macroSlider3_sliderReleased() { macroSliderReleased(2); }
void MainWindow::on_macroSlider4_sliderReleased() { macroSliderReleased(3); }
void MainWindow::on_macroSlider5_sliderReleased() { macroSliderReleased(4); }
void MainWindow::on_macroSlider6_sliderReleased() { macroSliderReleased(5); }
void MainWindow::on_macroSlider7_sliderReleased() { macroSliderReleased(6); }
void MainWindow::on_macroSlider8_sliderReleased() { macroSliderReleased(7); }

void MainWindow::on_glissFineSliderBig_sliderReleased()
{
    sliderToDefault(mUi->glissFineSliderBig, mUi->glissFineSliderBig->maximum() / 2);
}

void MainWindow::on_glissSliderBig_sliderReleased()
{
    sliderToDefault(mUi->glissSliderBig, mUi->glissSliderBig->maximum() / 2);
}

void MainWindow::on_volumeSlider_sliderReleased()
{
    sliderToDefault(mUi->volumeSlider, int(float(mUi->volumeSlider->maximum()) * 0.75f));
}

// ---------------------------------------------------------------- interaction modes

void MainWindow::setInteractionMode(QAbstractButton* clicked, qint16 mode)
{
    for (QAbstractButton* b : { static_cast<QAbstractButton*>(mUi->toggleModeButton),
                                static_cast<QAbstractButton*>(mUi->shiftModeButton),
                                static_cast<QAbstractButton*>(mUi->removeModeButton),
                                static_cast<QAbstractButton*>(mUi->selectApplyModeButton) }) {
        if (b != clicked)
            b->setChecked(false);
    }
    TuningWendleApplication::instance()->interactionMode = clicked->isChecked() ? mode : qint16(0);
}

void MainWindow::on_toggleModeButton_clicked() { setInteractionMode(mUi->toggleModeButton, 1); }
void MainWindow::on_shiftModeButton_clicked() { setInteractionMode(mUi->shiftModeButton, 2); }
void MainWindow::on_removeModeButton_clicked() { setInteractionMode(mUi->removeModeButton, 3); }
void MainWindow::on_selectApplyModeButton_clicked() { setInteractionMode(mUi->selectApplyModeButton, 4); }
