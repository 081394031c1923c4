#pragma once

#include "WendleEvent.h"

#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <QString>

class DiagnosticsDialog;
class OptionsDialog;
class QAbstractButton;
class QLabel;
class QPushButton;
class QSlider;
class StoreAndRecall;
class TransposeWidget;
class TweakDialog;
class Wendle;
class WendleLayer;

namespace Ui {
class MainWindow;
}

// The instrument's one window: the two lattice pages, the patch menu, the
// volume and the display switches, with a readout of the transposition.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(Wendle* lattice);
    ~MainWindow() override;

    // Refreshes the look of every ball of the page shown.
    void updateAllViews();
    // Fits the page shown into its view and hands it the zoom option.
    void applyViewScale();
    WendleLayer* currentPage() const;
    // Page 0 draws circles, page 1 grapes.
    WendleLayer* page(int index) const;
    // The drawing mode of the page shown: 0 circles, 1 grapes.
    int currentMode() const;

    // --- patch menu ---
    void addPatchToMenu(const QString& path);
    void setPatchMenuNoneLoaded(bool on);
    // Copies the voice patch into place and reopens the main patch; true when it plays.
    bool loadPatch(const QString& path);
    void sendMacroValue(int k, float value);
    static QString voicePatchTarget();
    static QString patchFolder();

    static constexpr const char* NoneLoaded = "None loaded";

    // --- chords ---
    void refreshChordButtons();
    // Where the chord banks live: the option, or the configuration's "chord_presets".
    static QString chordFolder();
    // A bank or set name that stays inside the chord folder and can be listed.
    static bool isSafeChordName(const QString& name);
    TransposeWidget* transposeWidget() const;
    int transposeRow() const { return mTransposeRow; }
    int chordRow() const { return mChordRow; }
    bool altDown() const { return mAltDown; }
    const QList<QPushButton*>& chordButtons() const { return mChordButtons; }
    QString currentBank() const { return mCurrentBank; }
    QString currentSet() const { return mCurrentSet; }

    // --- dialogs ---
    OptionsDialog* optionsDialog() const;
    TweakDialog* tweakDialog() const { return mTweakDialog; }
    DiagnosticsDialog* diagnosticsDialog() const { return mDiagnosticsDialog; }
    // Shows the diagnostics window beside this one, without taking the keys from it.
    void showDiagnostics();
    QPoint optionsDialogPos() const { return mOptionsDialogPos; }
    void setOptionsDialogPos(const QPoint& pos) { mOptionsDialogPos = pos; }
    const WendleEvent& notesOffEvent() const { return mNotesOffEvent; }

public slots:
    void setButtons();
    void onSwitcherClicked(QString link);
    void onAbsRelSwitcherClicked(QString link);
    void onTransposeChanged();
    void onVolumeChanged(float vol);
    void onMacroValueChanged(int macro, float value);
    void onMacroDefaultsReceived(QList<float> defaults);
    void onPatchDecRequested();
    void onPatchIncRequested();

    // chords
    void chordButtonClicked(int n);
    void overrideChordButtonStorage(int n);
    void setChordButton(int n, bool checked);
    void clearAllChordButtons();
    void repopulateChordBankMenu();
    void repopulateChordSetMenu();

    // engine answers for the controls
    void onMonophonicChanged(bool mono);
    void onMacroNamesReceived(QStringList names);
    void onSetMacroSliders(QList<float> macros);
    void setMacroSlidersToDefault();
    void onResetGlissSliders(short which);
    void onMacroSliderValueChanged(int value);

private slots:
    void on_patchMenu_activated(int index);
    void on_patchDecButton_clicked();
    void on_patchIncButton_clicked();
    void patch_by_Index(int index);
    void on_loadPatchButton_clicked();
    void on_grapesViewButton_clicked();
    void on_circlesViewButton_clicked();
    void on_volumeSlider_valueChanged(int vol);
    void on_stopAllButton_clicked();
    void on_normalizeRatiosButton_clicked();
    void on_tonebudColourButton_clicked();
    void on_tonebudBWButton_clicked();
    void on_absoluteModeButton_clicked();
    void on_relativeModeButton_clicked();
    void on_expandWendleButton_clicked();
    void on_optionsButton_clicked();

    void on_saveChordDirectoryButton_clicked();
    void on_saveChordBankMenu_activated();
    void on_saveChordSetMenu_activated();
    void on_saveChordSetLoadButton_clicked();
    void on_saveChordSetSaveButton_clicked();
    void on_chordClearAllButton_clicked();
    void on_chordClearButton_clicked();
    void on_chordStoreToButton_clicked();
    void on_chordAdditiveRecallButton_clicked();
    void on_chordAlternatingRecallButton_clicked();
    void on_chordHoldButton_clicked();
    void on_chordRowButton_01_clicked();
    void on_chordRowButton_02_clicked();
    void on_chordButton_01_clicked();
    void on_chordButton_02_clicked();
    void on_chordButton_03_clicked();
    void on_chordButton_04_clicked();
    void on_chordButton_05_clicked();
    void on_chordButton_06_clicked();
    void on_chordButton_07_clicked();
    void on_chordButton_08_clicked();
    void on_chordButton_09_clicked();
    void on_chordButton_10_clicked();
    void on_chordButton_11_clicked();
    void on_chordButton_12_clicked();
    void on_chordButton_13_clicked();
    void on_chordButton_14_clicked();
    void on_chordButton_15_clicked();
    void on_chordButton_16_clicked();
    void on_chordButton_17_clicked();
    void on_chordButton_18_clicked();
    void on_chordButton_19_clicked();
    void on_chordButton_20_clicked();

    void on_glissSliderBig_valueChanged(int value);
    void on_glissFineSliderBig_valueChanged(int value);
    void on_glissButton_clicked();
    void on_glissFineButton_clicked();
    void on_glissResetButton_clicked();
    void on_monoButton_clicked();
    void on_polyButton_clicked();

    void on_macroSlider1_sliderReleased();
    void on_macroSlider2_sliderReleased();
    void on_macroSlider3_sliderReleased();
    void on_macroSlider4_sliderReleased();
    void on_macroSlider5_sliderReleased();
    void on_macroSlider6_sliderReleased();
    void on_macroSlider7_sliderReleased();
    void on_macroSlider8_sliderReleased();
    void on_glissFineSliderBig_sliderReleased();
    void on_glissSliderBig_sliderReleased();
    void on_volumeSlider_sliderReleased();

    void on_toggleModeButton_clicked();
    void on_shiftModeButton_clicked();
    void on_removeModeButton_clicked();
    void on_selectApplyModeButton_clicked();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fillPatchMenu();
    void stepPatch(int by);
    bool loadPatchOnce(const QString& path);
    // Constructor steps for the transpose row, the chord controls and the sliders.
    void setUpTransposeRow();
    void setUpChordControls();
    void setUpControls();
    static void postToEngine(const WendleEvent& event);
    static StoreAndRecall& chordStore();
    QList<QSlider*> macroSliders() const;
    void macroSliderReleased(int k);
    void sliderToDefault(QSlider* slider, int value);
    void setInteractionMode(QAbstractButton* clicked, qint16 mode);
    void showBox(const QString& text);
    bool ask(const QString& title, const QString& text);
    void showBankChoice(const QString& text);
    void showSetChoice(const QString& text);
    void enableSetButtons();
    // The set file of the bank and set chosen together; empty while either is "*".
    QString chosenSetPath() const;
    void createBank();
    void removeBank();
    void createSet();
    void removeSet();
    bool handleDigit(int key, Qt::KeyboardModifiers mods);
    void toggleGlissSliders();
    void stepTransposeRow(int by);
    QList<QWidget*> widgets(std::initializer_list<const char*> names) const;

    Ui::MainWindow* mUi;
    Wendle* mLattice;
    QLabel* mViewLinkLabel = nullptr;
    QLabel* mDisplayLinkLabel = nullptr;
    qint32 mCurrentPatchIndex = -1;
    QList<float> mMacroDefaults;
    const WendleEvent mStopAllEvent;
    const WendleEvent mNotesOffEvent;
    const WendleEvent mDeselectAllEvent;
    bool mGlissOneShown = false;
    bool mGlissTwoShown = false;
    qint32 mTransposeRow = 1;
    qint32 mChordRow = 0;
    QList<QPushButton*> mChordButtons;
    const QString mNoChoice = QStringLiteral("*");
    QString mCurrentBank = mNoChoice;
    QString mCurrentSet = mNoChoice;
    bool mAltDown = false;
    DiagnosticsDialog* mDiagnosticsDialog = nullptr;
    TweakDialog* mTweakDialog = nullptr;
    QPointer<OptionsDialog> mOptionsDialog;
    QPoint mOptionsDialogPos;
};
