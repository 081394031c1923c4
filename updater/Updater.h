#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class Downloader;
class QNetworkAccessManager;
class QNetworkReply;

// Checks one update feed: fetches it, compares its version with the
// installed one and tells the player in message boxes; an accepted update
// goes to its Downloader.
class Updater : public QObject
{
    Q_OBJECT

public:
    // The largest feed read; a bigger one fails the check.
    static constexpr qint64 MaxFeedBytes = 1024 * 1024;

    Updater();
    ~Updater() override;

    bool isUpdateAvailable();
    // Whether `latest` is newer than `installed` by the dotted-number rule.
    static bool compareVersions(const QString& latest, const QString& installed);

    QString changelog() const { return mChangelog; }
    QString userAgentString() const { return mUserAgentString; }
    bool notifyOnUpdate() const { return mNotifyOnUpdate; }
    bool notifyOnFinish() const { return mNotifyOnFinish; }
    Downloader* downloader() const { return mDownloader; }

public slots:
    void checkForUpdates();
    void setUrl(const QString& url);
    void setModuleName(const QString& name);
    void setNotifyOnUpdate(bool notify);
    void setNotifyOnFinish(bool notify);
    void setUserAgentString(const QString& agent);
    void setModuleVersion(const QString& version);
    void setDownloaderEnabled(bool enabled);
    void setPlatformKey(const QString& platformKey);
    void setUseCustomAppcast(bool custom);
    void setUseCustomInstallProcedures(bool custom);
    void setMandatoryUpdate(bool mandatory);

signals:
    void checkingFinished(QString url);
    void downloadFinished(QString url, QString filepath);
    void appcastDownloaded(QString url, QByteArray data);
    void networkError(QString url, bool error);
    void removeUpdateDialog();

private slots:
    void onReply(QNetworkReply* reply);
    void setUpdateAvailable(bool available);

private:
    void readBody(QNetworkReply* reply);
    // A check that could not be made: the signals and box of a network error.
    void failCheck(const QString& why);
    bool readFeed(const QByteArray& body, QString* why);
    void acceptUpdate();

    QString mUrl;
    QString mUserAgentString;
    bool mCustomAppcast = false;
    bool mNotifyOnUpdate = true;
    bool mNotifyOnFinish = false;
    bool mUpdateAvailable = false;
    bool mDownloaderEnabled = true;
    bool mMandatoryUpdate = false;
    bool mNetworkError = false;
    QString mOpenUrl;
    QString mPlatformKey;
    QString mChangelog;
    QString mModuleName;
    QString mDownloadUrl;
    QString mModuleVersion;
    QString mLatestVersion;
    Downloader* mDownloader;
    QNetworkAccessManager* mManager;
    // The running check, and what it has received so far.
    QNetworkReply* mReply = nullptr;
    QByteArray mBody;
};
