// The patch menu and patch loading: the chosen voice patch is copied over
// the one the main patch uses, and the engine reopens the main patch.
#include "MainWindow.h"

#include "PdPlayer.h"
#include "TuningWendleApplication.h"
#include "ui_MainWindow.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

QString MainWindow::patchFolder()
{
    return TuningWendleApplication::configDir() + QStringLiteral("/patch");
}

QString MainWindow::voicePatchTarget()
{
    return patchFolder() + QStringLiteral("/wendle_voice.pd");
}

void MainWindow::fillPatchMenu()
{
    const QString folder = TuningWendleApplication::programDir() + QStringLiteral("/patches");
    const QStringList files = QDir(folder).entryList(QDir::Files, QDir::Name);
    if (files.isEmpty())
        qCritical() << "Found no presets in patch dir" << folder;
    for (const QString& name : files)
        addPatchToMenu(folder + QLatin1Char('/') + name);

    const QString preferred = TuningWendleApplication::instance()->options().defaultPatch;
    if (!preferred.isEmpty() && QFileInfo::exists(folder + QLatin1Char('/') + preferred)) {
        loadPatch(folder + QLatin1Char('/') + preferred);
        return;
    }
    qWarning() << "No default patch name found, use Sine.";
    if (QFileInfo::exists(folder + QStringLiteral("/Sine.pd"))) {
        loadPatch(folder + QStringLiteral("/Sine.pd"));
        return;
    }
    qWarning() << "Sine patch not found, set None loaded.";
    setPatchMenuNoneLoaded(true);
}

void MainWindow::addPatchToMenu(const QString& path)
{
    const QString abs = QFileInfo(path).absoluteFilePath();
    QString text = abs.mid(abs.lastIndexOf(QLatin1Char('/')) + 1);
    if (text.endsWith(QLatin1String(".pd")))
        text.chop(3);
    if (mUi->patchMenu->findData(abs) < 0)
        mUi->patchMenu->addItem(text, abs);
}

void MainWindow::setPatchMenuNoneLoaded(bool on)
{
    QComboBox* menu = mUi->patchMenu;
    const int none = menu->findText(QLatin1String(NoneLoaded));
    if (on) {
        if (none < 0)
            menu->addItem(QLatin1String(NoneLoaded), QString());
        menu->setCurrentIndex(menu->count() - 1);
    } else if (none >= 0) {
        menu->removeItem(none);
    }
}

bool MainWindow::loadPatch(const QString& path)
{
    if (path.isEmpty())
        return false;
    if (loadPatchOnce(path))
        return true;
    const QString abs = QFileInfo(path).absoluteFilePath();
    QMessageBox::critical(this, TuningWendleApplication::applicationName(),
                          QStringLiteral("Failed to load patch %1.").arg(abs));
    // The engine has no patch now: the entry shown must be what plays, so the
    // last good patch is loaded again, once.
    QComboBox* menu = mUi->patchMenu;
    if (mCurrentPatchIndex != -1 && mCurrentPatchIndex < menu->count()) {
        menu->setCurrentIndex(mCurrentPatchIndex);
        const QString good = menu->itemData(mCurrentPatchIndex).toString();
        if (good != abs && loadPatchOnce(good))
            return false;
        qCritical().noquote() << QStringLiteral("The last good patch %1 did not load again either").arg(good);
    }
    mCurrentPatchIndex = -1;
    setPatchMenuNoneLoaded(true);
    return false;
}

bool MainWindow::loadPatchOnce(const QString& path)
{
    const QString abs = QFileInfo(path).absoluteFilePath();
    qWarning() << "Loading voice patch" << abs;
    PdPlayer& engine = TuningWendleApplication::instance()->engine();
    engine.unloadPatch();

    const QString target = voicePatchTarget();
    // Choosing the voice patch in place would delete it before it is copied.
    const QString canonical = QFileInfo(abs).canonicalFilePath();
    if (canonical.isEmpty() || canonical != QFileInfo(target).canonicalFilePath()) {
        if (QFileInfo::exists(target) && !QFile::remove(target)) {
            qCritical() << "Failed to delete" << target;
            return false;
        }
        if (!QFile::copy(abs, target)) {
            qCritical() << "Failed to copy" << abs << "to the runtime patch location" << target;
            return false;
        }
    }

    qDebug() << "PdPlayer::loadPatch A";
    engine.unloadPatch();
    if (!engine.loadPendingPatch(patchFolder(), QStringLiteral("wendle_main.pd"))) {
        qCritical() << "Failed to load" << abs << "after copying in voice" << target;
        return false;
    }

    // A patch opens silent and at its own macro values: it gets the window's.
    on_volumeSlider_valueChanged(mUi->volumeSlider->value());
    const QSlider* sliders[] = { mUi->macroSlider1, mUi->macroSlider2, mUi->macroSlider3, mUi->macroSlider4,
                                 mUi->macroSlider5, mUi->macroSlider6, mUi->macroSlider7, mUi->macroSlider8 };
    for (int k = 0; k < 8; ++k)
        sendMacroValue(k, float(sliders[k]->value()));

    qWarning() << "Voice patch loaded:" << abs;
    setPatchMenuNoneLoaded(false);
    addPatchToMenu(abs);
    mCurrentPatchIndex = mUi->patchMenu->findData(abs);
    mUi->patchMenu->setCurrentIndex(mCurrentPatchIndex);
    TuningWendleApplication::instance()->options().defaultPatch = mUi->patchMenu->currentText() + QStringLiteral(".pd");
    return true;
}

void MainWindow::on_patchMenu_activated(int index)
{
    loadPatch(mUi->patchMenu->itemData(index).toString());
}

void MainWindow::patch_by_Index(int index)
{
    on_patchMenu_activated(index);
}

void MainWindow::stepPatch(int by)
{
    QComboBox* menu = mUi->patchMenu;
    const int count = menu->count();
    if (count == 0)
        return;
    const int index = (menu->currentIndex() + count + by) % count;
    menu->setCurrentIndex(index);
    loadPatch(menu->itemData(index).toString());
}

void MainWindow::on_patchDecButton_clicked()
{
    stepPatch(-1);
}

void MainWindow::on_patchIncButton_clicked()
{
    stepPatch(1);
}

void MainWindow::onPatchDecRequested()
{
    stepPatch(-1);
}

void MainWindow::onPatchIncRequested()
{
    stepPatch(1);
}

void MainWindow::on_loadPatchButton_clicked()
{
    Settings& options = TuningWendleApplication::instance()->options();
    const QString file = QFileDialog::getOpenFileName(this, tr("Open Patch"), options.lastBrowsedPatchPath,
                                                      tr("PD Patches (*.pd)"));
    if (file.isEmpty())
        return;
    options.lastBrowsedPatchPath = QFileInfo(file).absolutePath();
    loadPatch(file);
}
