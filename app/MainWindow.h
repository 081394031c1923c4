#pragma once

#include "WendleEvent.h"

#include <QList>
#include <QMainWindow>
#include <QString>

class QLabel;
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

private:
    void fillPatchMenu();
    void stepPatch(int by);
    bool loadPatchOnce(const QString& path);
    void disableControlsToCome();
    QList<QWidget*> widgets(std::initializer_list<const char*> names) const;

    Ui::MainWindow* mUi;
    Wendle* mLattice;
    QLabel* mViewLinkLabel = nullptr;
    QLabel* mDisplayLinkLabel = nullptr;
    qint32 mCurrentPatchIndex = -1;
    QList<float> mMacroDefaults;
    const WendleEvent mStopAllEvent;
};
