#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <atomic>
#include <mutex>

// A controller datagram built byte by byte: 72 bytes of filler that the
// listener must not read, the wand number at 23 and tag byte k at 27 + 4k.
QByteArray wandDatagram(qint8 wand, const QByteArray& tag);

// A port that nothing on this machine had bound a moment ago.
quint16 freeUdpPort();

// Sends each datagram from one socket, in order; false when one was not sent whole.
bool sendDatagrams(const QList<QByteArray>& datagrams, const QHostAddress& to, quint16 port);

// Writes `bytes` to the configuration folder's file `name`.
bool writeConfigFile(const QString& name, const QByteArray& bytes);
QByteArray readConfigFile(const QString& name);

// The controller commands that log lines say were dropped: one for each
// "Command buffer full", and the count that each summary of a flood gives.
int droppedCommandsLogged(const QStringList& lines);

// Every message logged from any thread while it lives, as "W: text" (D, W,
// C for debug, warning, critical). Nothing is passed on: a flood stays quiet.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    // The lines of one kind ('W'), without their prefix.
    QStringList lines(char kind) const;
    int count(const QString& line) const;
    // Bytes the warnings and critical messages would take in the log file.
    qint64 logBytes() const;
    // Waits (processing events) until `line` was logged `times` times.
    bool waitFor(const QString& line, int times = 1, int timeoutMs = 10000) const;
    void clear();
    // Every message then takes this long, as on a slow disk.
    void slowDown(int microseconds) { mDelayUs.store(microseconds); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text);

    mutable std::mutex mMutex;
    QStringList mLines;
    QtMessageHandler mPrevious = nullptr;
    std::atomic<int> mDelayUs { 0 };
    static LogCapture* sSelf;
};
