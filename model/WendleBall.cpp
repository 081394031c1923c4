#include "WendleBall.h"

#include "PrimeTables.h"
#include "Wendle.h"

#include <QDebug>
#include <QJsonObject>

WendleBall::WendleBall(const WendlePath& p, const QColor& c, QObject* parent)
    : SerializableNode(parent)
    , path(p)
    , colour(c)
{
}

WendleBall::~WendleBall() = default;

Wendle* WendleBall::lattice() const
{
    for (QObject* o = parent(); o; o = o->parent()) {
        if (auto w = qobject_cast<Wendle*>(o))
            return w;
    }
    return nullptr;
}

void WendleBall::setEnabled(bool on)
{
    if (enabled == on)
        return;
    enabled = on;
    for (WendleBall* child : std::as_const(children))
        child->setEnabled(on);
    emit enabledChanged(on);
}

void WendleBall::setEnabledFlag(bool on)
{
    if (enabled == on)
        return;
    enabled = on;
    emit enabledChanged(on);
}

void WendleBall::addLink(const QString& pathText)
{
    WendlePath target;
    target.fromText(pathText);
    const Wendle* w = lattice();
    links.insert(2, Link { w ? w->primeColor(2) : QColor(Qt::white), target });
}

void WendleBall::cancelOpposites(QList<int>& steps)
{
    for (int i = 0; i < steps.size();) {
        int j = -1;
        for (int k = i; k >= 0; --k) {
            if (steps[k] == -steps[i]) {
                j = k;
                break;
            }
        }
        if (j < 0 || j == i) {
            ++i;
            continue;
        }
        steps.removeAt(i);
        steps.removeAt(j);
        i = std::max(0, i - 1);
    }
}

QList<int> WendleBall::absoluteSteps() const
{
    const Wendle* w = lattice();
    QList<int> steps = w ? w->transpositionPath() : QList<int>();
    steps += path.toList();
    cancelOpposites(steps);
    return steps;
}

int WendleBall::colourPrime() const
{
    const QList<int> steps = absoluteSteps();
    if (steps.isEmpty())
        return 1;
    for (int s : path.toList()) {
        if (std::abs(s) >= 4)
            return 32;
    }
    int low = 0;
    int highest = 0;
    for (int s : steps) {
        const int a = std::abs(s);
        if (a == 2 || a == 3)
            low = std::max(low, a);
        highest = std::max(highest, a);
    }
    return low ? low : highest;
}

int WendleBall::lastPrime() const
{
    const int n = path.size();
    return n == 0 ? 1 : std::abs(int(path.steps[n - 1]));
}

void WendleBall::readJson(const QJsonObject& json)
{
    const Wendle* w = lattice();
    const QJsonValue childrenValue = json.value(QLatin1String("children"));
    if (!childrenValue.isUndefined()) {
        const QJsonObject object = childrenValue.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool ok = false;
            const int step = it.key().toInt(&ok);
            // Only a signed prime step leads to a child: anything else would put
            // a ball at its parent's pitch or index outside the prime tables.
            if (!ok || !isPrimeStep(step)) {
                qWarning().noquote() << QStringLiteral("Lattice file: child \"%1\" of %2 skipped: not a signed prime step")
                                            .arg(it.key(), path.toString());
                continue;
            }
            if (path.size() >= WendlePath::MaxSteps) {
                qWarning().noquote() << QStringLiteral("Lattice file: child \"%1\" of %2 skipped: paths hold at most %3 steps")
                                            .arg(it.key(), path.toString()).arg(WendlePath::MaxSteps);
                continue;
            }
            WendlePath childPath = path;
            childPath.append(qint8(step));
            auto child = new WendleBall(childPath, w ? w->primeColor(step) : QColor(Qt::white), this);
            child->readJson(it.value().toObject());
            if (WendleBall* earlier = children.value(step))
                delete earlier;
            children.insert(step, child);
        }
    }
    const QJsonValue linksValue = json.value(QLatin1String("links"));
    if (!linksValue.isUndefined()) {
        const QJsonObject object = linksValue.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool ok = false;
            int prime = it.key().toInt(&ok);
            if (!ok)
                prime = 0;
            WendlePath target;
            target.fromText(it.value().isString() ? it.value().toString() : QString());
            links.insert(prime, Link { w ? w->primeColor(prime) : QColor(Qt::white), target });
        }
    }
}

void WendleBall::writeJson(QJsonObject& json) const
{
    if (!children.isEmpty()) {
        QJsonObject object;
        for (auto it = children.begin(); it != children.end(); ++it) {
            QJsonObject child;
            it.value()->writeJson(child);
            object.insert(QString::number(it.key()), child);
        }
        json.insert(QStringLiteral("children"), object);
    }
    if (!links.isEmpty()) {
        QJsonObject object;
        for (auto it = links.begin(); it != links.end(); ++it)
            object.insert(QString::number(it.key()), it.value().target.toString());
        json.insert(QStringLiteral("links"), object);
    }
}
