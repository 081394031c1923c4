#pragma once

#include "MainWindow.h"
#include "TuningWendleApplication.h"
#include "WendleRatio.h"

#include <QObject>
#include <QStringList>
#include <QTimer>
#include <memory>

class WendleEvent;

// Answers the modal dialogs the window opens, in order, from a timer: "yes",
// "no" or "ok" for a message box, a text (or "cancel") for an input dialog, a
// folder for a folder dialog. Keeps the title and text of each.
class ModalAnswerer : public QObject
{
public:
    ModalAnswerer();
    QStringList answers;
    QStringList seen; // "title|text"

private:
    QTimer mTimer;
};

// The real main window offscreen on the real engine, run offline: the test
// runs a callback between its gestures. The program's patches are laid out
// beside the test's executable, as the program expects them.
class WindowRig
{
public:
    static TuningWendleApplication* app() { return TuningWendleApplication::instance(); }
    // Once per test program, before the first window.
    static bool prepare();
    static void finish();

    bool open();
    template <typename T> T* child(const char* name) const { return window->findChild<T*>(QLatin1String(name)); }

    // One callback of 64 frames, then the engine's reports and queued signals.
    static void run();
    static void post(const WendleEvent& event);
    // Makes exactly these ratios sound (text as "3/2 5/4").
    static void sound(const QString& ratios);
    // What sounds, sorted, as "3/2 5/4".
    static QString sounding();
    static QList<WendleRatio> ratios(const QString& text);
    static QString text(QList<WendleRatio> ratios);
    // The chord store as "1:3/2 5/4;3:7/4".
    static QString stored();
    static int freeSlots();

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<ModalAnswerer> modals;
};

// Each test program runs in a temporary data folder of its own.
#define WINDOW_TEST_MAIN(Test)                                                   \
    int main(int argc, char** argv)                                              \
    {                                                                            \
        QTemporaryDir home;                                                      \
        qputenv("XDG_DATA_HOME", home.path().toUtf8());                          \
        QCoreApplication::setApplicationName(TuningWendleApplication::Name);     \
        TuningWendleApplication app(argc, argv);                                 \
        Test test;                                                               \
        return QTest::qExec(&test, argc, argv);                                  \
    }
