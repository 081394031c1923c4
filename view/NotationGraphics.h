#pragma once

#include <QByteArray>
#include <QRgb>
#include <memory>
#include <unordered_map>

class QColor;
class QSvgRenderer;

// The staff graphics of one lattice page: the whole text of each SVG, read
// once by the page and shared by all its cards. Cards address the arrays in
// field order, which is also the order of ResourceNames. The renderers are
// parsed the first time a card asks for a graphic in a colour and then serve
// every card of the page: a card parses nothing itself.
struct NotationGraphics
{
    NotationGraphics();
    ~NotationGraphics();
    NotationGraphics(const NotationGraphics&) = delete;
    NotationGraphics& operator=(const NotationGraphics&) = delete;

    QByteArray trebleClef;
    QByteArray bassClef;
    QByteArray doubleFlat;
    QByteArray flat;
    QByteArray sharp;
    QByteArray doubleSharp;
    QByteArray note;
    QByteArray tonebudArrow;
    QByteArray tonebudArrowhead;
    QByteArray tonebudArrow45Up;
    QByteArray tonebudArrowhead45Up;
    QByteArray tonebudArrow45Down;
    QByteArray tonebudArrowhead45Down;

    static constexpr int Count = 13;
    static constexpr const char* ResourceNames[Count] = {
        "trebleclef.svg", "bassclef.svg", "doubleflat.svg", "flat.svg", "sharp.svg", "doublesharp.svg", "note.svg",
        "tonebud_arrow.svg", "tonebud_arrowhead.svg", "tonebud_arrow_45up.svg", "tonebud_arrowhead_45up.svg",
        "tonebud_arrow_45down.svg", "tonebud_arrowhead_45down.svg",
    };

    QByteArray& operator[](int i) { return this->*Fields[i]; }
    const QByteArray& operator[](int i) const { return this->*Fields[i]; }

    // The SVG text with each "fill:#000000" and then each "stroke:#000000"
    // given `colour`.
    static QByteArray recoloured(const QByteArray& svg, const QColor& colour);

    // Graphic `i` as drawn; with its black in `colour`; with its fill in
    // light grey (the arrowhead that stands for primes without room). Null
    // for a graphic whose resource did not load. Never changed once made.
    QSvgRenderer* renderer(int i) const;
    QSvgRenderer* renderer(int i, const QColor& colour) const;
    QSvgRenderer* greyedRenderer(int i) const;

private:
    enum Variant : quint64 { Plain, Coloured, Greyed };
    QSvgRenderer* cached(int i, Variant variant, QRgb colour) const;

    mutable std::unordered_map<quint64, std::unique_ptr<QSvgRenderer>> mRenderers;

    static constexpr QByteArray NotationGraphics::*Fields[Count] = {
        &NotationGraphics::trebleClef, &NotationGraphics::bassClef, &NotationGraphics::doubleFlat,
        &NotationGraphics::flat, &NotationGraphics::sharp, &NotationGraphics::doubleSharp, &NotationGraphics::note,
        &NotationGraphics::tonebudArrow, &NotationGraphics::tonebudArrowhead, &NotationGraphics::tonebudArrow45Up,
        &NotationGraphics::tonebudArrowhead45Up, &NotationGraphics::tonebudArrow45Down,
        &NotationGraphics::tonebudArrowhead45Down,
    };
};
