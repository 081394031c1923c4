#include "UpdatePlatform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

namespace {

const char* const BuiltInFeedUrl = "https://www.drovane.com/downloads/updates.json";
const char* const RefusalProperty = "wendleRefusal";

UpdatePlatform::Opener& opener()
{
    static UpdatePlatform::Opener o;
    return o;
}

UpdatePlatform::Quitter& quitter()
{
    static UpdatePlatform::Quitter q;
    return q;
}

bool isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

namespace UpdatePlatform {

QString platformKey()
{
#ifdef Q_OS_WIN
    return QStringLiteral("windows");
#else
    return QStringLiteral("linux");
#endif
}

QString feedUrl()
{
    const QString fromEnvironment = qEnvironmentVariable(FeedUrlVariable);
    return fromEnvironment.isEmpty() ? QString::fromLatin1(BuiltInFeedUrl) : fromEnvironment;
}

bool isAllowedUrl(const QUrl& url)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    // Plain http only for a feed served on this machine: a feed from the
    // network could otherwise send the program or the browser to local services.
    return scheme == QLatin1String("https")
        || (scheme == QLatin1String("http") && !qEnvironmentVariableIsEmpty(FeedUrlVariable) && isLoopbackHost(url.host()));
}

QNetworkRequest request(const QUrl& url, const QString& userAgent)
{
    QNetworkRequest r(url);
    // Qt follows the hops itself, counted, and refuses other schemes and
    // downgrades; guardRedirects adds the loopback rule for http.
    r.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    r.setMaximumRedirectsAllowed(MaxRedirects);
    if (!userAgent.isEmpty())
        r.setRawHeader("User-Agent", userAgent.toUtf8());
    return r;
}

void watchStall(QNetworkReply* reply, int ms)
{
    // Qt 6.4's transfer timeout was seen not to fire on a stalled body, so
    // the reply is watched here.
    auto timer = new QTimer(reply);
    timer->setSingleShot(true);
    timer->setInterval(ms);
    const auto alive = [timer] { timer->start(); };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, timer, alive);
    QObject::connect(reply, &QNetworkReply::readyRead, timer, alive);
    QObject::connect(reply, &QNetworkReply::downloadProgress, timer, alive);
    QObject::connect(reply, &QNetworkReply::finished, timer, &QTimer::stop);
    QObject::connect(timer, &QTimer::timeout, reply,
                     [reply, ms] { refuse(reply, QStringLiteral("nothing received for %1 ms").arg(ms)); });
    timer->start();
}

void guardRedirects(QNetworkReply* reply)
{
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (!isAllowedUrl(target))
            refuse(reply, QStringLiteral("refused redirect to %1: only https, or http to this machine").arg(target.toDisplayString()));
    });
}

void refuse(QNetworkReply* reply, const QString& why)
{
    reply->setProperty(RefusalProperty, why);
    reply->abort();
}

QString failure(const QNetworkReply* reply)
{
    const QString refusal = reply->property(RefusalProperty).toString();
    if (!refusal.isEmpty())
        return refusal;
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return QStringLiteral("HTTP status %1").arg(status.toInt());
    return QString();
}

QString downloadDir()
{
    return QDir::homePath() + QStringLiteral("/Downloads/");
}

QString safeFileName(const QString& name)
{
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    QString out = name;
    out.replace(unsafe, QStringLiteral("_"));
    while (out.startsWith(QLatin1Char('.')))
        out.remove(0, 1);
    // 255 bytes is the file system's limit; "-nnn" and ".part" must still fit.
    constexpr int MaxLength = 255 - 4 - 5;
    if (out.size() > MaxLength) {
        const qsizetype dot = out.lastIndexOf(QLatin1Char('.'));
        const QString suffix = dot > 0 && out.size() - dot <= 16 ? out.mid(dot) : QString();
        out = out.left(MaxLength - suffix.size()) + suffix;
    }
    return out.isEmpty() ? QStringLiteral("Wendle_Update.bin") : out;
}

QString freeFileName(const QString& dir, const QString& name)
{
    const auto taken = [&dir](const QString& n) {
        const QString path = QDir(dir).filePath(n);
        return QFileInfo::exists(path) || QFileInfo::exists(path + QStringLiteral(".part"));
    };
    if (!taken(name))
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString suffix = dot > 0 ? name.mid(dot) : QString();
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(suffix);
        if (!taken(candidate))
            return candidate;
    }
}

bool open(const QUrl& url)
{
    if (!isAllowedUrl(url)) {
        qWarning().noquote() << QStringLiteral("Updater: refusing to open %1: only https, or http to this machine")
                                    .arg(url.toDisplayString());
        return false;
    }
    return opener() ? opener()(url) : QDesktopServices::openUrl(url);
}

bool showFolder(const QString& dir)
{
    const QUrl url = QUrl::fromLocalFile(dir);
    return opener() ? opener()(url) : QDesktopServices::openUrl(url);
}

void quit()
{
    if (quitter())
        quitter()();
    else
        QCoreApplication::quit();
}

void setOpener(Opener o)
{
    opener() = std::move(o);
}

void setQuitter(Quitter q)
{
    quitter() = std::move(q);
}

} // namespace UpdatePlatform
