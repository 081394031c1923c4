#include "SerializableRoot.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>

SerializableRoot::SerializableRoot(QObject* parent)
    : SerializableNode(parent)
{
}

SerializableRoot::~SerializableRoot() = default;

void SerializableRoot::autoSave()
{
    if (mAutoSave)
        save();
}

bool SerializableRoot::loadFromFile(const QString& name)
{
    mFilePath = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QLatin1Char('/') + name;
    if (QFileInfo::exists(mFilePath))
        return load();
    initWithDefaults();
    return save();
}

void SerializableRoot::initWithDefaults()
{
}

bool SerializableRoot::load()
{
    mKeptCopy.clear();
    QFile file(mFilePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << QStringLiteral("Couldn't open file %1 for loading.").arg(mFilePath);
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (document.isNull()) {
        qCritical().noquote() << QStringLiteral("Couldn't parse file %1. JSON error: %2").arg(mFilePath, error.errorString());
        // The caller goes on with defaults and will save them over this file
        // later: keep the player's unreadable original beside it first.
        keepUnreadableFile();
        return false;
    }
    readJson(document.isObject() ? document.object() : QJsonObject());
    return true;
}

bool SerializableRoot::save() const
{
    QSaveFile file(mFilePath);
    if (!file.open(QIODevice::WriteOnly)) {
        qCritical().noquote() << QStringLiteral("Couldn't open file %1 for saving.").arg(mFilePath);
        return false;
    }
    QJsonObject json;
    writeJson(json);
    const QByteArray bytes = QJsonDocument(json).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        qCritical().noquote() << QStringLiteral("Couldn't write file %1: %2").arg(mFilePath, file.errorString());
        return false;
    }
    return true;
}

void SerializableRoot::keepUnreadableFile()
{
    QString target = mFilePath + QStringLiteral(".bad");
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = mFilePath + QStringLiteral(".bad.") + QString::number(n);
    if (QFile::copy(mFilePath, target)) {
        mKeptCopy = target;
        qWarning().noquote() << QStringLiteral("The unreadable file %1 was kept as %2.").arg(mFilePath, target);
    } else {
        qCritical().noquote() << QStringLiteral("Couldn't keep a copy of the unreadable file %1 as %2.").arg(mFilePath, target);
    }
}
