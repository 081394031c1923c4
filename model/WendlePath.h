#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QtGlobal>

// The address of a lattice node: up to six signed prime steps from 1/1,
// closed by a 0 byte. It is copied as raw bytes into engine commands, so it
// stays a 7-byte plain value.
class WendlePath
{
public:
    static constexpr int MaxSteps = 6;
    static constexpr qint8 InvalidMarker = 127;

    WendlePath() = default;

    void fromText(const QString& text);
    QString toString() const;
    QList<int> toList() const;
    int size() const;
    bool isEmpty() const { return steps[0] == 0; }
    bool isInvalid() const { return steps[0] == InvalidMarker; }
    void append(qint8 step);
    void dropLast();

    static WendlePath fromSteps(std::initializer_list<int> list);

    qint8 steps[7] = { 0, 0, 0, 0, 0, 0, 0 };
};

static_assert(sizeof(WendlePath) == 7 && alignof(WendlePath) == 1);

bool operator==(const WendlePath& a, const WendlePath& b);
inline bool operator!=(const WendlePath& a, const WendlePath& b) { return !(a == b); }
size_t qHash(const WendlePath& path, size_t seed = 0);

Q_DECLARE_METATYPE(WendlePath)
