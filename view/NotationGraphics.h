#pragma once

#include <QByteArray>

// The staff graphics of one lattice page: the whole text of each SVG, read
// once by the page and shared by all its cards. Cards address the arrays in
// field order, which is also the order of ResourceNames.
struct NotationGraphics
{
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

private:
    static constexpr QByteArray NotationGraphics::*Fields[Count] = {
        &NotationGraphics::trebleClef, &NotationGraphics::bassClef, &NotationGraphics::doubleFlat,
        &NotationGraphics::flat, &NotationGraphics::sharp, &NotationGraphics::doubleSharp, &NotationGraphics::note,
        &NotationGraphics::tonebudArrow, &NotationGraphics::tonebudArrowhead, &NotationGraphics::tonebudArrow45Up,
        &NotationGraphics::tonebudArrowhead45Up, &NotationGraphics::tonebudArrow45Down,
        &NotationGraphics::tonebudArrowhead45Down,
    };
};
