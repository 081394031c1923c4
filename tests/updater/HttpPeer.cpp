#include "HttpPeer.h"

#include <QTcpSocket>

HttpPeer::HttpPeer()
{
    mServer.listen(QHostAddress::LocalHost);
    connect(&mServer, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = mServer.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
            connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                mInput.remove(socket);
                mSending.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

HttpPeer::~HttpPeer()
{
    // The connections close with the server, after the tables they report to.
    for (QTcpSocket* socket : mServer.findChildren<QTcpSocket*>())
        socket->disconnect(this);
}

QString HttpPeer::url(const QString& target) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(mServer.serverPort()).arg(target);
}

void HttpPeer::redirect(const QString& target, const QString& location, int status)
{
    answer(target, Answer { status, { { "Location", location.toUtf8() } }, {}, -1, false, -1, false });
}

QByteArray HttpPeer::bytes(qint64 n, qint64 from)
{
    QByteArray out(n, Qt::Uninitialized);
    for (qint64 i = 0; i < n; ++i)
        out[i] = char(quint32(from + i) * 2654435761u >> 24);
    return out;
}

void HttpPeer::onData(QTcpSocket* socket)
{
    QByteArray& in = mInput[socket];
    in += socket->readAll();
    qsizetype end;
    while (!mSending.contains(socket) && (end = in.indexOf("\r\n\r\n")) >= 0) {
        const QList<QByteArray> lines = in.left(end).split('\n');
        in.remove(0, end + 4);
        const QString target = QString::fromLatin1(lines.first().split(' ').value(1));
        for (const QByteArray& line : lines) {
            if (line.toLower().startsWith("user-agent:"))
                mUserAgent = line.mid(11).trimmed();
        }
        mTargets << target;
        const Answer a = mAnswers.value(target, mOthers);
        QByteArray head = "HTTP/1.1 " + QByteArray::number(a.status) + " Scripted\r\n";
        for (const auto& h : a.headers)
            head += h.first + ": " + h.second + "\r\n";
        const qint64 size = a.size >= 0 ? a.size : a.body.size();
        head += a.chunked ? QByteArray("Transfer-Encoding: chunked\r\n") : "Content-Length: " + QByteArray::number(size) + "\r\n";
        socket->write(head + "\r\n");
        mSending.insert(socket, a);
        mSent.insert(socket, 0);
        pump(socket);
    }
}

void HttpPeer::pump(QTcpSocket* socket)
{
    if (!mSending.contains(socket) || socket->bytesToWrite() > 256 * 1024)
        return;
    const Answer& a = mSending[socket];
    qint64& sent = mSent[socket];
    const qint64 size = a.size >= 0 ? a.size : a.body.size();
    const qint64 limit = a.cutAt >= 0 ? qMin(a.cutAt, size) : size;
    if (sent < limit) {
        const qint64 n = qMin<qint64>(64 * 1024, limit - sent);
        const QByteArray chunk = a.size >= 0 ? bytes(n, sent) : a.body.mid(sent, n);
        sent += n;
        socket->write(a.chunked ? QByteArray::number(n, 16) + "\r\n" + chunk + "\r\n" : chunk);
        return;
    }
    if (a.cutAt >= 0 && a.cutAt < size) {
        // Held only once the bytes have left for the client.
        if (socket->bytesToWrite() > 0)
            return;
        if (a.stall)
            mHeld += sent;
        else
            socket->disconnectFromHost();
        mSending.remove(socket);
        return;
    }
    if (a.chunked)
        socket->write("0\r\n\r\n");
    mSending.remove(socket);
    // A request that came while this answer was going out.
    if (!mInput.value(socket).isEmpty())
        onData(socket);
}
