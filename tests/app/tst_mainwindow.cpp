#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "CardWidget.h"
#include "EngineCommandType.h"
#include "MainWindow.h"
#include "NodeStackWidget.h"
#include "SignalMeasure.h"
#include "TuningWendleApplication.h"
#include "ViewContext.h"
#include "WendleLayer.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <vector>

#include "z_libpd.h"

namespace {

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers every message box the window shows, keeping its text.
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        connect(&mTimer, &QTimer::timeout, this, [this] {
            if (auto box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        mTimer.start(20);
    }
    QStringList texts;

private:
    QTimer mTimer;
};

} // namespace

// The main window on the real engine, run offline (no audio stream: the
// patch hand-over runs on this thread), with the program's patch folder laid
// out beside this test by each test.
class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> mWindow;
    BoxAnswerer* mBoxes = nullptr;

    TuningWendleApplication* app() { return TuningWendleApplication::instance(); }
    QString patches() { return TuningWendleApplication::programDir() + "/patches"; }
    static QString installed() { return qEnvironmentVariable("WENDLE_SOURCE_DIR") + "/patches"; }
    template <typename T> T* child(const char* name) { return mWindow->findChild<T*>(QLatin1String(name)); }
    QComboBox* menu() { return child<QComboBox>("patchMenu"); }

    QStringList menuTexts()
    {
        QStringList out;
        for (int i = 0; i < menu()->count(); ++i)
            out << menu()->itemText(i);
        return out;
    }

    // The program's patch folder holding these voice patches (copies of the
    // installed ones unless given bytes), then a new window.
    void open(const QMap<QString, QByteArray>& files)
    {
        mWindow.reset();
        // As at a start: no patch plays before the window loads one.
        app()->engine().unloadPatch();
        QDir(patches()).removeRecursively();
        QVERIFY(QDir().mkpath(patches()));
        for (auto it = files.begin(); it != files.end(); ++it) {
            QFile f(patches() + "/" + it.key());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(it.value().isNull() ? bytesOf(installed() + "/" + it.key()) : it.value());
        }
        mBoxes->texts.clear();
        mWindow = std::make_unique<MainWindow>(&app()->lattice());
        mWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(mWindow.get()));
    }

    void run()
    {
        float buffer[2 * 64];
        app()->engine().processCallback(buffer, 64, false);
        app()->engine().deliverReports();
        QCoreApplication::processEvents();
    }

    void post(const WendleEvent& e)
    {
        app()->engine().guiCommandBuffer().post(&e);
        run();
    }

    // Loudest sample of a second of /3, rendered offline.
    double peakOfANote()
    {
        post(WendleNoteEvent(TogglePathNote, 1.0f, WendlePath::fromSteps({ 3 }), WendleRatio()));
        std::vector<float> out(size_t(188) * 256 * 2);
        for (size_t i = 0; i < out.size(); i += 512)
            app()->engine().processCallback(out.data() + i, 256, false);
        post(WendleEvent(AllNotesOff, 1.0f));
        return SignalMeasure::peak(out);
    }

private slots:
    void initTestCase()
    {
        PdPlayer& engine = app()->engine();
        QVERIFY(QDir().mkpath(TuningWendleApplication::configDir()));
        QVERIFY(engine.createRings());
        QVERIFY(PdPlayer::initLibpd());
        QCOMPARE(libpd_init_audio(0, 2, 48000), 0);
        QVERIFY(app()->loadStyleSheet());
        QVERIFY(QDir().mkpath(patches() + "/shell"));
        for (const QString& name : QDir(installed() + "/shell").entryList(QDir::Files))
            QVERIFY(QFile::copy(installed() + "/shell/" + name, patches() + "/shell/" + name));
        app()->options().mainPatchNumberOfVoices = 16;
        // No start-up update check: its box would wait for an answer.
        app()->options().updateCheckInterval = 4;
        QVERIFY(app()->initPatches());
        QVERIFY(app()->lattice().init(&engine));
        ViewContext::bind(&engine, &app()->options());
        mBoxes = new BoxAnswerer;
    }

    void cleanupTestCase()
    {
        mWindow.reset();
        app()->engine().unloadPatch();
        delete mBoxes;
        ViewContext::unbind();
    }

    // Every plain file is an entry, sorted, named without ".pd" (only in
    // lower case); the default patch loads.
    void menuAndDefault()
    {
        app()->options().defaultPatch = "Saw.pd";
        open({ { "Sine.pd", {} }, { "Saw.pd", {} }, { "Bell.pd", {} }, { "Loud.PD", bytesOf(installed() + "/Sine.pd") },
               { "notes.txt", "not a patch" } });
        QCOMPARE(menuTexts(), (QStringList { "Bell", "Loud.PD", "Saw", "Sine", "notes.txt" }));
        QCOMPARE(menu()->currentText(), QString("Saw"));
        QVERIFY(app()->engine().hasPatch());
        QCOMPARE(bytesOf(MainWindow::voicePatchTarget()), bytesOf(installed() + "/Saw.pd"));
        QCOMPARE(menu()->itemData(0).toString(), patches() + "/Bell.pd");
        QVERIFY(mBoxes->texts.isEmpty());

        // The same file again adds no entry; one from elsewhere gets its own.
        QVERIFY(mWindow->loadPatch(patches() + "/Sine.pd"));
        QTemporaryDir elsewhere;
        QVERIFY(QFile::copy(installed() + "/Organ.pd", elsewhere.filePath("Organ.pd")));
        QVERIFY(mWindow->loadPatch(elsewhere.filePath("Organ.pd")));
        QCOMPARE(menuTexts(), (QStringList { "Bell", "Loud.PD", "Saw", "Sine", "notes.txt", "Organ" }));
        QCOMPARE(app()->options().defaultPatch, QString("Organ.pd"));
    }

    void fallbacks_data()
    {
        QTest::addColumn<QString>("preferred");
        QTest::addColumn<bool>("withSine");
        QTest::addColumn<QString>("current");
        QTest::newRow("missing default: Sine") << "Gone.pd" << true << "Sine";
        QTest::newRow("empty default: Sine") << "" << true << "Sine";
        QTest::newRow("no Sine either") << "Gone.pd" << false << MainWindow::NoneLoaded;
    }

    void fallbacks()
    {
        QFETCH(QString, preferred);
        QFETCH(bool, withSine);
        QFETCH(QString, current);
        app()->options().defaultPatch = preferred;
        QMap<QString, QByteArray> files { { "Bell.pd", {} } };
        if (withSine)
            files.insert("Sine.pd", {});
        open(files);
        QCOMPARE(menu()->currentText(), current);
        QCOMPARE(app()->engine().hasPatch(), withSine);
    }

    // The arrows wrap round; stepping onto "None loaded" loads nothing.
    void stepping()
    {
        app()->options().defaultPatch = "Bell.pd";
        open({ { "Bell.pd", {} }, { "Saw.pd", {} } });
        QTest::mouseClick(child<QWidget>("patchDecButton"), Qt::LeftButton);
        QCOMPARE(menu()->currentText(), QString("Saw"));
        QCOMPARE(bytesOf(MainWindow::voicePatchTarget()), bytesOf(installed() + "/Saw.pd"));
        QTest::mouseClick(child<QWidget>("patchIncButton"), Qt::LeftButton);
        QCOMPARE(menu()->currentText(), QString("Bell"));
        mWindow->setPatchMenuNoneLoaded(true);
        QCOMPARE(menuTexts(), (QStringList { "Bell", "Saw", MainWindow::NoneLoaded }));
        QCOMPARE(menu()->currentText(), QString(MainWindow::NoneLoaded));
        menu()->setCurrentIndex(1);
        QTest::mouseClick(child<QWidget>("patchIncButton"), Qt::LeftButton);
        QCOMPARE(menu()->currentText(), QString(MainWindow::NoneLoaded));
        QCOMPARE(bytesOf(MainWindow::voicePatchTarget()), bytesOf(installed() + "/Bell.pd"));
        QVERIFY(mBoxes->texts.isEmpty());
    }

    // Loading the voice patch in place keeps it.
    void voicePatchItself()
    {
        app()->options().defaultPatch = "Sine.pd";
        open({ { "Sine.pd", {} } });
        const QByteArray before = bytesOf(MainWindow::voicePatchTarget());
        QVERIFY(mWindow->loadPatch(MainWindow::voicePatchTarget()));
        QCOMPARE(bytesOf(MainWindow::voicePatchTarget()), before);
        QVERIFY(app()->engine().hasPatch());
        QVERIFY(mBoxes->texts.isEmpty());
    }

    // A failed load says so, and the menu shows what plays: the last good
    // patch, loaded again, or "None loaded" when that fails too.
    void failedLoads()
    {
        QByteArray broken = bytesOf(installed() + "/Sine.pd");
        broken += "#X obj 20 600 no_such_object_anywhere;\n";
        app()->options().defaultPatch = "Sine.pd";
        open({ { "Sine.pd", {} }, { "Broken.pd", broken } });

        QVERIFY(!mWindow->loadPatch(patches() + "/Broken.pd"));
        QCOMPARE(mBoxes->texts, QStringList { "Failed to load patch " + patches() + "/Broken.pd." });
        QCOMPARE(menu()->currentText(), QString("Sine"));
        QVERIFY(app()->engine().hasPatch());
        QCOMPARE(bytesOf(MainWindow::voicePatchTarget()), bytesOf(installed() + "/Sine.pd"));

        mBoxes->texts.clear();
        QVERIFY(QFile::remove(patches() + "/Sine.pd"));
        QVERIFY(!mWindow->loadPatch(patches() + "/Missing.pd"));
        QCOMPARE(mBoxes->texts.size(), 1);
        QCOMPARE(menu()->currentText(), QString(MainWindow::NoneLoaded));
        QVERIFY(!app()->engine().hasPatch());
    }

    // After a load the patch's own starting macros win over the sliders' (Sine:
    // velocity 0.8, no overtones, no vibrato), and the sliders show them.
    void patchDefaultsWin()
    {
        app()->options().defaultPatch = "Sine.pd";
        open({ { "Sine.pd", {} } });
        run();
        run();
        QCOMPARE(app()->engine().macro(1), 0.8f);
        QCOMPARE(app()->engine().macro(2), 0.0f);
        QCOMPARE(app()->engine().macro(3), 0.0f);
        QCOMPARE(app()->engine().macro(4), 0.5f);
        QCOMPARE(child<QSlider>("macroSlider1")->value(), 96);
        QCOMPARE(child<QSlider>("macroSlider3")->value(), 0);
        QCOMPARE(child<QSlider>("macroSlider4")->value(), 60);
    }

    // A patch opens silent: the load hands it the window's volume.
    void loadResendsTheVolume()
    {
        app()->options().defaultPatch = "Sine.pd";
        open({ { "Sine.pd", {} } });
        // The patch's starting macros arrive after the load; once they are in, every load resends them.
        run();
        run();
        auto volume = child<QSlider>("volumeSlider");
        volume->setValue(70);
        const double half = peakOfANote();
        QVERIFY2(half > 0.005, qPrintable(QString::number(half)));
        QVERIFY(mWindow->loadPatch(patches() + "/Sine.pd"));
        const double reloaded = peakOfANote();
        QVERIFY2(std::abs(reloaded - half) < 0.1 * half, qPrintable(QString("%1 %2").arg(reloaded).arg(half)));
        volume->setValue(140);
        QVERIFY(mWindow->loadPatch(patches() + "/Sine.pd"));
        QVERIFY(peakOfANote() > 1.5 * half);

        // The engine's volume comes back to the slider without going out again.
        const int free = app()->engine().guiCommandBuffer().freeCommandSlots();
        mWindow->onVolumeChanged(0.75f);
        QCOMPARE(volume->value(), 105);
        QCOMPARE(app()->engine().guiCommandBuffer().freeCommandSlots(), free);
    }

    void readout_data()
    {
        QTest::addColumn<float>("base");
        QTest::addColumn<int>("numerator");
        QTest::addColumn<int>("denominator");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("frequencies");
        QTest::newRow("at 1/1") << 440.0f << 1 << 1 << "/" << "Frequency of central node [= 1/1 Frequency]: 440.000 Hz";
        QTest::newRow("a fifth up") << 440.0f << 3 << 2 << "/3"
                                    << "Frequency of central node: 660.000 Hz        1/1 Frequency: 440.000 Hz";
        QTest::newRow("high") << 12345.6f << 1 << 1 << "/" << "Frequency of central node [= 1/1 Frequency]: 12345.6 Hz";
        QTest::newRow("thousands") << 1500.0f << 5 << 4 << "/5"
                                   << "Frequency of central node: 1875.00 Hz        1/1 Frequency: 1500.00 Hz";
        QTest::newRow("tens") << 55.0f << 1 << 1 << "/" << "Frequency of central node [= 1/1 Frequency]: 55.0000 Hz";
        QTest::newRow("low") << 5.5f << 1 << 1 << "/" << "Frequency of central node [= 1/1 Frequency]: 5.50000 Hz";
    }

    void readout()
    {
        QFETCH(float, base);
        QFETCH(int, numerator);
        QFETCH(int, denominator);
        QFETCH(QString, steps);
        QFETCH(QString, frequencies);
        if (!mWindow)
            open({ { "Sine.pd", {} } });
        post(WendleEvent(TransposeByPrime, 0.0f));
        post(WendleEvent(SetBaseFrequency, base));
        if (numerator != 1)
            post(WendleTransposeEvent(TransposeByRatio, 1.0f, WendleRatio(quint64(numerator), quint64(denominator))));
        QCOMPARE(child<QLabel>("infoLabel2")->text(), frequencies);
        QCOMPARE(child<QLabel>("infoLabel1")->text(), "Shifted prime steps: " + steps);
        post(WendleEvent(TransposeByPrime, 0.0f));
        post(WendleEvent(SetBaseFrequency, 440.0f));
    }

    void buttons_data()
    {
        QTest::addColumn<bool>("octave");
        QTest::addColumn<int>("tonebud");
        QTest::addColumn<int>("display");
        QTest::addColumn<bool>("circles");
        // Checked: normalize, colour, black and white, absolute, relative, flowers, grapes.
        QTest::addColumn<QString>("checked");
        QTest::newRow("defaults") << true << 0 << 1 << false << "1001001";
        QTest::newRow("colour, relative, circles") << false << 1 << 0 << true << "0100110";
        QTest::newRow("black and white, absolute B") << true << 2 << 2 << false << "1011001";
        QTest::newRow("unknown tonebud keeps both") << false << 7 << 1 << true << "0111010";
    }

    void buttons()
    {
        QFETCH(bool, octave);
        QFETCH(int, tonebud);
        QFETCH(int, display);
        QFETCH(bool, circles);
        QFETCH(QString, checked);
        if (!mWindow)
            open({ { "Sine.pd", {} } });
        child<QPushButton>("tonebudColourButton")->setChecked(true);
        child<QPushButton>("tonebudBWButton")->setChecked(true);
        Settings& o = app()->options();
        o.ratiosWithinOctave = octave;
        o.toneBudNotation = tonebud;
        o.absRelView = display;
        o.circlesView = circles;
        mWindow->setButtons();
        QString state;
        for (const char* name : { "normalizeRatiosButton", "tonebudColourButton", "tonebudBWButton", "absoluteModeButton",
                                  "relativeModeButton", "circlesViewButton", "grapesViewButton" })
            state += child<QPushButton>(name)->isChecked() ? '1' : '0';
        QCOMPARE(state, checked);
    }

    // The switches change page and display mode; an unknown link changes neither.
    void switches()
    {
        if (!mWindow)
            open({ { "Sine.pd", {} } });
        auto stack = child<QStackedWidget>("centralStack");
        QTest::mouseClick(child<QWidget>("circlesViewButton"), Qt::LeftButton);
        QCOMPARE(stack->currentIndex(), 0);
        QCOMPARE(mWindow->currentMode(), 0);
        QVERIFY(app()->options().circlesView);
        mWindow->onSwitcherClicked("sideways");
        QCOMPARE(stack->currentIndex(), 0);
        QTest::mouseClick(child<QWidget>("grapesViewButton"), Qt::LeftButton);
        QCOMPARE(mWindow->currentMode(), 1);
        QVERIFY(!app()->options().circlesView && child<QPushButton>("grapesViewButton")->isChecked());

        QTest::mouseClick(child<QWidget>("relativeModeButton"), Qt::LeftButton);
        QCOMPARE(app()->options().absRelView, 0);
        mWindow->onAbsRelSwitcherClicked("absolute2");
        QCOMPARE(app()->options().absRelView, 2);
        mWindow->onAbsRelSwitcherClicked("nonsense");
        QCOMPARE(app()->options().absRelView, 2);
        QTest::mouseClick(child<QWidget>("absoluteModeButton"), Qt::LeftButton);
        QCOMPARE(app()->options().absRelView, 1);

        auto expand = child<QPushButton>("expandWendleButton");
        QTest::mouseClick(expand, Qt::LeftButton);
        QVERIFY(!child<QWidget>("topFrame")->isVisible() && !mWindow->currentPage()->cardStack()->isVisible());
        QCOMPARE(expand->text(), QString("> <"));
        QTest::mouseClick(expand, Qt::LeftButton);
        QVERIFY(child<QWidget>("topFrame")->isVisible() && mWindow->currentPage()->cardStack()->isVisible());
        QCOMPARE(expand->text(), QString("< >"));

        post(WendleNoteEvent(TogglePathNote, 1.0f, WendlePath::fromSteps({ 3 }), WendleRatio()));
        QVERIFY(app()->engine().voiceOf(WendleRatio(3, 2)));
        QTest::mouseClick(child<QWidget>("stopAllButton"), Qt::LeftButton);
        run();
        const Voice* v = app()->engine().voiceOf(WendleRatio(3, 2));
        QVERIFY(!v || !v->sounds());
    }

    // A transposition or a display switch builds the cards again: 7/5 over
    // 3/2 is 14/15, shown as 28/15 within the octave while relative.
    void refreshBuildsCards()
    {
        if (!mWindow) {
            app()->options().updateCheckInterval = 4;
            open({ { "Sine.pd", {} } });
        }
        Settings& o = app()->options();
        o.ratiosWithinOctave = true;
        QTest::mouseClick(child<QWidget>("relativeModeButton"), Qt::LeftButton);
        const WendleRatio r(7, 5);
        post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r));
        const CardStackTwoWidget* stack = mWindow->currentPage()->cardStackTwo();
        const auto ratioText = [&] { return stack->cards().value(r)->findChild<QLabel*>("ratioLabel")->text(); };
        QCOMPARE(ratioText(), QString("7/5"));
        post(WendleTransposeEvent(TransposeByRatio, 1.0f, WendleRatio(3, 2)));
        QCOMPARE(ratioText(), QString("28/15"));
        QTest::mouseClick(child<QWidget>("absoluteModeButton"), Qt::LeftButton);
        QCOMPARE(ratioText(), QString("7/5"));
        QCOMPARE(mWindow->currentPage()->nodeStack()->index().keys(), QList<WendleRatio> { r });
        post(WendleEvent(AllNotesOff, 1.0f));
        post(WendleEvent(TransposeByPrime, 0.0f));
        QVERIFY(stack->cards().isEmpty());
    }
};

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QCoreApplication::setApplicationName(TuningWendleApplication::Name);
    TuningWendleApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
