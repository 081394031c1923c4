#include "NotationGlyph.h"

#include <QPainter>
#include <QSvgRenderer>

NotationGlyph::NotationGlyph(QWidget* parent)
    : QWidget(parent)
{
}

NotationGlyph::~NotationGlyph() = default;

void NotationGlyph::setRenderer(QSvgRenderer* renderer)
{
    if (renderer == mRenderer)
        return;
    mRenderer = renderer;
    updateGeometry();
    update();
}

QSize NotationGlyph::sizeHint() const
{
    return mRenderer && mRenderer->isValid() ? mRenderer->defaultSize() : QSize(128, 64);
}

void NotationGlyph::paintEvent(QPaintEvent*)
{
    if (!mRenderer)
        return;
    QPainter p(this);
    mRenderer->render(&p);
}
