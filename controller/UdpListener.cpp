#include "UdpListener.h"

#include "RfidMap.h"
#include "WarningThrottle.h"

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QStringDecoder>
#include <QUdpSocket>

namespace {

// A tag as the log shows it: anyone on the network can send one, and a line
// break or a terminal's control sequence must not forge lines of the log.
// Every character that does not print is written as \xNN or \uNNNN, and
// the backslash itself as \\.
QString printableTag(const QString& tag)
{
    QString out;
    for (const char32_t c : tag.toUcs4()) {
        if (c == U'\\')
            out += QStringLiteral("\\\\");
        else if (QChar::isPrint(c))
            out += QString::fromUcs4(&c, 1);
        else if (c < 0x100)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return out;
}

} // namespace

UdpListener::UdpListener(QObject* parent)
    : QThread(parent)
{
}

UdpListener::~UdpListener()
{
    requestStop();
    wait();
}

// Listeners whose thread would not stop: never destroyed, and held here so
// that leak checkers see them as kept rather than lost.
QList<UdpListener*>& UdpListener::abandoned()
{
    static auto* listeners = new QList<UdpListener*>;
    return *listeners;
}

void UdpListener::abandon()
{
    requestStop();
    // Its receivers (the engine, the application) go before the thread may
    // end; the loop also reads the stop flag before each datagram it hands on.
    disconnect();
    mAbandoned = true;
    abandoned().append(this);
}

void UdpListener::fail(const QString& message)
{
    qCritical().noquote() << message;
    emit fatalError(message);
}

void UdpListener::run()
{
    qWarning() << "UDP thread starting...";
    RfidMap map;
    if (!map.loadFromFile(QLatin1String(RfidMap::FileName))) {
        fail(QStringLiteral("Failed to load RFID mapping file, UDP thread shutting down."));
        return;
    }

    const QString portFailure = QStringLiteral("Can't open UDP socket on port %1. UDP thread shutting down.").arg(mPort);
    // Narrowed to 16 bits, 0 and 65536 would bind a port of the system's
    // choosing and 70000 port 4464, all reported as success.
    if (mPort < 1 || mPort > 65535) {
        fail(portFailure);
        return;
    }
    QUdpSocket socket;
    // The wand is on the local network: a system proxy would only stand in the way.
    socket.setProxy(QNetworkProxy::NoProxy);
    // Exclusive: a second program on the port would take the wand's datagrams away.
    if (!socket.bind(QHostAddress::Any, quint16(mPort), QAbstractSocket::DontShareAddress)) {
        qWarning().noquote() << QStringLiteral("UDP bind on port %1: %2").arg(mPort).arg(socket.errorString());
        fail(portFailure);
        return;
    }
    qWarning() << "UDP socket opened on port" << mPort;

    WarningThrottle wrongSize(QStringLiteral("%1 more UDP packets of a wrong size discarded in %2 ms"));
    WarningThrottle unknownTag(QStringLiteral("%1 more unknown RFIDs ignored in %2 ms"));
    QElapsedTimer clock;
    clock.start();
    QByteArray datagram(DatagramSize, '\0');

    const auto roll = [&] {
        const qint64 now = clock.elapsed();
        wrongSize.roll(now);
        unknownTag.roll(now);
    };
    while (!stopRequested()) {
        roll();
        if (!socket.waitForReadyRead(WaitMs)) {
            // Qt closes a socket on any error but a timeout; waiting on it
            // again would return at once, forever.
            if (socket.state() != QAbstractSocket::BoundState) {
                fail(QStringLiteral("UDP socket on port %1 failed: %2. UDP thread shutting down.").arg(mPort).arg(socket.errorString()));
                break;
            }
            continue;
        }
        // A flood never empties the socket: the flag is read per datagram.
        while (!stopRequested() && socket.hasPendingDatagrams()) {
            // Datagrams of another kind that keep the socket full must not
            // hold back the count of a flood that has ended.
            roll();
            const qint64 size = socket.pendingDatagramSize();
            if (size != DatagramSize) {
                if (wrongSize.admit(clock.elapsed()))
                    qWarning().noquote() << QStringLiteral("Discarding UDP packet due to wrong size %1").arg(size);
                socket.readDatagram(nullptr, 0);
                continue;
            }
            QHostAddress sender;
            if (socket.readDatagram(datagram.data(), DatagramSize, &sender) != DatagramSize)
                continue;
            qDebug().noquote() << QStringLiteral("Received a UDP packet from %1 on port %2").arg(sender.toString()).arg(mPort);

            const int wand = qint8(datagram[WandOffset]);
            char tagBytes[RfidMap::TagLength];
            for (int k = 0; k < RfidMap::TagLength; ++k)
                tagBytes[k] = datagram[TagOffset + TagStride * k];
            // Stateless and BOM-preserving, so that the text is these ten bytes and nothing else.
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
            const QString tag = utf8(QByteArrayView(tagBytes, RfidMap::TagLength));
            if (utf8.hasError()) {
                if (unknownTag.admit(clock.elapsed()))
                    qWarning().noquote() << QStringLiteral("RFID bytes %1 from wand %2 are not UTF-8 text. Ignoring.")
                                                .arg(QString::fromLatin1(QByteArray(tagBytes, RfidMap::TagLength).toHex(' ')))
                                                .arg(wand);
                continue;
            }
            qDebug().noquote() << QStringLiteral("Wand ID: %1, RFID: %2").arg(wand).arg(printableTag(tag));
            if (const WendleEvent* event = map.find(tag))
                emit eventReceived(event);
            else if (unknownTag.admit(clock.elapsed()))
                qWarning().noquote() << QStringLiteral("RFID %1 not found in mapping table. Ignoring.").arg(printableTag(tag));
        }
    }
    wrongSize.flush(clock.elapsed());
    unknownTag.flush(clock.elapsed());
    socket.close();
    qWarning() << "UDP thread exits run";
}
