#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <memory>
#include <vector>

class PdPlayer;
class QSignalSpy;

// The player's signals (all, or the named ones) from construction on, as
// "name(arguments)": ratios as n/d, floats in six digits, lists in [a;b].
// In order within one signal, grouped by signal in their declaration order.
class SignalLog
{
public:
    explicit SignalLog(PdPlayer* player, const QList<QByteArray>& names = {});
    ~SignalLog();
    SignalLog(const SignalLog&) = delete;
    SignalLog& operator=(const SignalLog&) = delete;

    // Delivers the waiting reports, then hands over what was logged.
    QStringList take();

private:
    PdPlayer* mPlayer;
    std::vector<std::unique_ptr<QSignalSpy>> mSpies;
};
