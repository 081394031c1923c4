// The options window's construction: the note table and the three pages.
// What each control does when the player changes it is in OptionsDialogSlots.cpp.
#include "OptionsDialog.h"

#include "MainWindow.h"
#include "MidiOutput.h"
#include "OptionsDialogRules.h"
#include "TuningWendleApplication.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace {

QDoubleSpinBox* centsEdit(const char* objectName, double maximum, double value)
{
    auto edit = new QDoubleSpinBox;
    edit->setObjectName(QLatin1String(objectName));
    edit->setDecimals(0);
    edit->setRange(0.0, maximum);
    edit->setValue(value);
    edit->setAlignment(Qt::AlignRight);
    edit->setAccelerated(true);
    edit->setKeyboardTracking(false);
    edit->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    return edit;
}

QComboBox* menu(const char* objectName)
{
    auto box = new QComboBox;
    box->setObjectName(QLatin1String(objectName));
    return box;
}

// Buttons are lettered in capitals by the application's button font; the
// check boxes and the update button here keep their captions as written.
void keepCaptionCase(QAbstractButton* button)
{
    QFont font = button->font();
    font.setCapitalization(QFont::MixedCase);
    button->setFont(font);
}

QCheckBox* checkBox(const QString& text, const char* objectName, bool checked)
{
    auto box = new QCheckBox(text);
    box->setObjectName(QLatin1String(objectName));
    box->setChecked(checked);
    keepCaptionCase(box);
    return box;
}

} // namespace

OptionsDialog::OptionsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowFlag(Qt::Tool, true);
    buildNoteTable();
    mNotesInOctave = { "C", "C#", "Db", "D", "D#", "Eb", "E", "F", "F#", "Gb", "G", "G#", "Ab", "A", "A#", "Bb", "B" };
    std::reverse(mNotesInOctave.begin(), mNotesInOctave.end());
    for (int octave = 8; octave >= 0; --octave)
        mOctaves << QString::number(octave);
    mUpdateIntervals = { "always", "weekly", "monthly", "quarterly", "never" };

    auto outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    mTabWidget = new QTabWidget;
    outer->addWidget(mTabWidget);
    mTabWidget->addTab(buildMainPage(), QStringLiteral("Options"));
    mTabWidget->addTab(buildUpdatePage(), QStringLiteral("Update"));
    mTabWidget->addTab(buildAboutPage(), QStringLiteral("About"));

    auto buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal);
    buttons->setStyleSheet(QStringLiteral("margin: 12px;"));
    outer->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept, Qt::DirectConnection);
    connect(buttons, &QDialogButtonBox::rejected, this, &QWidget::close, Qt::DirectConnection);

    setMinimumSize(450, 540);
    setMaximumSize(450, 540);
}

OptionsDialog::~OptionsDialog() = default;

MainWindow* OptionsDialog::mainWindow() const
{
    return qobject_cast<MainWindow*>(parentWidget());
}

void OptionsDialog::buildNoteTable()
{
    // Each name with its semitones from the A of the same octave number.
    static const struct { const char* name; int fromA; } inOctave[] = {
        { "C", -9 }, { "C#", -8 }, { "Db", -8 }, { "D", -7 }, { "D#", -6 }, { "Eb", -6 }, { "E", -5 }, { "F", -4 }, { "F#", -3 },
        { "Gb", -3 }, { "G", -2 }, { "G#", -1 }, { "Ab", -1 }, { "A", 0 }, { "A#", 1 }, { "Bb", 1 }, { "B", 2 },
    };
    constexpr int FirstA = 13;
    const auto add = [this](int entry, int octave) {
        mNoteNames << QStringLiteral("%1 %2").arg(QLatin1String(inOctave[entry].name)).arg(octave);
        mNoteFrequencies << OptionsRules::equalTempered(inOctave[entry].fromA + 12 * (octave - 4));
    };
    for (int i = FirstA; i < int(std::size(inOctave)); ++i)
        add(i, 0);
    for (int octave = 1; octave <= 7; ++octave) {
        for (int i = 0; i < int(std::size(inOctave)); ++i)
            add(i, octave);
    }
    for (int i = 0; i <= FirstA; ++i)
        add(i, 8);
    // Four entries keep the values that the note names have always carried,
    // one off in the last digit.
    const struct { const char* name; float hz; } kept[] = {
        { "D# 3", 155.564f }, { "Eb 3", 155.564f }, { "F 5", 698.457f }, { "F# 6", 1479.978f },
    };
    for (const auto& k : kept)
        mNoteFrequencies[mNoteNames.indexOf(QLatin1String(k.name))] = k.hz;
    std::reverse(mNoteNames.begin(), mNoteNames.end());
    std::reverse(mNoteFrequencies.begin(), mNoteFrequencies.end());
}

QWidget* OptionsDialog::buildMainPage()
{
    TuningWendleApplication* app = TuningWendleApplication::instance();
    const Settings& options = app->options();
    mCalibrationFrequency = options.calibrationFrequency;
    mBaseFrequency = options.baseFrequency;
    mBaseNote = options.baseNote;
    mNoteIndex = qint32(mNoteNames.indexOf(mBaseNote));
    if (mNoteIndex < 0) {
        // A hand-edited name: the three menus must name one note that exists.
        mNoteIndex = FallbackNoteIndex;
        qWarning().noquote() << QStringLiteral("Options: the 1/1 note \"%1\" is no note name; the note menus show \"%2\" "
                                               "and the option keeps its text until a note is chosen")
                                    .arg(mBaseNote, mNoteNames[mNoteIndex]);
        mBaseNote = mNoteNames[mNoteIndex];
    }

    auto page = new QWidget;
    auto grid = new QGridLayout(page);
    grid->setContentsMargins(12, 12, 12, 12);
    const auto spanning = [grid](int row, QLayout* line, Qt::Alignment align = Qt::AlignLeft) {
        grid->addLayout(line, row, 0, 1, 2, align);
    };
    const auto labelled = [](std::initializer_list<QWidget*> widgets, const QString& label = QString()) {
        auto line = new QHBoxLayout;
        if (!label.isEmpty())
            line->addWidget(new QLabel(label));
        for (QWidget* w : widgets)
            line->addWidget(w);
        return line;
    };

    mNumberOfVoicesMenu = menu("numberOfVoicesMenu");
    for (qint32 count : options.voiceCounts)
        mNumberOfVoicesMenu->addItem(QString::number(count));
    mNumberOfVoicesMenu->setCurrentText(QString::number(options.mainPatchNumberOfVoices));
    spanning(0, labelled({ mNumberOfVoicesMenu }, QStringLiteral("Maximum number of voices (restart required)")), {});

    grid->addWidget(new QLabel(QStringLiteral("Audio Device")), 1, 0);
    mAudioDeviceMenu = menu("audioDeviceMenu");
    PaAudioOutput& audio = app->audioOutput();
    mAudioDeviceMenu->addItems(audio.deviceNames());
    if (audio.selectedIndex() != -1)
        mAudioDeviceMenu->setCurrentIndex(audio.selectedIndex());
    grid->addWidget(mAudioDeviceMenu, 1, 1);

    const MidiOutput* midi = app->midiInterface().midiOutput();
    grid->addWidget(new QLabel(QStringLiteral("MIDI Output")), 2, 0);
    mMidiOutputDeviceMenu = menu("midiOutputDeviceMenu");
    mMidiOutputDeviceMenu->addItem(QLatin1String(MidiOutput::NoPortName));
    mMidiOutputDeviceMenu->addItems(midi->portNames());
    mMidiOutputDeviceMenu->setCurrentText(midi->portName());
    mMidiOutputChannelMenu = menu("midiOutputChannelMenu");
    mMidiOutputChannelMenu->addItem(QStringLiteral("MPE"));
    for (int channel = 1; channel <= 16; ++channel)
        mMidiOutputChannelMenu->addItem(QStringLiteral("MTS Ch %1").arg(channel));
    mMidiOutputChannelMenu->setCurrentIndex(midi->midiChannel() + 1);
    auto midiLine = new QHBoxLayout;
    midiLine->addWidget(mMidiOutputDeviceMenu);
    midiLine->addSpacing(8);
    midiLine->addWidget(mMidiOutputChannelMenu);
    grid->addLayout(midiLine, 2, 1);

    auto calibrationLabel = new QHBoxLayout;
    calibrationLabel->addWidget(new QLabel(QStringLiteral("Calibration")));
    calibrationLabel->addSpacing(12);
    calibrationLabel->addWidget(new QLabel(QStringLiteral("A4 =")));
    grid->addLayout(calibrationLabel, 3, 0);
    mCalibrationFreqEdit = new QDoubleSpinBox;
    mCalibrationFreqEdit->setObjectName(QStringLiteral("calibrationFreqEdit"));
    mCalibrationFreqEdit->setMaximumWidth(80);
    mCalibrationFreqEdit->setDecimals(3);
    mCalibrationFreqEdit->setRange(349.0, 499.0);
    mCalibrationFreqEdit->setValue(mCalibrationFrequency);
    mCalibrationFreqEdit->setAlignment(Qt::AlignRight);
    mCalibrationFreqEdit->setAccelerated(true);
    mCalibrationFreqEdit->setKeyboardTracking(false);
    mCalibrationFreqEdit->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    grid->addLayout(labelled({ mCalibrationFreqEdit, new QLabel(QStringLiteral("Hz")) }), 3, 1);

    auto split = checkBox(QStringLiteral("Split octaves and notes"), "splitOctavesNotes", options.oneOneMenuSplitOctaves);
    spanning(4, labelled({ split }));

    mOneOneNoteLabel = new QLabel(QStringLiteral("1/1 Note"));
    grid->addWidget(mOneOneNoteLabel, 5, 0);
    mOneOneNoteEdit = menu("oneOneNoteEdit");
    mOneOneNoteEdit->addItems(mNoteNames);
    mOneOneNoteEdit->setCurrentIndex(mNoteIndex);
    mOneOneNoteInOctaveEdit = menu("oneOneNoteInOctaveEdit");
    mOneOneOctaveEdit = menu("oneOneOctaveEdit");
    syncSplitNoteEditors();
    mCentsLabel = new QLabel(QStringLiteral("-"));
    mCentsLabel->setObjectName(QStringLiteral("centsLabel"));
    auto noteLine = new QHBoxLayout;
    noteLine->setSpacing(6);
    noteLine->addWidget(mOneOneNoteEdit);
    noteLine->addWidget(mOneOneNoteInOctaveEdit);
    noteLine->addWidget(mOneOneOctaveEdit);
    noteLine->addStretch();
    noteLine->addWidget(mCentsLabel, 1, Qt::AlignRight);
    noteLine->addWidget(new QLabel(QStringLiteral("cents")), 1, Qt::AlignLeft);
    noteLine->addSpacing(20);
    noteLine->addStretch();
    grid->addLayout(noteLine, 5, 1);
    showSplitMenus(options.oneOneMenuSplitOctaves);

    grid->addWidget(new QLabel(QStringLiteral("1/1 Frequency")), 6, 0);
    mOneOneFreqEdit = new QDoubleSpinBox;
    mOneOneFreqEdit->setObjectName(QStringLiteral("oneOneFreqEdit"));
    mOneOneFreqEdit->setDecimals(OptionsRules::longDecimals(mBaseFrequency));
    mOneOneFreqEdit->setMaximumWidth(80);
    mOneOneFreqEdit->setRange(0.0, 999999.0);
    mOneOneFreqEdit->setValue(mBaseFrequency);
    mOneOneFreqEdit->setAlignment(Qt::AlignRight);
    mOneOneFreqEdit->setAccelerated(true);
    mOneOneFreqEdit->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    mOneOneFreqDecimals = mOneOneFreqEdit->decimals();
    mOneOneFreqLast = float(mOneOneFreqEdit->value());
    grid->addLayout(labelled({ mOneOneFreqEdit, new QLabel(QStringLiteral("Hz")) }), 6, 1);
    markEqualTempered(float(mCalibrationFrequency), float(mBaseFrequency), mNoteIndex);

    auto decimals = menu("centsDisplayDecimals");
    decimals->addItems({ "0", "1", "2" });
    if (options.centsShowDecimals >= 0 && options.centsShowDecimals <= 2)
        decimals->setCurrentIndex(options.centsShowDecimals);
    spanning(7, labelled({ decimals }, QStringLiteral("Cards: Round cents display to decimals: ")));

    spanning(8, labelled({}, QStringLiteral("Glissando range (one way)")));
    mGlissOneRangeEdit = centsEdit("glissOneRangeEdit", 9600.0, double(options.glissOneRangeCents));
    mGlissTwoRangeEdit = centsEdit("glissTwoRangeEdit", 9600.0, double(options.glissTwoRangeCents));
    mGlissRangeMPEEdit = centsEdit("glissRangeMPEEdit", 9550.0, double(options.glissRangeMPECents));
    const struct { const char* label; QDoubleSpinBox* edit; } ranges[] = {
        { "G-slider ", mGlissOneRangeEdit }, { "g-slider ", mGlissTwoRangeEdit }, { "MIDI MPE limit ", mGlissRangeMPEEdit },
    };
    int row = 9;
    for (const auto& r : ranges) {
        grid->addWidget(new QLabel(QLatin1String(r.label)), row, 0, Qt::AlignRight);
        grid->addLayout(labelled({ r.edit, new QLabel(QStringLiteral("cents")) }), row++, 1);
    }

    const struct { const char* text; const char* name; bool checked; const char* slot; } checks[] = {
        { "Central node turns pale when shifting in relative mode", "centralNodePIRM", options.centralNodeColourRelativeMode,
          SLOT(onFurtherOptionsChanged2(bool)) },
        { "Maintain macro parameters when switching patches", "maintainMacros", options.maintainMacroParameters,
          SLOT(onMaintainMacrosChanged(bool)) },
        { "Wendle: Allow zoom", "allowZoom", options.wendleZoomMode >= 1, SLOT(onAllowZoomChanged(bool)) },
        { "Nodes: Soft reset", "softNodeReset", options.softNodeReset, SLOT(onSoftNodeResetChanged(bool)) },
    };
    for (const auto& c : checks) {
        auto box = checkBox(QLatin1String(c.text), c.name, c.checked);
        spanning(row++, labelled({ box }));
        connect(box, SIGNAL(clicked(bool)), this, c.slot);
    }
    connect(split, SIGNAL(clicked(bool)), this, SLOT(onFurtherOptionsChanged5(bool)));

    connect(mNumberOfVoicesMenu, &QComboBox::activated, this, &OptionsDialog::onMainPatchNumberOfVoicesMenuActivated);
    connect(mAudioDeviceMenu, &QComboBox::activated, this, &OptionsDialog::onAudioDeviceMenuActivated);
    connect(mMidiOutputDeviceMenu, &QComboBox::activated, this, &OptionsDialog::onMidiOutputDeviceMenuActivated);
    connect(mMidiOutputChannelMenu, &QComboBox::activated, this, &OptionsDialog::onMidiOutputChannelMenuActivated);
    connect(mCalibrationFreqEdit, &QDoubleSpinBox::valueChanged, this, &OptionsDialog::onCalibrationFreqEditValueChanged);
    for (QComboBox* note : { mOneOneNoteEdit, mOneOneNoteInOctaveEdit, mOneOneOctaveEdit })
        connect(note, &QComboBox::activated, this, &OptionsDialog::onOneOneNoteChanged);
    connect(mOneOneFreqEdit, &QDoubleSpinBox::valueChanged, this, &OptionsDialog::onOneOneFreqEditValueChanged);
    connect(mOneOneFreqEdit, &QDoubleSpinBox::editingFinished, this, &OptionsDialog::onOneOneFreqEditEditingFinished);
    connect(decimals, &QComboBox::activated, this, &OptionsDialog::onCentsShowDecimalsChanged);
    connect(mGlissOneRangeEdit, &QDoubleSpinBox::valueChanged, this, &OptionsDialog::onGlissOneRangeChanged);
    connect(mGlissTwoRangeEdit, &QDoubleSpinBox::valueChanged, this, &OptionsDialog::onGlissTwoRangeChanged);
    connect(mGlissRangeMPEEdit, &QDoubleSpinBox::valueChanged, this, &OptionsDialog::onGlissRangeMPEChanged);
    return page;
}

QWidget* OptionsDialog::buildUpdatePage()
{
    const Settings& options = TuningWendleApplication::instance()->options();
    auto page = new QWidget;
    auto column = new QVBoxLayout(page);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(12);
    column->addWidget(new QLabel(QStringLiteral("The current version is: ") + QLatin1String(Version)));

    auto intervalLine = new QHBoxLayout;
    intervalLine->setSpacing(0);
    auto intervalLabel = new QLabel(QStringLiteral("Check for updates automatically at startup:"));
    intervalLabel->setWordWrap(true);
    intervalLabel->setMinimumWidth(300);
    intervalLine->addWidget(intervalLabel);
    mUpdateIntervalBox = menu("updateIntervalBox");
    mUpdateIntervalBox->addItems(mUpdateIntervals);
    // A stored interval outside the menu leaves it without a current entry.
    mUpdateIntervalBox->setCurrentIndex(options.updateCheckInterval);
    intervalLine->addWidget(mUpdateIntervalBox);
    intervalLine->addStretch();
    column->addLayout(intervalLine);
    column->addStretch();

    auto buttonLine = new QHBoxLayout;
    buttonLine->setSpacing(0);
    mUpdateCheckButton = new QPushButton(QStringLiteral("Search for updates now ..."));
    mUpdateCheckButton->setObjectName(QStringLiteral("updateCheckButton"));
    mUpdateCheckButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    keepCaptionCase(mUpdateCheckButton);
    buttonLine->addWidget(mUpdateCheckButton, 0, Qt::AlignHCenter);
    column->addLayout(buttonLine);

    connect(mUpdateIntervalBox, &QComboBox::activated, this, &OptionsDialog::onUpdateCheckFrequencyActivated);
    connect(mUpdateCheckButton, &QPushButton::clicked, this, &OptionsDialog::onUpdateButtonClicked, Qt::DirectConnection);
    return page;
}

QWidget* OptionsDialog::buildAboutPage()
{
    auto page = new QWidget;
    auto column = new QVBoxLayout(page);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(12);
    QFile file(QStringLiteral(":/about.html"));
    QString text;
    if (file.open(QIODevice::ReadOnly))
        text = QString::fromUtf8(file.readAll()).replace(QStringLiteral("<version>"), QLatin1String(Version));
    else
        qWarning() << "Options: the about text" << file.fileName() << "could not be read";
    auto about = new QLabel(text);
    about->setTextFormat(Qt::RichText);
    about->setOpenExternalLinks(true);
    about->setWordWrap(true);
    column->addWidget(about);
    column->addStretch();
    return page;
}

void OptionsDialog::showSplitMenus(bool split)
{
    mOneOneNoteEdit->setVisible(!split);
    mOneOneNoteInOctaveEdit->setVisible(split);
    mOneOneOctaveEdit->setVisible(split);
}

void OptionsDialog::syncSplitNoteEditors()
{
    mOneOneOctaveEdit->clear();
    mOneOneNoteInOctaveEdit->clear();
    const QStringList parts = mBaseNote.split(QLatin1Char(' '));
    const QString note = parts.value(0);
    const QString octave = parts.value(1);
    mOneOneOctaveEdit->addItems(mOctaves);
    mOneOneOctaveEdit->setCurrentText(octave);
    // The table starts at A0 and ends at A8.
    QStringList notes = mNotesInOctave;
    if (octave == QLatin1String("0"))
        notes = notes.mid(0, notes.lastIndexOf(QStringLiteral("A")) + 1);
    else if (octave == QLatin1String("8"))
        notes = notes.mid(notes.indexOf(QStringLiteral("A")));
    mOneOneNoteInOctaveEdit->addItems(notes);
    mOneOneNoteInOctaveEdit->setCurrentText(note);
}
