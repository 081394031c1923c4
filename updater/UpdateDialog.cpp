#include "UpdateDialog.h"

#include "ChangelogDocument.h"
#include "UpdateManager.h"
#include "UpdatePlatform.h"
#include "Updater.h"
#include "ui_UpdateDialog.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>

UpdateDialog::UpdateDialog(QWidget* parent)
    : QMainWindow(parent)
    , mUi(new Ui::UpdateDialog)
    , mUpdater(UpdateManager::instance())
{
    mUi->setupUi(this);
    setWindowTitle(QCoreApplication::applicationName());
    // The application letters buttons in capitals by their font; these keep
    // their captions as written.
    for (QAbstractButton* button : findChildren<QAbstractButton*>()) {
        QFont font = button->font();
        font.setCapitalization(QFont::MixedCase);
        button->setFont(font);
    }
    connect(mUpdater, SIGNAL(checkingFinished(QString)), this, SLOT(updateChangelog(QString)));
    connect(mUi->resetButton, SIGNAL(clicked()), this, SLOT(resetFields()));
    connect(mUi->closeButton, SIGNAL(clicked()), this, SLOT(close()));
    connect(mUi->checkButton, SIGNAL(clicked()), this, SLOT(checkForUpdates()));
    resize(minimumSizeHint());
    resetFields();
    connect(mUpdater, SIGNAL(checkingFinished(QString)), this, SLOT(toShowOrNot(QString)));
    connect(mUpdater, SIGNAL(removeUpdateDialog()), this, SLOT(removeThis()));
}

UpdateDialog::~UpdateDialog()
{
    delete mUi;
}

UpdateDialog* UpdateDialog::startCheck(QWidget* parent, bool notifyOnFinish)
{
    auto dialog = new UpdateDialog(parent);
    Updater* updater = UpdateManager::instance()->getUpdater(UpdatePlatform::feedUrl());
    updater->setNotifyOnFinish(notifyOnFinish);
    updater->setNotifyOnUpdate(true);
    dialog->checkForUpdates();
    return dialog;
}

bool UpdateDialog::isCheckDue(qint32 interval, const QString& lastCheck, const QDateTime& now)
{
    // Never checked counts as checked a year ago.
    const QString text = lastCheck.isEmpty() ? now.addYears(-1).toString(Qt::TextDate) : lastCheck;
    const QDateTime last = QDateTime::fromString(text, Qt::TextDate);
    if (!last.isValid() && interval != 4) {
        qWarning().noquote() << QStringLiteral("Updater: the time of the last update check \"%1\" is unreadable; "
                                               "it counts as long ago").arg(lastCheck);
        return interval >= 0 && interval <= 5;
    }
    switch (interval) {
    case 0:
        return true;
    case 1:
        return last.addDays(7) < now;
    case 2:
        return last.addMonths(1) < now;
    case 3:
        return last.addMonths(3) < now;
    case 5:
        return last.addSecs(300) < now;
    default:
        return false;
    }
}

void UpdateDialog::resetFields()
{
    mUi->installedVersion->setText(QStringLiteral(WENDLE_VERSION));
    mUi->customAppcast->setChecked(false);
    mUi->enableDownloader->setChecked(true);
    mUi->showAllNotifcations->setChecked(false);
    mUi->showUpdateNotifications->setChecked(true);
    mUi->mandatoryUpdate->setChecked(false);
    for (QWidget* w : { static_cast<QWidget*>(mUi->groupBox), static_cast<QWidget*>(mUi->resetButton),
                        static_cast<QWidget*>(mUi->checkButton), static_cast<QWidget*>(mUi->label),
                        static_cast<QWidget*>(mUi->installedVersion), static_cast<QWidget*>(mUi->customAppcast),
                        static_cast<QWidget*>(mUi->mandatoryUpdate), static_cast<QWidget*>(mUi->showAllNotifcations),
                        static_cast<QWidget*>(mUi->showUpdateNotifications), static_cast<QWidget*>(mUi->enableDownloader) })
        w->hide();
}

void UpdateDialog::checkForUpdates()
{
    Updater* updater = mUpdater->getUpdater(UpdatePlatform::feedUrl());
    updater->setModuleVersion(mUi->installedVersion->text());
    updater->setUseCustomAppcast(false);
    updater->setDownloaderEnabled(true);
    updater->setMandatoryUpdate(false);
    updater->checkForUpdates();
}

void UpdateDialog::updateChangelog(QString url)
{
    if (url != UpdatePlatform::feedUrl())
        return;
    // Filled before the field lays it out.
    auto changelog = new ChangelogDocument(mUi->changelogText);
    changelog->setDefaultFont(mUi->changelogText->font());
    changelog->setChangelog(mUpdater->getUpdater(url)->changelog());
    // The field deletes its own first document itself, and never one of these.
    ChangelogDocument* previous = qobject_cast<ChangelogDocument*>(mUi->changelogText->document());
    mUi->changelogText->setDocument(changelog);
    delete previous;
}

void UpdateDialog::toShowOrNot(QString)
{
    if (!mUpdater->getUpdater(UpdatePlatform::feedUrl())->isUpdateAvailable()) {
        hide();
        return;
    }
    show();
    // Beside the update box, but never off the screen's top or left edge.
    move(qMax(0, x() - 450), qMax(0, y() - 50));
}

void UpdateDialog::removeThis()
{
    close();
}

void UpdateDialog::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    deleteLater();
}
