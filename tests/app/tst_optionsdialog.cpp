// The options window on the real window and engine (offline, real patches)
// in a temporary configuration folder; its MIDI and audio device changes on a
// private JACK server, with a MIDI peer of the test's own as the synth.
#include "EngineCommandType.h"
#include "JackServer.h"
#include "MidiOutput.h"
#include "MidiPeer.h"
#include "OptionsDialog.h"
#include "SignalMeasure.h"
#include "SynthModel.h"
#include "UpdateDialog.h"
#include "WarningCatcher.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WindowRig.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QtTest>
#include <cmath>
#include <jack/jack.h>
#include <random>

class TestOptionsDialog : public QObject
{
    Q_OBJECT

public:
    explicit TestOptionsDialog(std::unique_ptr<JackServer>& server) : mServer(server) {}

private:
    WindowRig rig;
    std::unique_ptr<JackServer>& mServer;
    std::unique_ptr<MidiPeer> mPeers[2];
    QJsonObject mDefaults;
    QPointer<OptionsDialog> d;

    static PdPlayer& engine() { return WindowRig::app()->engine(); }
    static Settings& options() { return WindowRig::app()->options(); }
    template <typename T = QComboBox> T* in(const char* name) const { return d->findChild<T*>(QLatin1String(name)); }

    static void choose(QComboBox* box, int index)
    {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    void choose(const char* menu, const QString& text) { choose(in(menu), in(menu)->findText(text)); }
    static void post(const WendleEvent& event) { engine().guiCommandBuffer().post(&event); }
    static void note(const WendleRatio& r) { post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r)); }

    // Silence, gliss in the middle, the options as at start (with `edited`);
    // then the dialog opened by its button, as the player opens it.
    bool open(const QJsonObject& edited = {})
    {
        Settings& o = options();
        o.readJson(mDefaults);
        o.readJson(edited);
        engine().setGlissRangeOptions(o.glissOneRangeCents, o.glissTwoRangeCents);
        engine().setSoftNodeReset(o.softNodeReset);
        engine().setMaintainMacroParameters(o.maintainMacroParameters);
        WindowRig::sound("");
        for (const WendleEvent& e : { WendleEvent(DeselectAll, 1.0f), WendleEvent(SetGlissOne, 0.5f),
                                      WendleEvent(NodeResetGlissOne, 1.0f), WendleEvent(SetBaseFrequency, 440.0f) })
            WindowRig::post(e);
        rig.child<QAbstractButton>("optionsButton")->click();
        d = rig.window->optionsDialog();
        return d && d->isVisible();
    }

    bool jackReady() const { return mServer && mPeers[1]; }
    static MidiOutput& midiOutput() { return *WindowRig::app()->midiInterface().midiOutput(); }

    // What the output sent before now, on `peer`: a range change first sends
    // what is queued (in MPE it sends the range again), and a port closed
    // before had its last messages taken.
    static QList<QByteArray> heardSoFar(MidiPeer& peer)
    {
        midiOutput().setPitchBendRange(midiOutput().pitchBendRange());
        if (!peer.waitCycles())
            qWarning().noquote() << "the peer stopped:" << peer.account();
        return peer.take();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(WindowRig::prepare());
        QVERIFY(rig.open());
        options().writeJson(mDefaults);
        WindowRig::app()->midiInterface().attachEngine(&engine());
        for (auto& peer : mPeers) {
            if (mServer && mServer->isRunning())
                peer = std::make_unique<MidiPeer>(JackServer::uniqueName("wendle-synth"));
            QVERIFY2(!peer || peer->isReady(), qPrintable(peer->error()));
        }
    }

    void cleanupTestCase()
    {
        WindowRig::app()->audioOutput().term();
        rig.window.reset();
        WindowRig::finish();
    }

    void cleanup()
    {
        if (d && d->isVisible())
            d->close();
    }

    // Equal temperament to six digits, except four entries that keep their old last digit.
    void noteTable()
    {
        QVERIFY(open());
        QStringList differ;
        for (int i = 0; i < d->noteNames().size(); ++i) {
            const QString name = d->noteNames()[i];
            const int k = int(QString("C D EF G A B").indexOf(name[0])) - 9 + 12 * (name.back().digitValue() - 4)
                + (name[1] == '#') - (name[1] == 'b');
            if (QString::number(440.0 * std::pow(2.0, k / 12.0), 'g', 6).toFloat() != d->noteFrequencies()[i])
                differ << name;
        }
        QCOMPARE(differ, QStringList({ "F# 6", "F 5", "Eb 3", "D# 3" }));
        QCOMPARE(d->noteNames().size(), 137);
    }

    void pitch_data()
    {
        QTest::addColumn<double>("calibration");
        QTest::addColumn<double>("glissRange");
        QTest::addColumn<double>("expected");
        QTest::newRow("A 4 at calibration 442") << 442.0 << 0.0 << 442.0;
        QTest::newRow("G-slider range 700, gliss at its top") << 440.0 << 700.0 << 440.0 * std::pow(2.0, 700.0 / 1200.0);
    }

    // The engine plays what the dialog set, not only the options.
    void pitch()
    {
        QFETCH(double, calibration);
        QFETCH(double, glissRange);
        QFETCH(double, expected);
        QVERIFY(open());
        in<QDoubleSpinBox>("calibrationFreqEdit")->setValue(calibration);
        choose("oneOneNoteEdit", "A 4");
        if (glissRange > 0) {
            in<QDoubleSpinBox>("glissOneRangeEdit")->setValue(glissRange);
            post(WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, WendleRatio(1, 1)));
        }
        note(WendleRatio(1, 1));
        post(WendleEvent(SetGlissOne, glissRange > 0 ? 1.0f : 0.5f));
        constexpr int Rate = 48000, Frames = 256;
        std::vector<float> out(size_t(Rate * 6 / 5 / Frames) * Frames * 2);
        for (size_t i = 0; i < out.size(); i += 2 * Frames)
            engine().processCallback(out.data() + i, Frames, false);
        const double f = SignalMeasure::zeroCrossingFrequency(std::vector<float>(out.begin() + Rate / 5 * 2, out.end()), Rate);
        QVERIFY2(std::fabs(SignalMeasure::centsBetween(f, expected)) < 0.1, qPrintable(QString::number(f, 'f', 4)));
    }

    void frequencyCommits_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<double>("committed");
        QTest::addColumn<QString>("cents"); // named A 4 at calibration 440
        QTest::newRow("25000") << "25000" << 20000.0 << "...";
        QTest::newRow("5") << "5" << 20.0 << "...";
        QTest::newRow("445") << "445" << 445.0 << "+19.56";
        QTest::newRow("466.164") << "466.164" << 466.164 << "...";
        QTest::newRow("440") << "440" << 440.0 << "0";
    }

    // What the player types is committed, clamped, on leaving the field.
    void frequencyCommits()
    {
        QFETCH(QString, typed);
        QFETCH(double, committed);
        QFETCH(QString, cents);
        QVERIFY(open());
        options().baseNoteFlag = cents != "...";
        auto edit = in<QDoubleSpinBox>("oneOneFreqEdit");
        edit->selectAll();
        typed.contains('.') ? edit->setValue(typed.toDouble()) : QTest::keyClicks(edit, typed);
        QTest::keyClick(edit, Qt::Key_Return);
        WindowRig::run();
        QCOMPARE(edit->value(), committed);
        QCOMPARE(options().baseFrequency, double(float(committed)));
        QCOMPARE(engine().baseFrequency(), float(committed));
        QCOMPARE(in<QLabel>("centsLabel")->text(), cents);
        QCOMPARE(options().baseNoteFlag, cents == "...");
    }

    void engineCopies_data()
    {
        QTest::addColumn<QString>("box");
        QTest::newRow("soft reset") << "softNodeReset";
        QTest::newRow("maintained macros") << "maintainMacros";
    }

    // Each check box reaches the engine's own copy of its option.
    void engineCopies()
    {
        QFETCH(QString, box);
        QVERIFY(open());
        WindowRig::sound("3/2");
        const quint32 seq = engine().voiceOf(WendleRatio(3, 2))->seqId;
        WindowRig::post(WendleEvent(SetMacro1, 0.125f));
        in<QCheckBox>(qPrintable(box))->click();
        if (box == "softNodeReset") {
            WindowRig::post(WendleNodeResetEvent(ResetNode, 0.0f, WendleRatio(3, 2)));
            QVERIFY(engine().voiceOf(WendleRatio(3, 2))->seqId != seq);
        } else {
            engine().unloadPatch();
            QVERIFY(engine().loadPendingPatch(MainWindow::patchFolder(), "wendle_main.pd"));
            QCOMPARE(engine().macro(1), 0.125f);
        }
    }

    void badOptions_data()
    {
        QTest::addColumn<QString>("json");
        QTest::newRow("note without a blank") << R"({"baseNote": "A4"})";
        QTest::newRow("empty note") << R"({"baseNote": ""})";
        QTest::newRow("unknown note, split") << R"({"baseNote": "H 9", "oneOneMenuSplitOctaves": true})";
        QTest::newRow("calibration") << R"({"calibrationFrequency": 1e308})";
        QTest::newRow("base frequency") << R"({"baseFrequency": -5})";
        QTest::newRow("interval 9, decimals 7") << R"({"updateCheckInterval": 9, "centsShowDecimals": 7})";
    }

    // A hand-edited file: the dialog opens and closes, its three note menus
    // name one existing note, and the options keep the file's text.
    void badOptions()
    {
        QFETCH(QString, json);
        WarningCatcher warnings;
        QVERIFY(open(QJsonDocument::fromJson(json.toUtf8()).object()));
        const QString note = options().baseNote;
        QCOMPARE(in("oneOneNoteInOctaveEdit")->currentText() + " " + in("oneOneOctaveEdit")->currentText(),
                 in("oneOneNoteEdit")->currentText());
        QVERIFY(d->noteNames().contains(note) || (in("oneOneNoteEdit")->currentIndex() == OptionsDialog::FallbackNoteIndex
                                                  && warnings.warnings().filter('"' + note + '"').size() == 1));
        const int interval = options().updateCheckInterval, decimals = options().centsShowDecimals;
        QCOMPARE(in("updateIntervalBox")->currentIndex(), interval >= 0 && interval <= 4 ? interval : -1);
        QCOMPARE(in("centsDisplayDecimals")->currentIndex(), decimals >= 0 && decimals <= 2 ? decimals : 0);
        QTest::keyClick(d, Qt::Key_Escape);
        QVERIFY(!d->isVisible());
        QCOMPARE(options().baseNote, note);
    }

    void look_data()
    {
        QTest::addColumn<QString>("window"); // "options", "update" or "main"
        QTest::addColumn<QString>("name");
        // "letters", or "width": a rule's 80 px with two 6 px paddings and two 1 px borders is 94.
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("shown");
        QTest::newRow("update check button") << "options" << "updateCheckButton" << "letters" << "as written";
        QTest::newRow("check box") << "options" << "splitOctavesNotes" << "letters" << "as written";
        QTest::newRow("another check box") << "options" << "softNodeReset" << "letters" << "as written";
        QTest::newRow("update window button") << "update" << "closeButton" << "letters" << "as written";
        QTest::newRow("main window button") << "main" << "loadPatchButton" << "letters" << "capitals";
        QTest::newRow("G-slider range") << "options" << "glissOneRangeEdit" << "width" << "94";
        QTest::newRow("MPE limit") << "options" << "glissRangeMPEEdit" << "width" << "94";
        QTest::newRow("voices menu") << "options" << "numberOfVoicesMenu" << "width" << "94";
        QTest::newRow("calibration frequency") << "options" << "calibrationFreqEdit" << "width" << "80";
        QTest::newRow("1/1 frequency") << "options" << "oneOneFreqEdit" << "width" << "80";
    }

    // Captions in capitals but where they are exempt, and the spin boxes'
    // width, as the shown windows have them.
    void look()
    {
        QFETCH(QString, window);
        QFETCH(QString, name);
        QFETCH(QString, property);
        QFETCH(QString, shown);
        QVERIFY(open());
        UpdateDialog update(d);
        update.show();
        QWidget* top = window == "options" ? d.data() : window == "update" ? static_cast<QWidget*>(&update) : rig.window.get();
        QVERIFY(QTest::qWaitForWindowExposed(top));
        const QWidget* widget = top->findChild<QWidget*>(name);
        QVERIFY(widget);
        const bool capitals = widget->font().capitalization() == QFont::AllUppercase;
        QCOMPARE(property == "width" ? QString::number(widget->width()) : capitals ? "capitals" : "as written", shown);
    }

    // Button and Ctrl+comma toggle it; every opening builds a new one where the
    // last stood; every closing ends with the recall command, even in silence.
    void openAndClose()
    {
        QVERIFY(open());
        QPointer<OptionsDialog> first = d;
        first->move(first->pos() + QPoint(37, 23));
        const QPoint where = first->pos();
        const int free = WindowRig::freeSlots();
        QTest::keyClick(rig.window.get(), Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(!first->isVisible());
        QCOMPARE(WindowRig::freeSlots(), free - 1);
        QVERIFY(WindowRig::app()->chordStore().isSlotEmpty(0));
        QTest::keyClick(rig.window.get(), Qt::Key_Comma, Qt::ControlModifier);
        d = rig.window->optionsDialog();
        QVERIFY(!first && d->isVisible());
        QCOMPARE(d->pos(), where);
        QTest::keyClick(d, Qt::Key_Comma, Qt::ControlModifier);
        QVERIFY(!d->isVisible());
    }

    // Through the dialog: the port, MPE and a limit of 150 cents send a range
    // of 2 semitones; 128 voices in channel mode keep every key below 128;
    // "- deactivated -" silences the port before it closes.
    void midiChanges()
    {
        if (!jackReady())
            QSKIP("no private JACK server (scripts/setup.sh installs jackd2)");
        QVERIFY(open());
        choose("midiOutputDeviceMenu", mPeers[0]->port());
        choose(in("midiOutputChannelMenu"), 0);
        in<QDoubleSpinBox>("glissRangeMPEEdit")->setValue(150);
        // Every channel's range ends at 200 cents, none at the 50 before.
        const auto ranges = [](const QList<QByteArray>& sent) {
            SynthModel mpe;
            mpe.feed(sent);
            QList<int> cents;
            for (int c = 0; c < 16; ++c)
                cents << mpe.rangeCents(c);
            return cents;
        };
        mPeers[0]->waitFor([&](const QList<QByteArray>& sent) { return ranges(sent) == QList<int>(16, 200); });
        // The dialog's changes sent theirs before they returned: all has come two cycles on.
        QList<QByteArray> sent = mPeers[0]->take();
        QVERIFY(mPeers[0]->waitCycles());
        sent += mPeers[0]->take();
        QVERIFY2(ranges(sent) == QList<int>(16, 200), qPrintable(QDebug::toString(ranges(sent)) + ' ' + mPeers[0]->account()));

        choose("numberOfVoicesMenu", "128");
        engine().setMaxVoices(options().mainPatchNumberOfVoices);
        choose(in("midiOutputChannelMenu"), 1);
        heardSoFar(*mPeers[0]);
        for (int k = 0; k < 128; ++k)
            note(WendleRatio(128 + k, 128));
        WindowRig::run();
        QCOMPARE(engine().getAllSoundingRatios().size(), 128);
        SynthModel synth;
        sent = heardSoFar(*mPeers[0]);
        synth.feed(sent);
        const auto noteOns = std::count_if(sent.begin(), sent.end(), [](const QByteArray& m) { return (quint8(m[0]) & 0xF0) == 0x90; });
        QVERIFY2(noteOns > 0 && noteOns <= MidiOutput::KeyedVoices && synth.sounding().size() == noteOns,
                 qPrintable(QString::number(noteOns) + ' ' + mPeers[0]->account()));
        choose(in("midiOutputDeviceMenu"), 0);
        synth.feed(heardSoFar(*mPeers[0]));
        QCOMPARE(synth.sounding(), QStringList());
        const QStringList problems = mPeers[0]->takeProblems();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
        QCOMPARE(WindowRig::app()->midiInterface().midiOutput()->portName(), QString(MidiOutput::NoPortName));
    }

    // A stream plays notes and glides while the dialog switches port, mode,
    // channel and range: every message stays whole, and no note hangs.
    void midiWhilePlaying()
    {
        if (!jackReady())
            QSKIP("no private JACK server");
        QVERIFY(open());
        PaAudioOutput& audio = WindowRig::app()->audioOutput();
        QVERIFY(audio.init(256, -1, &engine()) && engine().streamRunning());
        SynthModel synths[2];
        std::mt19937 random(5);
        const QList<WendleRatio> chord = WindowRig::ratios("1/1 3/2 5/4 7/4 9/8 11/8");
        for (const WendleRatio& r : chord.mid(0, 3))
            post(WendleNodeSelectToggleEvent(ToggleNodeSelection, 1.0f, r));
        for (int i = 0; i < 300; ++i) {
            note(chord[random() % chord.size()]);
            post(WendleEvent(SetGlissOne, float(random() % 100) / 100.0f));
            if (i % 3 == 0)
                choose("midiOutputDeviceMenu", mPeers[(i / 3) % 2]->port());
            else if (i % 3 == 1)
                choose(in("midiOutputChannelMenu"), int(random() % 17));
            else
                in<QDoubleSpinBox>("glissRangeMPEEdit")->setValue(double(random() % 1200));
            QTest::qWait(2);
            for (int p = 0; p < 2; ++p)
                synths[p].feed(mPeers[p]->take());
        }
        post(WendleEvent(AllNotesOff, 1.0f));
        QTRY_VERIFY(engine().getAllSoundingRatios().isEmpty());
        choose(in("midiOutputDeviceMenu"), 0);
        for (int p = 0; p < 2; ++p) {
            synths[p].feed(heardSoFar(*mPeers[p]));
            const QStringList problems = mPeers[p]->takeProblems();
            QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
            QCOMPARE(synths[p].sounding(), QStringList());
        }
    }

    // The JACK server has no room for the ports of the device the player picks
    // again: opening fails, going back fails too, and the menu shows that
    // nothing plays; with room again it plays, and the menu shows it.
    void audioDeviceFull()
    {
        PaAudioOutput& audio = WindowRig::app()->audioOutput();
        if (!jackReady() || !audio.hasStream())
            QSKIP("needs the stream of the test before");
        QVERIFY(open());
        const int playing = audio.selectedIndex();
        QCOMPARE(in("audioDeviceMenu")->currentIndex(), playing);
        jack_client_t* filler = nullptr;
        // Between closing the old stream and opening the new one.
        const auto fill = connect(&audio, &AudioOutput::selectedDeviceChanged, this, [&filler](int index) {
            if (index != -1 || filler)
                return;
            filler = jack_client_open(qPrintable(JackServer::uniqueName("wendle-filler")), JackNoStartServer, nullptr);
            for (int i = 0; filler && i < 100000; ++i) {
                if (!jack_port_register(filler, qPrintable(QString::number(i)), JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0))
                    break;
            }
        });
        rig.modals->seen.clear();
        choose(in("audioDeviceMenu"), playing);
        disconnect(fill);
        QVERIFY(filler);
        jack_client_close(filler);
        QCOMPARE(rig.modals->seen.filter(QRegularExpression('^' + QCoreApplication::applicationName() + "\\|")).size(), 2);
        QCOMPARE(in("audioDeviceMenu")->currentIndex(), -1);
        QVERIFY(!audio.hasStream() && !engine().streamRunning());
        choose(in("audioDeviceMenu"), playing);
        QCOMPARE(rig.modals->seen.size(), 2);
        QCOMPARE(in("audioDeviceMenu")->currentIndex(), playing);
        QVERIFY(engine().streamRunning());
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    // The MIDI output looks for its system when the application is made.
    std::unique_ptr<JackServer> server;
    if (JackServer::missingTool({ "jackd", "jack_lsp" }).isEmpty())
        server = std::make_unique<JackServer>(JackServer::uniqueName("wendle-options"), 48000, 256,
                                              JackServer::LateClients::Wait); // the synths miss no message
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    TuningWendleApplication app(argc, argv);
    TestOptionsDialog test(server);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_optionsdialog.moc"
