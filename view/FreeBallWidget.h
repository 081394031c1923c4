#pragma once

#include "BallParts.h"
#include "WendleNodeRemoveEvent.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleRatio.h"

#include <QGraphicsItemGroup>
#include <QObject>

class NodeStackWidget;

// One ratio in the node stack: drawn like a lattice ball, played by ratio
// rather than by path, and removed from the stack by a right click.
class FreeBallWidget : public QObject, public QGraphicsItemGroup
{
    Q_OBJECT

public:
    FreeBallWidget(NodeStackWidget* nodeStack, const WendleRatio& ratio, int diameter);
    ~FreeBallWidget() override;

    QRectF boundingRect() const override;

    void updateLook();
    void setRingColour(const QColor& colour);
    // The reach of a click and of the guide line: 0.6 of the diameter.
    double hitRadius() const;

    const WendleRatio& ratio() const { return mRatio; }
    int diameter() const { return mDiameter; }
    bool playing() const { return mPlaying; }
    bool selected() const { return mSelected; }
    bool hold() const { return mHold; }
    bool altered() const { return mAltered; }
    bool inPlace() const { return mInPlace; }
    void setInPlace(bool inPlace) { mInPlace = inPlace; }
    const BallParts& parts() const { return mParts; }

public slots:
    void setPlayingState(bool on);
    void togglePlayingState();
    void setSelected(bool selected);
    void setHold(bool hold);
    void setAltered(bool altered);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) override;
    void hoverEnterEvent(QGraphicsSceneHoverEvent* event) override;
    bool sceneEventFilter(QGraphicsItem* watched, QEvent* event) override;

private:
    // The ratio over the lattice's transposition, as the engine takes node commands.
    WendleRatio relative() const;

    BallParts mParts;
    NodeStackWidget* mNodeStack;
    WendleRatio mRatio;
    const WendleNoteEvent mNoteEvent;
    const WendleNodeSelectToggleEvent mSelectEvent;
    const WendleNodeResetEvent mResetEvent;
    const WendleNodeResetEvent mResetAndDeselectEvent;
    const WendleNodeRemoveEvent mRemoveEvent;
    qint32 mDiameter;
    bool mPlaying = false;
    bool mSelected = false;
    bool mHold = false;
    bool mAltered = false;
    bool mInPlace = true;
};
