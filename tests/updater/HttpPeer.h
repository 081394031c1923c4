#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>

class QTcpSocket;

// One scripted answer of the peer.
struct Answer
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // A generated body of this many bytes in place of `body` (see HttpPeer::bytes).
    qint64 size = -1;
    // Sent in chunks with no Content-Length.
    bool chunked = false;
    // Only this many body bytes are sent; then the connection is closed, or
    // with `stall` kept open with nothing more.
    qint64 cutAt = -1;
    bool stall = false;
};

// A loopback HTTP/1.1 server with an answer per request target (path and
// query) and one for everything else; it counts what it is asked. Bodies are
// written as the client reads them, so a large one is never held whole.
class HttpPeer : public QObject
{
    Q_OBJECT

public:
    HttpPeer();
    ~HttpPeer() override;
    QString url(const QString& target) const;
    void answer(const QString& target, const Answer& a) { mAnswers.insert(target, a); }
    void redirect(const QString& target, const QString& location, int status = 301);
    void answerOthers(const Answer& a) { mOthers = a; }
    int requests(const QString& target) const { return mTargets.count(target); }
    int requests() const { return int(mTargets.size()); }
    QByteArray lastUserAgent() const { return mUserAgent; }
    // Body bytes sent on the connections that the peer went on to hold open
    // with nothing more to come (answers with `stall`), summed.
    qint64 held() const { return mHeld; }
    // `n` bytes of the generated body from offset `from`.
    static QByteArray bytes(qint64 n, qint64 from = 0);

private:
    void onData(QTcpSocket* socket);
    void pump(QTcpSocket* socket);

    QTcpServer mServer;
    QHash<QString, Answer> mAnswers;
    Answer mOthers { 404, {}, "not here", -1, false, -1, false };
    QList<QString> mTargets;
    QByteArray mUserAgent;
    QHash<QTcpSocket*, QByteArray> mInput;
    QHash<QTcpSocket*, Answer> mSending;
    QHash<QTcpSocket*, qint64> mSent;
    qint64 mHeld = 0;
};
