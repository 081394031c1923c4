// Prints the frequency and peak of the left channel of a 16-bit WAV file, for
// scripts that record the program's output and need a number to compare.
#include "SignalMeasure.h"

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.wav\n", argc > 0 ? argv[0] : "wendle-measure");
        return 2;
    }
    std::vector<float> channels[2];
    int rate = 0;
    QString error;
    if (!SignalMeasure::readWav16(QString::fromLocal8Bit(argv[1]), channels, &rate, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("rate=%d\nframes=%zu\nfrequency=%.3f\npeak=%.6f\n", rate, channels[0].size(),
                SignalMeasure::medianPeriodFrequency(channels[0], rate), SignalMeasure::peak(channels[0]));
    return 0;
}
