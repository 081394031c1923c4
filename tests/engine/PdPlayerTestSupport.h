#pragma once

#include "PdPlayer.h"
#include "PrimeTables.h"
#include "WendleRatio.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <limits>

// QtTest prints compared ratios with this.
char* toString(const WendleRatio& ratio);

// What the player tests share: a record of what the engine sends to the patch,
// the libpd set-up that makes it, and small helpers for expected values.
namespace PdPlayerTest {

using L = QStringList;
inline const float NaN = std::numeric_limits<float>::quiet_NaN();
inline const float Inf = std::numeric_limits<float>::infinity();

// One "wendle-in" list as the patch receives it; voice is the 1-based number.
struct Sent
{
    float value;
    int parameter;
    int voice;
};

// A note on's parameters: the eight macros, frequency, voice volume, gate.
inline const QList<int> NoteOnOrder { 4, 5, 6, 7, 8, 9, 10, 11, 2, 3, 1 };
inline const QList<int> MacroOrder = NoteOnOrder.mid(0, 8);

// For initTestCase: libpd with the recording hook and the receivers it records.
void initLibpd();
// For init: no lattice transposition and nothing recorded.
void initTest();

void clearSent();
// What was sent, to one voice (by index) or to all.
QList<Sent> sent(int voiceIndex = -1);
QList<int> parameters(const QList<Sent>& list);
QList<float> masterVolumes();

void sendVoiceStop(float number);
void answerMacros(const char* text);

QString entry(const char* signal, const WendleRatio& r, bool flag);
// The engine's global state, one item per value.
QStringList stateOf(const PdPlayer& p);

WendleRatio R(quint64 n, quint64 d);
Rational stepInterval(int step);
Rational pathRatio(const QList<int>& steps);
float frequency(const WendleRatio& r, float base = 440.0f);
float glissFactor(float position, double rangeCents);
QSet<WendleRatio> asSet(const QList<WendleRatio>& list);
QString dataDir();

// Storage of its own for a player that other threads use (see EngineRig).
template <int Slot>
void* ownPlayerStorage()
{
    alignas(PdPlayer) static unsigned char storage[sizeof(PdPlayer)];
    return storage;
}

} // namespace PdPlayerTest
