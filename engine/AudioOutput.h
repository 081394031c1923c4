#pragma once

#include <QObject>
#include <QStringList>

class PdPlayer;

// An output device whose callback drives the sound engine: it lists the
// devices that can play, opens one, and can silence the output while the
// engine keeps running.
class AudioOutput : public QObject
{
    Q_OBJECT

public:
    explicit AudioOutput(QObject* parent = nullptr);
    ~AudioOutput() override;

    virtual bool init(int framesPerBuffer, int deviceIndex, PdPlayer* player) = 0;
    virtual void term() = 0;
    // Devices that can play, in menu order; a device is chosen by its menu index.
    virtual QStringList deviceNames() const = 0;
    virtual void printDeviceInfo() const = 0;
    // -1 selects the system's default output device.
    virtual bool selectDevice(int index) = 0;
    virtual void mute() = 0;
    virtual void unmute() = 0;

signals:
    // The menu index of the device that now plays, or -1 when nothing plays.
    void selectedDeviceChanged(int index);
};
