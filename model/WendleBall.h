#pragma once

#include "SerializableNode.h"
#include "WendlePath.h"

#include <QColor>
#include <QList>
#include <QMap>

class Wendle;

// One node of the lattice: its path from 1/1, its colour, its children by
// signed step, its links to other nodes and the states the engine reports.
class WendleBall : public SerializableNode
{
    Q_OBJECT

public:
    struct Link
    {
        QColor colour;
        WendlePath target;
    };

    WendleBall(const WendlePath& path, const QColor& colour, QObject* parent);
    ~WendleBall() override;

    void setEnabled(bool enabled);
    // Sets this ball's own flag only, leaving the subtree alone.
    void setEnabledFlag(bool enabled);
    void addLink(const QString& pathText);
    QList<int> absoluteSteps() const;
    int colourPrime() const;
    int lastPrime() const;

    void readJson(const QJsonObject& json) override;
    void writeJson(QJsonObject& json) const override;

    // Cancels each step against the nearest earlier opposite one.
    static void cancelOpposites(QList<int>& steps);

    WendlePath path;
    QColor colour;
    QMap<qint32, WendleBall*> children;
    QMap<qint32, Link> links;
    bool playing = false;
    bool enabled = true;
    bool selected = false;
    bool hold = false;
    bool altered = false;

signals:
    void playingChanged(bool playing);
    void enabledChanged(bool enabled);
    void selectedChanged(bool selected);
    void holdChanged(bool hold);
    void alteredChanged(bool altered);

private:
    Wendle* lattice() const;
};
