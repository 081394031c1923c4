#include "TuningWendleApplication.h"

#include <QtGlobal>

int main(int argc, char** argv)
{
    // The options compute their default folders from the name when they are made.
    QCoreApplication::setApplicationName(QLatin1String(TuningWendleApplication::Name));
    // PortAudio's JACK host must never start a server of its own.
    qputenv("JACK_NO_START_SERVER", "1");
    TuningWendleApplication::catchQuitSignals();

    int code = 0;
    {
        TuningWendleApplication app(argc, argv);
        if (!app.start())
            return 0;
        code = app.exec();
        app.shutdown();
    }
    return code;
}
