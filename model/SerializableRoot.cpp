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
    if (mAutoSave && !mSaveRefused)
        save();
}

bool SerializableRoot::loadFromFile(const QString& name)
{
    mFilePath = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QLatin1Char('/') + name;
    mSaveRefused = false;
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
    mSaveRefused = false;
    QFile file(mFilePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << QStringLiteral("Couldn't open file %1 for loading.").arg(mFilePath);
        // Unreadable is not absent: the caller goes on with defaults, and
        // saving them would replace the player's file with no copy of it.
        mSaveRefused = QFileInfo::exists(mFilePath);
        return false;
    }
    const QByteArray bytes = file.readAll();
    file.close();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (document.isNull()) {
        qCritical().noquote() << QStringLiteral("Couldn't parse file %1. JSON error: %2").arg(mFilePath, error.errorString());
        // The caller goes on with defaults and will save them over this file
        // later: keep the player's unreadable original beside it first, or
        // refuse to save over it when no copy could be kept.
        mSaveRefused = !keepUnreadableFile();
        return false;
    }
    readJson(document.isObject() ? document.object() : QJsonObject());
    return true;
}

bool SerializableRoot::save() const
{
    if (mSaveRefused) {
        qCritical().noquote() << QStringLiteral("Not saving %1: it could not be read when loaded and no copy of it was kept, "
                                                "so it is left as it was.")
                                     .arg(mFilePath);
        return false;
    }
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

bool SerializableRoot::keepUnreadableFile()
{
    mKeptCopy = keepUnreadableCopy(mFilePath);
    return !mKeptCopy.isEmpty();
}

QString SerializableRoot::keepUnreadableCopy(const QString& path)
{
    // A link is a taken name even when it leads nowhere (exists() follows it).
    const auto taken = [](const QString& name) {
        const QFileInfo info(name);
        return info.exists() || info.isSymLink();
    };
    QString target = path + QStringLiteral(".bad");
    for (int n = 2; taken(target); ++n)
        target = path + QStringLiteral(".bad.") + QString::number(n);
    if (QFile::copy(path, target)) {
        qWarning().noquote() << QStringLiteral("The unreadable file %1 was kept as %2.").arg(path, target);
        return target;
    }
    qCritical().noquote() << QStringLiteral("Couldn't keep a copy of the unreadable file %1 as %2.").arg(path, target);
    return QString();
}
