#include "Downloader.h"
#include "HttpPeer.h"
#include "UpdatePlatform.h"
#include "UpdaterRig.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

namespace {

QByteArray sha(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

constexpr qint64 Size = 1500000;

} // namespace

// The download window against a loopback peer, into a temporary HOME.
class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    // Plain http to loopback is taken only while a feed on this machine is set.
    void initTestCase() { qputenv(UpdatePlatform::FeedUrlVariable, "http://127.0.0.1/downloads/updates.json"); }

    void sizeTexts_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("1023") << qint64(1023) << "1023 bytes";
        QTest::newRow("1536") << qint64(1536) << "1 KB";
        QTest::newRow("3 MiB") << qint64(3145728) << "3 MB";
        QTest::newRow("5 GiB") << qint64(5) * 1073741824 << "5120 MB";
    }

    void sizeTexts()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(Downloader::sizeText(bytes), text);
    }

    void timeTexts_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<QString>("text");
        // One byte a second: the time left is total - 1 seconds.
        QTest::newRow("45 s") << qint64(1) << qint64(46) << qint64(1) << "45 seconds";
        QTest::newRow("90 s") << qint64(1) << qint64(91) << qint64(1) << "2 minutes";
        QTest::newRow("5400 s") << qint64(1) << qint64(5401) << qint64(1) << "90 minutes";
        QTest::newRow("9000 s") << qint64(1) << qint64(9001) << qint64(1) << "about 3 hours";
        QTest::newRow("1 s") << qint64(1) << qint64(2) << qint64(1) << "1 second";
        QTest::newRow("rate 0") << qint64(5) << qint64(100) << qint64(10) << "unknown";
        QTest::newRow("first second") << qint64(5) << qint64(100) << qint64(0) << "";
        QTest::newRow("beyond 32 bits") << qint64(3) * 1073741824 << qint64(12) * 1073741824 << qint64(1) << "3 seconds";
    }

    void timeTexts()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsed);
        QFETCH(QString, text);
        QCOMPARE(Downloader::timeRemainingText(received, total, elapsed), text);
    }

    void downloads_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<QString>("saved"); // empty: the download fails
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<int>("requests"); // at the peer: a second start adds none
        // The downloader's stall limit: short only where the stall is the
        // point; elsewhere a starved test process must not pass for a stall.
        QTest::addColumn<int>("stallMs");
        const Answer sized { 200, {}, {}, Size, false, -1, false };
        const Answer chunked { 200, {}, {}, Size, true, -1, false };
        const Answer cut { 200, {}, {}, Size, false, Size / 3, false };
        const Answer stalled { 200, {}, {}, Size, false, Size / 3, true };
        const int patient = UpdatePlatform::TransferTimeoutMs;
        QTest::newRow("sized") << "/files/setup-2.0.1.exe" << sized << "setup-2.0.1.exe" << false << 1 << patient;
        QTest::newRow("chunked") << "/files/setup.exe" << chunked << "setup.exe" << false << 1 << patient;
        QTest::newRow("behind a redirect") << "/moved/setup.exe" << sized << "setup.exe" << false << 2 << patient;
        QTest::newRow("name taken") << "/files/taken.bin" << sized << "taken-2.bin" << false << 1 << patient;
        QTest::newRow("dot dot") << "/files/.." << sized << "Wendle_Update.bin" << false << 1 << patient;
        QTest::newRow("encoded climb") << "/a/..%2F..%2Fx?y" << sized << "x" << false << 1 << patient;
        QTest::newRow("root") << "/" << sized << "Wendle_Update.bin" << false << 1 << patient;
        QTest::newRow("404") << "/files/missing.exe" << Answer { 404, {}, "gone", -1, false, -1, false } << "" << false << 1 << patient;
        QTest::newRow("cut off") << "/files/setup.exe" << cut << "" << false << 1 << patient;
        QTest::newRow("stalled") << "/files/setup.exe" << stalled << "" << false << 1 << 500;
        QTest::newRow("cancelled") << "/files/setup.exe" << stalled << "" << true << 1 << patient;
        QTest::newRow("redirect loop") << "/loop" << sized << "" << false << 11 << patient;
        QTest::newRow("redirect to a file") << "/to-file" << sized << "" << false << 1 << patient;
        QTest::newRow("redirect off this machine") << "/away" << sized << "" << false << 1 << patient;
    }

    // What a download leaves in HOME: the served bytes under a safe, free
    // name inside Downloads, or nothing at all.
    void downloads()
    {
        QFETCH(QString, target);
        QFETCH(Answer, answer);
        QFETCH(QString, saved);
        QFETCH(bool, cancel);
        QFETCH(int, requests);
        QFETCH(int, stallMs);
        // A stall limit that ran out before the peer had even sent its third
        // says only that this machine was slow: again, with twice the time.
        bool again = true;
        for (int limit = stallMs; again && !QTest::currentTestFailed(); limit *= 2)
            download(target, answer, saved, cancel, requests, limit, &again);
    }

private:
    void download(const QString& target, const Answer& answer, const QString& saved, bool cancel, int requests, int stallMs,
                  bool* again)
    {
        *again = false;
        UpdaterRig rig;
        HttpPeer peer;
        BoxAnswerer boxes;
        peer.answerOthers(answer);
        peer.redirect("/moved/setup.exe", "/files/setup.exe", 302);
        peer.redirect("/loop", "/loop", 302);
        peer.redirect("/to-file", "file:///etc/hostname");
        peer.redirect("/away", "http://example.invalid/setup.exe");
        const QByteArray players = "the player's own file";
        QVERIFY(QDir().mkpath(rig.downloads()));
        QFile taken(rig.downloads() + "taken.bin");
        QVERIFY(taken.open(QIODevice::WriteOnly) && taken.write(players) == players.size());
        taken.close();

        if (target == "/away")
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("refused redirect to http://example.invalid"));
        Downloader d;
        d.setTransferTimeout(stallMs);
        QSignalSpy done(&d, &Downloader::downloadFinished);
        d.setUrlId("feed");
        d.setFileName(QUrl(peer.url(target)).fileName());
        d.startDownload(QUrl(peer.url(target)));
        // A second start while one runs changes nothing.
        d.startDownload(QUrl(peer.url(target)));
        if (cancel) {
            // The peer holds after a third and the stall limit is far off: the
            // download waits for the stop, however slow this machine. (The
            // .part may lack the last bytes until it is closed: QFile buffers.)
            QTRY_VERIFY_WITH_TIMEOUT(peer.requests() == 1 && peer.held() == Size / 3
                                         && QFileInfo(rig.downloads() + "setup.exe.part").size() > 0,
                                     20000);
            boxes.answers << QMessageBox::Yes;
            d.findChild<QPushButton*>("stopButton")->click();
        }
        boxes.answers << QMessageBox::Cancel; // the install offer
        QTRY_VERIFY_WITH_TIMEOUT(!d.isDownloading(), 10000);
        if (answer.stall && !cancel && peer.held() == 0 && stallMs < 10000) {
            *again = true;
            return;
        }

        QCOMPARE(peer.requests(), requests);
        QCOMPARE(fileBytes(rig.downloads() + "taken.bin"), players);
        QStringList expected { "Downloads/taken.bin" };
        if (!saved.isEmpty())
            expected << "Downloads/" + saved;
        expected.sort();
        QCOMPARE(rig.filesInHome(), expected);
        QCOMPARE(done.size(), saved.isEmpty() ? 0 : 1);
        QCOMPARE(d.findChild<QPushButton*>("stopButton")->text(), QString("Close"));
        if (saved.isEmpty()) {
            QCOMPARE(d.findChild<QLabel*>("downloadLabel")->text(), QString("Download failed"));
            QCOMPARE(d.isVisible(), !cancel);
            QVERIFY(d.filePath().isEmpty());
        } else {
            QCOMPARE(done.first().value(0).toString(), QString("feed"));
            QCOMPARE(done.first().value(1).toString(), rig.downloads() + saved);
            QCOMPARE(sha(fileBytes(rig.downloads() + saved)), sha(HttpPeer::bytes(Size)));
            QCOMPARE(d.findChild<QLabel*>("downloadLabel")->text(), QString("Download complete!"));
            QVERIFY(d.findChild<QPushButton*>("openButton")->isVisible() == false && !d.isVisible());
            QVERIFY(d.findChild<QPushButton*>("openButton")->isEnabled());
            QCOMPARE(boxes.seen.size(), 1);
        }
        QVERIFY(rig.opened.isEmpty());
    }

private slots:
    // "OK" shows the folder, never runs the file; with no handler a box names the file.
    void showsTheFile_data()
    {
        QTest::addColumn<bool>("handler");
        QTest::newRow("handler") << true;
        QTest::newRow("no handler") << false;
    }

    void showsTheFile()
    {
        QFETCH(bool, handler);
        UpdaterRig rig;
        rig.openerAnswers = handler;
        HttpPeer peer;
        BoxAnswerer boxes;
        peer.answerOthers(Answer { 200, {}, "installer", -1, false, -1, false });
        Downloader d;
        d.setFileName("setup.exe");
        boxes.answers << QMessageBox::Ok << QMessageBox::Ok;
        d.startDownload(QUrl(peer.url("/setup.exe")));
        QTRY_VERIFY(!d.isDownloading() && boxes.answers.size() == (handler ? 1 : 0));
        QCOMPARE(rig.opened, QList<QUrl> { QUrl::fromLocalFile(rig.downloads()) });
        QCOMPARE(boxes.seen.size(), handler ? 1 : 2);
        if (!handler)
            QVERIFY2(boxes.seen.last().contains(rig.downloads() + "setup.exe"), qPrintable(boxes.seen.last()));
        QVERIFY(!(QFile::permissions(rig.downloads() + "setup.exe") & (QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther)));
    }
};

QTEST_MAIN(TestDownloader)
#include "tst_downloader.moc"
