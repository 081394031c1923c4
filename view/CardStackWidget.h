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

    // A ball item that starts sounding; an item already in the stack keeps its one entry.
    virtual void addCard(WendleBallWidget* ball);
    // A ball item that stops sounding or goes away; one without a card changes nothing.
    virtual void removeCard(WendleBallWidget* ball);
    // Brings the item's card in front of the others.
    virtual void raiseCard(WendleBallWidget* ball);

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
