#pragma once

#include <QList>
#include <QString>

class Wendle;

// What a spelling reads from the options and the lattice, gathered once per card.
struct SpellingInputs
{
    double calibrationFrequency = 440.0; // the frequency of note number 57 (A4)
    double baseFrequency = 440.0;        // the frequency of the 1/1
    QString baseNote = QStringLiteral("A 4");
    // Set while the base-note name lies more than 50 cents from the base
    // frequency: the name then does not override the 1/1's spelling.
    bool baseNoteFar = true;
    QList<int> transpositionPath;

    // From the bound options (defaults without them) and the lattice, whose
    // base frequency counts (none: untransposed, the options' base frequency).
    static SpellingInputs current(const Wendle* lattice);
};

// A note as the cards write it: letter, accidental and octave of the
// equal-tempered pitch nearest by the chosen spelling, and the deviation in cents.
struct NoteSpelling
{
    qint32 letter = 5; // 0 to 6 for C to B
    float cents = 0.0f;
    qint32 accidental = 0; // -2 to +2
    qint32 octave = 4;     // note number 48 is C4

    static constexpr int LetterOffsets[7] = { 0, 2, 4, 5, 7, 9, 11 };

    // The nominal pitch: letter, octave and accidental, without the cents.
    int noteNumber() const { return LetterOffsets[letter] + 12 * octave + accidental; }
    float pitch() const { return float(noteNumber()) + cents / 100.0f; }
    QChar letterName() const { return QLatin1Char("CDEFGAB"[letter]); }

    // The nearest spelling; frequencies that are not positive and finite
    // give A4 with 0 cents and one warning.
    static NoteSpelling fromFrequency(float frequency, const SpellingInputs& in);
    static NoteSpelling fromNote(float note, bool atOneOne, const SpellingInputs& in);
    // The spelling reached from the 1/1 by the intervals of the transposition
    // path and then of `steps`; the nearest spelling takes over (and
    // *enharmonic is set) beyond double accidentals or 50 cents.
    static NoteSpelling spellByIntervals(const QList<int>& steps, float frequency, const SpellingInputs& in,
                                         bool* enharmonic = nullptr);
};
