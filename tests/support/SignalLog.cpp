#include "SignalLog.h"

#include "PdPlayer.h"

#include <QSignalSpy>

namespace {

QString text(const QVariant& v)
{
    if (v.metaType() == QMetaType::fromType<WendleRatio>())
        return v.value<WendleRatio>().toString(false);
    if (v.metaType() == QMetaType::fromType<float>())
        return QString::number(v.toFloat(), 'g', 6);
    if (v.metaType() == QMetaType::fromType<QList<float>>() || v.metaType() == QMetaType::fromType<QList<int>>()) {
        QStringList items;
        for (const QVariant& item : v.value<QVariantList>())
            items << text(item);
        return QLatin1Char('[') + items.join(QLatin1Char(';')) + QLatin1Char(']');
    }
    if (v.metaType() == QMetaType::fromType<QStringList>())
        return QLatin1Char('[') + v.toStringList().join(QLatin1Char(';')) + QLatin1Char(']');
    return v.toString();
}

} // namespace

// Notes which spy caught an emission: connected after its spy, so that its
// slot runs right after the spy has taken the arguments.
class SignalTap : public QObject
{
    Q_OBJECT

public:
    SignalTap(std::vector<int>* sequence, int spy)
        : mSequence(sequence)
        , mSpy(spy)
    {
    }

public slots:
    void hit() { mSequence->push_back(mSpy); }

private:
    std::vector<int>* mSequence;
    int mSpy;
};

SignalLog::SignalLog(PdPlayer* player, const QList<QByteArray>& names)
    : mPlayer(player)
{
    // What was reported before is not logged.
    player->deliverReports();
    const QMetaObject* mo = player->metaObject();
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() == QMetaMethod::Signal && (names.isEmpty() || names.contains(m.name()))) {
            mSpies.push_back(std::make_unique<QSignalSpy>(player, m));
            mTaps.push_back(std::make_unique<SignalTap>(&mSequence, int(mSpies.size()) - 1));
            QObject::connect(player, m, mTaps.back().get(), SignalTap::staticMetaObject.method(SignalTap::staticMetaObject.indexOfSlot("hit()")),
                             Qt::DirectConnection);
        }
    }
}

SignalLog::~SignalLog() = default;

QStringList SignalLog::take()
{
    mPlayer->deliverReports();
    std::vector<int> next(mSpies.size(), 0);
    QStringList list;
    for (int s : mSequence) {
        QSignalSpy& spy = *mSpies[size_t(s)];
        const QList<QVariant>& args = spy.at(next[size_t(s)]++);
        QStringList texts;
        for (const QVariant& v : args)
            texts << text(v);
        list << QString::fromLatin1(spy.signal().left(spy.signal().indexOf('('))) + QLatin1Char('(') + texts.join(QLatin1Char(',')) + QLatin1Char(')');
    }
    for (const auto& spy : mSpies)
        spy->clear();
    mSequence.clear();
    return list;
}

#include "SignalLog.moc"
