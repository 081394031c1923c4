#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QNetworkReply;
class QNetworkRequest;

// What the updater asks of the system around it: where the feed is, which
// addresses it may fetch or open, where downloads go, how a URL is opened and
// how the program is ended. Tests replace the opener and the quitter so that
// nothing is ever launched.
namespace UpdatePlatform {

// The feed's key for this build's entry.
QString platformKey();
// Replaces the feed's address, for a feed served on this machine.
constexpr const char* FeedUrlVariable = "WENDLE_UPDATE_FEED_URL";
// The feed's address: the built-in one, or the variable's.
QString feedUrl();

// https anywhere; http to this machine only while the variable is set.
bool isAllowedUrl(const QUrl& url);
// Hops followed before a request counts as failed.
constexpr int MaxRedirects = 10;
// What a reply may hold unread: the network is read no faster than we read the reply.
constexpr qint64 ReadBufferBytes = 256 * 1024;
// A transfer that receives nothing for this long has failed.
constexpr int TransferTimeoutMs = 30000;
// A GET for `url` with the User-Agent when given. Qt follows the redirects,
// at most MaxRedirects of them and never from https to http.
QNetworkRequest request(const QUrl& url, const QString& userAgent);
// Fails the reply when it receives nothing for `ms`.
void watchStall(QNetworkReply* reply, int ms);
// Refuses a redirect to an address that isAllowedUrl does not accept.
void guardRedirects(QNetworkReply* reply);
// Aborts the reply, which then fails for `why`.
void refuse(QNetworkReply* reply, const QString& why);
// Why a finished reply failed: a refusal, a network error or a status other
// than 2xx. Empty for a success.
QString failure(const QNetworkReply* reply);

// The user's downloads folder: the home folder followed by "/Downloads/".
QString downloadDir();
// A name that stays a single file name inside a folder: only [A-Za-z0-9._-],
// no leading dot, short enough for its suffixes; "Wendle_Update.bin" if nothing is left.
QString safeFileName(const QString& name);
// `name` in `dir`, or "name-2.ext", "name-3.ext"… when that name or its
// ".part" is taken: an existing file is never replaced.
QString freeFileName(const QString& dir, const QString& name);

// Opens an allowed URL with the desktop's handler; false when nothing
// answered or the URL is refused.
bool open(const QUrl& url);
// Shows a local folder with the desktop's handler; false when nothing answered.
bool showFolder(const QString& dir);
// Ends the program through the event loop, so the normal shutdown runs.
void quit();

using Opener = std::function<bool(const QUrl&)>;
using Quitter = std::function<void()>;
// Empty restores the desktop's handler or QCoreApplication::quit.
void setOpener(Opener opener);
void setQuitter(Quitter quitter);

} // namespace UpdatePlatform
