#include "AudioOutput.h"

AudioOutput::AudioOutput(QObject* parent)
    : QObject(parent)
{
}

AudioOutput::~AudioOutput() = default;
