#pragma once

#include "WendleRatio.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class PdPlayer;

// The chord store: numbered slots of ratios (0 the options dialog's scratch
// slot, 1 to 20 the chord buttons, 21 only from a file), recalled by posting
// note toggles to the engine and kept in ".lmpr" text files, one line a slot.
class StoreAndRecall : public QObject
{
public:
    static constexpr int FirstButtonSlot = 1;
    static constexpr int LastButtonSlot = 20;
    static constexpr int LastFileSlot = 21;
    // How long a store or recall waits for the engine to run what came before.
    static constexpr int EngineWaitMs = 250;

    explicit StoreAndRecall(PdPlayer* engine);
    ~StoreAndRecall() override;

    // The sounding chord into `slot`; with nothing sounding the slot keeps what it held.
    void store(int slot);
    bool isSlotEmpty(int slot) const { return !chords.contains(slot); }
    // Mode 0 standard (the sounding set becomes the chord), 1 additive, other alternating.
    void recall(int slot, int mode);
    // Slots 1 to 20; true only when the file was written whole.
    bool saveChordFile(const QString& path);
    // Replaces the store by the file's chords; a file that cannot be read or
    // holds one malformed ratio leaves the store as it was and gives false.
    bool loadChordFile(const QString& path);
    // Loads the auto-saved chords; false when a file there did not load. That
    // file is copied aside as the options' unreadable files are; when no copy
    // can be made, the store is not saved over it until a later save manages
    // the copy or finds the file gone.
    bool loadAutoSave(const QString& path);
    // That file while it stands in the way of saving; empty otherwise.
    QString unkeptFile() const { return mUnkeptFile; }

    // The sounding ratios once the engine has run every command posted before
    // this call (without a running stream: as last published).
    QList<WendleRatio> soundingRatios() const;

    // Parses chord-file text into `out`; false with the reason in `error`.
    static bool parseChords(const QByteArray& text, QHash<qint32, QList<WendleRatio>>& out, QString* error);
    static QByteArray chordFileText(const QHash<qint32, QList<WendleRatio>>& chords);

    QHash<qint32, QList<WendleRatio>> chords;
    PdPlayer* engine;

private:
    void postToggle(const WendleRatio& ratio) const;
    bool waitForEngine() const;
    bool unkeptFileInTheWay();

    // The player's only version of a file that the last auto-save load could
    // neither read nor copy aside, until it is copied or gone; empty when there is none.
    QString mUnkeptFile;
};
