#include "WarningCatcher.h"

WarningCatcher* WarningCatcher::sSelf = nullptr;

WarningCatcher::WarningCatcher()
{
    sSelf = this;
    mPrevious = qInstallMessageHandler(&WarningCatcher::handle);
}

WarningCatcher::~WarningCatcher()
{
    qInstallMessageHandler(mPrevious);
    sSelf = nullptr;
}

void WarningCatcher::handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg)
        sSelf->mWarnings << message;
    else if (sSelf->mPrevious)
        sSelf->mPrevious(type, context, message);
}
