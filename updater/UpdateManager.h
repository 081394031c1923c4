#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class Updater;

// The one front end of the update checks: an Updater per feed URL, whose
// signals it relays. Created on first use; the application object destroys
// it before itself, so no updater outlives the application.
class UpdateManager : public QObject
{
    Q_OBJECT

public:
    static UpdateManager* instance();
    // Deletes the instance with its updaters and downloaders; the next
    // instance() starts afresh.
    static void destroyInstance();

    Updater* getUpdater(const QString& url);

public slots:
    void checkForUpdates(const QString& url);
    void setModuleName(const QString& url, const QString& name);
    void setNotifyOnUpdate(const QString& url, bool notify);
    void setNotifyOnFinish(const QString& url, bool notify);
    void setPlatformKey(const QString& url, const QString& platform);
    void setModuleVersion(const QString& url, const QString& version);
    void setDownloaderEnabled(const QString& url, bool enabled);
    void setUserAgentString(const QString& url, const QString& agent);
    void setUseCustomAppcast(const QString& url, bool custom);
    void setUseCustomInstallProcedures(const QString& url, bool custom);
    void setMandatoryUpdate(const QString& url, bool mandatory);

signals:
    void checkingFinished(QString url);
    void downloadFinished(QString url, QString filepath);
    void appcastDownloaded(QString url, QByteArray data);
    void networkError(QString url, bool error);
    void removeUpdateDialog();

private:
    UpdateManager() = default;
    ~UpdateManager() override;

    QStringList mUrls;
    QList<Updater*> mUpdaters;

    static UpdateManager* sInstance;
};
