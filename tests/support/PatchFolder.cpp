#include "PatchFolder.h"

#include <QDir>
#include <QFile>

QString PatchFolder::sourceDir()
{
    return qEnvironmentVariable("WENDLE_SOURCE_DIR", QStringLiteral(WENDLE_SOURCE_DIR_FALLBACK));
}

PatchFolder::PatchFolder(int voices, const QString& voicePatch)
{
    const QString shell = patchesDir() + QStringLiteral("/shell/");
    bool ok = mDir.isValid()
        && QFile::copy(shell + QStringLiteral("wendle_main_%1voice.pd").arg(voices), path() + QStringLiteral("/wendle_main.pd"));
    for (const QString& name : QDir(shell).entryList(QDir::Files)) {
        if (!name.startsWith(QLatin1String("wendle_main_")))
            ok = QFile::copy(shell + name, path() + QLatin1Char('/') + name) && ok;
    }
    mValid = ok && setVoicePatch(voicePatch);
}

bool PatchFolder::setVoicePatch(const QString& voicePatch)
{
    const QString target = path() + QStringLiteral("/wendle_voice.pd");
    QFile::remove(target);
    return QFile::copy(patchesDir() + QLatin1Char('/') + voicePatch, target);
}
