#include "TuningWendleApplication.h"

#include "EngineCommandType.h"
#include "MainWindow.h"
#include "MidiOutput.h"
#include "RatioContext.h"
#include "RfidMap.h"
#include "UpdateManager.h"
#include "ViewContext.h"
#include "WendleEvent.h"
#include "WendleLayer.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

TuningWendleApplication* TuningWendleApplication::sInstance = nullptr;

namespace {

constexpr int AutoSaveIntervalMs = 900000;

#ifdef Q_OS_UNIX
// Written by the signal handler, read by the event loop.
int sQuitPipe[2] = { -1, -1 };

void onQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(sQuitPipe[1], &byte, 1);
}
#endif

} // namespace

TuningWendleApplication::TuningWendleApplication(int& argc, char** argv)
    : QApplication(argc, argv)
    // What is left after Qt took its own options.
    , mFlags(flagsOf(arguments().mid(1)))
{
    sInstance = this;
}

TuningWendleApplication::~TuningWendleApplication()
{
    delete mMainWindow;
    mMainWindow = nullptr;
    // Its windows and replies need the application: they go before it.
    UpdateManager::destroyInstance();
    qInstallMessageHandler(nullptr);
    // The view and the ratio texts point into the options and the engine, which die next.
    ViewContext::unbind();
    RatioContext::bindWithinOctave(nullptr);
    sInstance = nullptr;
}

TuningWendleApplication* TuningWendleApplication::instance()
{
    return sInstance;
}

QString TuningWendleApplication::configDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString TuningWendleApplication::programDir()
{
    return QCoreApplication::applicationDirPath();
}

bool TuningWendleApplication::stop(const QString& text, bool logged)
{
    if (!logged)
        qCritical().noquote() << text;
    QMessageBox::critical(nullptr, applicationName(), text + QStringLiteral("\n\nThe program will now shut down."));
    // Nothing may play into an engine that is about to go.
    mAudioOutput.term();
    return false;
}

bool TuningWendleApplication::start()
{
    setApplicationName(QLatin1String(Name));

    WendleRatio::registerMetaTypes();
    setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    const QString config = configDir();
    const bool created = QDir().mkpath(config);
    qDebug() << "Config dir:" << config;
    qDebug() << "Resource dir:" << ":";
    qDebug() << "Patches dir:" << programDir() + QStringLiteral("/patches");
    if (!created) {
        qCritical().noquote() << QStringLiteral("Could not create config directory %1.").arg(config);
        return stop(QStringLiteral("Creation of config directory failed."), true);
    }
    const QString presets = config + QStringLiteral("/chord_presets");
    if (!QDir().mkpath(presets))
        qCritical().noquote() << QStringLiteral("Couldn't create %1 as default for chord presets.").arg(presets);

    openLog();

    if (!loadStyleSheet())
        return stop(QStringLiteral("Initialisation of style sheet failed."));

    if (!mOptions.loadFromFile(QLatin1String(Settings::FileName))) {
        const QString text = QStringLiteral("Failed to read saved options. All options will be reset to defaults.");
        qCritical().noquote() << text;
        QMessageBox::critical(nullptr, applicationName(), text);
    }
    RatioContext::bindWithinOctave(&mOptions.ratiosWithinOctave);

    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));

    if (!mEngine.createRings())
        return stop(QStringLiteral("PD initialisation failed. This means no audio playback will be possible."));

    qWarning() << "calling libpd init";
    if (!PdPlayer::initLibpd())
        return stop(QStringLiteral("PD initialisation failed. This means no audio playback will be possible."));

    mEngine.setGlissRanges(mOptions.glissOneRangeCents, mOptions.glissTwoRangeCents);
    mEngine.setGlissRangeOptions(mOptions.glissOneRangeCents, mOptions.glissTwoRangeCents);
    mEngine.setSoftNodeReset(mOptions.softNodeReset);
    mEngine.setMaintainMacroParameters(mOptions.maintainMacroParameters);
    qWarning().noquote() << QStringLiteral("PdPlayer: Max number of voices set to %1").arg(mOptions.mainPatchNumberOfVoices);
    mEngine.setMaxVoices(mOptions.mainPatchNumberOfVoices);

    const bool audio = mAudioOutput.init(mOptions.framesPerBuffer, mOptions.audioDevice, &mEngine);
    mAudioOutput.printDeviceInfo();
    if (!audio) {
        qWarning() << "No audio output could be opened. Without a sound card, scripts/start.sh runs the"
                      " instrument headless on a private JACK server when no display is set.";
        return stop(QStringLiteral("Initialisation of audio device failed. This means no audio playback will be possible."));
    }

    if (!initPatches())
        return stop(QStringLiteral("Initialisation of patch directory failed. This means no audio playback will be possible."));

    if (!mLattice.init(&mEngine))
        return stop(QStringLiteral("Wendle initialisation failed."));

    configureMidi();

    // The pages read the engine and the options from their first ball on.
    ViewContext::bind(&mEngine, &mOptions);
    mMainWindow = new MainWindow(&mLattice);
    mMainWindow->show();
    restoreWindow();
    mMainWindow->applyViewScale();

    const WendleEvent events[] = {
        WendleEvent(SetBaseFrequency, float(mOptions.baseFrequency)),
        WendleEvent(MasterVolumeSet, mOptions.masterVolume),
        WendleEvent(SetMonophonic, mOptions.monophonic ? 1.0f : 0.0f),
    };
    for (const WendleEvent& e : events)
        mEngine.guiCommandBuffer().post(&e);

    connect(&mEngine, SIGNAL(baseFrequencyChanged(float)), &mOptions, SLOT(onBaseFrequencyChanged(float)), Qt::QueuedConnection);
    connect(&mEngine, SIGNAL(volumeChanged(float)), &mOptions, SLOT(onMasterVolumeChanged(float)), Qt::QueuedConnection);
    connect(&mEngine, SIGNAL(monophonicChanged(bool)), &mOptions, SLOT(onMonophonicChanged(bool)), Qt::QueuedConnection);

    // The controller thread exists only for a player who has a tag table.
    if (QFileInfo::exists(config + QLatin1Char('/') + QLatin1String(RfidMap::FileName))) {
        connect(mUdpListener.get(), SIGNAL(eventReceived(const WendleEvent*)), &mEngine, SLOT(queueEventSerial(const WendleEvent*)),
                Qt::DirectConnection);
        connect(mUdpListener.get(), SIGNAL(fatalError(QString)), this, SLOT(onUdpFatalError(QString)), Qt::QueuedConnection);
        mUdpListener->setPort(mOptions.udpPort);
        mUdpListener->start(QThread::InheritPriority);
    }

    mInterface.attachEngine(&mEngine);

    loadAutoSavedChords();
    mMainWindow->refreshChordButtons();

    auto timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(autoSafe()));
    timer->setInterval(AutoSaveIntervalMs);
    timer->setTimerType(Qt::VeryCoarseTimer);
    timer->start();

    watchQuitSignals();
    // The flags choose what the diagnostics window collects: with any, the player sees it.
    if (!mFlags.isEmpty())
        mMainWindow->showDiagnostics();
    return true;
}

void TuningWendleApplication::restoreWindow()
{
    const QSize size(mOptions.windowWidth, mOptions.windowHeight);
    const QPoint pos(mOptions.windowX, mOptions.windowY);
    if (size != QSize(-1, -1))
        mMainWindow->resize(size);
    if (pos != QPoint(-1, -1)) {
        // A place on a screen that is gone would put the window out of reach.
        if (screenAt(pos + QPoint(16, 16)))
            mMainWindow->move(pos);
        else
            qWarning().noquote() << QStringLiteral("Stored window position %1,%2 is on no screen; not applied")
                                        .arg(pos.x()).arg(pos.y());
    }
    if (mOptions.windowMaximized)
        mMainWindow->showMaximized();
}

void TuningWendleApplication::shutdown()
{
    captureWindowState();
    mChordStore.saveChordFile(chordAutoSavePath());
    if (mUdpListener->isRunning()) {
        qWarning() << "Stopping UDP thread...";
        mUdpListener->requestStop();
        if (!mUdpListener->wait(QDeadlineTimer(2000, Qt::CoarseTimer))) {
            qCritical() << "UDP thread couldn't be stopped, exiting anyway";
            // Waiting longer could hang the quit for good; the thread is cut
            // off from the engine, which goes before it may end.
            mUdpListener->abandon();
            mUdpListener.release();
        }
    }
    // No later command will write what the controller's last flood left uncounted.
    mEngine.writeDroppedCommandCount();
    if (mLattice.autoSaveEnabled())
        mLattice.save();
    qWarning() << "PdPlayer::term...";
    mEngine.unloadPatch();
    mAudioOutput.term();
    mInterface.midiOutput()->term();
    if (mOptions.autoSaveEnabled())
        mOptions.save();
    qInstallMessageHandler(nullptr);
}

void TuningWendleApplication::captureWindowState()
{
    if (mMainWindow) {
        mOptions.circlesView = mMainWindow->currentMode() == 0;
        mOptions.windowMaximized = mMainWindow->isMaximized();
        if (!mOptions.windowMaximized) {
            mOptions.windowWidth = mMainWindow->geometry().width();
            mOptions.windowHeight = mMainWindow->geometry().height();
            mOptions.windowX = mMainWindow->pos().x();
            mOptions.windowY = mMainWindow->pos().y();
        }
    }
    mOptions.audioDevice = mAudioOutput.selectedIndex();
    mOptions.midiOutDevice = mInterface.midiOutput()->portName();
    mOptions.midiOutChannel = mInterface.midiOutput()->midiChannel();
}

void TuningWendleApplication::configureMidi()
{
    // A missing port is no reason to stop: the player may plug it in later.
    MidiOutput* midi = mInterface.midiOutput();
    midi->openPortByName(mOptions.midiOutDevice);
    midi->setMidiChannel(mOptions.midiOutChannel);
    midi->setPitchBendRange(mOptions.glissRangeMPECents + 50);
}

void TuningWendleApplication::onUdpFatalError(QString error)
{
    QMessageBox::critical(nullptr, applicationName(),
                          QStringLiteral("Failed to connect to the wendle, only screen-based interaction will be possible.\n\nError: %1").arg(error));
}

void TuningWendleApplication::autoSafe()
{
    captureWindowState();
    mOptions.save();
    if (!mChordStore.saveChordFile(chordAutoSavePath())) {
        if (!mChordStore.unkeptFile().isEmpty())
            qWarning() << "Auto-save of the chords refused: the file could not be read at start-up and no copy of it could be kept; "
                          "they are not saved until it can be kept aside or is moved away";
        else
            qWarning() << "Auto-save of the chords failed; it is tried again at the next auto-save and at shutdown";
    }
    qDebug().noquote() << QStringLiteral("Autosafe called ... ") + QDateTime::currentDateTime().toString(Qt::TextDate);
}

QString TuningWendleApplication::chordAutoSavePath()
{
    return configDir() + QStringLiteral("/.temp.lmpr");
}

void TuningWendleApplication::loadAutoSavedChords()
{
    mChordStore.loadAutoSave(chordAutoSavePath());
    if (!mChordStore.unkeptFile().isEmpty()) {
        const QString text = QStringLiteral("Failed to read saved chords from %1, and no copy of that file could be kept. "
                                            "Chords will not be auto-saved until it is moved away.")
                                 .arg(QDir::toNativeSeparators(mChordStore.unkeptFile()));
        qCritical().noquote() << text;
        QMessageBox::critical(nullptr, applicationName(), text);
    }
}

bool TuningWendleApplication::initPatches()
{
    const QString folder = configDir() + QStringLiteral("/patch");
    if (!QDir().mkpath(folder))
        return false;
    const QString mainPatch = QStringLiteral("wendle_main_%1voice.pd").arg(mOptions.mainPatchNumberOfVoices);
    qDebug() << "Patches init: Main patch:" << mainPatch;
    const QString shell = programDir() + QStringLiteral("/patches/shell/");
    const struct { QString source; const char* target; bool force; } copies[] = {
        { mainPatch, "wendle_main.pd", true },
        { QStringLiteral("wendle_vprep.pd"), "wendle_vprep.pd", false },
        { QStringLiteral("equal-loudness.pd"), "equal-loudness.pd", false },
        { QStringLiteral("tb_compressor~.pd"), "tb_compressor~.pd", false },
        { QStringLiteral("tb_compressorUI.pd"), "tb_compressorUI.pd", false },
    };
    bool ok = true;
    for (const auto& c : copies)
        ok = copyFile(shell + c.source, folder + QLatin1Char('/') + QLatin1String(c.target), c.force) && ok;
    return ok;
}

bool TuningWendleApplication::copyFile(const QString& source, const QString& target, bool force)
{
    const QFileInfo targetInfo(target);
    if (targetInfo.exists()) {
        if (targetInfo.lastModified() < QFileInfo(source).lastModified())
            force = true;
        if (!force)
            return true;
        if (!QFile::remove(target)) {
            qCritical() << "Failed to delete" << target << "before copying";
            return false;
        }
    }
    if (!QFile::copy(source, target)) {
        qCritical() << "Failed to copy" << source << "to" << target;
        return false;
    }
    // A copy carries the source's time, so that a newer installed file is
    // recognised as newer at the next start.
    QFile copied(target);
    const QDateTime sourceTime = QFileInfo(source).lastModified();
    if (!copied.open(QIODevice::ReadWrite) || !copied.setFileTime(sourceTime, QFileDevice::FileModificationTime))
        qWarning() << "Couldn't give" << target << "the time of" << source;
    return true;
}

bool TuningWendleApplication::loadStyleSheet()
{
    // Both files or nothing: the sheet is applied only when both were read.
    const auto read = [](const QString& path, const char* missing, QString& text) {
        if (!QFile::exists(path)) {
            qCritical().noquote() << QString::fromLatin1(missing).arg(path);
            return false;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            qCritical().noquote() << QStringLiteral("Failed to open file %1 for reading.").arg(path);
            return false;
        }
        text += QString::fromLatin1(file.readAll());
        return true;
    };
    QString sheet;
    if (!read(QStringLiteral(":/style.qss"), "Failed to find style sheet file %1.", sheet)
        || !read(QStringLiteral(":/style_win.qss"), "Failed to find platform-specific style sheet file %1.", sheet))
        return false;
    setStyleSheet(sheet);
    // A style sheet cannot change letter case: button captions take it from their font.
    QFont caps = QApplication::font("QAbstractButton");
    caps.setCapitalization(QFont::AllUppercase);
    setFont(caps, "QAbstractButton");
    return true;
}

void TuningWendleApplication::catchQuitSignals()
{
#ifdef Q_OS_UNIX
    if (sQuitPipe[0] >= 0 || ::pipe(sQuitPipe) != 0)
        return;
    ::fcntl(sQuitPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
#endif
}

void TuningWendleApplication::watchQuitSignals()
{
#ifdef Q_OS_UNIX
    if (sQuitPipe[0] < 0 || mQuitNotifier)
        return;
    // A signal that came during start-up is waiting in the pipe and ends the loop at once.
    mQuitNotifier = new QSocketNotifier(sQuitPipe[0], QSocketNotifier::Read, this);
    connect(mQuitNotifier, &QSocketNotifier::activated, this, [this] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(sQuitPipe[0], &byte, 1);
        qWarning() << "Asked to quit by a signal";
        quit();
    });
#endif
}
