#pragma once

#include <QList>
#include <QWidget>

class CardStackTwoWidget;
class FreeBallWidget;
class NodeStackWidget;
class WendleView;

// A transparent layer over a whole lattice page for the guide lines from
// the node stack's free balls to the second card stack; the mouse goes through it.
class FreeConnectorOverlay : public QWidget
{
    Q_OBJECT

public:
    explicit FreeConnectorOverlay(QWidget* parent = nullptr);
    ~FreeConnectorOverlay() override;

    void setCardStackTwo(CardStackTwoWidget* stack) { mCardStackTwo = stack; }
    void setView(WendleView* view) { mView = view; }
    void setNodeStack(NodeStackWidget* stack) { mNodeStack = stack; }

    void addNode(FreeBallWidget* ball);
    void removeNode(FreeBallWidget* ball);
    const QList<FreeBallWidget*>& balls() const { return mBalls; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<FreeBallWidget*> mBalls;
    CardStackTwoWidget* mCardStackTwo = nullptr;
    WendleView* mView = nullptr;
    NodeStackWidget* mNodeStack = nullptr;
};
