#include "RfidMap.h"

#include "WendleNoteEvent.h"

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>
#include <cmath>
#include <limits>

namespace {

// Command numbers as the engine reads them; the model does not know the engine.
constexpr qint32 TogglePathNote = 0;
constexpr qint32 HighestCommand = 42;

void ignore(const QString& text)
{
    qWarning().noquote() << text + QStringLiteral(" Ignoring.");
}

} // namespace

RfidMap::RfidMap()
{
    // The table is the player's own file: it is only ever written when missing.
    mAutoSave = false;
}

RfidMap::~RfidMap() = default;

QString RfidMap::tagKey(const QString& name)
{
    return name.left(TagLength).toLower();
}

const WendleEvent* RfidMap::find(const QString& tag) const
{
    const auto it = mTable.constFind(tag.toLower());
    return it == mTable.cend() ? nullptr : it->get();
}

void RfidMap::readJson(const QJsonObject& json)
{
    mTable.clear();
    for (auto it = json.begin(); it != json.end(); ++it) {
        const QString key = tagKey(it.key());
        const QSharedPointer<WendleEvent> event = parseEntry(key, it.value());
        if (!event)
            continue;
        const bool replacing = mTable.contains(key);
        mTable.insert(key, event);
        const auto note = event.dynamicCast<WendleNoteEvent>();
        qWarning().noquote() << QStringLiteral("RFID %1 mapped to: event %2, value %3")
                                    .arg(key)
                                    .arg(event->type)
                                    .arg(note ? note->path.toString() : QString::number(event->value, 'g', 6));
        if (replacing)
            qWarning().noquote() << QStringLiteral("RFID %1 is named more than once; \"%2\" replaced the earlier entry.").arg(key, it.key());
        // A wand sends ten bytes of UTF-8: any other length can never match.
        if (key.toUtf8().size() != TagLength)
            qWarning().noquote() << QStringLiteral("RFID %1 is not %2 bytes long as a wand sends it, so no tag will match it.").arg(key).arg(TagLength);
    }
}

QSharedPointer<WendleEvent> RfidMap::parseEntry(const QString& key, const QJsonValue& member)
{
    if (!member.isObject()) {
        ignore(QStringLiteral("RFID %1 is not mapped to an object with \"event\" and \"value\".").arg(key));
        return {};
    }
    const QJsonObject entry = member.toObject();
    const QJsonValue value = entry.value(QLatin1String("value"));

    if (value.isString() && value.toString().startsWith(QLatin1Char('/'))) {
        const QString text = value.toString();
        WendlePath path;
        path.fromText(text);
        // The path keeps six steps and would drop the rest without a word.
        const bool tooLong = text.split(QLatin1Char('/'), Qt::SkipEmptyParts).size() > WendlePath::MaxSteps;
        if (path.isInvalid() || tooLong) {
            ignore(QStringLiteral("RFID %1 was assigned invalid path %2.").arg(key, text));
            return {};
        }
        return QSharedPointer<WendleNoteEvent>::create(TogglePathNote, 1.0f, path, WendleRatio(0, 1));
    }

    // A number that is no command, or a value that would arrive as 0.0,
    // would make the tag do something the player never asked for.
    const QJsonValue type = entry.value(QLatin1String("event"));
    if (!type.isDouble()) {
        ignore(QStringLiteral("RFID %1 has no command number in \"event\".").arg(key));
        return {};
    }
    const double command = std::trunc(type.toDouble());
    if (!(command >= 0.0 && command <= HighestCommand)) {
        ignore(QStringLiteral("RFID %1 has event %2, which is no command (0 to %3).").arg(key).arg(type.toDouble()).arg(HighestCommand));
        return {};
    }
    float number = 0.0f;
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (!(std::abs(d) <= double(std::numeric_limits<float>::max()))) {
            ignore(QStringLiteral("RFID %1 has value %2, which is out of the range of a float.").arg(key).arg(d));
            return {};
        }
        number = float(d);
    } else if (value.isString()) {
        ignore(QStringLiteral("RFID %1 has value \"%2\", which is neither a number nor a path beginning with \"/\".").arg(key, value.toString()));
        return {};
    } else if (!value.isUndefined()) {
        ignore(QStringLiteral("RFID %1 has a value that is neither a number nor a path.").arg(key));
        return {};
    }
    return QSharedPointer<WendleEvent>::create(qint32(command), number);
}

void RfidMap::writeJson(QJsonObject& json) const
{
    for (auto it = mTable.cbegin(); it != mTable.cend(); ++it) {
        QJsonObject entry;
        entry.insert(QStringLiteral("event"), it.value()->type);
        if (const auto note = it.value().dynamicCast<WendleNoteEvent>())
            entry.insert(QStringLiteral("value"), note->path.toString());
        else
            entry.insert(QStringLiteral("value"), double(it.value()->value));
        json.insert(it.key(), entry);
    }
}
