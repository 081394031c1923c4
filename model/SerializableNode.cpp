#include "SerializableNode.h"

SerializableNode::SerializableNode(QObject* parent)
    : QObject(parent)
{
}

SerializableNode::~SerializableNode() = default;
