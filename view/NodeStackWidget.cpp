#include "NodeStackWidget.h"

#include "FreeBallWidget.h"
#include "FreeConnectorOverlay.h"
#include "TweakConstants.h"
#include "Wendle.h"
#include "WendleView.h"

#include <QDebug>
#include <QMap>
#include <QResizeEvent>
#include <algorithm>
#include <cmath>

NodeStackWidget::NodeStackWidget(QWidget* parent)
    : QGraphicsView(parent)
{
    setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto nodeScene = new QGraphicsScene(this);
    // With this rectangle a ball's scene position is its pixel from the top left.
    nodeScene->setSceneRect(0, 0, 1, 1);
    setScene(nodeScene);
    setFocusPolicy(Qt::NoFocus);
}

NodeStackWidget::~NodeStackWidget() = default;

void NodeStackWidget::addNodeWidget(const WendleRatio& ratio)
{
    if (mIndex.contains(ratio))
        return;
    auto ball = new FreeBallWidget(this, ratio, LEAF_DIAMETER);
    scene()->addItem(ball);
    mIndex.insert(ratio, ball);
}

void NodeStackWidget::removeNode(const WendleRatio& ratio)
{
    FreeBallWidget* ball = mIndex.take(ratio);
    if (!ball)
        return;
    ball->hide();
    scene()->removeItem(ball);
    if (mFreeOverlay)
        mFreeOverlay->removeNode(ball);
    // Out of the scene nothing owns it; deferred, as the removal may come
    // from within one of its own events.
    ball->deleteLater();
}

void NodeStackWidget::toggleNode(const WendleRatio& ratio, bool on)
{
    FreeBallWidget* ball = mIndex.value(ratio);
    if (!ball)
        return;
    ball->setPlayingState(on);
    if (!mFreeOverlay)
        return;
    if (on)
        mFreeOverlay->addNode(ball);
    else
        mFreeOverlay->removeNode(ball);
}

void NodeStackWidget::syncNodes()
{
    const QHash<WendleRatio, FreeBallWidget*> balls = mIndex;
    for (auto it = balls.cbegin(); it != balls.cend(); ++it) {
        const FreeBallWidget* old = it.value();
        const bool playing = old->playing();
        const bool selected = old->selected();
        const bool hold = old->hold();
        const bool altered = old->altered();
        const WendleRatio ratio = it.key();
        removeNode(ratio);
        addNodeWidget(ratio);
        toggleNode(ratio, playing);
        FreeBallWidget* ball = mIndex.value(ratio);
        ball->setSelected(selected);
        ball->setHold(hold);
        ball->setAltered(altered);
    }
    updatePositions();
}

void NodeStackWidget::updatePositions()
{
    mPlaced.clear();
    mTop = 0;
    mHeight = height();
    if (!mView || mIndex.isEmpty())
        return;
    const QRectF rect = mView->sceneRect();
    if (rect.isEmpty())
        return;

    // Highest ratio first; ratios equal as doubles share one place.
    QMap<double, FreeBallWidget*> byValue;
    for (auto it = mIndex.cbegin(); it != mIndex.cend(); ++it)
        byValue.insert(it.key().toDouble(), it.value());
    QList<FreeBallWidget*> order = byValue.values();
    std::reverse(order.begin(), order.end());

    const QTransform toViewport = mView->viewportTransform();
    const int H = int(toViewport.mapRect(rect).height());
    const double cy = toViewport.map(rect.center()).y();
    const float k = float(5.5 * H / rect.height());
    const Wendle* lattice = mView->lattice();
    const double transposition = lattice ? lattice->transpositionRatio.toDouble() : 1.0;

    for (qsizetype i = 0; i < order.size(); ++i) {
        FreeBallWidget* ball = order[i];
        const int remaining = int(order.size() - 1 - i);
        const int rows = remaining / mColumns;
        const float cell = float(2.0 * ball->hitRadius() * 1.35);
        const float glowR = float(ball->parts().glow->rect().width() / 2.0);

        // The quotient of the two ratios: their exact quotient may not fit 64 bits.
        const float q = float(ball->ratio().toDouble() / transposition);
        if (!(q > 0.0f && std::isfinite(q)))
            continue;
        const long R = std::lround(std::log(q) / 2.1972246f * (float(-H) / 2.0f));
        int y = int(float(R) + float(cy) + k);
        int x = 0;
        bool inPlace = false;
        bool grid = false;
        if (float(y) >= float(mTop) + glowR + cell) {
            if (float(y) <= (float(mHeight) - glowR - cell) - float(rows) * cell) {
                inPlace = true;
            } else {
                qDebug().noquote() << "Node jumps into grid at bottom: Ratio " + ball->ratio().toString()
                        + "; howManyMore: " + QString::number(remaining) + " Threshold level for jump: "
                        + QString::number(-rows);
                y = int(float(mHeight) - glowR - float(rows) * cell);
                x = int(float(((mColumns - 1) - remaining % mColumns) * int(cell)) + glowR);
                grid = true;
            }
        } else {
            if (mPlaced.size() >= mColumns) {
                mTop += int(cell);
                mPlaced.clear();
            }
            y = int(float(mTop) + glowR);
        }
        if (!grid) {
            x = int(glowR);
            if (float(y) < float(mRowStart.y()) + cell) {
                for (const QPoint& p : std::as_const(mPlaced)) {
                    if (float(p.y()) + cell >= float(y))
                        x += int(cell);
                }
                if (float(x) > float(mColumns) * cell) {
                    mPlaced.clear();
                    x = int(glowR);
                }
            }
        }
        ball->setInPlace(inPlace);
        if (ball->playing() && mFreeOverlay) {
            mFreeOverlay->removeNode(ball);
            mFreeOverlay->addNode(ball);
        }
        ball->setPos(x, y);
        ball->show();
        mPlaced.append(QPoint(x, y));
        if (float(x) == glowR)
            mRowStart = QPoint(x, y);
    }
}

void NodeStackWidget::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    updatePositions();
    emit resized();
}
