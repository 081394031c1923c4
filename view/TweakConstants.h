#pragma once

#include <QtGlobal>
#include <array>

// The numbers the lattice is drawn by. They are read at the moment of use,
// so a change shows at the next scene build or look refresh. Angles are in
// degrees, lengths and diameters in scene units, factors in percent as
// QColor::lighter and QColor::darker take them.
extern qint32 ANGLE_2_PLUS;
extern qint32 ANGLE_3_PLUS;
extern qint32 ANGLE_FRONT_OFFSET;
extern qint32 ANGLE_FRONT_ROTATE_OFFSET;
extern qint32 STRUT_2_LENGTH;
extern qint32 STRUT_3_LENGTH;
extern qint32 STRUT_WIDTH;
extern qint32 LINK_WIDTH;
extern qint32 LEAVES_PLUS_OFFSET_X;
extern qint32 LEAVES_PLUS_OFFSET_Y;
extern qint32 GRAPE_LEAVES_WIDTH;
extern qint32 GRAPE_LEAVES_HEIGHT;
extern qint32 BALL_DIAMETER;
extern qint32 LEAF_DIAMETER;
extern qint32 LEAVES_RADIUS;
extern qint32 LEAVES_START_ANGLE;
extern qint32 BALL_DIM_FACTOR;
extern qint32 BALL_BRIGHTEN_FACTOR;
extern qint32 OUTLINE_BRIGHTEN_FACTOR;
extern qint32 BALL_GLOW_SIZE_FACTOR;
extern qint32 GLOW_ALPHA_START;
extern qint32 PRIME_DISABLED_DIM_FACTOR;

struct TweakConstant
{
    const char* name;
    qint32* value;
    qint32 initial;
};

// Every constant with its name and first value, in the order the tweak dialog lists them.
const std::array<TweakConstant, 22>& tweakConstants();
