#include "MainWindow.h"

#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "DiagnosticsDialog.h"
#include "EngineCommandType.h"
#include "NodeStackWidget.h"
#include "OptionsDialog.h"
#include "TuningWendleApplication.h"
#include "TweakConstants.h"
#include "TweakDialog.h"
#include "UpdateDialog.h"
#include "Wendle.h"
#include "WendleBallWidget.h"
#include "WendleLayer.h"
#include "WendleView.h"
#include "WendleWidget.h"
#include "ui_MainWindow.h"

#include <QDateTime>
#include <QDebug>
#include <QFontMetrics>
#include <QIcon>
#include <QKeyEvent>
#include <QScreen>
#include <algorithm>
#include <cmath>

namespace {

void post(const WendleEvent& event)
{
    TuningWendleApplication::instance()->engine().guiCommandBuffer().post(&event);
}

// Frequencies in the readout keep six or so significant digits.
QString frequencyText(float hz)
{
    const int decimals = hz >= 10000 ? 1 : hz >= 1000 ? 2 : hz >= 100 ? 3 : hz >= 10 ? 4 : 5;
    return QString::number(double(hz), 'f', decimals);
}

} // namespace

MainWindow::MainWindow(Wendle* lattice)
    : QMainWindow(nullptr)
    , mUi(new Ui::MainWindow)
    , mLattice(lattice)
    , mStopAllEvent(AllNotesOff, 1.0f)
    , mNotesOffEvent(AllNotesOffExceptHeld, 1.0f)
    , mDeselectAllEvent(DeselectAll, 1.0f)
{
    mUi->setupUi(this);
    setWindowTitle(QStringLiteral("Drovane Tuning Wendle 2"));

    mUi->patchDecButton->setIcon(QIcon(QStringLiteral(":/arrowleft.png")));
    mUi->presetDecButton->setIcon(QIcon(QStringLiteral(":/arrowleft.png")));
    mUi->patchIncButton->setIcon(QIcon(QStringLiteral(":/arrowright.png")));
    mUi->presetIncButton->setIcon(QIcon(QStringLiteral(":/arrowright.png")));
    mUi->chordStorageUpButton->setIcon(QIcon(QStringLiteral(":/arrowup.png")));
    mUi->chordStorageDownButton->setIcon(QIcon(QStringLiteral(":/arrowdown.png")));
    setButtons();
    mUi->optionsButton->setIcon(QIcon(QStringLiteral(":/cog.png")));
    mUi->optionsVolumeLayout->setAlignment(mUi->volumeSlider, Qt::AlignHCenter);
    mUi->optionsGlissLayout->setAlignment(mUi->glissSliderSmall, Qt::AlignHCenter);

    // The chord and gliss tools keep their captions as written.
    for (QWidget* w : widgets({ "chordAdditiveRecallButton", "chordAlternatingRecallButton", "chordClearAllButton",
                                "chordClearButton", "chordStoreToButton", "chordHoldButton", "chordIncludeMacrosButton",
                                "glissButton", "glissFineButton", "glissResetButton" })) {
        QFont f = w->font();
        f.setCapitalization(QFont::MixedCase);
        w->setFont(f);
    }
    mUi->optionsGlissLayout->setSpacing(0);
    for (QWidget* w : widgets({ "chordIncludeMacrosButton", "glissLabel", "glissSliderSmall", "glissSliderBig",
                                "glissFineSliderBig", "glissCLineLeft", "glissCLineCenter", "glissCLineRight" }))
        w->hide();

    setUpTransposeRow();

    Settings& options = TuningWendleApplication::instance()->options();
    mUi->circleLayer->setup(0, lattice);
    mUi->grapeLayer->setup(1, lattice);
    mUi->centralStack->setCurrentIndex(1 - int(options.circlesView));

    mViewLinkLabel = new QLabel(mUi->centralWidget);
    mViewLinkLabel->setTextFormat(Qt::RichText);
    mViewLinkLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    mViewLinkLabel->setText(QStringLiteral(
        "<style type='text/css'>a { text-decoration: none; font-size: 12px; }a:link { color: #b4b4aa; }"
        "a:hover { color: #c4c4ba; }</style><a href='grapes'>Grapes</a>  |  <a href='circles'>Flowers</a>"));
    mViewLinkLabel->adjustSize();
    mViewLinkLabel->setVisible(false);
    mDisplayLinkLabel = new QLabel(mUi->centralWidget);
    mDisplayLinkLabel->setTextFormat(Qt::RichText);
    mDisplayLinkLabel->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    mDisplayLinkLabel->setText(QStringLiteral(
        "<style type='text/css'>a { text-decoration: none; }a:link { color: #b4b4aa; }a:hover { color: #c4c4ba; }</style>"
        "<a href='absolute'>Absolute</a> | <a href='relative'>Relative</a> | <a href='absolute2'>Absolute B</a>"));
    mDisplayLinkLabel->setFixedWidth(240);
    mDisplayLinkLabel->move(108, 148);
    mDisplayLinkLabel->setVisible(false);
    for (QWidget* w : widgets({ "presetDecButton", "presetIncButton", "presetMenu", "savePresetButton" }))
        w->hide();

    connect(mViewLinkLabel, SIGNAL(linkActivated(QString)), this, SLOT(onSwitcherClicked(QString)), Qt::DirectConnection);
    connect(mDisplayLinkLabel, SIGNAL(linkActivated(QString)), this, SLOT(onAbsRelSwitcherClicked(QString)),
            Qt::DirectConnection);
    connect(lattice, SIGNAL(transposeOrBaseFrequencyChanged()), this, SLOT(onTransposeChanged()), Qt::DirectConnection);

    PdPlayer* engine = &TuningWendleApplication::instance()->engine();
    connect(engine, SIGNAL(volumeChanged(float)), this, SLOT(onVolumeChanged(float)), Qt::QueuedConnection);
    // A patch names its own starting macros; the sliders follow what the engine takes.
    connect(engine, SIGNAL(macroValueChanged(int, float)), this, SLOT(onMacroValueChanged(int, float)), Qt::QueuedConnection);
    connect(engine, SIGNAL(macroDefaultsReceived(QList<float>)), this, SLOT(onMacroDefaultsReceived(QList<float>)),
            Qt::QueuedConnection);
    connect(engine, SIGNAL(patchDecRequested()), this, SLOT(onPatchDecRequested()), Qt::QueuedConnection);
    connect(engine, SIGNAL(patchIncRequested()), this, SLOT(onPatchIncRequested()), Qt::QueuedConnection);
    setUpControls();

    fillPatchMenu();
    onTransposeChanged();

    // The tweak dialog is never shown; the diagnostics collect from now on,
    // and start-up shows them when the command line chose what they collect.
    mDiagnosticsDialog = new DiagnosticsDialog(this);
    mTweakDialog = new TweakDialog(this);
    mOptionsDialog = new OptionsDialog(this);
    for (const TweakConstant& t : tweakConstants())
        mTweakDialog->addTweak(QLatin1String(t.name), t.value);

    // The start-up update check; the option records only checks that were started.
    const QDateTime now = QDateTime::currentDateTime();
    if (UpdateDialog::isCheckDue(options.updateCheckInterval, options.tSysLastUpdateCheck, now)) {
        UpdateDialog::startCheck(this, false);
        options.tSysLastUpdateCheck = now.toString(Qt::TextDate);
    }
    setUpChordControls();

    activateWindow();
    setFocusPolicy(Qt::StrongFocus);
    setFocus();

    for (QWidget* w : widgets({ "toggleModeButton", "shiftModeButton", "removeModeButton", "testingOptions",
                                "selectApplyModeButton", "chordStorageUpButton", "chordStorageDownButton",
                                "chordWindowButton", "chordSequencerWindowButton" }))
        w->hide();
    for (int i = 1; i <= 20; ++i)
        mChordButtons << findChild<QPushButton*>(QStringLiteral("chordButton_%1").arg(i, 2, 10, QLatin1Char('0')));
}

MainWindow::~MainWindow()
{
    delete mUi;
}

void MainWindow::showDiagnostics()
{
    // Beside the window, on the side with room (else with more room) and kept
    // on the screen: over the lattice it would hide the balls being played.
    const QRect frame = frameGeometry();
    const QRect area = screen()->availableGeometry();
    const QSize size = mDiagnosticsDialog->frameGeometry().size();
    const int roomRight = area.right() - frame.right();
    const int roomLeft = frame.left() - area.left();
    int x = roomRight >= size.width() || roomRight >= roomLeft ? frame.right() + 1 : frame.left() - size.width();
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() + 1 - size.width()));
    const int y = std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() + 1 - size.height()));
    mDiagnosticsDialog->move(x, y);
    // The keyboard plays the lattice: the main window stays the active one.
    mDiagnosticsDialog->setAttribute(Qt::WA_ShowWithoutActivating);
    mDiagnosticsDialog->show();
}

QList<QWidget*> MainWindow::widgets(std::initializer_list<const char*> names) const
{
    QList<QWidget*> out;
    for (const char* name : names) {
        if (QWidget* w = findChild<QWidget*>(QLatin1String(name)))
            out << w;
    }
    return out;
}

WendleLayer* MainWindow::currentPage() const
{
    return static_cast<WendleLayer*>(mUi->centralStack->currentWidget());
}

WendleLayer* MainWindow::page(int index) const
{
    return index == 0 ? mUi->circleLayer : mUi->grapeLayer;
}

OptionsDialog* MainWindow::optionsDialog() const
{
    return mOptionsDialog;
}

void MainWindow::on_optionsButton_clicked()
{
    if (mOptionsDialog && mOptionsDialog->isVisible()) {
        mOptionsDialogPos = mOptionsDialog->pos();
        mOptionsDialog->close();
        return;
    }
    // Every opening shows the options as they stand now.
    delete mOptionsDialog;
    mOptionsDialog = new OptionsDialog(this);
    if (!mOptionsDialogPos.isNull())
        mOptionsDialog->move(mOptionsDialogPos);
    mOptionsDialog->show();
}

bool MainWindow::event(QEvent* event)
{
    // Ctrl+comma opens and closes the options like their button.
    if (event->type() == QEvent::KeyPress) {
        const auto key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Comma && key->modifiers() == Qt::ControlModifier) {
            on_optionsButton_clicked();
            return true;
        }
    }
    return QMainWindow::event(event);
}

int MainWindow::currentMode() const
{
    const WendleWidget* drawing = currentPage()->view()->rootGroup();
    return drawing ? drawing->mode : mUi->centralStack->currentIndex();
}

void MainWindow::setButtons()
{
    const Settings& options = TuningWendleApplication::instance()->options();
    mUi->normalizeRatiosButton->setChecked(options.ratiosWithinOctave);
    if (options.toneBudNotation == 1 || options.toneBudNotation == 2) {
        mUi->tonebudColourButton->setChecked(options.toneBudNotation == 1);
        mUi->tonebudBWButton->setChecked(options.toneBudNotation == 2);
    } else if (options.toneBudNotation == 0) {
        mUi->tonebudColourButton->setChecked(false);
        mUi->tonebudBWButton->setChecked(false);
    }
    mUi->absoluteModeButton->setChecked(options.absRelView != 0);
    mUi->relativeModeButton->setChecked(options.absRelView == 0);
    mUi->circlesViewButton->setChecked(options.circlesView);
    mUi->grapesViewButton->setChecked(!options.circlesView);
}

void MainWindow::updateAllViews()
{
    WendleLayer* page = currentPage();
    if (const WendleWidget* drawing = page->view()->rootGroup()) {
        for (WendleBallWidget* ball : drawing->ballWidgets)
            ball->updateLook();
    }
    // Cards and free balls are built once: a new transposition or display
    // option shows only in new ones.
    page->cardStack()->rebuildCards();
    page->nodeStack()->syncNodes();
    page->cardStackTwo()->rebuildCards();
}

void MainWindow::applyViewScale()
{
    WendleLayer* page = currentPage();
    WendleView* view = page->view();
    view->setPinchBaseScale(view->fitScale());
    view->setTransform(QTransform::fromScale(view->fitScale(), view->fitScale()));
    page->cardStack()->updatePositions();
    page->nodeStack()->updatePositions();
    page->cardStackTwo()->updatePositions();
    const qint32 zoom = TuningWendleApplication::instance()->options().wendleZoomMode;
    if (zoom < 0) {
        view->setZoomEnabled(true);
        view->setStepThreshold(-zoom);
    } else if (zoom == 0) {
        view->setZoomEnabled(false);
    } else {
        view->setZoomEnabled(true);
        view->setZoomMode(zoom);
    }
}

void MainWindow::onSwitcherClicked(QString link)
{
    Settings& options = TuningWendleApplication::instance()->options();
    if (link == QLatin1String("circles")) {
        mUi->centralStack->setCurrentIndex(0);
        options.circlesView = true;
    } else if (link == QLatin1String("grapes")) {
        mUi->centralStack->setCurrentIndex(1);
        options.circlesView = false;
    }
    setButtons();
    updateAllViews();
}

void MainWindow::onAbsRelSwitcherClicked(QString link)
{
    Settings& options = TuningWendleApplication::instance()->options();
    if (link == QLatin1String("absolute"))
        options.absRelView = 1;
    else if (link == QLatin1String("absolute2"))
        options.absRelView = 2;
    else if (link == QLatin1String("relative"))
        options.absRelView = 0;
    setButtons();
    updateAllViews();
}

void MainWindow::on_grapesViewButton_clicked()
{
    onSwitcherClicked(QStringLiteral("grapes"));
}

void MainWindow::on_circlesViewButton_clicked()
{
    onSwitcherClicked(QStringLiteral("circles"));
}

void MainWindow::on_absoluteModeButton_clicked()
{
    onAbsRelSwitcherClicked(QStringLiteral("absolute"));
}

void MainWindow::on_relativeModeButton_clicked()
{
    onAbsRelSwitcherClicked(QStringLiteral("relative"));
}

void MainWindow::on_normalizeRatiosButton_clicked()
{
    TuningWendleApplication::instance()->options().ratiosWithinOctave = mUi->normalizeRatiosButton->isChecked();
    updateAllViews();
}

void MainWindow::on_tonebudColourButton_clicked()
{
    TuningWendleApplication::instance()->options().toneBudNotation = mUi->tonebudColourButton->isChecked() ? 1 : 0;
    mUi->tonebudBWButton->setChecked(false);
    updateAllViews();
}

void MainWindow::on_tonebudBWButton_clicked()
{
    TuningWendleApplication::instance()->options().toneBudNotation = mUi->tonebudBWButton->isChecked() ? 2 : 0;
    mUi->tonebudColourButton->setChecked(false);
    updateAllViews();
}

void MainWindow::on_expandWendleButton_clicked()
{
    const bool collapse = mUi->topFrame->isVisible();
    mUi->topFrame->setVisible(!collapse);
    mUi->circleLayer->setStacksVisible(!collapse);
    mUi->grapeLayer->setStacksVisible(!collapse);
    mUi->expandWendleButton->setText(collapse ? QStringLiteral("> <") : QStringLiteral("< >"));
}

void MainWindow::on_stopAllButton_clicked()
{
    post(mStopAllEvent);
}

void MainWindow::onTransposeChanged()
{
    QStringList steps;
    for (int s : mLattice->transpositionPath())
        steps << QString::number(s);
    const QString stepsText = QLatin1Char('/') + steps.join(QLatin1Char('/'));
    const QString prefix = QStringLiteral("Shifted prime steps: ");
    const QFontMetrics metrics(font());
    mUi->infoLabel1->setText(prefix
                             + metrics.elidedText(stepsText, Qt::ElideMiddle,
                                                  mUi->infoLabel1->width() - metrics.horizontalAdvance(prefix)));

    const WendleRatio& t = mLattice->transpositionRatio;
    const float base = mLattice->baseFrequency;
    const float central = float(t.numerator()) / float(t.denominator()) * base;
    if (central == base) {
        mUi->infoLabel2->setText(QStringLiteral("Frequency of central node [= 1/1 Frequency]: %1 Hz").arg(frequencyText(central)));
    } else {
        mUi->infoLabel2->setText(QStringLiteral("Frequency of central node: %1 Hz").arg(frequencyText(central))
                                 + QString(8, QLatin1Char(' '))
                                 + QStringLiteral("1/1 Frequency: %1 Hz").arg(frequencyText(base)));
    }
    qDebug() << "Infotext: Transposed Freq, base frequency " << central << base;
    updateAllViews();
}
