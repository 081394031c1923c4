// Prints what reading one long chord line costs: the chord parser on lines of
// distinct ratios from 256 KiB to 2 MiB, beside a plain split of the same
// bytes into numbers measured in the same run. Linear reading keeps the
// quotient of the two steady as the line doubles. Figures are medians.
#include "StoreAndRecall.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Distinct ratios n/(n+1), each followed by a space, then the closing "0".
QByteArray chordLine(qsizetype bytes)
{
    QByteArray line;
    line.reserve(bytes + 32);
    for (quint64 n = 1; line.size() < bytes; ++n)
        line += QByteArray::number(n) + '/' + QByteArray::number(n + 1) + ' ';
    return line + "0\n";
}

// The least the reading must do: every part split off and both numbers read.
quint64 plainSplit(const QByteArray& text)
{
    quint64 sum = 0;
    const QByteArrayView line(text);
    for (qsizetype from = 0; from < line.size();) {
        qsizetype end = line.indexOf(' ', from);
        if (end < 0)
            end = line.size();
        const QByteArrayView part = line.sliced(from, end - from);
        const qsizetype slash = part.indexOf('/');
        if (slash > 0)
            sum += part.first(slash).toULongLong() ^ part.sliced(slash + 1).toULongLong();
        from = end + 1;
    }
    return sum;
}

// Keeps the reference's work from being optimised away.
volatile quint64 sink = 0;

template <typename F>
double medianMs(int runs, F&& f)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The program's handler takes every line and writes none of the debug
    // ones: the parser's messages are formatted as in the program.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    std::printf("%10s %8s %12s %12s %9s\n", "line", "ratios", "parse ms", "split ms", "quotient");
    for (const qsizetype kib : { 256, 512, 1024, 2048 }) {
        const QByteArray text = chordLine(kib * 1024);
        QHash<qint32, QList<WendleRatio>> chords;
        QString error;
        const double parse = medianMs(5, [&] { StoreAndRecall::parseChords(text, chords, &error); });
        const double split = medianMs(5, [&] { sink = sink + plainSplit(text); });
        std::printf("%7lld KiB %8lld %12.2f %12.2f %9.1f\n", static_cast<long long>(kib),
                    static_cast<long long>(chords.value(1).size()), parse, split, parse / split);
    }
    return 0;
}
