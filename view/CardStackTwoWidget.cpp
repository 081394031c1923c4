#include "CardStackTwoWidget.h"

#include "CardWidget.h"
#include "Wendle.h"
#include "WendleView.h"

#include <cmath>

CardStackTwoWidget::CardStackTwoWidget(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setFocusPolicy(Qt::NoFocus);
}

CardStackTwoWidget::~CardStackTwoWidget() = default;

void CardStackTwoWidget::addCard(const WendleRatio& ratio)
{
    if (mCards.contains(ratio))
        return;
    auto card = new CardWidget(ratio, this);
    // Named before it is polished: the style sheet greys this stack's cards.
    card->setObjectName(QLatin1String(CardName));
    card->adjustSize();
    placeCard(ratio, card);
    card->show();
    mCards.insert(ratio, card);
}

void CardStackTwoWidget::removeCards(const WendleRatio& ratio)
{
    CardWidget* card = mCards.take(ratio);
    if (!card)
        return;
    card->hide();
    delete card;
}

void CardStackTwoWidget::placeCard(const WendleRatio& ratio, CardWidget* card)
{
    if (!mView || !mView->scene() || !card)
        return;
    const QRectF scene = mView->sceneRect();
    if (scene.isEmpty())
        return;
    const int hR = int(mView->viewportTransform().mapRect(scene).height());
    // The view's rectangle, as the node stack takes it: the scene's own one
    // never shrinks when a redraw makes the drawing smaller.
    const QPointF c = mView->viewportTransform().map(scene.center());
    const float base = float(c.y() + (5.5 * hR) / scene.height());
    // The quotient of the two ratios: their exact quotient may not fit 64 bits.
    const Wendle* lattice = mView->lattice();
    const double t = lattice ? lattice->transpositionRatio.toDouble() : 1.0;
    const float q = float(ratio.toDouble() / t);
    if (!(q > 0.0f && std::isfinite(q)))
        return;
    const float L = std::log(q) / 2.1972246f;
    const long offset = std::lround(L * (float(-hR) * 0.5f));
    int y = int(float(offset) + base - float(card->height() / 2));
    y = std::max(0, y);
    if (y + card->height() > height())
        y = height() - card->height();
    card->move(0, y);
}

void CardStackTwoWidget::rebuildCards()
{
    // As removeCards and addCard, with each card built again in its old widget.
    const QList<WendleRatio> ratios = mCards.keys();
    for (const WendleRatio& ratio : ratios) {
        CardWidget* card = mCards.take(ratio);
        card->rebuild();
        placeCard(ratio, card);
        card->raise();
        mCards.insert(ratio, card);
    }
}

void CardStackTwoWidget::updatePositions()
{
    for (auto it = mCards.cbegin(); it != mCards.cend(); ++it)
        placeCard(it.key(), it.value());
}

void CardStackTwoWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updatePositions();
}
