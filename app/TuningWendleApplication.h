#pragma once

#include "Interface.h"
#include "PaAudioOutput.h"
#include "PdPlayer.h"
#include "Settings.h"
#include "StoreAndRecall.h"
#include "UdpListener.h"
#include "Wendle.h"

#include <QApplication>
#include <QFile>
#include <QMutex>
#include <QSet>
#include <QString>
#include <memory>

class MainWindow;
class QSocketNotifier;

// The running instrument: it owns every long-lived part, starts them in
// order, runs the event loop and shuts them down in order. Other parts reach
// it as the running application instance.
class TuningWendleApplication : public QApplication
{
    Q_OBJECT

public:
    static constexpr const char* Name = "Drovane Tuning Wendle";

    TuningWendleApplication(int& argc, char** argv);
    ~TuningWendleApplication() override;

    static TuningWendleApplication* instance();

    // Start-up after construction. False when the program must stop: the
    // player has been told why, and nothing has been saved.
    bool start();
    // The ordered shutdown after the event loop has returned.
    void shutdown();

    bool initPatches();
    static bool copyFile(const QString& source, const QString& target, bool force);
    bool loadStyleSheet();
    void captureWindowState();
    // Opens the stored MIDI port and sets the stored channel and the MPE range.
    void configureMidi();
    static void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text);
    // The lower-cased command-line flags that choose what the diagnostics window shows.
    static QSet<QString> flagsOf(const QStringList& arguments);
    // Whether a message from `sourceFile` goes to the diagnostics window under `flags`.
    static bool forwards(const QSet<QString>& flags, const char* sourceFile);

    // Opens "log.txt" and installs the handler; without the file Qt's own output stays.
    void openLog();

    static QString configDir();
    static QString programDir();

    MainWindow* mainWindow() const { return mMainWindow; }
    Wendle& lattice() { return mLattice; }
    UdpListener& udpListener() { return *mUdpListener; }
    PdPlayer& engine() { return mEngine; }
    Interface& midiInterface() { return mInterface; }
    PaAudioOutput& audioOutput() { return mAudioOutput; }
    Settings& options() { return mOptions; }
    StoreAndRecall& chordStore() { return mChordStore; }
    // The auto-saved chord store in the configuration folder.
    static QString chordAutoSavePath();
    // Loads the auto-saved chords; a file that does not load is copied aside
    // (".temp.lmpr.bad", ".bad.2" ...) or else never saved over.
    void loadAutoSavedChords();

    // Set by the window's hidden mode buttons: 0 none, 1 toggle, 2 shift, 3 remove, 4 select-apply.
    qint16 interactionMode = 0;
    const QSet<QString>& flags() const { return mFlags; }

    // SIGTERM and SIGINT end the event loop, after which the ordered shutdown runs.
    static void catchQuitSignals();

signals:
    void diagnosticMessage(QString message);

private slots:
    void autoSafe();
    void onUdpFatalError(QString error);

private:
    bool stop(const QString& text, bool logged = false);
    void restoreWindow();
    void watchQuitSignals();

    MainWindow* mMainWindow = nullptr;
    Wendle mLattice;
    // On the heap: a controller thread that will not stop at shutdown is left
    // running, with its object, to the process's end.
    std::unique_ptr<UdpListener> mUdpListener = std::make_unique<UdpListener>();
    PdPlayer mEngine;
    Interface mInterface;
    PaAudioOutput mAudioOutput;
    Settings mOptions;
    QSet<QString> mFlags;
    QFile mLogFile;
    QMutex mLogMutex;
    StoreAndRecall mChordStore { &mEngine };
    QSocketNotifier* mQuitNotifier = nullptr;

    static TuningWendleApplication* sInstance;
};
