#include "WindowRig.h"

#include "EngineCommandType.h"
#include "StoreAndRecall.h"
#include "ViewContext.h"
#include "WendleNoteEvent.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QTest>

#include "z_libpd.h"

ModalAnswerer::ModalAnswerer()
{
    connect(&mTimer, &QTimer::timeout, this, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        const QString answer = answers.isEmpty() ? QStringLiteral("unexpected") : answers.takeFirst();
        const bool cancel = answer == QLatin1String("cancel");
        if (auto box = qobject_cast<QMessageBox*>(modal)) {
            seen << box->windowTitle() + QLatin1Char('|') + box->text();
            const auto which = answer == QLatin1String("yes") ? QMessageBox::Yes : answer == QLatin1String("no") ? QMessageBox::No : QMessageBox::Ok;
            box->button(which) ? box->button(which)->click() : box->reject();
        } else if (auto input = qobject_cast<QInputDialog*>(modal)) {
            seen << input->windowTitle() + QLatin1Char('|') + input->labelText();
            input->setTextValue(answer);
            cancel ? input->reject() : input->accept();
        } else if (auto files = qobject_cast<QFileDialog*>(modal)) {
            // The dialog leaves a name line that has the focus as it is, so the answer goes in unfocused.
            if (QWidget* focused = files->focusWidget())
                focused->clearFocus();
            files->selectFile(answer);
            QMetaObject::invokeMethod(files, cancel ? "reject" : "accept");
        } else {
            modal->close();
        }
    });
    mTimer.start(20);
}

bool WindowRig::prepare()
{
    PdPlayer& engine = app()->engine();
    const QString installed = qEnvironmentVariable("WENDLE_SOURCE_DIR") + QStringLiteral("/patches");
    const QString patches = TuningWendleApplication::programDir() + QStringLiteral("/patches");
    QDir(patches).removeRecursively();
    if (!QDir().mkpath(TuningWendleApplication::configDir() + QStringLiteral("/chord_presets"))
        || !QDir().mkpath(patches + QStringLiteral("/shell")) || !engine.createRings() || !PdPlayer::initLibpd()
        || libpd_init_audio(0, 2, 48000) != 0 || !app()->loadStyleSheet())
        return false;
    for (const QString& name : QDir(installed + QStringLiteral("/shell")).entryList(QDir::Files)) {
        if (!QFile::copy(installed + QStringLiteral("/shell/") + name, patches + QStringLiteral("/shell/") + name))
            return false;
    }
    if (!QFile::copy(installed + QStringLiteral("/Sine.pd"), patches + QStringLiteral("/Sine.pd")))
        return false;
    app()->options().mainPatchNumberOfVoices = 16;
    app()->options().defaultPatch = QStringLiteral("Sine.pd");
    // No update check over the network from a test.
    app()->options().updateCheckInterval = 4;
    WendleRatio::registerMetaTypes();
    if (!app()->initPatches() || !app()->lattice().init(&engine))
        return false;
    ViewContext::bind(&engine, &app()->options());
    return true;
}

void WindowRig::finish()
{
    app()->engine().unloadPatch();
    ViewContext::unbind();
}

bool WindowRig::open()
{
    window.reset();
    if (!modals)
        modals = std::make_unique<ModalAnswerer>();
    window = std::make_unique<MainWindow>(&app()->lattice());
    window->show();
    const bool exposed = QTest::qWaitForWindowExposed(window.get());
    // The patch's macro names and defaults arrive after the load.
    run();
    run();
    return exposed;
}

void WindowRig::run()
{
    float buffer[2 * 64];
    app()->engine().processCallback(buffer, 64, false);
    app()->engine().deliverReports();
    QCoreApplication::processEvents();
}

void WindowRig::post(const WendleEvent& event)
{
    app()->engine().guiCommandBuffer().post(&event);
    run();
}

void WindowRig::sound(const QString& list)
{
    post(WendleEvent(SetHold, 0.0f));
    post(WendleEvent(AllNotesOff, 1.0f));
    for (const WendleRatio& r : ratios(list))
        post(WendleNoteEvent(ToggleRatioNote, 1.0f, WendlePath(), r));
}

QList<WendleRatio> WindowRig::ratios(const QString& text)
{
    QList<WendleRatio> out;
    for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList nd = part.split(QLatin1Char('/'));
        out << WendleRatio(nd.value(0).toULongLong(), nd.value(1).toULongLong());
    }
    return out;
}

QString WindowRig::text(QList<WendleRatio> list)
{
    std::sort(list.begin(), list.end(), [](const WendleRatio& a, const WendleRatio& b) { return a.ratio < b.ratio; });
    QStringList parts;
    for (const WendleRatio& r : list)
        parts << r.toString(false);
    return parts.join(QLatin1Char(' '));
}

QString WindowRig::sounding()
{
    return text(app()->engine().getAllSoundingRatios());
}

QString WindowRig::stored()
{
    const auto& chords = app()->chordStore().chords;
    QList<qint32> numbers = chords.keys();
    std::sort(numbers.begin(), numbers.end());
    QStringList parts;
    for (qint32 s : numbers)
        parts << QString::number(s) + QLatin1Char(':') + text(chords.value(s));
    return parts.join(QLatin1Char(';'));
}

int WindowRig::freeSlots()
{
    return app()->engine().guiCommandBuffer().freeCommandSlots();
}
