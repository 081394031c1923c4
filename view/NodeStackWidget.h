#pragma once

#include "WendleRatio.h"

#include <QGraphicsView>
#include <QHash>
#include <QList>
#include <QPoint>

class CardStackTwoWidget;
class FreeBallWidget;
class FreeConnectorOverlay;
class WendleView;

// The narrow column beside the drawing that holds a small free ball for
// every sounding or selected ratio the drawn lattice does not reach.
class NodeStackWidget : public QGraphicsView
{
    Q_OBJECT

public:
    explicit NodeStackWidget(QWidget* parent = nullptr);
    ~NodeStackWidget() override;

    void setCardStackTwo(CardStackTwoWidget* stack) { mCardStackTwo = stack; }
    void setFreeOverlay(FreeConnectorOverlay* overlay) { mFreeOverlay = overlay; }
    void setView(WendleView* view) { mView = view; }

    // The free balls by ratio; the scene owns them.
    QHash<WendleRatio, FreeBallWidget*>& index() { return mIndex; }

public slots:
    void updatePositions();

signals:
    void resized();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QHash<WendleRatio, FreeBallWidget*> mIndex;
    CardStackTwoWidget* mCardStackTwo = nullptr;
    FreeConnectorOverlay* mFreeOverlay = nullptr;
    QList<QPoint> mPlaced;
    QPoint mRowStart { 0, -100 };
    qint32 mTop = 0;
    qint32 mHeight = 0;
    qint32 mColumns = 5;
    WendleView* mView = nullptr;
};
