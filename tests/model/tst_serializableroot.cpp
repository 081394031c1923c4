#include "FileSizeLimit.h"
#include "SerializableRoot.h"
#include "Settings.h"
#include "Wendle.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Set to a file name, the test program runs as the child that loads and saves it.
constexpr char kChildVar[] = "SERIALIZABLE_ROOT_CHILD";
constexpr uid_t kNobody = 65534;

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

// Loads and saves the options or the lattice as a user who cannot read the
// file. Exit code: bit 0 loaded, bit 1 saved.
int loadAndSaveUnprivileged(int argc, char** argv, const QString& name)
{
    if (geteuid() == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return 100;
        // The leak checker of a sanitizer build attaches to its own process.
        prctl(PR_SET_DUMPABLE, 1);
    }
    QCoreApplication app(argc, argv);
    std::unique_ptr<SerializableRoot> root;
    bool loaded = false;
    if (name == QLatin1String(Wendle::FileName)) {
        auto lattice = std::make_unique<Wendle>();
        loaded = lattice->init(nullptr);
        root = std::move(lattice);
    } else {
        root = std::make_unique<Settings>();
        loaded = root->loadFromFile(name);
    }
    root->autoSave();
    const bool saved = root->save();
    return (loaded ? 1 : 0) | (saved ? 2 : 0);
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
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Not saving .*sample\\.json: it could not be read"));
        QVERIFY(!s.save());
    }

    void unreadableFileKept_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("options") << QString(Settings::FileName);
        QTest::newRow("lattice") << QString(Wendle::FileName);
    }

    // A file its owner cannot read (root reads anything, so the child drops
    // to an ordinary user) fails the load, and neither auto-save nor save
    // replaces it with the defaults.
    void unreadableFileKept()
    {
        QFETCH(QString, name);
        const QString path = mConfig + "/" + name;
        const QByteArray original = "{ \"kept\": \"as the player left it\" }";
        writeAll(path, original);
        QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
        if (geteuid() == 0) {
            // The child owns the folders and the file: only the file's mode stops it.
            for (QString dir = path;; dir = QFileInfo(dir).path()) {
                QVERIFY2(chown(QFile::encodeName(dir).constData(), kNobody, kNobody) == 0, qPrintable(dir));
                if (dir == mHome.path())
                    break;
            }
        }
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildVar, name);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray log = child.readAllStandardError();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 0, log.constData());
        QVERIFY2(log.contains("Couldn't open file " + QFile::encodeName(path) + " for loading."), log.constData());
        QVERIFY2(log.contains("Not saving " + QFile::encodeName(path)), log.constData());
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
        QCOMPARE(readAll(path), original);
        QCOMPARE(QDir(mConfig).entryList(QDir::Files | QDir::Hidden), QStringList { name });
    }

    // A broken file that cannot even be copied aside is not saved over either,
    // until a load reads the file again.
    void unkeptFileNotReplaced()
    {
        const QString path = mConfig + "/sample.json";
        const QByteArray broken = "{ \"count\": ";
        writeAll(path, broken);
        Sample s;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't parse file"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't keep a copy of the unreadable file"));
        {
            // No room for the copy while the file is loaded; there is room again for the saves.
            const FileSizeLimit room(broken.size() - 1);
            QVERIFY(!s.loadFromFile("sample.json"));
        }
        s.autoSave();
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Not saving .*sample\\.json"));
        QVERIFY(!s.save());
        QCOMPARE(readAll(path), broken);

        writeAll(path, "{ \"count\": 3 }");
        QVERIFY(s.load());
        s.count = 4;
        QVERIFY(s.save());
        QVERIFY(s.load());
        QCOMPARE(s.count, 4);
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

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kChildVar))
        return loadAndSaveUnprivileged(argc, argv, qEnvironmentVariable(kChildVar));
    QCoreApplication app(argc, argv);
    TestSerializableRoot test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serializableroot.moc"
