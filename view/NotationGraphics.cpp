#include "NotationGraphics.h"

#include <QColor>
#include <QSvgRenderer>

NotationGraphics::NotationGraphics() = default;

NotationGraphics::~NotationGraphics() = default;

QByteArray NotationGraphics::recoloured(const QByteArray& svg, const QColor& colour)
{
    const QByteArray hex = QStringLiteral("#%1%2%3")
                               .arg(colour.red(), 2, 16, QLatin1Char('0'))
                               .arg(colour.green(), 2, 16, QLatin1Char('0'))
                               .arg(colour.blue(), 2, 16, QLatin1Char('0'))
                               .toLatin1();
    // A forward scan: each occurrence is replaced once, so a black colour ends too.
    QByteArray out = svg;
    out.replace("fill:#000000", "fill:" + hex);
    out.replace("stroke:#000000", "stroke:" + hex);
    return out;
}

QSvgRenderer* NotationGraphics::renderer(int i) const
{
    return cached(i, Plain, 0);
}

QSvgRenderer* NotationGraphics::renderer(int i, const QColor& colour) const
{
    return cached(i, Coloured, colour.rgb());
}

QSvgRenderer* NotationGraphics::greyedRenderer(int i) const
{
    return cached(i, Greyed, 0);
}

QSvgRenderer* NotationGraphics::cached(int i, Variant variant, QRgb colour) const
{
    if (i < 0 || i >= Count || (*this)[i].isEmpty())
        return nullptr;
    const quint64 key = quint64(colour) << 32 | variant << 8 | quint64(i);
    std::unique_ptr<QSvgRenderer>& slot = mRenderers[key];
    if (!slot) {
        QByteArray svg = (*this)[i];
        if (variant == Coloured)
            svg = recoloured(svg, QColor::fromRgb(colour));
        else if (variant == Greyed)
            svg.replace("fill:#000000", "fill:#DDDDDD");
        slot = std::make_unique<QSvgRenderer>(svg);
    }
    return slot.get();
}
