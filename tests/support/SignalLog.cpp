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

SignalLog::SignalLog(PdPlayer* player, const QList<QByteArray>& names)
    : mPlayer(player)
{
    // What was reported before is not logged.
    player->deliverReports();
    const QMetaObject* mo = player->metaObject();
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        if (m.methodType() == QMetaMethod::Signal && (names.isEmpty() || names.contains(m.name())))
            mSpies.push_back(std::make_unique<QSignalSpy>(player, m));
    }
}

SignalLog::~SignalLog() = default;

QStringList SignalLog::take()
{
    mPlayer->deliverReports();
    QStringList list;
    for (const auto& spy : mSpies) {
        const QByteArray name = spy->signal().left(spy->signal().indexOf('('));
        for (const QList<QVariant>& args : std::as_const(*spy)) {
            QStringList texts;
            for (const QVariant& v : args)
                texts << text(v);
            list << QString::fromLatin1(name) + QLatin1Char('(') + texts.join(QLatin1Char(',')) + QLatin1Char(')');
        }
        spy->clear();
    }
    return list;
}
