#include "ControllerTestSupport.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUdpSocket>
#include <QtTest>

#include <chrono>
#include <thread>

QByteArray wandDatagram(qint8 wand, const QByteArray& tag)
{
    QByteArray bytes(72, char(0xA5));
    bytes[23] = char(wand);
    for (int k = 0; k < 10; ++k)
        bytes[27 + 4 * k] = k < tag.size() ? tag[k] : '\0';
    return bytes;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    return probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress) ? probe.localPort() : 0;
}

bool sendDatagrams(const QList<QByteArray>& datagrams, const QHostAddress& to, quint16 port)
{
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    for (const QByteArray& d : datagrams) {
        if (socket.writeDatagram(d, to, port) != d.size())
            return false;
    }
    return true;
}

namespace {

QString configPath(const QString& name)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + name;
}

} // namespace

bool writeConfigFile(const QString& name, const QByteArray& bytes)
{
    QFile file(configPath(name));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readConfigFile(const QString& name)
{
    QFile file(configPath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int droppedCommandsLogged(const QStringList& lines)
{
    static const QRegularExpression summary(QStringLiteral("(\\d+) more controller commands dropped in \\d+ ms: command buffer full$"));
    int count = 0;
    for (const QString& line : lines) {
        if (line.endsWith(QStringLiteral("Command buffer full")))
            ++count;
        else if (const QRegularExpressionMatch m = summary.match(line); m.hasMatch())
            count += m.captured(1).toInt();
    }
    return count;
}

LogCapture* LogCapture::sSelf = nullptr;

LogCapture::LogCapture()
{
    sSelf = this;
    mPrevious = qInstallMessageHandler(&LogCapture::handle);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(mPrevious);
    sSelf = nullptr;
}

void LogCapture::handle(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    const char kind = type == QtDebugMsg ? 'D' : type == QtWarningMsg ? 'W' : type == QtCriticalMsg ? 'C' : 'I';
    if (const int us = sSelf->mDelayUs.load())
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    std::lock_guard lock(sSelf->mMutex);
    sSelf->mLines << QLatin1Char(kind) + QStringLiteral(": ") + text;
}

QStringList LogCapture::lines() const
{
    std::lock_guard lock(mMutex);
    return mLines;
}

QStringList LogCapture::lines(char kind) const
{
    QStringList of;
    for (const QString& line : lines()) {
        if (line.startsWith(QLatin1Char(kind)))
            of << line.mid(3);
    }
    return of;
}

int LogCapture::count(const QString& line) const
{
    std::lock_guard lock(mMutex);
    return int(mLines.count(line));
}

qint64 LogCapture::logBytes() const
{
    qint64 bytes = 0;
    for (const QString& line : lines()) {
        // "[hh:mm:ss.zzz] " and the line's end, as the log file has them.
        if (!line.startsWith(QLatin1Char('D')))
            bytes += 16 + line.mid(3).toUtf8().size();
    }
    return bytes;
}

bool LogCapture::waitFor(const QString& line, int times, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(line) >= times; }, timeoutMs);
}

void LogCapture::clear()
{
    std::lock_guard lock(mMutex);
    mLines.clear();
}
