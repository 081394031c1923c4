#include "MidiOutput.h"

MidiOutput::MidiOutput(QObject* parent)
    : QObject(parent)
{
}

MidiOutput::~MidiOutput() = default;

void MidiOutput::setPortWatcher(std::function<void(bool)> watcher)
{
    mPortWatcher = std::move(watcher);
    if (mPortWatcher)
        mPortWatcher(portOpen());
}

void MidiOutput::portChanged(bool open)
{
    if (mPortWatcher)
        mPortWatcher(open);
}
