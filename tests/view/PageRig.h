#pragma once

#include "PdPlayer.h"
#include "Settings.h"
#include "Wendle.h"
#include "WendleLayer.h"

#include <QList>
#include <QPoint>
#include <QStringList>

class WendleBallWidget;

// A lattice page wired as the program wires it: the real engine (run one
// callback at a time on this thread), the lattice from "wendle_v2.json" in
// the test's configuration folder following the engine, and the options.
// The page is shown at a fixed size.
class PageRig
{
public:
    // Once per test program: a temporary configuration folder and libpd.
    static bool initProcess();
    // The program's own style sheet, which sizes the cards and picks their fonts.
    static bool applyStyleSheet();

    explicit PageRig(int mode, const QSize& size = QSize(900, 640));
    ~PageRig();

    // One audio callback, then the engine's reports reach the lattice and the view.
    void run();
    void post(const WendleEvent& event);
    // A mouse click on the item's centre, through the view's viewport, then one callback.
    void click(WendleBallWidget* item, Qt::KeyboardModifiers modifiers = {}, Qt::MouseButton button = Qt::LeftButton);
    QPoint viewportPoint(const QPointF& scenePoint) const;
    QPoint viewportPoint(WendleBallWidget* item) const;

    // The item of a lattice path ("/3", "/-2/5"), main ball or leaf.
    WendleBallWidget* item(const QString& path) const;
    QList<WendleBallWidget*> items() const;
    // The ratios the engine's voices sound, as texts, sorted.
    QStringList sounding() const;
    // The rendered colour at a scene point.
    QColor pixel(const QPointF& scenePoint) const;

    WendleView* view() const { return page.view(); }

    PdPlayer player;
    Settings settings;
    Wendle lattice;
    WendleLayer page;
    const int mode;
};
