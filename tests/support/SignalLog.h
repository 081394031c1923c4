#pragma once

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <memory>
#include <vector>

class PdPlayer;
class QSignalSpy;
class SignalTap;

// The player's signals (all, or the named ones) from construction on, as
// "name(arguments)": ratios as n/d, floats in six digits, lists in [a;b].
// One sequence in the order of emission, across signals.
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
    std::vector<std::unique_ptr<SignalTap>> mTaps;
    std::vector<int> mSequence; // the spy of each emission, in order
};
