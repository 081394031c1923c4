// The chord controls: twenty slot buttons in two rows, the clear, store,
// recall and hold modes, and the banks (folders) and sets (".lmpr" files)
// that keep whole stores on disk.
#include "MainWindow.h"

#include "EngineCommandType.h"
#include "StoreAndRecall.h"
#include "TuningWendleApplication.h"
#include "ui_MainWindow.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>

namespace {

const QString NewBank = QStringLiteral("-- create new bank --");
const QString RemoveBank = QStringLiteral("-- remove last chosen bank --");
const QString NewSet = QStringLiteral("-- create new preset --");
const QString RemoveSet = QStringLiteral("-- remove last chosen preset --");
const QString SetSuffix = QStringLiteral(".lmpr");

} // namespace

StoreAndRecall& MainWindow::chordStore()
{
    return TuningWendleApplication::instance()->chordStore();
}

void MainWindow::setUpChordControls()
{
    mTransposeRow = 1;
    mUi->transposeWidget->highlight(mTransposeRow, true);
    repopulateChordBankMenu();
}

void MainWindow::showBox(const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
    box.exec();
}

bool MainWindow::ask(const QString& title, const QString& text)
{
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

// ---------------------------------------------------------------- slots

void MainWindow::refreshChordButtons()
{
    for (int n = StoreAndRecall::FirstButtonSlot; n <= StoreAndRecall::LastButtonSlot; ++n)
        setChordButton(n, !chordStore().isSlotEmpty(n));
}

void MainWindow::setChordButton(int n, bool checked)
{
    if (n >= 1 && n <= int(mChordButtons.size()) && mChordButtons[n - 1])
        mChordButtons[n - 1]->setChecked(checked);
}

void MainWindow::clearAllChordButtons()
{
    chordStore().chords.clear();
    refreshChordButtons();
}

void MainWindow::on_chordClearAllButton_clicked()
{
    StoreAndRecall& store = chordStore();
    bool any = false;
    for (int n = 0; n <= StoreAndRecall::LastButtonSlot; ++n)
        any = any || !store.isSlotEmpty(n);
    if (any && ask(QString(), QStringLiteral("Clear all memory?")))
        clearAllChordButtons();
}

void MainWindow::chordButtonClicked(int n)
{
    if (n < StoreAndRecall::FirstButtonSlot || n > StoreAndRecall::LastButtonSlot)
        return;
    StoreAndRecall& store = chordStore();
    if (mUi->chordClearButton->isChecked()) {
        store.chords.remove(n);
        setChordButton(n, false);
        return;
    }
    if (mUi->chordStoreToButton->isChecked()) {
        if (store.soundingRatios().isEmpty())
            showBox(QStringLiteral("Nothing to be stored!"));
        else if (store.isSlotEmpty(n) || ask(QString(), QStringLiteral("Replace?")))
            store.store(n);
        setChordButton(n, !store.isSlotEmpty(n));
        return;
    }
    if (store.isSlotEmpty(n)) {
        setChordButton(n, false);
        return;
    }
    const int mode = mUi->chordAdditiveRecallButton->isChecked() ? 1 : mUi->chordAlternatingRecallButton->isChecked() ? 2 : 0;
    if (TuningWendleApplication::instance()->options().monophonic && store.chords.value(n).size() > 1
        && ask(QStringLiteral("Monophonic"),
               QStringLiteral("We are in monophonic mode but you are recalling more than one note. Switch to polyphonic?"))) {
        mUi->monoButton->setChecked(false);
        mUi->polyButton->setChecked(true);
        on_polyButton_clicked();
    }
    store.recall(n, mode);
    postToEngine(WendleEvent(NodesRecalled, 1.0f));
    setChordButton(n, true);
}

void MainWindow::overrideChordButtonStorage(int n)
{
    if (n < StoreAndRecall::FirstButtonSlot || n > StoreAndRecall::LastButtonSlot)
        return;
    StoreAndRecall& store = chordStore();
    // As in store mode, silence never wipes a chord.
    if (store.soundingRatios().isEmpty())
        qDebug() << "Nothing sounds: chord" << n << "kept";
    else
        store.store(n);
    setChordButton(n, !store.isSlotEmpty(n));
}

void MainWindow::on_chordRowButton_01_clicked()
{
    mUi->chordRowButton_01->setChecked(true);
    mUi->chordRowButton_02->setChecked(false);
    mChordRow = 0;
}

void MainWindow::on_chordRowButton_02_clicked()
{
    mUi->chordRowButton_01->setChecked(false);
    mUi->chordRowButton_02->setChecked(true);
    mChordRow = 1;
}

void MainWindow::on_chordClearButton_clicked()
{
    if (mUi->chordClearButton->isChecked())
        mUi->chordStoreToButton->setChecked(false);
}

void MainWindow::on_chordStoreToButton_clicked()
{
    if (mUi->chordStoreToButton->isChecked())
        mUi->chordClearButton->setChecked(false);
}

void MainWindow::on_chordAdditiveRecallButton_clicked()
{
    if (mUi->chordAdditiveRecallButton->isChecked())
        mUi->chordAlternatingRecallButton->setChecked(false);
}

void MainWindow::on_chordAlternatingRecallButton_clicked()
{
    if (mUi->chordAlternatingRecallButton->isChecked())
        mUi->chordAdditiveRecallButton->setChecked(false);
}

void MainWindow::on_chordHoldButton_clicked()
{
    postToEngine(WendleEvent(SetHold, mUi->chordHoldButton->isChecked() ? 1.0f : 0.0f));
    if (chordStore().soundingRatios().isEmpty())
        mUi->chordHoldButton->setChecked(false);
}

void MainWindow::on_chordButton_01_clicked() { chordButtonClicked(1); }
void MainWindow::on_chordButton_02_clicked() { chordButtonClicked(2); }
void MainWindow::on_chordButton_03_clicked() { chordButtonClicked(3); }
void MainWindow::on_chordButton_04_clicked() { chordButtonClicked(4); }
void MainWindow::on_chordButton_05_clicked() { chordButtonClicked(5); }
void MainWindow::on_chordButton_06_clicked() { chordButtonClicked(6); }
void MainWindow::on_chordButton_07_clicked() { chordButtonClicked(7); }
void MainWindow::on_chordButton_08_clicked() { chordButtonClicked(8); }
void MainWindow::on_chordButton_09_clicked() { chordButtonClicked(9); }
void MainWindow::on_chordButton_10_clicked() { chordButtonClicked(10); }
void MainWindow::on_chordButton_11_clicked() { chordButtonClicked(11); }
void MainWindow::on_chordButton_12_clicked() { chordButtonClicked(12); }
void MainWindow::on_chordButton_13_clicked() { chordButtonClicked(13); }
void MainWindow::on_chordButton_14_clicked() { chordButtonClicked(14); }
void MainWindow::on_chordButton_15_clicked() { chordButtonClicked(15); }
void MainWindow::on_chordButton_16_clicked() { chordButtonClicked(16); }
void MainWindow::on_chordButton_17_clicked() { chordButtonClicked(17); }
void MainWindow::on_chordButton_18_clicked() { chordButtonClicked(18); }
void MainWindow::on_chordButton_19_clicked() { chordButtonClicked(19); }
void MainWindow::on_chordButton_20_clicked() { chordButtonClicked(20); }

// ---------------------------------------------------------------- banks and sets

QString MainWindow::chordFolder()
{
    const QString chosen = TuningWendleApplication::instance()->options().lastDirPath;
    return chosen.isEmpty() ? TuningWendleApplication::configDir() + QStringLiteral("/chord_presets") : chosen;
}

bool MainWindow::isSafeChordName(const QString& name)
{
    // Hidden names would never be listed; the rest would leave the folder or
    // pass for the placeholder.
    return !name.trimmed().isEmpty() && !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char('*'));
}

QString MainWindow::chosenSetPath() const
{
    if (mCurrentBank == mNoChoice || mCurrentSet == mNoChoice)
        return QString();
    return chordFolder() + QLatin1Char('/') + mCurrentBank + QLatin1Char('/') + mCurrentSet + SetSuffix;
}

void MainWindow::showBankChoice(const QString& text)
{
    mUi->saveChordBankMenu->setCurrentIndex(std::max(0, mUi->saveChordBankMenu->findText(text)));
}

void MainWindow::showSetChoice(const QString& text)
{
    mUi->saveChordSetMenu->setCurrentIndex(std::max(0, mUi->saveChordSetMenu->findText(text)));
}

void MainWindow::enableSetButtons()
{
    const bool chosen = !chosenSetPath().isEmpty();
    mUi->saveChordSetLoadButton->setEnabled(chosen);
    mUi->saveChordSetSaveButton->setEnabled(chosen);
}

void MainWindow::repopulateChordBankMenu()
{
    QComboBox* menu = mUi->saveChordBankMenu;
    menu->clear();
    menu->addItem(mNoChoice);
    for (const QString& bank : QDir(chordFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (isSafeChordName(bank))
            menu->addItem(bank);
    }
    menu->addItem(NewBank);
    menu->addItem(RemoveBank);
    repopulateChordSetMenu();
}

void MainWindow::repopulateChordSetMenu()
{
    QComboBox* menu = mUi->saveChordSetMenu;
    menu->clear();
    menu->addItem(mNoChoice);
    const QString bank = mUi->saveChordBankMenu->currentText();
    if (bank != mNoChoice && isSafeChordName(bank)) {
        const QDir folder(chordFolder() + QLatin1Char('/') + bank);
        for (const QString& file : folder.entryList({ QLatin1Char('*') + SetSuffix }, QDir::Files, QDir::Name))
            menu->addItem(file.chopped(SetSuffix.size()));
    }
    menu->addItem(NewSet);
    menu->addItem(RemoveSet);
}

void MainWindow::on_saveChordDirectoryButton_clicked()
{
    Settings& options = TuningWendleApplication::instance()->options();
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Choose Directory"), chordFolder(),
                                                             QFileDialog::ShowDirsOnly);
    if (folder.isEmpty())
        return;
    options.lastDirPath = folder;
    repopulateChordBankMenu();
    mCurrentBank = mCurrentSet = mNoChoice;
    enableSetButtons();
}

void MainWindow::on_saveChordBankMenu_activated()
{
    QComboBox* menu = mUi->saveChordBankMenu;
    const int i = menu->currentIndex();
    const int count = menu->count();
    const QString text = menu->currentText();
    if (text == mNoChoice) {
        mCurrentBank = mCurrentSet = mNoChoice;
        repopulateChordSetMenu();
    } else if (i == count - 2) {
        createBank();
    } else if (i == count - 1) {
        removeBank();
    } else if (text == mCurrentBank) {
        repopulateChordSetMenu();
        showSetChoice(mCurrentSet);
    } else {
        // A set belongs to its bank: the one chosen before is not in this one.
        mCurrentBank = text;
        mCurrentSet = mNoChoice;
        repopulateChordSetMenu();
    }
    enableSetButtons();
}

void MainWindow::createBank()
{
    qDebug() << "New bank ...";
    bool ok = false;
    const QString name = QInputDialog::getText(this, tr("New bank"), tr("Create bank with name:"), QLineEdit::Normal,
                                               QString(), &ok);
    if (!ok || name.isEmpty()) {
        showBankChoice(mCurrentBank);
        return;
    }
    const QString folder = chordFolder();
    if (!QDir(folder).exists()) {
        showBox(QStringLiteral("Error: Main directory does not exist. Please choose a directory first!"));
        showBankChoice(mCurrentBank);
        return;
    }
    if (!isSafeChordName(name) || !QDir(folder).mkdir(name)) {
        qWarning() << "Error: Failed to create new subdirectory in:" << folder << "named" << name;
        showBox(QStringLiteral("Error: Could not create bank. It might already exist or name is invalid!"));
        showBankChoice(mCurrentBank);
        return;
    }
    mCurrentBank = name;
    mCurrentSet = mNoChoice;
    repopulateChordBankMenu();
    showBankChoice(name);
    repopulateChordSetMenu();
}

void MainWindow::removeBank()
{
    if (mCurrentBank == mNoChoice || !isSafeChordName(mCurrentBank)
        || !ask(QStringLiteral("Remove bank"),
                QStringLiteral("Are you sure you want to remove bank '%1' and all containing presets? This cannot be undone!")
                    .arg(mCurrentBank))) {
        showBankChoice(mCurrentBank);
        return;
    }
    const QString path = chordFolder() + QLatin1Char('/') + mCurrentBank;
    // A bank that is a link goes alone: emptying it would empty what it points to.
    const bool removed = QFileInfo(path).isSymLink() ? QFile::remove(path) : QDir(path).removeRecursively();
    if (!removed)
        qWarning() << "Could not remove bank" << path;
    mCurrentBank = mCurrentSet = mNoChoice;
    repopulateChordBankMenu();
}

void MainWindow::on_saveChordSetMenu_activated()
{
    QComboBox* menu = mUi->saveChordSetMenu;
    const int i = menu->currentIndex();
    const int count = menu->count();
    const QString text = menu->currentText();
    // Sets are made, chosen and removed only inside a chosen bank.
    if (mUi->saveChordBankMenu->currentText() == mNoChoice || mCurrentBank == mNoChoice || text == mNoChoice) {
        showSetChoice(mNoChoice);
        mCurrentSet = mNoChoice;
    } else if (i == count - 2) {
        createSet();
    } else if (i == count - 1) {
        removeSet();
    } else {
        mCurrentSet = text;
    }
    enableSetButtons();
}

void MainWindow::createSet()
{
    qDebug() << "New preset ...";
    bool ok = false;
    const QString name = QInputDialog::getText(this, tr("New preset"), tr("Create preset with name:"),
                                               QLineEdit::Normal, QString(), &ok);
    if (!ok || name.isEmpty()) {
        showSetChoice(mCurrentSet);
        return;
    }
    const QString path = chordFolder() + QLatin1Char('/') + mCurrentBank + QLatin1Char('/') + name + SetSuffix;
    const bool safe = isSafeChordName(name);
    if (safe && QFileInfo::exists(path)) {
        showBox(QStringLiteral("Preset name already exists!"));
        showSetChoice(mCurrentSet);
        return;
    }
    QFile file(path);
    if (!safe || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qWarning() << "Error: Failed to create file:" << path;
        showBox(QStringLiteral("Error: Failed to create preset file on the disk. Name is invalid!"));
        showSetChoice(mCurrentSet.isEmpty() ? mNoChoice : mCurrentSet);
        return;
    }
    file.close();
    repopulateChordSetMenu();
    showSetChoice(name);
    mCurrentSet = name;
}

void MainWindow::removeSet()
{
    if (mCurrentSet == mNoChoice) {
        showSetChoice(mNoChoice);
        return;
    }
    if (!ask(QStringLiteral("Remove preset"),
             QStringLiteral("Are you sure you want to remove preset '%1'? This cannot be undone!").arg(mCurrentSet))) {
        showSetChoice(mCurrentSet);
        return;
    }
    const QString path = chosenSetPath();
    if (!QFile::remove(path))
        qWarning() << "Could not remove preset" << path;
    mCurrentSet = mNoChoice;
    repopulateChordSetMenu();
}

void MainWindow::on_saveChordSetLoadButton_clicked()
{
    const QString path = chosenSetPath();
    if (path.isEmpty())
        return;
    if (chordStore().loadChordFile(path))
        refreshChordButtons();
    else
        showBox(QStringLiteral("Error: Could not load preset from disk!"));
}

void MainWindow::on_saveChordSetSaveButton_clicked()
{
    const QString path = chosenSetPath();
    if (path.isEmpty())
        return;
    if (!chordStore().saveChordFile(path))
        showBox(QStringLiteral("Error: Could not safe preset to disk!"));
}
