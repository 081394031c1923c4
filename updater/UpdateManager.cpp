#include "UpdateManager.h"

#include "Updater.h"

UpdateManager* UpdateManager::sInstance = nullptr;

UpdateManager* UpdateManager::instance()
{
    if (!sInstance)
        sInstance = new UpdateManager;
    return sInstance;
}

void UpdateManager::destroyInstance()
{
    delete sInstance;
    sInstance = nullptr;
}

UpdateManager::~UpdateManager()
{
    mUrls.clear();
    // Deleted now, not later: after the event loop nothing would delete them.
    qDeleteAll(mUpdaters);
    mUpdaters.clear();
}

Updater* UpdateManager::getUpdater(const QString& url)
{
    const qsizetype i = mUrls.indexOf(url);
    if (i >= 0)
        return mUpdaters.at(i);
    auto updater = new Updater;
    updater->setUrl(url);
    mUrls << url;
    mUpdaters << updater;
    connect(updater, &Updater::checkingFinished, this, &UpdateManager::checkingFinished);
    connect(updater, &Updater::downloadFinished, this, &UpdateManager::downloadFinished);
    connect(updater, &Updater::appcastDownloaded, this, &UpdateManager::appcastDownloaded);
    connect(updater, &Updater::networkError, this, &UpdateManager::networkError);
    connect(updater, &Updater::removeUpdateDialog, this, &UpdateManager::removeUpdateDialog);
    return updater;
}

void UpdateManager::checkForUpdates(const QString& url)
{
    getUpdater(url)->checkForUpdates();
}

void UpdateManager::setModuleName(const QString& url, const QString& name)
{
    getUpdater(url)->setModuleName(name);
}

void UpdateManager::setNotifyOnUpdate(const QString& url, bool notify)
{
    getUpdater(url)->setNotifyOnUpdate(notify);
}

void UpdateManager::setNotifyOnFinish(const QString& url, bool notify)
{
    getUpdater(url)->setNotifyOnFinish(notify);
}

void UpdateManager::setPlatformKey(const QString& url, const QString& platform)
{
    getUpdater(url)->setPlatformKey(platform);
}

void UpdateManager::setModuleVersion(const QString& url, const QString& version)
{
    getUpdater(url)->setModuleVersion(version);
}

void UpdateManager::setDownloaderEnabled(const QString& url, bool enabled)
{
    getUpdater(url)->setDownloaderEnabled(enabled);
}

void UpdateManager::setUserAgentString(const QString& url, const QString& agent)
{
    getUpdater(url)->setUserAgentString(agent);
}

void UpdateManager::setUseCustomAppcast(const QString& url, bool custom)
{
    getUpdater(url)->setUseCustomAppcast(custom);
}

void UpdateManager::setUseCustomInstallProcedures(const QString& url, bool custom)
{
    getUpdater(url)->setUseCustomInstallProcedures(custom);
}

void UpdateManager::setMandatoryUpdate(const QString& url, bool mandatory)
{
    getUpdater(url)->setMandatoryUpdate(mandatory);
}
