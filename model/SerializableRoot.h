#pragma once

#include "SerializableNode.h"

#include <QString>

// A JSON file of its own in the configuration folder: loaded, created from
// defaults when missing, and saved atomically, never over a file that a load
// could neither read nor copy aside.
class SerializableRoot : public SerializableNode
{
public:
    explicit SerializableRoot(QObject* parent = nullptr);
    ~SerializableRoot() override;

    virtual void autoSave();
    virtual bool loadFromFile(const QString& name);
    virtual void initWithDefaults();

    bool load();
    bool save() const;

    QString filePath() const { return mFilePath; }
    bool autoSaveEnabled() const { return mAutoSave; }
    // Where an unreadable file was kept by the last failed load; empty otherwise.
    QString keptUnreadableCopy() const { return mKeptCopy; }
    // Copies a file that could not be read aside before anything is saved
    // over it: "<path>.bad", or ".bad.2", ".bad.3" ... beside earlier copies,
    // which stay. The copy's path, or empty (and logged) when none was made.
    static QString keepUnreadableCopy(const QString& path);

protected:
    QString mFilePath;
    bool mAutoSave = true;

private:
    bool keepUnreadableFile();

    QString mKeptCopy;
    // The last load left an existing file unread and uncopied: saving would
    // replace the player's only version of it.
    bool mSaveRefused = false;
};
