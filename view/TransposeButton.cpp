#include "TransposeButton.h"

#include "EngineCommandType.h"
#include "ViewContext.h"
#include "Wendle.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <cstdlib>

TransposeButton::TransposeButton(int step, QLabel* label, Wendle* lattice, QWidget* parent)
    : QToolButton(parent)
    , step(step)
    , label(label)
    , event(TransposeByPrime, float(step))
    , mLattice(lattice)
{
    setFocusPolicy(Qt::NoFocus);
    connect(this, SIGNAL(clicked()), this, SLOT(onTransposeClicked()), Qt::DirectConnection);
    if (lattice)
        connect(lattice, SIGNAL(transposeOrBaseFrequencyChanged()), this, SLOT(onTransposeChanged()), Qt::DirectConnection);
    onTransposeChanged();
}

TransposeButton::~TransposeButton() = default;

bool TransposeButton::canStep() const
{
    WendlePath one;
    one.append(qint8(step));
    return mLattice && mLattice->canTransposeTo(WendleRatio(one));
}

void TransposeButton::onTransposeClicked()
{
    if (canStep())
        ViewContext::post(&event);
}

void TransposeButton::onTransposeChanged()
{
    setEnabled(canStep());
    int sum = 0;
    if (mLattice) {
        for (int t : mLattice->transpositionPath()) {
            if (t == step || t == -step)
                sum += t;
        }
    }
    count = sum / std::abs(step);
    if (label) {
        if (step > 0 && count >= 1)
            label->setText(QStringLiteral("%1%2").arg(QLatin1Char('+')).arg(count));
        else if (step < 0 && count < 0)
            label->setText(QStringLiteral("%1").arg(count));
        else
            label->clear();
    }
    update();
}

void TransposeButton::paintEvent(QPaintEvent*)
{
    // An arrow that cannot transpose disappears.
    if (!isEnabled())
        return;
    QColor background = palette().color(QPalette::Window);
    QColor fill = palette().color(QPalette::WindowText);
    QColor outline(QStringLiteral("black"));
    const bool pressed = isDown();
    if (!pressed && count != 0 && (count > 0) == (step > 0)) {
        const QColor c = mLattice ? mLattice->primeColor(std::abs(step)) : fill;
        fill = std::abs(step) == 19 ? c.darker(120) : c;
    }
    if (!pressed && underMouse()) {
        fill = fill.lighter(116);
        outline = Qt::transparent;
    }

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = contentsRect();
    if (pressed) {
        std::swap(background, fill);
        outline = Qt::transparent;
        painter.setPen(Qt::NoPen);
        painter.setBrush(background);
        painter.drawRoundedRect(r, 3.0, 3.0);
    }
    const double w = r.width() / 2.0;
    const double h = w * 0.866;
    const QPointF c = r.center();
    const double tip = step > 0 ? -h / 2.0 : h / 2.0;
    QPainterPath arrow;
    arrow.moveTo(c.x(), c.y() + tip);
    arrow.lineTo(c.x() + w / 2.0, c.y() - tip);
    arrow.lineTo(c.x() - w / 2.0, c.y() - tip);
    arrow.closeSubpath();
    painter.setPen(QPen(outline, 1.0, Qt::SolidLine));
    painter.setBrush(QBrush(fill, Qt::SolidPattern));
    painter.drawPath(arrow);
}
