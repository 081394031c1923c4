#include "CardStackTwoWidget.h"

CardStackTwoWidget::CardStackTwoWidget(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFocusPolicy(Qt::NoFocus);
}

CardStackTwoWidget::~CardStackTwoWidget() = default;

void CardStackTwoWidget::updatePositions()
{
    // No card widget exists yet to place.
}

void CardStackTwoWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updatePositions();
}
