#pragma once

#include "NoteSpelling.h"
#include "WendleRatio.h"

#include <QByteArray>
#include <QFrame>
#include <QLine>
#include <QList>
#include <QPointer>

class CardStackTwoWidget;
class CardStackWidget;
class NotationGlyph;
class QLabel;
class QSvgRenderer;
class Wendle;
class WendleBall;
struct NotationGraphics;

// One sounding ratio on a small staff: clef, note head and accidental placed
// by the ratio's spelling, with note name, octave, cents, ratio and
// frequency. Its black graphics take the colour of the ratio's highest
// prime. Clicks on it post engine commands. A card is built once: a change
// of transposition or options is shown by building it again, in place, so
// that its widgets keep the style they were polished with.
class CardWidget : public QFrame
{
    Q_OBJECT

public:
    // The card of a lattice ball in the first stack.
    CardWidget(WendleBall* ball, CardStackWidget* stack);
    // The card of a bare sounding ratio in the second stack.
    CardWidget(const WendleRatio& ratio, CardStackTwoWidget* stack);
    ~CardWidget() override;

    // Built and laid out again with the lattice's current transposition,
    // base frequency and options, as a new card for the same ball or ratio would be.
    void rebuild();

    QSize sizeHint() const override;

    // The SVG text with each "fill:#000000" and then each "stroke:#000000"
    // given the lattice colour of `prime`.
    QByteArray colourSvg(const QByteArray& svg, int prime) const;
    static QByteArray colourSvg(const QByteArray& svg, const QColor& colour);

    WendleBall* ball() const;
    const WendleRatio& relativeRatio() const { return mRelativeRatio; }
    const WendleRatio& absoluteRatio() const { return mAbsoluteRatio; }
    float frequency() const { return mFrequency; }
    bool isRatioCard() const { return mRatioCard; }
    const NoteSpelling& spelling() const { return mSpelling; }
    bool enharmonic() const { return mEnharmonic; }
    float staffPosition() const { return mStaffPosition; }
    float lineSpacing() const { return mLineSpacing; }
    int octaveShift() const { return mOctaveShift; }
    int colourPrime() const { return mColourPrime; }
    NotationGlyph* clef() const { return mClef; }
    NotationGlyph* noteHead() const { return mNoteHead; }
    NotationGlyph* staffAccidental() const { return mStaffAccidental; }
    // Every arrow and arrowhead of the colour tonebud notation, in drawing order.
    const QList<NotationGlyph*>& tonebudArrows() const { return mTonebudArrows; }
    QLine downStem() const { return mDrawDownStem ? mDownStem : QLine(); }
    QLine upStem() const { return mDrawUpStem ? mUpStem : QLine(); }

    // The staff's horizontal extent beyond the note head, and where the
    // name column starts, both from the contents' left edge.
    static constexpr int StaffWidth = 64;
    static constexpr int TonebudStaffExtra = 30;
    static constexpr int NameColumn = 70;

protected:
    void enterEvent(QEnterEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // The ratios, steps and frequency from the ball, or from the sounding
    // ratio of a ratio card, under the lattice's current transposition.
    void readBall();
    void readRatio();
    void buildCard();
    void layoutCard();
    void layoutRatioLabel();
    void layoutTonebud(int nx, int ny, int nw, int h);
    void layoutArrows(const QList<int>& primes, bool down, int nx, int ny, int nw, int h, int& used);
    void layoutPrimeLabels(int nx, int ny, int nw, int h);
    QColor primeColour(int prime) const;
    // The glyph in `slot`, made at the first build, showing `renderer`.
    NotationGlyph* glyph(NotationGlyph*& slot, QSvgRenderer* renderer);
    void postNote() const;

    NotationGlyph* mClef = nullptr;
    NotationGlyph* mNoteHead = nullptr;
    NotationGlyph* mStaffAccidental = nullptr;
    NotationGlyph* mNameAccidental = nullptr;
    NotationGlyph* mArrow = nullptr;
    NotationGlyph* mArrowHead = nullptr;
    QLabel* mNoteLabel = nullptr;
    QLabel* mOctaveLabel = nullptr;
    QLabel* mCentsLabel = nullptr;
    QLabel* mRatioLabel = nullptr;
    QLabel* mFreqLabel = nullptr;
    QLabel* mOctaveShiftLabel = nullptr;
    QLabel* mEnharmonicLabel = nullptr;
    QLabel* mDownPrimesLabel = nullptr;
    QLabel* mUpPrimesLabel = nullptr;
    bool mDrawDownStem = false;
    bool mDrawUpStem = false;
    QLine mDownStem;
    QLine mUpStem;
    float mLineSpacing = 8.0f;
    float mStaffPosition = 0.0f;
    qint32 mOctaveShift = 0;

    QPointer<WendleBall> mBall;
    QList<int> mSteps;
    WendleRatio mRelativeRatio;
    WendleRatio mAbsoluteRatio;
    float mFrequency = 0.0f;
    bool mRatioCard = false;
    const NotationGraphics* mNotation = nullptr;
    const Wendle* mLattice = nullptr;

    // Read once when the card is built.
    QString mRatioText;
    NoteSpelling mSpelling;
    bool mEnharmonic = false;
    int mColourPrime = 1;
    int mTonebud = 0;
    QList<int> mUpPrimes;
    QList<int> mDownPrimes;
    QList<NotationGlyph*> mTonebudArrows;
};
