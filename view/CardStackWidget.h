#pragma once

#include <QHash>
#include <QWidget>

class CardConnectorOverlay;
class CardWidget;
class WendleBallWidget;
class WendleView;
struct NotationGraphics;

// The column of cards of the lattice balls that sound, each card at its ball's height.
class CardStackWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CardStackWidget(QWidget* parent = nullptr);
    ~CardStackWidget() override;

    void setCardOverlay(CardConnectorOverlay* overlay) { mCardOverlay = overlay; }
    void setView(WendleView* view) { mView = view; }
    void setNotation(const NotationGraphics* notation) { mNotation = notation; }
    void setBottomReserve(int pixels) { mBottomReserve = pixels; }
    int bottomReserve() const { return mBottomReserve; }
    WendleView* view() const { return mView; }
    const NotationGraphics* notation() const { return mNotation; }

    // A ball item that starts sounding; an item that has a card keeps that one card.
    virtual void addCard(WendleBallWidget* ball);
    // A ball item that stops sounding or goes away; one without a card changes nothing.
    virtual void removeCard(WendleBallWidget* ball);
    // Brings the item's card in front of the others; nothing without a card.
    virtual void raiseCard(WendleBallWidget* ball);
    // Moves the card to its ball's height, kept inside the stack.
    void placeCard(WendleBallWidget* ball, CardWidget* card);
    // Every card built again with the current transposition and options.
    void rebuildCards();

    // The sounding ball items and their cards.
    const QHash<WendleBallWidget*, CardWidget*>& cards() const { return mCards; }

public slots:
    void updatePositions();

private:
    QHash<WendleBallWidget*, CardWidget*> mCards;
    qint32 mBottomReserve = 0;
    CardConnectorOverlay* mCardOverlay = nullptr;
    WendleView* mView = nullptr;
    const NotationGraphics* mNotation = nullptr;
};
