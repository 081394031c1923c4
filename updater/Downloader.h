#pragma once

#include <QFile>
#include <QString>
#include <QUrl>
#include <QWidget>

class QNetworkAccessManager;
class QNetworkReply;

namespace Ui {
class Downloader;
}

// The small window that downloads an accepted update into the downloads
// folder, shows its progress and then offers to show the file. The file is
// never run: the player installs it.
class Downloader : public QWidget
{
    Q_OBJECT

public:
    explicit Downloader(QWidget* parent = nullptr);
    ~Downloader() override;

    // "1 KB", "3 MB", "1023 bytes".
    static QString sizeText(qint64 bytes);
    // The time left at this rate as "about 3 hours", "2 minutes", "1 second";
    // "unknown" while fewer bytes than seconds have come. Empty in the first second.
    static QString timeRemainingText(qint64 received, qint64 total, qint64 elapsedSeconds);

    bool isDownloading() const { return mReply != nullptr; }
    // The full path of the last finished download; empty when none succeeded.
    QString filePath() const { return mFilePath; }
    // Tests shorten the stall limit.
    void setTransferTimeout(int ms) { mTransferTimeoutMs = ms; }

public slots:
    void setUrlId(const QString& url);
    void startDownload(const QUrl& url);
    void setFileName(const QString& file);
    void setUserAgentString(const QString& agent);
    void setUseCustomInstallProcedures(bool custom);
    void setMandatoryUpdate(bool mandatoryUpdate);

signals:
    void downloadFinished(QString url, QString filepath);

private slots:
    void finished();
    void openDownload();
    void installUpdate();
    void cancelDownload();
    void saveFile();
    void calculateSizes(qlonglong received, qlonglong total);
    void updateProgress(qlonglong received, qlonglong total);
    void calculateTimeRemaining(qlonglong received, qlonglong total);

private:
    void fail(const QString& why);

    QString mUrlId;
    qint64 mStartTime = 0;
    QString mDownloadDir;
    QString mFileName = QStringLiteral("Wendle_Update.bin");
    Ui::Downloader* mUi;
    QNetworkReply* mReply = nullptr;
    QString mUserAgentString;
    bool mUseCustomInstallProcedures = false;
    bool mMandatoryUpdate = false;
    QNetworkAccessManager* mManager;
    // The ".part" file the body goes to, and the name it will take.
    QFile mPart;
    QString mTargetName;
    QString mFilePath;
    int mTransferTimeoutMs;
};
