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
// every sounding or selected ratio the drawn lattice does not reach, each at
// the height of its pitch on the drawing's scale while there is room.
class NodeStackWidget : public QGraphicsView
{
    Q_OBJECT

public:
    explicit NodeStackWidget(QWidget* parent = nullptr);
    ~NodeStackWidget() override;

    void setCardStackTwo(CardStackTwoWidget* stack) { mCardStackTwo = stack; }
    void setFreeOverlay(FreeConnectorOverlay* overlay) { mFreeOverlay = overlay; }
    void setView(WendleView* view) { mView = view; }
    CardStackTwoWidget* cardStackTwo() const { return mCardStackTwo; }
    FreeConnectorOverlay* freeOverlay() const { return mFreeOverlay; }
    WendleView* view() const { return mView; }

    // The free balls by ratio; the scene owns them.
    QHash<WendleRatio, FreeBallWidget*>& index() { return mIndex; }

    // A free ball for the ratio, placed by the next layout; none when it has one.
    void addNodeWidget(const WendleRatio& ratio);
    // The ratio's ball leaves the scene and is freed; nothing for a ratio without one.
    void removeNode(const WendleRatio& ratio);
    void toggleNode(const WendleRatio& ratio, bool on);
    // Every ball built again against the current transposition, keeping its states.
    void syncNodes();

    QPoint rowStart() const { return mRowStart; }
    static constexpr int Columns = 5;

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
    qint32 mColumns = Columns;
    WendleView* mView = nullptr;
};
