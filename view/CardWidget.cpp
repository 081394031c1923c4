#include "CardWidget.h"

#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "EngineCommandType.h"
#include "NotationGlyph.h"
#include "NotationGraphics.h"
#include "RatioContext.h"
#include "Settings.h"
#include "ViewContext.h"
#include "Wendle.h"
#include "WendleBall.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"
#include "WendleView.h"

#include <QDebug>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOption>
#include <QSvgRenderer>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Indices into the notation set.
enum Graphic {
    TrebleClef, BassClef, DoubleFlat, Flat, Sharp, DoubleSharp, NoteHead,
    TonebudArrow, TonebudArrowhead, TonebudArrow45Up, TonebudArrowhead45Up, TonebudArrow45Down, TonebudArrowhead45Down,
};

int roundHalfAway(double v)
{
    return int(std::lround(v));
}

void fit(QLabel* label)
{
    label->ensurePolished();
    label->adjustSize();
}

QLabel* namedLabel(const char* name, QWidget* parent)
{
    auto label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

// A card without a page draws no graphics.
const NotationGraphics& graphicsOr(const NotationGraphics* notation)
{
    static const NotationGraphics none;
    return notation ? *notation : none;
}

// The label in `slot`, made at the card's first build and kept by later ones.
QLabel* namedLabel(QLabel*& slot, const char* name, QWidget* parent)
{
    if (!slot)
        slot = namedLabel(name, parent);
    return slot;
}

// "+12.35", "-3", "+0": never "+-0" for a value that rounds to zero from below.
QString centsText(float cents, int decimals)
{
    const double rounded = std::round(double(cents) * 100.0) / 100.0;
    qDebug() << "Cents for cent deviation display: " << rounded;
    QString text = QString::number(rounded, 'f', decimals);
    if (text.toDouble() == 0.0)
        return QLatin1Char('+') + QString::number(0.0, 'f', decimals);
    return rounded >= 0.0 ? QLatin1Char('+') + text : text;
}

QString frequencyText(float hz, bool tonebud)
{
    int decimals = hz >= 10000.0f ? 1 : hz >= 1000.0f ? 2 : hz >= 100.0f ? 3 : hz >= 10.0f ? 4 : 5;
    if (tonebud)
        --decimals;
    return QString::number(hz, 'f', decimals) + QStringLiteral(" Hz");
}

// The primes 3 to 31 present in `primes`, ascending, each with its count as a
// superscript when it occurs 2 to 20 times.
QString primesText(const QList<int>& primes)
{
    QStringList parts;
    for (int i = 2; i < int(primeList.size()); ++i) {
        const int p = primeList[i];
        const auto count = primes.count(p);
        if (count == 0)
            continue;
        QString part = QString::number(p);
        if (count >= 2 && count <= 20)
            part += QStringLiteral("<sup style=\"font-size:11pt\">%1</sup>").arg(count);
        parts << part;
    }
    return parts.join(QLatin1Char(','));
}

} // namespace

CardWidget::CardWidget(WendleBall* ball, CardStackWidget* stack)
    : QFrame(stack)
    , mBall(ball)
{
    setFocusPolicy(Qt::NoFocus);
    mNotation = stack ? stack->notation() : nullptr;
    mLattice = stack && stack->view() ? stack->view()->lattice() : nullptr;
    readBall();
    buildCard();
}

void CardWidget::readBall()
{
    if (WendleBall* ball = mBall) {
        mSteps = ball->path.toList();
        mRelativeRatio = WendleRatio(WendleRatio::ratioOfSteps(ball->path.steps, WendlePath::MaxSteps));
    }
    Rational absolute;
    const Rational t = mLattice ? mLattice->transpositionRatio.ratio : Rational(1, 1);
    WendleRatio::multiplyExact(mRelativeRatio.ratio, t, absolute);
    mAbsoluteRatio = WendleRatio(absolute);
    mFrequency = float(mAbsoluteRatio.toDouble()) * (mLattice ? mLattice->baseFrequency : 440.0f);
}

CardWidget::CardWidget(const WendleRatio& ratio, CardStackTwoWidget* stack)
    : QFrame(stack)
    , mAbsoluteRatio(ratio.ratio)
    , mRatioCard(true)
{
    setFocusPolicy(Qt::NoFocus);
    mNotation = stack ? stack->notation() : nullptr;
    mLattice = stack && stack->view() ? stack->view()->lattice() : nullptr;
    readRatio();
    buildCard();
}

void CardWidget::readRatio()
{
    mSteps.clear();
    const Rational t = mLattice ? mLattice->transpositionRatio.ratio : Rational(1, 1);
    Rational relative;
    if (t.numerator() != 0 && WendleRatio::multiplyExact(mAbsoluteRatio.ratio, Rational(t.denominator(), t.numerator()), relative)) {
        mRelativeRatio = WendleRatio(relative);
        const auto steps = mRelativeRatio.toSteps();
        for (int i = 0; steps[i] != 0; ++i)
            mSteps.append(steps[i]);
    } else {
        // Beyond 64 bits the relative ratio has no exact form; undoing the
        // transposition's steps before the sounding ratio's reaches the same note.
        const QList<int> path = mLattice ? mLattice->transpositionPath() : QList<int>();
        for (auto it = path.rbegin(); it != path.rend(); ++it)
            mSteps.append(-*it);
        const auto steps = mAbsoluteRatio.toSteps();
        for (int i = 0; steps[i] != 0; ++i)
            mSteps.append(steps[i]);
    }
    mFrequency = float(mAbsoluteRatio.toDouble()) * (mLattice ? mLattice->baseFrequency : 440.0f);
}

CardWidget::~CardWidget() = default;

void CardWidget::rebuild()
{
    if (mRatioCard)
        readRatio();
    else
        readBall();
    buildCard();
    layoutCard();
    update();
}

WendleBall* CardWidget::ball() const
{
    return mBall;
}

QSize CardWidget::sizeHint() const
{
    // The style sheet fixes the size; this is what it asks for.
    return QSize(156, 64).grownBy(contentsMargins());
}

QByteArray CardWidget::colourSvg(const QByteArray& svg, const QColor& colour)
{
    return NotationGraphics::recoloured(svg, colour);
}

QByteArray CardWidget::colourSvg(const QByteArray& svg, int prime) const
{
    return colourSvg(svg, primeColour(prime));
}

QColor CardWidget::primeColour(int prime) const
{
    return mLattice ? mLattice->primeColor(prime) : QColor(Qt::black);
}

NotationGlyph* CardWidget::glyph(NotationGlyph*& slot, QSvgRenderer* renderer)
{
    if (!slot)
        slot = new NotationGlyph(this);
    // A graphic that failed to load leaves its glyph empty.
    slot->setRenderer(renderer);
    return slot;
}

void CardWidget::buildCard()
{
    const Settings* options = ViewContext::options();
    const qint32 absRel = ViewContext::absRelView();
    mTonebud = options ? options->toneBudNotation : 0;
    if (mTonebud != 0 && mTonebud != 1 && mTonebud != 2) {
        qDebug() << "Not a viable int value for tonebud (0,1 or 2)";
        mTonebud = 0;
    }
    const bool tonebud = mTonebud != 0;
    const SpellingInputs inputs = SpellingInputs::current(mLattice);
    mSpelling = NoteSpelling::spellByIntervals(mSteps, mFrequency, inputs, &mEnharmonic);

    const NotationGraphics& n = graphicsOr(mNotation);

    namedLabel(mNoteLabel, "noteLabel", this)->setText(QString(mSpelling.letterName()));
    namedLabel(mOctaveLabel, "octaveLabel", this)->setText(QString::number(mSpelling.octave));
    namedLabel(mCentsLabel, "centsLabel", this)
        ->setText(centsText(mSpelling.cents, std::clamp(options ? options->centsShowDecimals : 0, 0, 6)));
    const bool withinOctave = options ? options->ratiosWithinOctave : RatioContext::withinOctave();
    mRatioText = WendleRatio::rationalText(absRel == 0 ? mRelativeRatio.ratio : mAbsoluteRatio.ratio, withinOctave);
    namedLabel(mRatioLabel, "ratioLabel", this)->setText(mRatioText);
    namedLabel(mFreqLabel, "freqLabel", this)->setText(frequencyText(mFrequency, tonebud));
    namedLabel(mOctaveShiftLabel, "octaveShiftLabel", this);
    namedLabel(mEnharmonicLabel, "enharmonicLabel", this)->setText(QStringLiteral("enh"));
    mEnharmonicLabel->setVisible(mEnharmonic);

    const bool treble = mSpelling.octave >= 4;
    glyph(mClef, n.renderer(treble ? TrebleClef : BassClef));
    mClef->resize(mClef->sizeHint());

    QList<int> all = inputs.transpositionPath + mSteps;
    int prime = 1;
    for (int s : all)
        prime = std::max(prime, std::abs(s));
    if ((absRel != 0 && mAbsoluteRatio == WendleRatio(1, 1)) || tonebud)
        prime = 1;
    mColourPrime = prime;

    glyph(mNoteHead, n.renderer(NoteHead, primeColour(prime)));
    const int accidentalGraphic[5] = { DoubleFlat, Flat, -1, Sharp, DoubleSharp };
    const int a = mSpelling.accidental;
    const int graphic = a >= -2 && a <= 2 ? accidentalGraphic[a + 2] : -1;
    glyph(mNameAccidental, graphic >= 0 ? n.renderer(graphic) : nullptr);
    glyph(mStaffAccidental, graphic >= 0 ? n.renderer(graphic, primeColour(prime)) : nullptr);
    mNameAccidental->setVisible(graphic >= 0);
    mStaffAccidental->setVisible(graphic >= 0);

    float position = treble ? (5 - mSpelling.octave) * 3.5f + 1.5f - 0.5f * mSpelling.letter
                            : (3 - mSpelling.octave) * 3.5f + 2.5f - 0.5f * mSpelling.letter;
    // Notes far off the staff are written octaves nearer, as "8", "15", ... say.
    mOctaveShift = 0;
    while (position < -1.0f) {
        position += 3.5f;
        ++mOctaveShift;
    }
    while (position > 5.0f) {
        position -= 3.5f;
        --mOctaveShift;
    }
    mStaffPosition = position;
    mOctaveShiftLabel->setText(mOctaveShift != 0 ? QString::number((std::abs(mOctaveShift) - 1) * 7 + 8) : QString());

    // Never shown, so made only where tonebud notation is on.
    if (tonebud) {
        glyph(mArrow, n.renderer(TonebudArrow))->hide();
        glyph(mArrowHead, n.renderer(TonebudArrowhead))->hide();
    }

    // What tonebud notation drew for the card's last build is laid out anew.
    qDeleteAll(mTonebudArrows);
    mTonebudArrows.clear();
    delete mDownPrimesLabel;
    delete mUpPrimesLabel;
    mDownPrimesLabel = nullptr;
    mUpPrimesLabel = nullptr;
    mDrawDownStem = false;
    mDrawUpStem = false;
    mUpPrimes.clear();
    mDownPrimes.clear();

    if (tonebud) {
        if (absRel != 0)
            all = inputs.transpositionPath + mSteps;
        else
            all = mSteps;
        WendleBall::cancelOpposites(all);
        for (int s : std::as_const(all)) {
            if (s >= 3)
                mUpPrimes << s;
            else if (s <= -3)
                mDownPrimes << -s;
        }
        std::sort(mUpPrimes.begin(), mUpPrimes.end());
        std::sort(mDownPrimes.begin(), mDownPrimes.end());
    }
}

void CardWidget::layoutCard()
{
    const QRect cr = contentsRect();
    const int x0 = cr.x();
    const int y0 = cr.y();
    const int H = cr.height();
    if (H <= 0 || !mClef)
        return;
    const bool tonebud = mTonebud != 0;
    mLineSpacing = H / 8.0f;
    const float ls = mLineSpacing;
    const auto widthFor = [](const NotationGlyph* w, int height) {
        const QSize natural = w->renderer() ? w->renderer()->defaultSize() : QSize();
        return natural.height() > 0 ? roundHalfAway(double(height) * natural.width() / natural.height()) : 0;
    };

    const int clefWidth = widthFor(mClef, H);
    mClef->setGeometry(x0, y0, clefWidth, H);

    const int h = int(ls + 1.0f);
    const int nw = widthFor(mNoteHead, h);
    const bool accidental = !mStaffAccidental->isHidden();
    int aw = 0;
    if (accidental) {
        const int ah = roundHalfAway(3.0 * ls);
        aw = widthFor(mStaffAccidental, ah);
        mStaffAccidental->resize(aw, ah);
        mNameAccidental->resize(roundHalfAway(0.9 * aw), roundHalfAway(0.9 * ah));
    }
    const int column = nw + 3 + aw;
    const int x = x0 + clefWidth + 3 + roundHalfAway((StaffWidth - 3 - clefWidth - column) / 2.0);
    const int noteY = roundHalfAway((mStaffPosition + 2.0f) * ls + y0 - h / 2.0);
    int nx = x;
    if (accidental) {
        const int ax = x - (tonebud ? 3 : 0);
        mStaffAccidental->move(ax, roundHalfAway(noteY - ls));
        nx = ax + aw + 3;
    }
    mNoteHead->setGeometry(nx, noteY, nw, h);

    fit(mCentsLabel);
    const int cx = nx + nw / 2 - mCentsLabel->width() / 2;
    if (mCentsLabel->text().startsWith(QLatin1Char('+')))
        mCentsLabel->move(cx, std::min(noteY - mCentsLabel->height(), y0) - 3);
    else
        mCentsLabel->move(cx, std::max(noteY + h, y0 + H - mCentsLabel->height()) + 3);

    fit(mNoteLabel);
    fit(mOctaveLabel);
    mNoteLabel->move(tonebud ? QPoint(x0 + TonebudStaffExtra + NameColumn + 3, y0 + 3) : QPoint(x0 + NameColumn, y0));
    const int afterName = mNoteLabel->x() + mNoteLabel->width();
    if (accidental) {
        mNameAccidental->move(afterName + 1, y0);
        mOctaveLabel->move(mNameAccidental->x() + mNameAccidental->width() + 2, mNoteLabel->y());
    } else {
        mOctaveLabel->move(afterName, mNoteLabel->y());
    }

    fit(mEnharmonicLabel);
    mEnharmonicLabel->move(x0 + cr.width() - mEnharmonicLabel->width(), tonebud ? y0 - 5 : y0);

    layoutRatioLabel();
    fit(mFreqLabel);
    mFreqLabel->move(mRatioLabel->x(), mRatioLabel->y() + mRatioLabel->height());

    if (!mOctaveShiftLabel->text().isEmpty()) {
        fit(mOctaveShiftLabel);
        const int ox = x0 + clefWidth / 2 - mOctaveShiftLabel->width() / 2;
        mOctaveShiftLabel->move(mOctaveShift > 0 ? QPoint(ox, 8) : QPoint(ox - 9, 52));
    }

    if (tonebud)
        layoutTonebud(nx, noteY, nw, h);
}

void CardWidget::layoutRatioLabel()
{
    const QString& text = mRatioText;
    const QStringList parts = text.split(QLatin1Char('/'));
    if (parts.size() != 2)
        qDebug() << "CardWidget: Ratio or ratio label out of boundaries: conversion failed!";
    const auto inBounds = [](const QString& part) {
        bool ok = false;
        const qlonglong v = part.toLongLong(&ok);
        return ok && v > 0 && v <= std::numeric_limits<qint32>::max();
    };
    mRatioLabel->setText(text);
    fit(mRatioLabel);
    int lift = 0;
    if (parts.size() == 2 && inBounds(parts[0]) && inBounds(parts[1])) {
        const QRect cr = contentsRect();
        if (mRatioLabel->width() > cr.x() + cr.width() - mNoteLabel->x()) {
            mRatioLabel->setText(parts[0] + QStringLiteral("/\n ") + parts[1]);
            fit(mRatioLabel);
            lift = roundHalfAway(mRatioLabel->height() / 2.0) - 5;
        }
    } else {
        mRatioLabel->setText(QStringLiteral("out of\nbounds"));
        fit(mRatioLabel);
        lift = roundHalfAway(mRatioLabel->height() / 2.0) - 5;
        qDebug() << "CardWidget: Ratio out of boundaries";
    }
    const int gap = mTonebud != 0 ? 10 : 13;
    mRatioLabel->move(mNoteLabel->x(), mNoteLabel->y() + mNoteLabel->height() + gap - lift);
}

void CardWidget::layoutTonebud(int nx, int ny, int nw, int h)
{
    if (mTonebud == 1) {
        int used = 0;
        layoutArrows(mDownPrimes, true, nx, ny, nw, h, used);
        layoutArrows(mUpPrimes, false, nx, ny, nw, h, used);
    } else if (mTonebud == 2) {
        layoutPrimeLabels(nx, ny, nw, h);
    }
}

void CardWidget::layoutArrows(const QList<int>& primes, bool down, int nx, int ny, int nw, int h, int& used)
{
    if (primes.isEmpty())
        return;
    const int a = roundHalfAway(1.5 * h);
    const int s = roundHalfAway(a * 0.684931506849315);
    const int d = roundHalfAway(s * 0.64);
    const QRect cr = contentsRect();
    const int limitX = cr.x() + TonebudStaffExtra + StaffWidth;
    const int outerTop = cr.y() - contentsMargins().top();
    const int outerBottom = cr.y() + cr.height() + contentsMargins().bottom();

    const NotationGraphics& n = graphicsOr(mNotation);
    // Created at the first layout, moved at later ones.
    const auto put = [&](QSvgRenderer* renderer, const QRect& r, const char* name) {
        NotationGlyph* w = nullptr;
        if (used < mTonebudArrows.size()) {
            w = mTonebudArrows[used];
        } else {
            w = new NotationGlyph(this);
            w->setRenderer(renderer);
            w->setObjectName(QLatin1String(name));
            w->show();
            mTonebudArrows.append(w);
        }
        w->setGeometry(r);
        ++used;
    };

    const int arrowX = nx + nw;
    const int arrowY = down ? ny + roundHalfAway(h / 2.0) : ny - 1 + roundHalfAway(h / 2.0) - a;
    put(n.renderer(down ? TonebudArrow45Down : TonebudArrow45Up, primeColour(primes[0])), QRect(arrowX, arrowY, a, a), "");

    const int head = down ? TonebudArrowhead45Down : TonebudArrowhead45Up;
    int x = arrowX + a - s + d;
    int y = down ? arrowY + a - s + d : arrowY - d;
    int columns = 0;
    // The place after (x, y): one diagonal step on, or the top of a new column at the card's edge.
    const auto advance = [&] {
        const int nextX = x + d;
        const int nextY = down ? y + d : y - d;
        const bool offEdge = down ? nextY + s >= outerBottom : nextY <= outerTop;
        if (offEdge || nextX + s > limitX) {
            ++columns;
            x = arrowX + 1 + s * columns;
            y = down ? ny + 4 : ny + h - s - 4;
        } else {
            x = nextX;
            y = nextY;
        }
    };
    for (int j = 1; j < primes.size(); ++j) {
        if (j > 1)
            advance();
        put(n.renderer(head, primeColour(primes[j])), QRect(x, y, s, s), "lastArrow");
        if (x + roundHalfAway(1.25 * s) > limitX && j + 1 < primes.size()) {
            // No room for the rest: one grey head stands for them.
            advance();
            put(n.greyedRenderer(head), QRect(x, y - (down ? 2 : 3), s + 4, s + 4), "lastArrow");
            break;
        }
    }
}

void CardWidget::layoutPrimeLabels(int nx, int ny, int nw, int h)
{
    const int length = roundHalfAway(0.7 * h);
    const QPoint start(nx + nw, ny + h / 2);
    const auto place = [&](QLabel*& label, const QList<int>& primes, bool down) {
        if (primes.isEmpty())
            return;
        if (!label) {
            label = namedLabel("SGBWLabel", this);
            label->setTextFormat(Qt::RichText);
            label->setText(primesText(primes));
            label->show();
        }
        fit(label);
        const QPoint end = start + QPoint(length, down ? length : -length);
        const bool superscript = label->text().contains(QLatin1String("<sup"));
        label->move(end.x() + 2, end.y() - (down ? 2 + (superscript ? 2 : 0) : 8 + (superscript ? 3 : 0)));
        if (down) {
            mDownStem = QLine(start, end);
            mDrawDownStem = true;
        } else {
            mUpStem = QLine(start, end);
            mDrawUpStem = true;
        }
    };
    place(mDownPrimesLabel, mDownPrimes, true);
    place(mUpPrimesLabel, mUpPrimes, false);
}

void CardWidget::enterEvent(QEnterEvent* event)
{
    QFrame::enterEvent(event);
    raise();
}

void CardWidget::paintEvent(QPaintEvent* event)
{
    QFrame::paintEvent(event);
    QPainter p(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &p, this);

    const QRect cr = contentsRect();
    const float ls = mLineSpacing;
    p.setPen(QPen(mRatioCard ? QColor(124, 124, 124) : QColor(170, 170, 170), 1));
    const int right = cr.x() + StaffWidth + (mTonebud != 0 ? TonebudStaffExtra : 0);
    const auto lineY = [&](float k) { return roundHalfAway(cr.y() + (k + 2.0f) * ls); };
    for (int i = 0; i < 5; ++i)
        p.drawLine(cr.x(), lineY(float(i)), right, lineY(float(i)));
    if (mNoteHead) {
        const QRect head = mNoteHead->geometry();
        const auto ledger = [&](int k) {
            p.drawLine(head.x() - 4, lineY(float(k)), head.x() + head.width() + 4, lineY(float(k)));
        };
        for (int k = -1; float(k) >= mStaffPosition; --k)
            ledger(k);
        for (int k = 5; float(k) <= mStaffPosition; ++k)
            ledger(k);
    }
    p.setPen(QPen(Qt::black, 1));
    if (mDrawDownStem)
        p.drawLine(mDownStem);
    if (mDrawUpStem)
        p.drawLine(mUpStem);
}

void CardWidget::resizeEvent(QResizeEvent* event)
{
    QFrame::resizeEvent(event);
    layoutCard();
}

void CardWidget::postNote() const
{
    const WendleNoteEvent note(ToggleRatioNote, 1.0f, WendlePath(), mAbsoluteRatio);
    ViewContext::post(&note);
}

void CardWidget::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    const Qt::KeyboardModifiers mods =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (event->button() == Qt::RightButton) {
        postNote();
    } else if (event->button() == Qt::LeftButton && mods == Qt::ShiftModifier) {
        const WendleTransposeEvent transpose(TransposeByRatio, 1.0f, mRelativeRatio);
        ViewContext::post(&transpose);
    } else if (event->button() == Qt::LeftButton && mods == Qt::ControlModifier) {
        postNote();
    }
}

void CardWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    event->accept();
    postNote();
}
