#include "SerializableRoot.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A small file of its own: one number and one list, with defaults.
class Sample : public SerializableRoot
{
public:
    void readJson(const QJsonObject& json) override
    {
        ++reads;
        lastRead = json;
        if (json.value("count").isDouble())
            count = json.value("count").toInt();
    }
    void writeJson(QJsonObject& json) const override
    {
        json.insert("count", count);
        json.insert("names", QJsonArray { "a", "b" });
    }
    void initWithDefaults() override { count = 42; }
    void setAutoSave(bool on) { mAutoSave = on; }

    int count = 0;
    int reads = 0;
    QJsonObject lastRead;
};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class TestSerializableRoot : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;
    QString mConfig;

private slots:
    void init()
    {
        QVERIFY(mHome.isValid());
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        mConfig = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QVERIFY(mConfig.startsWith(mHome.path()));
        QDir(mConfig).removeRecursively();
        QVERIFY(QDir().mkpath(mConfig));
    }

    void missingFileWritesDefaults()
    {
        Sample s;
        QVERIFY(s.loadFromFile("sample.json"));
        QCOMPARE(s.filePath(), mConfig + "/sample.json");
        QCOMPARE(s.count, 42);
        QCOMPARE(s.reads, 0);
        const QByteArray bytes = readAll(s.filePath());
        QVERIFY(bytes.contains("\n    \"count\": 42"));
        Sample again;
        QVERIFY(again.loadFromFile("sample.json"));
        QCOMPARE(again.count, 42);
        QCOMPARE(again.reads, 1);
    }

    void invalidJsonLeavesFileAndKeepsCopy()
    {
        const QString path = mConfig + "/sample.json";
        const QByteArray broken = "{ \"count\": 7, ";
        writeAll(path, broken);
        Sample s;
        s.count = 5;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't parse file .*/sample\\.json\\. JSON error: "));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("kept as .*sample\\.json\\.bad"));
        QVERIFY(!s.loadFromFile("sample.json"));
        QCOMPARE(s.reads, 0);
        QCOMPARE(s.count, 5);
        QCOMPARE(readAll(path), broken);
        QCOMPARE(s.keptUnreadableCopy(), path + ".bad");
        QCOMPARE(readAll(path + ".bad"), broken);

        // The caller then saves defaults over it; the kept copy survives, and a
        // second failure keeps its own copy instead of replacing the first.
        QVERIFY(s.save());
        writeAll(path, "not json at all");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't parse file"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("kept as .*sample\\.json\\.bad\\.2"));
        QVERIFY(!s.load());
        QCOMPARE(readAll(path + ".bad"), broken);
        QCOMPARE(readAll(path + ".bad.2"), QByteArray("not json at all"));
    }

    void arrayGivesEmptyObject()
    {
        writeAll(mConfig + "/sample.json", "[1, 2, 3]");
        Sample s;
        s.count = 9;
        QVERIFY(s.loadFromFile("sample.json"));
        QCOMPARE(s.reads, 1);
        QVERIFY(s.lastRead.isEmpty());
        QCOMPARE(s.count, 9);
    }

    void unopenableFileFails()
    {
        // A folder where the file should be can be neither read nor replaced.
        QVERIFY(QDir().mkpath(mConfig + "/sample.json"));
        Sample s;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't open file .*sample\\.json for loading\\.$"));
        QVERIFY(!s.loadFromFile("sample.json"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't open file .*sample\\.json for saving\\.$"));
        QVERIFY(!s.save());
    }

    void missingFolderReportsFailedSave()
    {
        QDir(mConfig).removeRecursively();
        Sample s;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't open file .*sample\\.json for saving\\.$"));
        QVERIFY(!s.loadFromFile("sample.json"));
        QVERIFY(!QFileInfo::exists(mConfig + "/sample.json"));
    }

    void autoSaveFollowsFlag()
    {
        Sample s;
        QVERIFY(s.loadFromFile("sample.json"));
        s.count = 1;
        s.setAutoSave(false);
        s.autoSave();
        Sample reader;
        QVERIFY(reader.loadFromFile("sample.json"));
        QCOMPARE(reader.count, 42);
        s.setAutoSave(true);
        s.autoSave();
        QVERIFY(reader.load());
        QCOMPARE(reader.count, 1);
    }
};

QTEST_GUILESS_MAIN(TestSerializableRoot)
#include "tst_serializableroot.moc"
