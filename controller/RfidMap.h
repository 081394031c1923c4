#pragma once

#include "SerializableRoot.h"

#include <QHash>
#include <QSharedPointer>
#include <QString>

class WendleEvent;

// The controller's table from the text of an RFID tag to the engine event
// that reading the tag posts. Created, loaded, read and destroyed on the
// controller thread alone.
class RfidMap : public SerializableRoot
{
public:
    static constexpr const char* FileName = "rfid_map.json";
    // Bytes of tag text in one controller datagram.
    static constexpr int TagLength = 10;

    RfidMap();
    ~RfidMap() override;

    void readJson(const QJsonObject& json) override;
    void writeJson(QJsonObject& json) const override;

    // The key a member name is stored under: its first ten characters, lower-cased.
    static QString tagKey(const QString& name);
    // The event of a received tag, matched without regard to case; null when there is none.
    const WendleEvent* find(const QString& tag) const;
    const QHash<QString, QSharedPointer<WendleEvent>>& table() const { return mTable; }

private:
    static QSharedPointer<WendleEvent> parseEntry(const QString& key, const QJsonValue& member);

    QHash<QString, QSharedPointer<WendleEvent>> mTable;
};
