#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects the warnings logged while it lives; other messages go to the
// previous handler as before.
class WarningCatcher
{
public:
    WarningCatcher();
    ~WarningCatcher();
    WarningCatcher(const WarningCatcher&) = delete;
    WarningCatcher& operator=(const WarningCatcher&) = delete;

    const QStringList& warnings() const { return mWarnings; }
    int count(const QString& text) const { return int(mWarnings.count(text)); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message);

    static WarningCatcher* sSelf;
    QtMessageHandler mPrevious = nullptr;
    QStringList mWarnings;
};
