#include "FreeConnectorOverlay.h"

#include "CardStackTwoWidget.h"
#include "FreeBallWidget.h"
#include "NodeStackWidget.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QPainter>
#include <QStyleOption>

FreeConnectorOverlay::FreeConnectorOverlay(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

FreeConnectorOverlay::~FreeConnectorOverlay() = default;

void FreeConnectorOverlay::addNode(FreeBallWidget* ball)
{
    if (!mBalls.contains(ball))
        mBalls.append(ball);
    update();
}

void FreeConnectorOverlay::removeNode(FreeBallWidget* ball)
{
    mBalls.removeAll(ball);
    update();
}

void FreeConnectorOverlay::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &p, this);
    if (!mNodeStack || !mCardStackTwo)
        return;
    p.setPen(QPen(QColor(142, 142, 142, 64), 1, Qt::DotLine));
    QWidget* viewport = mNodeStack->viewport();
    const auto here = [&](const QPointF& scenePoint) {
        return mapFromGlobal(viewport->mapToGlobal(mNodeStack->mapFromScene(scenePoint)));
    };
    const int stackLeft = mapFromGlobal(mCardStackTwo->mapToGlobal(QPoint(0, 0))).x();
    // The grapes drawing is laid out by pitch: a ball at its pitch height
    // lines up with it, and its line runs on across the page.
    const bool acrossDrawing = mView && mView->rootGroup() && mView->rootGroup()->mode == 1;
    for (const FreeBallWidget* ball : std::as_const(mBalls)) {
        const double r = ball->hitRadius();
        const QPoint a = here(ball->scenePos() + QPointF(r, 1));
        p.drawLine(a, QPoint(stackLeft, a.y()));
        if (acrossDrawing && ball->inPlace())
            p.drawLine(QPoint(0, a.y()), here(ball->scenePos() + QPointF(-r, 1)));
    }
}
