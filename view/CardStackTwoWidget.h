#pragma once

#include "WendleRatio.h"

#include <QHash>
#include <QWidget>

class CardWidget;
class WendleView;
struct NotationGraphics;

// The column of cards of the sounding ratios that have no ball in the
// drawing, each card at a height that follows its pitch.
class CardStackTwoWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CardStackTwoWidget(QWidget* parent = nullptr);
    ~CardStackTwoWidget() override;

    void setView(WendleView* view) { mView = view; }
    void setNotation(const NotationGraphics* notation) { mNotation = notation; }
    void setBottomReserve(int pixels) { mBottomReserve = pixels; }
    int bottomReserve() const { return mBottomReserve; }
    WendleView* view() const { return mView; }
    const NotationGraphics* notation() const { return mNotation; }
    const QHash<WendleRatio, CardWidget*>& cards() const { return mCards; }

    // A card for the ratio, placed and shown; a ratio that has one keeps it.
    void addCard(const WendleRatio& ratio);
    // The ratio's card goes; nothing for a ratio without one.
    void removeCards(const WendleRatio& ratio);
    // Moves the card to the height of its pitch on the drawing's scale, kept inside the stack.
    void placeCard(const WendleRatio& ratio, CardWidget* card);
    // Every card built again with the current transposition and options.
    void rebuildCards();

    static constexpr const char* CardName = "CardAtStack2";

public slots:
    void updatePositions();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QHash<WendleRatio, CardWidget*> mCards;
    qint32 mBottomReserve = 0;
    WendleView* mView = nullptr;
    const NotationGraphics* mNotation = nullptr;
};
