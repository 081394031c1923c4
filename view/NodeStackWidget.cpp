#include "NodeStackWidget.h"

#include <QResizeEvent>

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

void NodeStackWidget::updatePositions()
{
    // No free ball exists yet to lay out.
}

void NodeStackWidget::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    updatePositions();
    emit resized();
}
