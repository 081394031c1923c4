#include "NoteSpelling.h"

#include "PrimeTables.h"
#include "Settings.h"
#include "ViewContext.h"
#include "Wendle.h"

#include <QDebug>
#include <cmath>
#include <string_view>

namespace {

bool usable(double frequency)
{
    return std::isfinite(frequency) && frequency > 0.0;
}

bool spellable(double frequency, const SpellingInputs& in)
{
    return usable(frequency) && usable(in.calibrationFrequency) && usable(in.baseFrequency);
}

void warnUnusable(double frequency, const SpellingInputs& in)
{
    qWarning().noquote() << QStringLiteral("Note spelling: %1 Hz against calibration %2 Hz and base %3 Hz "
                                           "is not positive and finite; shown as A4")
                                .arg(frequency).arg(in.calibrationFrequency).arg(in.baseFrequency);
}

// Note numbers beyond this come from no frequency a float can hold; they
// would overflow the integer fields.
constexpr float NoteLimit = 1.0e6f;

// The interval one step of a prime spans: its number (2nd, 3rd, ... octave
// 8) and its size in semitones. 11 and 23 are augmented fourths, 7 and 29
// minor sevenths.
struct Interval
{
    int number;
    int semitones;
};

Interval intervalOf(int prime)
{
    switch (prime) {
    case 2: return { 8, 12 };
    case 3: return { 5, 7 };
    case 5: return { 3, 4 };
    case 7: return { 7, 10 };
    case 11: return { 4, 6 };
    case 13: return { 6, 8 };
    case 17: return { 2, 1 };
    case 19: return { 3, 3 };
    case 23: return { 4, 6 };
    case 29: return { 7, 10 };
    case 31: return { 7, 11 };
    default: return { 1, 0 };
    }
}

int floorDiv(int a, int b)
{
    const int q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

int roundHalfAway(float v)
{
    return int(std::lround(v));
}

// The fixed choice of sharps and flats for each pitch class from C.
constexpr int ClassLetter[12] = { 0, 0, 1, 2, 2, 3, 3, 4, 4, 5, 6, 6 };
constexpr int ClassAccidental[12] = { 0, 1, 0, -1, 0, 0, 1, 0, 1, 0, -1, 0 };

// fromNote for a finite note number of sensible size.
NoteSpelling nearestOfNote(float n, bool atOneOne, const SpellingInputs& in)
{
    if (!(std::fabs(n) < NoteLimit))
        return NoteSpelling();
    float i = std::trunc(n);
    float c = (n - i) * 100.0f;
    if (c > 50.5f) {
        n += 1.0f;
        c -= 100.0f;
        i = std::trunc(n);
    } else if (c <= -49.5f) {
        n -= 1.0f;
        c += 100.0f;
        i = std::trunc(n);
    }
    NoteSpelling s;
    s.cents = c;
    // Negative note numbers belong to the octave below, as a floor division gives.
    s.octave = int((n < 0.0f ? n - 11.0f : n) / 12.0f);
    int k = int(i) % 12;
    if (k < 0)
        k += 12;
    s.letter = ClassLetter[k];
    s.accidental = ClassAccidental[k];

    if (atOneOne && !in.baseNoteFar) {
        const QString& name = in.baseNote;
        if (!name.isEmpty()) {
            const QChar l = name.at(0);
            if (l >= QLatin1Char('A') && l <= QLatin1Char('G'))
                s.letter = int(std::string_view("CDEFGAB").find(char(l.unicode())));
        }
        if (name.size() >= 2) {
            const QChar a = name.at(1);
            if (a == QLatin1Char('#'))
                s.accidental = 1;
            else if (a == QLatin1Char('b'))
                s.accidental = -1;
            else if (a == QLatin1Char(' '))
                s.accidental = 0;
        }
    }
    return s;
}

// fromFrequency for a frequency, base and calibration known to be usable.
NoteSpelling nearestOfFrequency(double f, const SpellingInputs& in)
{
    const float n = float(12.0 * std::log2(f / in.calibrationFrequency) + 57.0);
    const bool atOneOne = std::fabs(1200.0 * std::log2(f / in.baseFrequency)) < 50.0;
    return nearestOfNote(n, atOneOne, in);
}

} // namespace

SpellingInputs SpellingInputs::current(const Wendle* lattice)
{
    SpellingInputs in;
    if (const Settings* options = ViewContext::options()) {
        in.calibrationFrequency = options->calibrationFrequency;
        in.baseFrequency = options->baseFrequency;
        in.baseNote = options->baseNote;
        in.baseNoteFar = options->baseNoteFlag;
    }
    if (lattice) {
        // The 1/1 the card's own frequency comes from: the engine's report of
        // a new one may reach the lattice, which rebuilds the cards, before
        // the options.
        in.baseFrequency = lattice->baseFrequency;
        in.transpositionPath = lattice->transpositionPath();
    }
    return in;
}

NoteSpelling NoteSpelling::fromFrequency(float frequency, const SpellingInputs& in)
{
    if (!spellable(frequency, in)) {
        warnUnusable(frequency, in);
        return NoteSpelling();
    }
    return nearestOfFrequency(frequency, in);
}

NoteSpelling NoteSpelling::fromNote(float note, bool atOneOne, const SpellingInputs& in)
{
    if (!(std::fabs(note) < NoteLimit)) {
        qWarning().noquote() << QStringLiteral("Note spelling: note number %1 out of range; shown as A4").arg(note);
        return NoteSpelling();
    }
    return nearestOfNote(note, atOneOne, in);
}

NoteSpelling NoteSpelling::spellByIntervals(const QList<int>& steps, float frequency, const SpellingInputs& in,
                                            bool* enharmonic)
{
    bool enh = false;
    if (enharmonic)
        *enharmonic = false;
    // Logarithms of these would be infinite and their note numbers undefined.
    if (!spellable(frequency, in)) {
        warnUnusable(frequency, in);
        return NoteSpelling();
    }

    NoteSpelling d = nearestOfFrequency(in.baseFrequency, in);
    const QList<int> all = in.transpositionPath + steps;
    for (int s : all) {
        if (!isPrimeStep(s))
            continue;
        const int prime = std::abs(s);
        const int direction = s < 0 ? -1 : 1;
        if (!enh) {
            const Interval iv = intervalOf(prime);
            const int before = roundHalfAway(d.pitch());
            const int index = direction * (iv.number - 1) + d.letter;
            const int octave = d.octave + floorDiv(index, 7);
            const int letter = ((index % 7) + 7) % 7;
            const int after = roundHalfAway(float(LetterOffsets[letter] + 12 * octave + d.accidental) + d.cents / 100.0f);
            const int accidental = direction * iv.semitones - (after - before) + d.accidental;
            d.letter = letter;
            d.octave = octave;
            d.accidental = accidental;
            if (accidental < -2 || accidental > 2) {
                d = nearestOfNote(float(LetterOffsets[letter] + 12 * octave + accidental) + d.cents / 100.0f, false, in);
                enh = true;
            }
        } else {
            // Past a triple accidental the steps go by frequency, from the
            // pitch as the calibration places it.
            const Rational& r = primeIntervalTable[prime];
            const double step = double(r.numerator()) / double(r.denominator());
            const double g = in.calibrationFrequency * std::exp2((double(d.pitch()) - 57.0) / 12.0)
                * (direction > 0 ? step : 1.0 / step);
            d = nearestOfFrequency(g, in);
        }
    }

    const NoteSpelling a = nearestOfFrequency(frequency, in);
    const float deviation = 100.0f * (a.pitch() - float(d.noteNumber()));
    d.cents = deviation;
    if (deviation <= -49.5f || deviation > 50.5f) {
        qDebug() << "Note:addCents - breaking out of rule system @ mCents" << deviation;
        d = nearestOfNote(float(d.noteNumber()) + deviation / 100.0f, false, in);
        enh = true;
        qDebug() << ">50 ct -> Note displayed as enharmonic";
    }
    if (enharmonic)
        *enharmonic = enh;
    return d;
}
