#include "PageRig.h"

#include "ViewContext.h"
#include "WendleBallWidget.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

#include "z_libpd.h"

bool PageRig::initProcess()
{
    static QTemporaryDir home;
    if (!home.isValid())
        return false;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    const QString config = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (!config.startsWith(home.path()) || !QDir().mkpath(config))
        return false;
    WendleRatio::registerMetaTypes();
    return PdPlayer::initLibpd() && libpd_init_audio(0, 2, 48000) == 0;
}

bool PageRig::applyStyleSheet()
{
    QString sheet;
    for (const char* name : { ":/style.qss", ":/style_win.qss" }) {
        QFile file { QString::fromLatin1(name) };
        if (!file.open(QIODevice::ReadOnly))
            return false;
        sheet += QString::fromLatin1(file.readAll());
    }
    qApp->setStyleSheet(sheet);
    return true;
}

PageRig::PageRig(int m, const QSize& size)
    : mode(m)
{
    player.createRings();
    lattice.init(&player);
    ViewContext::bind(&player, &settings);
    page.setup(mode, &lattice);
    page.resize(size);
    page.show();
    if (!QTest::qWaitForWindowExposed(&page))
        qWarning() << "The lattice page was never exposed";
}

PageRig::~PageRig()
{
    ViewContext::unbind();
}

void PageRig::run()
{
    float buffer[64 * 2];
    player.processCallback(buffer, 64, false);
    player.deliverReports();
    QCoreApplication::processEvents();
}

void PageRig::post(const WendleEvent& event)
{
    player.guiCommandBuffer().post(&event);
    run();
}

QPoint PageRig::viewportPoint(const QPointF& scenePoint) const
{
    return view()->mapFromScene(scenePoint);
}

QPoint PageRig::viewportPoint(WendleBallWidget* item) const
{
    return viewportPoint(item->scenePos());
}

void PageRig::click(WendleBallWidget* item, Qt::KeyboardModifiers modifiers, Qt::MouseButton button)
{
    QTest::mouseClick(view()->viewport(), button, modifiers, viewportPoint(item));
    run();
}

QList<WendleBallWidget*> PageRig::items() const
{
    return view()->rootGroup() ? view()->rootGroup()->ballWidgets : QList<WendleBallWidget*>();
}

WendleBallWidget* PageRig::item(const QString& path) const
{
    for (WendleBallWidget* w : items()) {
        if (w->ball() && w->ball()->path.toString() == path)
            return w;
    }
    return nullptr;
}

QStringList PageRig::sounding() const
{
    QStringList out;
    for (int i = 0; i < PdPlayer::MaxVoices; ++i) {
        if (player.voiceAt(i).sounds())
            out << player.voiceAt(i).ratio.toString(false);
    }
    std::sort(out.begin(), out.end());
    return out;
}

QColor PageRig::pixel(const QPointF& scenePoint) const
{
    const QImage image = view()->viewport()->grab().toImage();
    return image.pixelColor(viewportPoint(scenePoint));
}
