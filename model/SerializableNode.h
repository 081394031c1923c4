#pragma once

#include <QJsonObject>
#include <QObject>

// Something that reads itself from and writes itself into a JSON object.
class SerializableNode : public QObject
{
public:
    explicit SerializableNode(QObject* parent = nullptr);
    ~SerializableNode() override;

    virtual void readJson(const QJsonObject& json) = 0;
    virtual void writeJson(QJsonObject& json) const = 0;
};
