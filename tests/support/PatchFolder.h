#pragma once

#include <QString>
#include <QTemporaryDir>

// A patch folder laid out as the program lays it out at start-up: one shell
// main patch as "wendle_main.pd", the shell abstractions beside it and the
// chosen voice patch as "wendle_voice.pd".
class PatchFolder
{
public:
    PatchFolder(int voices, const QString& voicePatch);

    bool isValid() const { return mValid; }
    QString path() const { return mDir.path(); }
    bool setVoicePatch(const QString& voicePatch);

    static QString sourceDir();
    static QString patchesDir() { return sourceDir() + QStringLiteral("/patches"); }

private:
    QTemporaryDir mDir;
    bool mValid = false;
};
