#pragma once

#include <QList>
#include <QString>
#include <QThread>
#include <atomic>

class WendleEvent;

// The controller thread: receives the wand's datagrams, looks their tag up in
// the table "rfid_map.json" and hands the mapped event on. It has no event
// loop; it waits on its socket at most a second at a time, so that it sees
// the stop flag.
class UdpListener : public QThread
{
    Q_OBJECT

public:
    static constexpr int DatagramSize = 72;
    static constexpr int WandOffset = 23;
    // Character k of the tag is the low byte of word 6 + k.
    static constexpr int TagOffset = 27;
    static constexpr int TagStride = 4;
    static constexpr int WaitMs = 1000;

    explicit UdpListener(QObject* parent = nullptr);
    // Stops the thread and waits for it: Qt aborts when a running thread is destroyed.
    ~UdpListener() override;

    // The configured port ("udpPort"), handed over before start(): the
    // thread never reads the options, which belong to the GUI thread.
    void setPort(qint32 port) { mPort = port; }
    qint32 port() const { return mPort; }

    void requestStop() { mStop.store(true, std::memory_order_relaxed); }
    bool stopRequested() const { return mStop.load(std::memory_order_relaxed); }

    // For a thread that did not stop in time: cuts this listener off from
    // every receiver and keeps it, thread and all, to the process's end (Qt
    // aborts when a running thread is destroyed). Its owner must not delete it.
    void abandon();
    bool isAbandoned() const { return mAbandoned; }

signals:
    void fatalError(QString error);
    // The event belongs to the table and is valid only during the call.
    void eventReceived(const WendleEvent* event);

protected:
    void run() override;

private:
    void fail(const QString& message);

    static QList<UdpListener*>& abandoned();

    std::atomic<bool> mStop { false };
    bool mAbandoned = false;
    qint32 mPort = 8888;
};
