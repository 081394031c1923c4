// The log: "log.txt" in the configuration folder, and the messages of chosen
// source files forwarded to the diagnostics window.
#include "TuningWendleApplication.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>
#include <QTextStream>
#include <cstdio>

QSet<QString> TuningWendleApplication::flagsOf(const QStringList& arguments)
{
    QSet<QString> flags;
    for (QString a : arguments) {
        if (a.startsWith(QLatin1Char('-')))
            a.remove(0, 1);
        flags.insert(a.toLower());
    }
    return flags;
}

bool TuningWendleApplication::forwards(const QSet<QString>& flags, const char* sourceFile)
{
    if (flags.isEmpty() || !sourceFile)
        return false;
    const QString path = QString::fromLocal8Bit(sourceFile);
    qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    if (cut < 0)
        cut = path.lastIndexOf(QLatin1Char('\\'));
    if (cut < 0)
        return false;
    const QString name = path.mid(cut + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? name : name.left(dot);
    return flags.contains(QStringLiteral("all")) || flags.contains(base.toLower());
}

void TuningWendleApplication::openLog()
{
    mLogFile.setFileName(configDir() + QStringLiteral("/log.txt"));
    if (!mLogFile.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qCritical().noquote() << QStringLiteral("Couldn't open log file %1 for writing.").arg(mLogFile.fileName());
        return;
    }
    qInstallMessageHandler(messageHandler);
    QMutexLocker lock(&mLogMutex);
    QTextStream out(&mLogFile);
    out << '\n' << QString(78, QLatin1Char('-')) << '\n'
        << QStringLiteral("Starting app at ") << QDateTime::currentDateTime().toString(QStringLiteral("dd/MM/yy hh:mm:ss.z"))
        << Qt::endl;
}

void TuningWendleApplication::messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    // A message logged while one is being handled (Qt complaining about the
    // write, a receiver of the forwarded text logging) would wait for the
    // log mutex this thread holds, or loop: it goes to the standard error.
    static thread_local bool handling = false;
    TuningWendleApplication* app = sInstance;
    if (handling || !app) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        return;
    }
    handling = true;
    const QString stamp = QTime::currentTime().toString(QStringLiteral("[hh:mm:ss.zzz] "));
    if (forwards(app->mFlags, context.file))
        emit app->diagnosticMessage(QStringLiteral("%1 %2\n").arg(stamp, text));
    if (type != QtDebugMsg) {
        QMutexLocker lock(&app->mLogMutex);
        QTextStream out(&app->mLogFile);
        const bool severe = type == QtCriticalMsg || type == QtFatalMsg;
        if (type == QtCriticalMsg)
            out << "\nCRITICAL:\n";
        else if (type == QtFatalMsg)
            out << "\nFATAL:\n";
        out << stamp << text << Qt::endl;
        if (severe)
            out << Qt::endl;
    }
    handling = false;
}
