#include "Settings.h"

#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList kKeys {
    "audioDevice", "framesPerBuffer", "midiOutDevice", "midiOutChannel", "baseFrequency",
    "calibrationFrequency", "baseNote", "baseNoteFreqRatio", "masterVolume", "monophonic",
    "defaultPatch", "softNodeReset", "udpPort", "circlesView", "absRelView", "updateCheckInterval",
    "tSysLastUpdateCheck", "ratiosWithinOctave", "centralNodeColourRelativeMode", "toneBudNotation",
    "oneOneMenuSplitOctaves", "lastBrowsedPatchPath", "lastDirPath", "windowSize", "windowPos",
    "windowMaximized", "wendleZoomMode", "glissOneRangeCents", "glissTwoRangeCents",
    "glissRangeMPECents", "maintainMacroParameters", "centsShowDecimals", "mainPatchNumberOfVoices",
};

QJsonObject fileObject(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class TestSettings : public QObject
{
    Q_OBJECT

    QTemporaryDir mHome;
    QString mConfig;

    QString optionsPath() const { return mConfig + "/options.json"; }

private slots:
    void init()
    {
        qputenv("XDG_DATA_HOME", mHome.path().toUtf8());
        mConfig = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        QDir(mConfig).removeRecursively();
        QVERIFY(QDir().mkpath(mConfig));
    }

    void defaultsWrittenAtOnce()
    {
        Settings s;
        QVERIFY(s.loadFromFile(Settings::FileName));
        QVERIFY(s.baseNoteFlag);
        QVERIFY(s.autoSaveEnabled());
        const QJsonObject o = fileObject(optionsPath());
        QCOMPARE(o.size(), 33);
        QStringList sorted = kKeys;
        sorted.sort();
        QCOMPARE(o.keys(), sorted);
        QCOMPARE(o.value("audioDevice").toDouble(), -1.0);
        QCOMPARE(o.value("framesPerBuffer").toDouble(), 256.0);
        QCOMPARE(o.value("midiOutDevice").toString(), QStringLiteral("deactivated"));
        QCOMPARE(o.value("baseNote").toString(), QStringLiteral("A 4"));
        QCOMPARE(o.value("masterVolume").toDouble(), double(0.75f));
        QCOMPARE(o.value("defaultPatch").toString(), QStringLiteral("Sine.pd"));
        QCOMPARE(o.value("udpPort").toDouble(), 8888.0);
        QCOMPARE(o.value("windowSize").toString(), QStringLiteral("-1,-1"));
        QCOMPARE(o.value("windowPos").toString(), QStringLiteral("-1,-1"));
        QCOMPARE(o.value("wendleZoomMode").toDouble(), 6.0);
        QCOMPARE(o.value("ratiosWithinOctave").toBool(), true);
        QCOMPARE(o.value("centralNodeColourRelativeMode").toBool(), true);
        QCOMPARE(o.value("tSysLastUpdateCheck").toString(), QString());
        QCOMPARE(o.value("lastDirPath").toString(), mConfig + "/chord_presets");
        QCOMPARE(o.value("lastBrowsedPatchPath").toString(), QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
        QCOMPARE(o.value("glissOneRangeCents").toDouble(), 1200.0);
        QCOMPARE(o.value("glissTwoRangeCents").toDouble(), 100.0);
        QCOMPARE(o.value("mainPatchNumberOfVoices").toDouble(), 128.0);
    }

    void jsonTypes()
    {
        Settings s;
        QVERIFY(s.loadFromFile(Settings::FileName));
        const QJsonObject o = fileObject(optionsPath());
        const QStringList numbers { "audioDevice", "framesPerBuffer", "midiOutChannel", "udpPort", "absRelView",
            "updateCheckInterval", "toneBudNotation", "wendleZoomMode", "glissRangeMPECents", "centsShowDecimals",
            "mainPatchNumberOfVoices", "baseFrequency", "calibrationFrequency", "baseNoteFreqRatio", "masterVolume",
            "glissOneRangeCents", "glissTwoRangeCents" };
        const QStringList bools { "monophonic", "softNodeReset", "circlesView", "ratiosWithinOctave",
            "centralNodeColourRelativeMode", "oneOneMenuSplitOctaves", "windowMaximized", "maintainMacroParameters" };
        for (const QString& key : kKeys) {
            const QJsonValue v = o.value(key);
            if (numbers.contains(key))
                QVERIFY2(v.isDouble(), qPrintable(key));
            else if (bools.contains(key))
                QVERIFY2(v.isBool(), qPrintable(key));
            else
                QVERIFY2(v.isString(), qPrintable(key));
        }
    }

    // Every option changed, saved and read back into a fresh object comes back exactly.
    void roundTripEveryOption()
    {
        Settings a;
        QVERIFY(a.loadFromFile(Settings::FileName));
        a.audioDevice = 3;
        a.framesPerBuffer = 512;
        a.midiOutDevice = "Synth Port 1";
        a.midiOutChannel = -1;
        a.baseFrequency = 261.6255653005986;
        a.calibrationFrequency = 442.0;
        a.baseNote = "C# 3";
        a.baseNoteFreqRatio = 1.0594631f;
        a.masterVolume = 0.7f;
        a.monophonic = true;
        a.defaultPatch = "Bell.pd";
        a.softNodeReset = true;
        a.circlesView = true;
        a.absRelView = 2;
        a.udpPort = 9001;
        a.windowWidth = 1280;
        a.windowHeight = 720;
        a.windowX = -8;
        a.windowY = 40;
        a.windowMaximized = true;
        a.wendleZoomMode = 3;
        a.updateCheckInterval = 4;
        a.tSysLastUpdateCheck = "Tue Dec 8 19:59:44 2026";
        a.ratiosWithinOctave = false;
        a.centralNodeColourRelativeMode = false;
        a.toneBudNotation = 2;
        a.oneOneMenuSplitOctaves = true;
        a.lastBrowsedPatchPath = "/tmp/patches";
        a.lastDirPath = "/tmp/chords";
        a.glissOneRangeCents = 700.5f;
        a.glissTwoRangeCents = 33.3f;
        a.glissRangeMPECents = 200;
        a.maintainMacroParameters = true;
        a.centsShowDecimals = 2;
        a.mainPatchNumberOfVoices = 64;
        QVERIFY(a.save());
        const QByteArray firstBytes = [&] { QFile f(optionsPath()); f.open(QIODevice::ReadOnly); return f.readAll(); }();

        Settings b;
        QVERIFY(b.loadFromFile(Settings::FileName));
        QJsonObject ja, jb;
        a.writeJson(ja);
        b.writeJson(jb);
        QCOMPARE(jb, ja);
        QCOMPARE(b.masterVolume, 0.7f);
        QCOMPARE(b.baseFrequency, 261.6255653005986);
        QCOMPARE(b.windowX, -8);
        QVERIFY(b.save());
        const QByteArray secondBytes = [&] { QFile f(optionsPath()); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        QCOMPARE(secondBytes, firstBytes);
        // A float is stored widened to double, not as its short decimal.
        QCOMPARE(fileObject(optionsPath()).value("masterVolume").toDouble(), 0.699999988079071);
    }

    void valueRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("expected");
        QTest::addColumn<QString>("warning");
        QTest::newRow("udpPort string ignored") << QByteArray(R"({"udpPort": "9000"})") << "udpPort" << QJsonValue(8888) << "";
        QTest::newRow("udpPort truncated") << QByteArray(R"({"udpPort": 9000.9})") << "udpPort" << QJsonValue(9000) << "";
        QTest::newRow("negative truncated toward zero") << QByteArray(R"({"audioDevice": -2.7})") << "audioDevice" << QJsonValue(-2) << "";
        QTest::newRow("int beyond 32 bits") << QByteArray(R"({"udpPort": 4294967296})") << "udpPort" << QJsonValue(8888) << "udpPort";
        QTest::newRow("int huge") << QByteArray(R"({"absRelView": -1e300})") << "absRelView" << QJsonValue(1) << "absRelView";
        QTest::newRow("bool as number ignored") << QByteArray(R"({"monophonic": 1})") << "monophonic" << QJsonValue(false) << "";
        QTest::newRow("string as bool ignored") << QByteArray(R"({"baseNote": true})") << "baseNote" << QJsonValue("A 4") << "";
        QTest::newRow("float too big") << QByteArray(R"({"masterVolume": 1e300})") << "masterVolume" << QJsonValue(double(0.75f)) << "masterVolume";
        QTest::newRow("voices offered") << QByteArray(R"({"mainPatchNumberOfVoices": 24})") << "mainPatchNumberOfVoices" << QJsonValue(24) << "";
        QTest::newRow("voices not offered") << QByteArray(R"({"mainPatchNumberOfVoices": 100})") << "mainPatchNumberOfVoices" << QJsonValue(128) << "mainPatchNumberOfVoices";
        QTest::newRow("voices zero") << QByteArray(R"({"mainPatchNumberOfVoices": 0})") << "mainPatchNumberOfVoices" << QJsonValue(128) << "mainPatchNumberOfVoices";
        QTest::newRow("frames 128") << QByteArray(R"({"framesPerBuffer": 128})") << "framesPerBuffer" << QJsonValue(128) << "";
        QTest::newRow("frames 100") << QByteArray(R"({"framesPerBuffer": 100})") << "framesPerBuffer" << QJsonValue(256) << "framesPerBuffer";
        QTest::newRow("frames 0") << QByteArray(R"({"framesPerBuffer": 0})") << "framesPerBuffer" << QJsonValue(256) << "framesPerBuffer";
        QTest::newRow("frames -64") << QByteArray(R"({"framesPerBuffer": -64})") << "framesPerBuffer" << QJsonValue(256) << "framesPerBuffer";
        QTest::newRow("size one number") << QByteArray(R"({"windowSize": "800"})") << "windowSize" << QJsonValue("-1,-1") << "";
        QTest::newRow("size three numbers") << QByteArray(R"({"windowSize": "800,600,4"})") << "windowSize" << QJsonValue("800,600") << "";
        QTest::newRow("size first not number") << QByteArray(R"({"windowSize": "wide,600"})") << "windowSize" << QJsonValue("0,600") << "";
        QTest::newRow("size empty parts") << QByteArray(R"({"windowSize": ","})") << "windowSize" << QJsonValue("0,0") << "";
        QTest::newRow("pos beyond int") << QByteArray(R"({"windowPos": "99999999999,5"})") << "windowPos" << QJsonValue("0,5") << "";
        QTest::newRow("pos not string") << QByteArray(R"({"windowPos": 12})") << "windowPos" << QJsonValue("-1,-1") << "";
    }

    void valueRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, key);
        QFETCH(QJsonValue, expected);
        QFETCH(QString, warning);
        writeFile(optionsPath(), json);
        Settings s;
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Option \"%1\" ignored").arg(warning)));
        QVERIFY(s.loadFromFile(Settings::FileName));
        QJsonObject o;
        s.writeJson(o);
        QCOMPARE(o.value(key), expected);
        // The rest of the file keeps the defaults, and a save writes all keys.
        QVERIFY(s.save());
        QCOMPARE(fileObject(optionsPath()).size(), 33);
    }

    void audioPathBounds_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<double>("value");
        QTest::addColumn<bool>("accepted");
        const struct { const char* key; double value; bool accepted; } rows[] = {
            { "baseFrequency", 0.0, false }, { "baseFrequency", -440.0, false }, { "baseFrequency", 1e300, false },
            { "baseFrequency", qInf(), false }, { "baseFrequency", qQNaN(), false }, { "baseFrequency", 1000000.0, false },
            { "baseFrequency", 999999.0, true }, { "baseFrequency", 0.5, true }, { "baseFrequency", 261.625, true },
            { "calibrationFrequency", 0.0, false }, { "calibrationFrequency", -440.0, false },
            { "calibrationFrequency", 348.0, false }, { "calibrationFrequency", 500.0, false },
            { "calibrationFrequency", 499.5, false }, { "calibrationFrequency", 349.0, true },
            { "calibrationFrequency", 499.0, true }, { "calibrationFrequency", 442.5, true },
            { "midiOutChannel", -2.0, false }, { "midiOutChannel", 16.0, false }, { "midiOutChannel", 1e9, false },
            { "midiOutChannel", -1.0, true }, { "midiOutChannel", 15.0, true },
            // Start-up adds 50 cents for the MIDI output, which takes 50 to 12799.
            { "glissRangeMPECents", 2147483647.0, false }, { "glissRangeMPECents", 12750.0, false },
            { "glissRangeMPECents", -1.0, false }, { "glissRangeMPECents", 12749.0, true },
            { "glissRangeMPECents", 0.0, true },
        };
        for (const auto& r : rows)
            QTest::addRow("%s %g", r.key, r.value) << QString(r.key) << r.value << r.accepted;
    }

    // Values that reach the audio path are refused outside their bounds,
    // from the file and from the engine's reports alike, keeping the current one.
    void audioPathBounds()
    {
        QFETCH(QString, key);
        QFETCH(double, value);
        QFETCH(bool, accepted);
        const auto field = [&key](const Settings& s) {
            QJsonObject o;
            s.writeJson(o);
            return o.value(key).toDouble();
        };
        const QRegularExpression refusal(QStringLiteral("^Option \"%1\" ignored \\(outside .*; keeping the current value\\.$").arg(key));

        // A file cannot hold infinity or NaN.
        if (std::isfinite(value)) {
            writeFile(optionsPath(), QStringLiteral("{\"%1\": %2}").arg(key).arg(value, 0, 'g', 17).toUtf8());
            Settings s;
            const double before = field(s);
            if (!accepted)
                QTest::ignoreMessage(QtWarningMsg, refusal);
            QVERIFY(s.loadFromFile(Settings::FileName));
            QCOMPARE(field(s), accepted ? value : before);
        }

        // The engine reports a float (what does not fit one arrives as
        // infinity), the options dialog a whole calibration frequency.
        Settings s;
        s.baseFrequency = 432.0;
        s.calibrationFrequency = 415.0;
        const double before = field(s);
        const bool whole = value == std::trunc(value);
        if (key == "midiOutChannel" || key == "glissRangeMPECents" || (key == "calibrationFrequency" && !whole))
            return;
        if (!accepted)
            QTest::ignoreMessage(QtWarningMsg, refusal);
        if (key == "baseFrequency")
            s.onBaseFrequencyChanged(std::fabs(value) > double(std::numeric_limits<float>::max()) ? float(std::copysign(qInf(), value))
                                                                                                : float(value));
        else
            s.onCalibrationFrequencyChanged(int(value));
        QCOMPARE(field(s), accepted ? value : before);
    }

    void corruptFileKeepsDefaultsAndBytes()
    {
        const QByteArray broken = R"({"udpPort": 9000, "masterVolume": )";
        writeFile(optionsPath(), broken);
        Settings s;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Couldn't parse file .*options\\.json\\. JSON error: "));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("options\\.json\\.bad"));
        QVERIFY(!s.loadFromFile(Settings::FileName));
        QCOMPARE(s.udpPort, 8888);
        QFile f(optionsPath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), broken);
        QVERIFY(QFileInfo::exists(optionsPath() + ".bad"));
    }

    void slotsStoreValues()
    {
        Settings s;
        s.onBaseFrequencyChanged(432.5f);
        s.onCalibrationFrequencyChanged(415);
        s.onMasterVolumeChanged(0.25f);
        s.onMonophonicChanged(true);
        s.onBaseNoteChanged("G 3");
        s.onAudioDeviceChanged(2);
        s.onFramesPerBufferChanged(1024);
        QCOMPARE(s.baseFrequency, 432.5);
        QCOMPARE(s.calibrationFrequency, 415.0);
        QCOMPARE(s.masterVolume, 0.25f);
        QVERIFY(s.monophonic);
        QCOMPARE(s.baseNote, QStringLiteral("G 3"));
        QCOMPARE(s.audioDevice, 2);
        QCOMPARE(s.framesPerBuffer, 1024);
        // Start-up connects the engine's reports by signature; the slots must be findable.
        QVERIFY(s.metaObject()->indexOfSlot("onBaseFrequencyChanged(float)") >= 0);
        QVERIFY(s.metaObject()->indexOfSlot("onMasterVolumeChanged(float)") >= 0);
        QVERIFY(s.metaObject()->indexOfSlot("onMonophonicChanged(bool)") >= 0);
        QCOMPARE(QString(s.metaObject()->className()), QStringLiteral("Settings"));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
