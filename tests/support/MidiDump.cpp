#include "MidiDump.h"

#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QRegularExpression>
#include <algorithm>
#include <utility>

MidiDump::MidiDump(const QString& client)
    : mClient(client)
    , mPath(QDir::temp().filePath(client + QStringLiteral(".midi")))
{
    QFile::remove(mPath);
    mDump = std::make_unique<JackProcess>(QStringLiteral("jack_midi_dump"), QStringList { QStringLiteral("-a"), client },
                                          mPath);
    mOutput.setFileName(mPath);
}

MidiDump::~MidiDump()
{
    mDump.reset();
    mOutput.close();
    QFile::remove(mPath);
}

bool MidiDump::waitReady(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && mDump->isRunning()) {
        if (JackServer::ports().contains(port()))
            return mOutput.open(QIODevice::ReadOnly);
        QThread::msleep(100);
    }
    return false;
}

void MidiDump::read(int waitMs)
{
    QByteArray more = mOutput.readAll();
    if (more.isEmpty() && waitMs > 0) {
        QThread::msleep(waitMs);
        more = mOutput.readAll();
    }
    mPartial += more;
    static const QRegularExpression Byte(QStringLiteral("^[0-9a-f]{2}$"));
    qsizetype end;
    while ((end = mPartial.indexOf('\n')) >= 0) {
        const QString line = QString::fromLatin1(mPartial.left(end));
        mPartial.remove(0, end + 1);
        // jack_midi_dump's own ring overflows when its printing thread is starved.
        if (line.contains(QLatin1String("ringbuffer was full"))) {
            mMalformed << QStringLiteral("the dump lost events: ") + line;
            continue;
        }
        // "<frame>: <hex bytes> <description>"
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        QByteArray message;
        for (const QString& token : line.mid(colon + 1).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!Byte.match(token).hasMatch())
                break;
            message.append(char(token.toInt(nullptr, 16)));
        }
        if (message.isEmpty())
            continue;
        const QString wrong = checkWellFormed(message);
        if (!wrong.isEmpty())
            mMalformed << QStringLiteral("%1: %2").arg(hex(message), wrong);
        mMessages << message;
    }
}

QList<QByteArray> MidiDump::take()
{
    read(0);
    return std::exchange(mMessages, {});
}

QList<QByteArray> MidiDump::collect(int atLeast, int timeoutMs, int quietMs)
{
    QElapsedTimer clock;
    clock.start();
    while (mMessages.size() < atLeast && clock.elapsed() < timeoutMs)
        read(20);
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < quietMs && clock.elapsed() < timeoutMs) {
        const qsizetype before = mMessages.size();
        read(10);
        if (mMessages.size() != before)
            quiet.restart();
    }
    return take();
}

QString MidiDump::checkWellFormed(const QByteArray& message)
{
    const quint8 status = quint8(message.at(0));
    if (status < 0x80)
        return QStringLiteral("no status byte");
    if (status == 0xF0) {
        if (quint8(message.back()) != 0xF7)
            return QStringLiteral("system exclusive without its end");
        for (qsizetype i = 1; i + 1 < message.size(); ++i) {
            if (quint8(message.at(i)) >= 0x80)
                return QStringLiteral("data byte %1 is 0x80 or more").arg(i);
        }
        return QString();
    }
    const int length = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 2 : status < 0xF0 ? 3 : -1;
    if (length < 0)
        return QStringLiteral("a system message this output never sends");
    if (message.size() != length)
        return QStringLiteral("%1 bytes for a message of %2").arg(message.size()).arg(length);
    for (qsizetype i = 1; i < message.size(); ++i) {
        if (quint8(message.at(i)) >= 0x80)
            return QStringLiteral("data byte %1 is 0x80 or more").arg(i);
    }
    return QString();
}

QString MidiDump::hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

QString MidiDump::hex(const QList<QByteArray>& messages)
{
    QStringList parts;
    for (const QByteArray& m : messages)
        parts << hex(m);
    return parts.join(QStringLiteral(" | "));
}

void SynthModel::init()
{
    if (mInit)
        return;
    mInit = true;
    mTuning.fill(-1);
    mBend.fill(8192);
    mRange.fill(-1);
    mRpn.fill(0x3FFF);
}

void SynthModel::feed(const QList<QByteArray>& messages)
{
    for (const QByteArray& m : messages)
        feed(m);
}

void SynthModel::feed(const QByteArray& m)
{
    init();
    const auto at = [&m](qsizetype i) { return i < m.size() ? int(quint8(m.at(i))) : 0; };
    const int status = at(0);
    const size_t channel = size_t(status & 0x0F);
    switch (status & 0xF0) {
    case 0x90:
        mOn[channel][size_t(at(1) & 0x7F)] = at(2) != 0;
        break;
    case 0x80:
        mOn[channel][size_t(at(1) & 0x7F)] = false;
        break;
    case 0xE0:
        mBend[channel] = at(1) | at(2) << 7;
        break;
    case 0xB0:
        if (at(1) == 123)
            mOn[channel].fill(false);
        else if (at(1) == 101)
            mRpn[channel] = (mRpn[channel] & 0x7F) | at(2) << 7;
        else if (at(1) == 100)
            mRpn[channel] = (mRpn[channel] & ~0x7F) | at(2);
        else if (mRpn[channel] == 0 && at(1) == 6)
            mRange[channel] = at(2) * 100 + std::max(0, mRange[channel]) % 100;
        else if (mRpn[channel] == 0 && at(1) == 38)
            mRange[channel] = std::max(0, mRange[channel]) / 100 * 100 + at(2);
        break;
    case 0xF0:
        // Real-time single-note tuning change: F0 7F dev 08 02 prog n (kk xx yy zz)... F7
        if (m.size() >= 8 && at(1) == 0x7F && at(3) == 0x08 && at(4) == 0x02) {
            for (qsizetype g = 7; g + 4 < m.size(); g += 4) {
                const size_t key = size_t(at(g) & 0x7F);
                const int fraction = at(g + 2) << 7 | at(g + 3);
                const bool own = at(g + 1) == int(key) && fraction == 0;
                mSemitone[key] = at(g + 1);
                mTuning[key] = own ? -1 : fraction;
            }
        }
        break;
    default:
        break;
    }
}

QStringList SynthModel::sounding() const
{
    QStringList notes;
    for (size_t c = 0; c < 16; ++c) {
        for (size_t k = 0; k < 128; ++k) {
            if (mOn[c][k])
                notes << QStringLiteral("%1/%2").arg(c).arg(k);
        }
    }
    return notes;
}

QList<int> SynthModel::retunedKeys() const
{
    QList<int> keys;
    if (!mInit)
        return keys;
    for (size_t k = 0; k < 128; ++k) {
        if (mTuning[k] >= 0)
            keys << int(k);
    }
    return keys;
}
