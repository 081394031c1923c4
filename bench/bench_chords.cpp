// Prints what reading one long chord line costs: the chord parser on lines of
// distinct ratios from 256 KiB to 2 MiB, beside a plain split of the same
// bytes into numbers measured in the same run. Linear reading keeps the
// quotient of the two steady as the line doubles. Figures are medians.
// The "crafted" lines hold ratios k/(M - 31k), which a hash that only
// multiplies and adds its two terms would put in one bucket.
#include "StoreAndRecall.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Distinct ratios, each followed by a space, then the closing "0": n/(n+1),
// or when crafted k/(M - 31k), all in lowest terms as M is prime.
QByteArray chordLine(qsizetype bytes, bool crafted)
{
    constexpr quint64 M = 4000037;
    QByteArray line;
    line.reserve(bytes + 32);
    for (quint64 n = 1; line.size() < bytes; ++n)
        line += QByteArray::number(n) + '/' + QByteArray::number(crafted ? M - 31 * n : n + 1) + ' ';
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
    std::printf("%8s %10s %8s %12s %12s %9s\n", "ratios", "line", "count", "parse ms", "split ms", "quotient");
    const struct { bool crafted; qsizetype kib; } lines[] = {
        { false, 256 }, { false, 512 }, { false, 1024 }, { false, 2048 }, { true, 256 }, { true, 512 }, { true, 1024 },
    };
    for (const auto& [crafted, kib] : lines) {
        const QByteArray text = chordLine(kib * 1024, crafted);
        QHash<qint32, QList<WendleRatio>> chords;
        QString error;
        const double parse = medianMs(5, [&] { StoreAndRecall::parseChords(text, chords, &error); });
        const double split = medianMs(5, [&] { sink = sink + plainSplit(text); });
        std::printf("%8s %6lld KiB %8lld %12.2f %12.2f %9.1f\n", crafted ? "crafted" : "n/(n+1)", static_cast<long long>(kib),
                    static_cast<long long>(chords.value(1).size()), parse, split, parse / split);
    }
    return 0;
}
