#pragma once

#include <QGraphicsView>
#include <QPointF>

class CardStackTwoWidget;
class CardStackWidget;
class NodeStackWidget;
class QTouchEvent;
class Wendle;
class WendleWidget;

// The lattice drawing of one page: a scene of ball, strut and leaf items,
// fitted to the view, panned by dragging and zoomed by a two-finger pinch.
// After each pan or zoom step it moves the page's stacks to the new ball
// positions as the zoom mode says.
class WendleView : public QGraphicsView
{
    Q_OBJECT

public:
    explicit WendleView(QWidget* parent = nullptr);
    ~WendleView() override;

    void setLattice(Wendle* lattice) { mLattice = lattice; }
    void setCardStack(CardStackWidget* stack) { mCardStack = stack; }
    void setCardStackTwo(CardStackTwoWidget* stack) { mCardStackTwo = stack; }
    void setNodeStack(NodeStackWidget* stack) { mNodeStack = stack; }
    Wendle* lattice() const { return mLattice; }
    CardStackWidget* cardStack() const { return mCardStack; }
    CardStackTwoWidget* cardStackTwo() const { return mCardStackTwo; }
    NodeStackWidget* nodeStack() const { return mNodeStack; }
    // The current drawing; null before the first build.
    WendleWidget* rootGroup() const { return mRootGroup; }

    // Replaces the drawing with a new one of the lattice in `mode` (0 circles, 1 grapes).
    void rebuildScene(int mode);
    // Moves the stacks' widgets as the zoom mode says for a step in or at the end of a gesture.
    void applyZoomStep(bool final);

    double fitScale() const { return mFitScale; }
    double currentScale() const { return mCurrentScale; }
    double pinchBaseScale() const { return mPinchBaseScale; }
    void setPinchBaseScale(double scale) { mPinchBaseScale = scale; }
    QPointF centre() const { return mCentre; }
    bool zoomEnabled() const { return mZoomEnabled; }
    void setZoomEnabled(bool on) { mZoomEnabled = on; }
    int zoomMode() const { return mZoomMode; }
    void setZoomMode(int mode) { mZoomMode = mode; }
    int stepThreshold() const { return mStepThreshold; }
    void setStepThreshold(int steps) { mStepThreshold = steps; }

signals:
    void resized();

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void drawForeground(QPainter* painter, const QRectF& rect) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool touchZoom(QTouchEvent* event);
    void applyScaleStep(double scale, bool final);
    QPointF viewportCentreInScene() const;

    Wendle* mLattice = nullptr;
    WendleWidget* mRootGroup = nullptr;
    CardStackWidget* mCardStack = nullptr;
    CardStackTwoWidget* mCardStackTwo = nullptr;
    NodeStackWidget* mNodeStack = nullptr;
    double mPinchBaseScale = 1.0;
    double mFitScale = 1.0;
    double mCurrentScale = 1.0;
    QPointF mCentre { 1.0, 1.0 };
    bool mZoomEnabled = true;
    int mZoomMode = 6;
    int mStepCount = 0;
    int mStepThreshold = 5;
};
