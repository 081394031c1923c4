#include "Updater.h"

#include "Downloader.h"
#include "UpdatePlatform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>

Updater::Updater()
    : mUserAgentString(QStringLiteral("%1/%2 (Qt; UpdateManager)")
                           .arg(QCoreApplication::applicationName(), QStringLiteral(WENDLE_VERSION ".0")))
    , mPlatformKey(UpdatePlatform::platformKey())
    , mModuleName(QCoreApplication::applicationName())
    , mModuleVersion(QStringLiteral(WENDLE_VERSION))
    , mDownloader(new Downloader)
    , mManager(new QNetworkAccessManager(this))
{
    mDownloader->setUserAgentString(mUserAgentString);
    connect(mDownloader, &Downloader::downloadFinished, this, &Updater::downloadFinished);
    connect(mManager, &QNetworkAccessManager::finished, this, &Updater::onReply);
}

Updater::~Updater()
{
    // A check still running must not report into a half-destroyed updater.
    mManager->disconnect(this);
    delete mDownloader;
}

bool Updater::isUpdateAvailable()
{
    qDebug() << "XXXX Updater: " << (mUpdateAvailable ? "true" : "false");
    return mUpdateAvailable;
}

bool Updater::compareVersions(const QString& latest, const QString& installed)
{
    const QStringList l = latest.split(QLatin1Char('.'));
    const QStringList m = installed.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < l.size() && i < m.size(); ++i) {
        // A part that is no number, or too big for an int, counts as 0.
        const int a = l.at(i).toInt();
        const int b = m.at(i).toInt();
        if (a != b)
            return a > b;
    }
    return l.size() > m.size();
}

void Updater::checkForUpdates()
{
    if (mReply) {
        qDebug() << "XXXX Updater: a check of" << mUrl << "is running already";
        return;
    }
    const QUrl url(mUrl);
    if (!UpdatePlatform::isAllowedUrl(url)) {
        const QString why = QStringLiteral("refused feed address %1: only https, or http to this machine").arg(mUrl);
        // Reported from the event loop: the caller may still be building its window.
        QMetaObject::invokeMethod(this, [this, why] { failCheck(why); }, Qt::QueuedConnection);
        return;
    }
    if (mUserAgentString.isEmpty())
        qDebug() << "XXXX Updater: userAgentString empty ";
    mBody.clear();
    qDebug() << "XXXX Updater: checkForUpdates ";
    mReply = mManager->get(UpdatePlatform::request(url, mUserAgentString));
    mReply->setReadBufferSize(UpdatePlatform::ReadBufferBytes);
    UpdatePlatform::guardRedirects(mReply);
    UpdatePlatform::watchStall(mReply, UpdatePlatform::TransferTimeoutMs);
    QNetworkReply* reply = mReply;
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > MaxFeedBytes)
            UpdatePlatform::refuse(reply, QStringLiteral("the feed announces %1 bytes").arg(length.toLongLong()));
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { readBody(reply); });
}

void Updater::readBody(QNetworkReply* reply)
{
    // Read as it comes so that a feed too big is never held whole.
    mBody += reply->read(MaxFeedBytes + 1 - mBody.size());
    if (mBody.size() > MaxFeedBytes)
        UpdatePlatform::refuse(reply, QStringLiteral("the feed is larger than %1 bytes").arg(MaxFeedBytes));
}

void Updater::onReply(QNetworkReply* reply)
{
    if (reply->isOpen())
        readBody(reply);
    const QString failed = UpdatePlatform::failure(reply);
    mReply = nullptr;
    reply->deleteLater();
    const QByteArray body = mBody;
    mBody.clear();

    mNetworkError = false;
    if (!failed.isEmpty()) {
        failCheck(failed);
        return;
    }
    if (mCustomAppcast) {
        emit appcastDownloaded(mUrl, body);
        emit checkingFinished(mUrl);
        return;
    }
    QString why;
    if (!readFeed(body, &why)) {
        failCheck(why);
        return;
    }
    const bool available = compareVersions(mLatestVersion, mModuleVersion);
    qDebug() << "XXXX Updater: Version comparison: " << mLatestVersion.split(QLatin1Char('.'))
             << mModuleVersion.split(QLatin1Char('.'));
    mUpdateAvailable = available;
    emit checkingFinished(mUrl);
    setUpdateAvailable(available);
}

bool Updater::readFeed(const QByteArray& body, QString* why)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (!document.isObject()) {
        qDebug() << "XXXX Updater: Document is NULL " << document << "url" << mUrl;
        *why = error.error != QJsonParseError::NoError
            ? QStringLiteral("the feed is not JSON (%1 at byte %2)").arg(error.errorString()).arg(error.offset)
            : QStringLiteral("the feed is not a JSON object");
        return false;
    }
    const QJsonValue entryValue = document.object().value(QLatin1String("updates")).toObject().value(mPlatformKey);
    if (!entryValue.isObject()) {
        *why = QStringLiteral("the feed has no \"updates\" entry for \"%1\"").arg(mPlatformKey);
        return false;
    }
    const QJsonObject entry = entryValue.toObject();
    if (entry.value(QLatin1String("latest-version")).toString().isEmpty()) {
        *why = QStringLiteral("the feed's \"%1\" entry has no \"latest-version\"").arg(mPlatformKey);
        return false;
    }
    mOpenUrl = entry.value(QLatin1String("open-url")).toString();
    mChangelog = entry.value(QLatin1String("changelog")).toString();
    mDownloadUrl = entry.value(QLatin1String("download-url")).toString();
    mLatestVersion = entry.value(QLatin1String("latest-version")).toString();
    if (entry.contains(QLatin1String("mandatory-update")))
        mMandatoryUpdate = entry.value(QLatin1String("mandatory-update")).toBool();
    qDebug() << "XXXX Updater: Before comparing: " << mUrl << mLatestVersion << entry;
    return true;
}

void Updater::failCheck(const QString& why)
{
    qWarning().noquote() << QStringLiteral("Updater: the check of %1 failed: %2").arg(mUrl, why);
    mNetworkError = true;
    // Cleared before the signal: the update window asks at once.
    mUpdateAvailable = false;
    emit networkError(mUrl, true);
    emit checkingFinished(mUrl);
    setUpdateAvailable(false);
}

void Updater::setUpdateAvailable(bool available)
{
    mUpdateAvailable = available;
    QMessageBox box;
    // Titled like the program's other boxes, so that the desktop (and a test) can name it.
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setWindowFlags(box.windowFlags() | Qt::Tool | Qt::WindowStaysOnTopHint);
    box.setTextFormat(Qt::RichText);
    box.setIcon(QMessageBox::Information);
    box.setWindowModality(Qt::NonModal);

    // The feed's texts are shown as rich text: they must not bring markup of their own.
    const QString name = mModuleName.toHtmlEscaped();
    if (isUpdateAvailable() && mNotifyOnUpdate) {
        box.setText(QStringLiteral("<h3>") + tr("Version %1 of %2 has been released!").arg(mLatestVersion.toHtmlEscaped(), name)
                    + QStringLiteral("</h3>"));
        box.setInformativeText(mMandatoryUpdate
                                   ? tr("Would you like to download the update now? This is a mandatory update, "
                                        "exiting now will close the application")
                                   : tr("Please note the changelog. Would you like to download the update now?"));
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.show();
        if (box.exec() == QMessageBox::Yes)
            acceptUpdate();
        else if (mMandatoryUpdate)
            UpdatePlatform::quit();
        emit removeUpdateDialog();
    } else if (mNetworkError && (mNotifyOnUpdate || mNotifyOnFinish)) {
        mNotifyOnFinish = true;
        box.setText(QStringLiteral("<h3>") + tr("A network error occurred") + QStringLiteral("</h3>"));
        box.setInformativeText(tr("Cannot check for updates. Please check your internet connection and retry."));
        box.setStandardButtons(QMessageBox::Retry | QMessageBox::Close);
        box.setDefaultButton(QMessageBox::Retry);
        box.show();
        if (box.exec() == QMessageBox::Retry)
            checkForUpdates();
        else
            emit removeUpdateDialog();
    } else if (!mUpdateAvailable && mNotifyOnFinish) {
        box.setText(QStringLiteral("<h3>") + tr("You are running the latest version of %1").arg(name) + QStringLiteral("</h3>"));
        box.setInformativeText(tr("No updates are available for the moment"));
        box.setStandardButtons(QMessageBox::Close);
        box.show();
        box.exec();
        emit removeUpdateDialog();
    }
}

void Updater::acceptUpdate()
{
    if (!mOpenUrl.isEmpty()) {
        UpdatePlatform::open(QUrl(mOpenUrl));
    } else if (!mDownloaderEnabled) {
        UpdatePlatform::open(QUrl(mDownloadUrl));
    } else {
        mDownloader->setUrlId(mUrl);
        mDownloader->setFileName(QUrl(mDownloadUrl).fileName());
        mDownloader->setMandatoryUpdate(mMandatoryUpdate);
        mDownloader->startDownload(QUrl(mDownloadUrl));
    }
}

void Updater::setUrl(const QString& url)
{
    mUrl = url;
}

void Updater::setModuleName(const QString& name)
{
    mModuleName = name;
}

void Updater::setNotifyOnUpdate(bool notify)
{
    mNotifyOnUpdate = notify;
}

void Updater::setNotifyOnFinish(bool notify)
{
    mNotifyOnFinish = notify;
}

void Updater::setUserAgentString(const QString& agent)
{
    mUserAgentString = agent;
    mDownloader->setUserAgentString(agent);
}

void Updater::setModuleVersion(const QString& version)
{
    mModuleVersion = version;
}

void Updater::setDownloaderEnabled(bool enabled)
{
    mDownloaderEnabled = enabled;
}

void Updater::setPlatformKey(const QString& platformKey)
{
    mPlatformKey = platformKey;
}

void Updater::setUseCustomAppcast(bool custom)
{
    mCustomAppcast = custom;
}

void Updater::setUseCustomInstallProcedures(bool custom)
{
    mDownloader->setUseCustomInstallProcedures(custom);
}

void Updater::setMandatoryUpdate(bool mandatory)
{
    mMandatoryUpdate = mandatory;
}
