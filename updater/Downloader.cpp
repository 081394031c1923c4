#include "Downloader.h"

#include "UpdatePlatform.h"
#include "ui_Downloader.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>

Downloader::Downloader(QWidget* parent)
    : QWidget(parent)
    , mUi(new Ui::Downloader)
    , mManager(new QNetworkAccessManager(this))
    , mTransferTimeoutMs(UpdatePlatform::TransferTimeoutMs)
{
    mUi->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowIcon(QIcon());
    mUi->openButton->setEnabled(false);
    mUi->openButton->hide();
    connect(mUi->stopButton, SIGNAL(clicked()), this, SLOT(cancelDownload()));
    connect(mUi->openButton, SIGNAL(clicked()), this, SLOT(installUpdate()));
}

Downloader::~Downloader()
{
    if (mReply) {
        // Its last signals must not reach a window being destroyed.
        mReply->disconnect(this);
        mReply->abort();
        delete mReply;
    }
    if (mPart.isOpen()) {
        mPart.close();
        mPart.remove();
    }
    delete mUi;
}

QString Downloader::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return tr("%1 bytes").arg(bytes);
    if (bytes < 1048576)
        return tr("%1 KB").arg(bytes / 1024);
    return tr("%1 MB").arg(bytes / 1048576);
}

QString Downloader::timeRemainingText(qint64 received, qint64 total, qint64 elapsedSeconds)
{
    if (elapsedSeconds <= 0)
        return QString();
    const qint64 rate = received / elapsedSeconds;
    if (rate <= 0)
        return tr("unknown");
    const qint64 t = (total - received) / rate;
    if (t > 7200)
        return tr("about %1 hours").arg(qint64(double(t) / 3600.0 + 0.5));
    if (t > 60) {
        const qint64 m = qint64(double(t) / 60.0 + 0.5);
        return m == 1 ? tr("1 minute") : tr("%1 minutes").arg(m);
    }
    return t <= 1 ? tr("1 second") : tr("%1 seconds").arg(t);
}

void Downloader::setUrlId(const QString& url)
{
    mUrlId = url;
}

void Downloader::setFileName(const QString& file)
{
    // The name comes from the feed: it must name one file inside the downloads folder.
    mFileName = UpdatePlatform::safeFileName(file);
}

void Downloader::setUserAgentString(const QString& agent)
{
    mUserAgentString = agent;
}

void Downloader::setUseCustomInstallProcedures(bool custom)
{
    mUseCustomInstallProcedures = custom;
}

void Downloader::setMandatoryUpdate(bool mandatoryUpdate)
{
    mMandatoryUpdate = mandatoryUpdate;
}

void Downloader::startDownload(const QUrl& url)
{
    if (mReply) {
        qWarning().noquote() << QStringLiteral("Downloader: a download is running; %1 is not started").arg(url.toDisplayString());
        return;
    }
    if (!UpdatePlatform::isAllowedUrl(url)) {
        qWarning().noquote() << QStringLiteral("Downloader: refusing to download %1: only https, or http to this machine")
                                    .arg(url.toDisplayString());
        return;
    }
    mUi->progressBar->setRange(0, 100);
    mUi->progressBar->setValue(0);
    mUi->stopButton->setText(tr("Stop"));
    mUi->downloadLabel->setText(tr("Downloading updates"));
    mUi->timeLabel->setText(tr("Time remaining") + QStringLiteral(": ") + tr("unknown"));
    mUi->openButton->setEnabled(false);
    mUi->openButton->hide();
    mFilePath.clear();
    showNormal();

    mDownloadDir = UpdatePlatform::downloadDir();
    if (!QDir().mkpath(mDownloadDir)) {
        fail(QStringLiteral("cannot create the folder %1").arg(mDownloadDir));
        return;
    }
    // A file the player has under this name stays: the download takes a free one.
    mTargetName = UpdatePlatform::freeFileName(mDownloadDir, mFileName);
    mPart.setFileName(mDownloadDir + mTargetName + QStringLiteral(".part"));
    if (!mPart.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        fail(QStringLiteral("cannot create %1: %2").arg(mPart.fileName(), mPart.errorString()));
        return;
    }
    mReply = mManager->get(UpdatePlatform::request(url, mUserAgentString));
    mReply->setReadBufferSize(UpdatePlatform::ReadBufferBytes);
    UpdatePlatform::guardRedirects(mReply);
    UpdatePlatform::watchStall(mReply, mTransferTimeoutMs);
    mStartTime = QDateTime::currentSecsSinceEpoch();
    connect(mReply, SIGNAL(downloadProgress(qint64, qint64)), this, SLOT(updateProgress(qlonglong, qlonglong)));
    connect(mReply, SIGNAL(readyRead()), this, SLOT(saveFile()));
    connect(mReply, SIGNAL(finished()), this, SLOT(finished()));
}

void Downloader::saveFile()
{
    if (!mReply || !mReply->isOpen() || !mPart.isOpen())
        return;
    // Each chunk as it comes: the reply then holds little, whatever the size.
    const QByteArray chunk = mReply->readAll();
    if (mPart.write(chunk) != chunk.size())
        UpdatePlatform::refuse(mReply, QStringLiteral("cannot write %1: %2").arg(mPart.fileName(), mPart.errorString()));
}

void Downloader::finished()
{
    saveFile();
    QNetworkReply* reply = mReply;
    if (!reply)
        return;
    mReply = nullptr;
    reply->deleteLater();

    // A body cut short of its Content-Length is an error of Qt's own.
    const QString why = UpdatePlatform::failure(reply);
    if (!why.isEmpty()) {
        fail(why);
        return;
    }
    mPart.close();
    QString target = mDownloadDir + mTargetName;
    if (!QFile::rename(mPart.fileName(), target)) {
        // Someone took the name meanwhile.
        mTargetName = UpdatePlatform::freeFileName(mDownloadDir, mTargetName);
        target = mDownloadDir + mTargetName;
        if (!QFile::rename(mPart.fileName(), target)) {
            QFile::remove(mPart.fileName());
            fail(QStringLiteral("cannot rename %1 to %2").arg(mPart.fileName(), target));
            return;
        }
    }
    mFilePath = target;
    emit downloadFinished(mUrlId, mFilePath);
    installUpdate();
    hide();
}

void Downloader::fail(const QString& why)
{
    qWarning().noquote() << QStringLiteral("Downloader: the download into %1 failed: %2").arg(mDownloadDir + mTargetName, why);
    if (mPart.isOpen()) {
        mPart.close();
        mPart.remove();
    }
    mUi->progressBar->setRange(0, 100);
    mUi->progressBar->setValue(0);
    mUi->downloadLabel->setText(tr("Download failed"));
    mUi->timeLabel->setText(why);
    mUi->stopButton->setText(tr("Close"));
}

void Downloader::updateProgress(qlonglong received, qlonglong total)
{
    if (total < 1) {
        mUi->progressBar->setRange(0, 0);
        mUi->progressBar->setValue(-1);
        mUi->downloadLabel->setText(tr("Downloading Updates") + QStringLiteral("..."));
        mUi->timeLabel->setText(QStringLiteral("%1: %2").arg(tr("Time Remaining"), tr("Unknown")));
        return;
    }
    mUi->progressBar->setRange(0, 100);
    mUi->progressBar->setValue(int(received * 100 / total));
    calculateSizes(received, total);
    calculateTimeRemaining(received, total);
}

void Downloader::calculateSizes(qlonglong received, qlonglong total)
{
    mUi->downloadLabel->setText(tr("Downloading updates") + QStringLiteral(" (") + sizeText(received) + QLatin1Char(' ') + tr("of")
                                + QLatin1Char(' ') + sizeText(total) + QLatin1Char(')'));
}

void Downloader::calculateTimeRemaining(qlonglong received, qlonglong total)
{
    const QString text = timeRemainingText(received, total, QDateTime::currentSecsSinceEpoch() - mStartTime);
    if (!text.isEmpty())
        mUi->timeLabel->setText(tr("Time remaining") + QStringLiteral(": ") + text);
}

void Downloader::installUpdate()
{
    if (mUseCustomInstallProcedures)
        return;
    mUi->stopButton->setText(tr("Close"));
    mUi->downloadLabel->setText(tr("Download complete!"));
    mUi->timeLabel->setText(tr("The installer will open separately") + QStringLiteral("..."));

    QMessageBox box;
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Ok);
    box.setInformativeText(tr("Click \"OK\" to open the downloaded file now"));
    const QString text = mMandatoryUpdate ? tr("In order to install the update, you may need to quit the application. "
                                               "This is a mandatory update, exiting now will close the application")
                                            : tr("In order to use the new version, quit the application and reinstall using "
                                                 "the downloaded installer.");
    box.setText(QStringLiteral("<h3>") + text + QStringLiteral("</h3>"));
    if (box.exec() == QMessageBox::Ok) {
        openDownload();
        return;
    }
    if (mMandatoryUpdate)
        UpdatePlatform::quit();
    mUi->openButton->setEnabled(true);
    mUi->openButton->show();
    mUi->timeLabel->setText(tr("Click the \"Open\" button to apply the update"));
}

void Downloader::openDownload()
{
    if (mFilePath.isEmpty()) {
        QMessageBox::critical(this, tr("Error"), tr("Cannot find downloaded update!"), QMessageBox::Close);
        return;
    }
    // The file is shown, never run: the player starts the installer.
    if (UpdatePlatform::showFolder(mDownloadDir))
        return;
    QMessageBox box(QMessageBox::Information, tr("Updater"),
                    tr("The update has been saved as:\n%1").arg(QDir::toNativeSeparators(mFilePath)), QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void Downloader::cancelDownload()
{
    if (!mReply) {
        if (mMandatoryUpdate)
            UpdatePlatform::quit();
        hide();
        return;
    }
    QMessageBox box(QMessageBox::Question, tr("Updater"),
                    mMandatoryUpdate ? tr("Are you sure you want to cancel the download? This is a mandatory update, "
                                          "exiting now will close the application")
                                     : tr("Are you sure you want to cancel the download?"),
                    QMessageBox::Yes | QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
    hide();
    // The download may have ended while the question was open.
    if (mReply)
        UpdatePlatform::refuse(mReply, QStringLiteral("cancelled by the player"));
    if (mMandatoryUpdate)
        UpdatePlatform::quit();
}
