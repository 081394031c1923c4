#include "WendlePath.h"

#include "PrimeTables.h"

#include <QDebug>

namespace {

// A step read from text: a decimal 32-bit integer that is a signed prime 2..31.
bool parseStep(const QString& part, qint8& step)
{
    bool ok = false;
    const int value = part.toInt(&ok, 10);
    if (!ok || value < -31 || value > 31)
        return false;
    const int magnitude = value < 0 ? -value : value;
    if (!(primeIntervalFloats[magnitude] > 0.0f))
        return false;
    step = qint8(value);
    return true;
}

} // namespace

void WendlePath::fromText(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    WendlePath parsed;
    for (int i = 0; i < parts.size() && i < MaxSteps; ++i) {
        qint8 step = 0;
        if (!parseStep(parts[i], step)) {
            qDebug().noquote() << QStringLiteral("Invalid path: ") + text;
            *this = WendlePath();
            steps[0] = InvalidMarker;
            return;
        }
        parsed.append(step);
    }
    *this = parsed;
}

QString WendlePath::toString() const
{
    if (isEmpty())
        return QStringLiteral("/");
    QString text;
    for (int i = 0; i < MaxSteps && steps[i] != 0; ++i)
        text += QLatin1Char('/') + QString::number(int(steps[i]));
    return text;
}

QList<int> WendlePath::toList() const
{
    QList<int> list;
    for (int i = 0; i < MaxSteps && steps[i] != 0; ++i)
        list.append(steps[i]);
    return list;
}

int WendlePath::size() const
{
    int n = 0;
    while (n < MaxSteps && steps[n] != 0)
        ++n;
    return n;
}

void WendlePath::append(qint8 step)
{
    const int n = size();
    if (n >= MaxSteps)
        return;
    steps[n] = step;
    steps[n + 1] = 0;
}

void WendlePath::dropLast()
{
    const int n = size();
    if (n > 0)
        steps[n - 1] = 0;
}

WendlePath WendlePath::fromSteps(std::initializer_list<int> list)
{
    WendlePath path;
    for (int s : list)
        path.append(qint8(s));
    return path;
}

bool operator==(const WendlePath& a, const WendlePath& b)
{
    for (int i = 0; i < 7; ++i) {
        if (a.steps[i] != b.steps[i])
            return false;
        if (a.steps[i] == 0)
            return true;
    }
    return false;
}

size_t qHash(const WendlePath& path, size_t seed)
{
    quint32 h = quint32(seed);
    for (int i = 0; i < WendlePath::MaxSteps && path.steps[i] != 0; ++i)
        h = h * 31u + quint32(qint32(path.steps[i]));
    return h;
}
