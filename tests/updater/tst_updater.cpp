#include "Downloader.h"
#include "HttpPeer.h"
#include "UpdateDialog.h"
#include "UpdateManager.h"
#include "UpdatePlatform.h"
#include "Updater.h"
#include "UpdaterRig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QtTest>
#include <memory>

// AddressSanitizer holds freed memory back for its checks, by default far
// more than the feed's limit: in the memory check it would count as growth.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=4";
}

namespace {

const QString FeedPath = QStringLiteral("/downloads/updates.json");

// From /proc/self/status, in KiB.
qint64 memoryKiB(const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// A feed whose "download-url" begins "peer:" is completed with the peer's address.
QByteArray feed(const QString& version, const QJsonObject& extra = {})
{
    QJsonObject entry { { "latest-version", version }, { "changelog", "<b>Faster</b> lattice" },
                        { "download-url", "peer:/files/Wendle-2.0.1.bin" } };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        entry.insert(it.key(), it.value());
    return QJsonDocument(QJsonObject { { "updates", QJsonObject { { UpdatePlatform::platformKey(), entry } } } }).toJson();
}

Answer ok(const QByteArray& body)
{
    return Answer { 200, {}, body, -1, false, -1, false };
}

} // namespace

// The update check as both callers start it, against a loopback peer.
class TestUpdater : public QObject
{
    Q_OBJECT

    std::unique_ptr<UpdaterRig> mRig;
    std::unique_ptr<HttpPeer> mPeer;
    std::unique_ptr<BoxAnswerer> mBoxes;
    std::unique_ptr<QWidget> mParent;

    static Updater* updater() { return UpdateManager::instance()->getUpdater(UpdatePlatform::feedUrl()); }
    void serve(const Answer& feedAnswer)
    {
        Answer a = feedAnswer;
        a.body.replace("peer:", mPeer->url(QString()).toUtf8());
        mPeer->answer(FeedPath, a);
    }

private slots:
    void init()
    {
        mRig = std::make_unique<UpdaterRig>();
        mPeer = std::make_unique<HttpPeer>();
        mBoxes = std::make_unique<BoxAnswerer>();
        mParent = std::make_unique<QWidget>();
        qputenv("WENDLE_UPDATE_FEED_URL", mPeer->url(FeedPath).toUtf8());
    }

    void cleanup()
    {
        mParent.reset();
        UpdateManager::destroyInstance();
        mBoxes.reset();
        mPeer.reset();
        mRig.reset();
    }

    void versions_data()
    {
        QTest::addColumn<QString>("latest");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<bool>("newer");
        QTest::newRow("2.1.0 over 2.0.0") << "2.1.0" << "2.0.0" << true;
        QTest::newRow("same") << "2.0.0" << "2.0.0" << false;
        QTest::newRow("numeric, not textual") << "10.0" << "9.9" << true;
        QTest::newRow("beta part reads 0") << "2.0.0" << "2.0.0-beta" << false;
        QTest::newRow("more parts") << "2.0.0.1" << "2.0.0" << true;
        QTest::newRow("2.0.0 over 2.0") << "2.0.0" << "2.0" << true;
        QTest::newRow("2.0 over 2.0.0") << "2.0" << "2.0.0" << false;
        QTest::newRow("empty") << "" << "2.0.0" << false;
        QTest::newRow("beyond int reads 0") << "99999999999.0" << "1.0" << false;
    }

    void versions()
    {
        QFETCH(QString, latest);
        QFETCH(QString, installed);
        QFETCH(bool, newer);
        QCOMPARE(Updater::compareVersions(latest, installed), newer);
    }

    void checkDue_data()
    {
        const QDateTime now(QDate(2024, 3, 15), QTime(12, 0));
        const auto ago = [now](qint64 s) { return now.addSecs(-s).toString(Qt::TextDate); };
        constexpr qint64 Day = 86400;
        QTest::addColumn<int>("interval");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("due");
        QTest::newRow("always") << 0 << ago(1) << now << true;
        QTest::newRow("never") << 4 << QString() << now << false;
        for (int interval : { 1, 2, 3 })
            QTest::addRow("first start, interval %d", interval) << interval << QString() << now << true;
        QTest::newRow("weekly, 6 days") << 1 << ago(6 * Day) << now << false;
        QTest::newRow("weekly, 8 days") << 1 << ago(8 * Day) << now << true;
        QTest::newRow("monthly, 20 days") << 2 << ago(20 * Day) << now << false;
        QTest::newRow("quarterly, 100 days") << 3 << ago(100 * Day) << now << true;
        QTest::newRow("300 s, 299 s") << 5 << ago(299) << now << false;
        QTest::newRow("300 s, 301 s") << 5 << ago(301) << now << true;
        QTest::newRow("unknown interval") << 7 << QString() << now << false;
        QTest::newRow("unreadable time") << 1 << QString("yesterday-ish") << now << true;
    }

    void checkDue()
    {
        QFETCH(int, interval);
        QFETCH(QString, last);
        QFETCH(QDateTime, now);
        QFETCH(bool, due);
        QCOMPARE(UpdateDialog::isCheckDue(interval, last, now), due);
    }

    void schemes_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("feedVariable");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("https, shipped") << "https://example.org/u.json" << false << true;
        for (const char* url : { "https://example.org/u.json", "http://127.0.0.1:8080/u.json", "http://localhost/u.json", "http://[::1]/u.json" })
            QTest::newRow(url) << url << true << true;
        // The shipped program, whose feed is never on loopback, takes https only.
        for (const char* url : { "http://127.0.0.1:8080/u.json", "http://localhost/u.json", "http://[::1]/u.json" })
            QTest::addRow("%s, shipped", url) << url << false << false;
        for (const char* url : { "http://example.org/u.json", "file:///etc/hostname", "qrc:/about.html", "data:text/plain,2.0.1",
                                 "ftp://127.0.0.1/setup.exe", "/downloads/updates.json" })
            QTest::newRow(url) << url << true << false;
    }

    // The feed, "download-url" and "open-url" all pass this test.
    void schemes()
    {
        QFETCH(QString, url);
        QFETCH(bool, feedVariable);
        QFETCH(bool, allowed);
        if (!feedVariable)
            qunsetenv(UpdatePlatform::FeedUrlVariable);
        QCOMPARE(UpdatePlatform::isAllowedUrl(QUrl(url)), allowed);
    }

    void checks_data()
    {
        QTest::addColumn<QString>("feed"); // a path on the peer, or "file:" for a feed on disk
        QTest::addColumn<Answer>("answer");
        QTest::addColumn<bool>("button");
        QTest::addColumn<QString>("box"); // part of the one box's text; empty: no box
        QTest::addColumn<int>("requests");
        const QString update = "has been released!";
        const QString error = "A network error occurred";
        QTest::newRow("2.0.1 at start-up") << FeedPath << ok(feed("2.0.1")) << false << update << 1;
        QTest::newRow("2.0.0 at start-up") << FeedPath << ok(feed("2.0.0")) << false << "" << 1;
        QTest::newRow("2.0.0 from the button") << FeedPath << ok(feed("2.0.0")) << true << "You are running the latest version" << 1;
        QTest::newRow("2.0.1 behind a 301") << "/old/updates.json" << ok(feed("2.0.1")) << false << update << 2;
        QTest::newRow("version as markup") << FeedPath << ok(feed("3.0.0 <i>beta</i>")) << false << "3.0.0 &lt;i&gt;beta&lt;/i&gt;" << 1;
        QTest::newRow("redirect loop") << "/loop" << ok(feed("2.0.1")) << false << error << 11;
        QTest::newRow("redirect to a file") << "/to-file" << ok(feed("2.0.1")) << false << error << 1;
        QTest::newRow("404") << FeedPath << Answer { 404, {}, "gone", -1, false, -1, false } << true << error << 1;
        QTest::newRow("HTML") << FeedPath << ok("<html><body>Moved</body></html>") << true << error << 1;
        QTest::newRow("empty body") << FeedPath << ok("") << true << error << 1;
        QTest::newRow("no entry for this platform") << FeedPath << ok(R"({"updates":{"macos":{"latest-version":"9"}}})") << true << error << 1;
        QTest::newRow("no latest-version") << FeedPath << ok(R"({"updates":{"linux":{"changelog":"x"}}})") << true << error << 1;
        // A feed that Qt could read from the disk, were it not refused.
        QTest::newRow("feed address refused") << "file:" << ok(feed("2.0.1")) << true << error << 0;
    }

    // Both callers' path: a hidden update window, the check, the boxes. The
    // window shows beside the update box, with the changelog, kept on screen.
    void checks()
    {
        QFETCH(QString, feed);
        QFETCH(Answer, answer);
        QFETCH(bool, button);
        QFETCH(QString, box);
        QFETCH(int, requests);
        mPeer->answerOthers(answer);
        mPeer->redirect("/old/updates.json", FeedPath);
        mPeer->redirect("/loop", "/loop", 302);
        mPeer->redirect("/to-file", "file:///etc/hostname");
        QString url = mPeer->url(feed);
        if (feed == "file:") {
            QFile local(mRig->home() + "/updates.json");
            QVERIFY(local.open(QIODevice::WriteOnly) && local.write(answer.body) == answer.body.size());
            url = QUrl::fromLocalFile(local.fileName()).toString();
        }
        qputenv("WENDLE_UPDATE_FEED_URL", url.toUtf8());
        QSignalSpy finished(UpdateManager::instance(), &UpdateManager::checkingFinished);
        QSignalSpy failed(UpdateManager::instance(), &UpdateManager::networkError);

        QPointer<UpdateDialog> window = UpdateDialog::startCheck(mParent.get(), button);
        window->move(100, 20);
        QVERIFY(!window->isVisible());
        QVERIFY(updater()->notifyOnFinish() == button && updater()->notifyOnUpdate());
        bool shown = false;
        QString changelog;
        QPoint position;
        mBoxes->onBox = [&] {
            shown = window && window->isVisible();
            changelog = window ? window->findChild<QTextEdit*>("changelogText")->toPlainText() : QString();
            position = window ? window->pos() : QPoint();
        };
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().value(0).toString(), url);

        QCOMPARE(mBoxes->seen.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty())
            QVERIFY2(mBoxes->seen.first().contains(box), qPrintable(mBoxes->seen.first()));
        QCOMPARE(failed.size(), box.contains("network error") ? 1 : 0);
        QCOMPARE(mPeer->requests(), requests);
        if (requests > 0)
            QCOMPARE(mPeer->lastUserAgent(), updater()->userAgentString().toUtf8());
        const bool update = box.contains("released") || box.contains("&lt;");
        QCOMPARE(shown, update);
        if (update)
            QVERIFY(changelog == "Faster lattice" && position == QPoint(0, 0));
        // A window whose check ended without a box stays, hidden; the others close.
        if (box.isEmpty())
            QVERIFY(window && !window->isVisible());
        else
            QTRY_VERIFY(window.isNull());
        QVERIFY(mRig->opened.isEmpty());
    }

    void changelogLoadsNothing_data()
    {
        QTest::addColumn<QString>("changelog"); // "PNG" and "CSS" stand for local files
        QTest::newRow("image") << R"x(<b>Faster</b> lattice<img src="PNG">)x";
        QTest::newRow("image by URL, sized") << R"x(<b>Faster</b> lattice<img src="file://PNG" width="40" height="40">)x";
        QTest::newRow("background") << R"x(<p style="background-image: url(PNG)"><b>Faster</b> lattice</p>)x";
        QTest::newRow("table background") << R"x(<table background="PNG"><tr><td><b>Faster</b> lattice</td></tr></table>)x";
        QTest::newRow("style sheet") << R"x(<html><head><link rel="stylesheet" type="text/css" href="CSS"></head><body><p><b>Faster</b> lattice</p></body></html>)x";
        QTest::newRow("endless file") << R"x(<b>Faster</b> lattice<img src="/dev/zero">)x";
    }

    // The changelog comes from the network: it shows with its harmless
    // formatting, and no file it names is read (the magenta of the local
    // image and style sheet never shows; /dev/zero would never end).
    void changelogLoadsNothing()
    {
        QFETCH(QString, changelog);
        const QString png = mRig->home() + "/magenta.png";
        QImage magenta(32, 32, QImage::Format_RGB32);
        magenta.fill(QColor(255, 0, 255));
        QVERIFY(magenta.save(png));
        const QString css = mRig->home() + "/magenta.css";
        QFile sheet(css);
        QVERIFY(sheet.open(QIODevice::WriteOnly) && sheet.write("p, td { background-color: #ff00ff; }") > 0);
        sheet.close();
        serve(ok(feed("2.0.1", { { "changelog", changelog.replace("PNG", png).replace("CSS", css) } })));

        QPointer<UpdateDialog> window = UpdateDialog::startCheck(mParent.get(), false);
        QImage shown;
        QString text;
        bool bold = false;
        mBoxes->onBox = [&] {
            auto field = window->findChild<QTextEdit*>("changelogText");
            text = field->toPlainText().trimmed();
            QTextCursor cursor(field->document());
            cursor.setPosition(field->document()->find("Faster").position());
            bold = cursor.charFormat().fontWeight() == QFont::Bold;
            shown = field->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        QTRY_VERIFY(!shown.isNull());
        int magentaPixels = 0;
        for (int y = 0; y < shown.height(); ++y) {
            for (int x = 0; x < shown.width(); ++x)
                magentaPixels += shown.pixelColor(x, y) == QColor(255, 0, 255);
        }
        QCOMPARE(magentaPixels, 0);
        QCOMPARE(text, QStringLiteral("Faster lattice"));
        QVERIFY(bold);
    }

    void bigFeed_data()
    {
        QTest::addColumn<bool>("chunked");
        QTest::newRow("announced") << false;
        QTest::newRow("endless") << true;
    }

    // A 50 MiB feed is cut off at its limit: memory does not grow by it.
    void bigFeed()
    {
        QFETCH(bool, chunked);
        // What the first check of the process sets up stays: it is not the feed's.
        mPeer->answerOthers(ok(feed("2.0.0")));
        QSignalSpy finished(UpdateManager::instance(), &UpdateManager::checkingFinished);
        UpdateDialog::startCheck(mParent.get(), false);
        QTRY_COMPARE(finished.size(), 1);
        mPeer->answerOthers(Answer { 200, {}, {}, qint64(50) << 20, chunked, -1, false });
        QSignalSpy failed(UpdateManager::instance(), &UpdateManager::networkError);
        const qint64 before = memoryKiB("VmRSS:");
        QFile peak(QStringLiteral("/proc/self/clear_refs"));
        const bool peakReset = peak.open(QIODevice::WriteOnly) && peak.write("5") == 1;
        peak.close();
        UpdateDialog::startCheck(mParent.get(), false);
        QTRY_COMPARE(failed.size(), 1);
        if (!peakReset)
            QSKIP("the peak memory cannot be reset here");
        QVERIFY2(memoryKiB("VmHWM:") - before < 16 * 1024, qPrintable(QString::number(memoryKiB("VmHWM:") - before)));
    }

    void answers_data()
    {
        QTest::addColumn<QJsonObject>("entry");
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<int>("quits");
        QTest::addColumn<bool>("saved");
        QTest::newRow("declined") << QJsonObject() << QMessageBox::No << "" << 0 << false;
        QTest::newRow("mandatory declined") << QJsonObject { { "mandatory-update", true } } << QMessageBox::No << "" << 1 << false;
        QTest::newRow("accepted") << QJsonObject() << QMessageBox::Yes << "" << 0 << true;
        QTest::newRow("open-url") << QJsonObject { { "open-url", "https://example.org/wendle" } } << QMessageBox::Yes
                                  << "https://example.org/wendle" << 0 << false;
        QTest::newRow("open-url refused") << QJsonObject { { "open-url", "file:///etc/hostname" } } << QMessageBox::Yes << "" << 0 << false;
        QTest::newRow("download-url refused") << QJsonObject { { "download-url", "ftp://127.0.0.1/setup.exe" } } << QMessageBox::Yes
                                              << "" << 0 << false;
    }

    // What the player's answer to the update box does; nothing is launched.
    void answers()
    {
        QFETCH(QJsonObject, entry);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(QString, opened);
        QFETCH(int, quits);
        QFETCH(bool, saved);
        serve(ok(feed("2.0.1", entry)));
        mPeer->answerOthers(ok("the installer"));
        mBoxes->answers << answer; // then the install offer's escape, Cancel
        QSignalSpy finished(UpdateManager::instance(), &UpdateManager::checkingFinished);
        QSignalSpy downloaded(UpdateManager::instance(), &UpdateManager::downloadFinished);
        UpdateDialog::startCheck(mParent.get(), true);
        QTRY_COMPARE(finished.size(), 1);
        QTRY_COMPARE(downloaded.size(), saved ? 1 : 0);
        QCOMPARE(mBoxes->seen.size(), saved ? 2 : 1);
        QCOMPARE(mRig->opened, opened.isEmpty() ? QList<QUrl>() : QList<QUrl> { QUrl(opened) });
        QCOMPARE(mRig->quits, quits);
        QCOMPARE(mPeer->requests(), saved ? 2 : 1);
        QCOMPARE(mRig->filesInHome(), saved ? QStringList { "Downloads/Wendle-2.0.1.bin" } : QStringList());
        if (saved)
            QCOMPARE(downloaded.first(), (QList<QVariant> { mPeer->url(FeedPath), mRig->downloads() + "Wendle-2.0.1.bin" }));
        QVERIFY(!updater()->downloader()->isVisible());
    }

    // Whatever runs when the updater goes ends with it and leaves nothing behind.
    void destroyedMidway()
    {
        mPeer->answerOthers(Answer { 200, {}, {}, 100000, false, 1000, true });
        UpdateDialog::startCheck(mParent.get(), true);
        updater()->downloader()->startDownload(QUrl(mPeer->url("/files/setup.exe")));
        QTRY_VERIFY(mPeer->requests() == 2 && !mRig->filesInHome().isEmpty());
        // At once: after the event loop, nothing deleted later is deleted.
        UpdateManager::destroyInstance();
        QCOMPARE(mRig->filesInHome(), QStringList());
        QVERIFY(mBoxes->seen.isEmpty());
    }
};

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
