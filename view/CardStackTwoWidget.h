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
    const QHash<WendleRatio, CardWidget*>& cards() const { return mCards; }

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
