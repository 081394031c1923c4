#pragma once

#include "BallParts.h"
#include "WendleBall.h"
#include "WendleNodeResetEvent.h"
#include "WendleNodeSelectToggleEvent.h"
#include "WendleNoteEvent.h"
#include "WendleTransposeEvent.h"

#include <QGraphicsItemGroup>
#include <QList>
#include <QObject>
#include <QPointer>

class WendleStrutWidget;
class WendleWidget;

// One ball of the lattice drawing, a main ball or a leaf. It shows its node's
// colour and states, turns clicks into engine commands, and adds, removes and
// raises the node's card. It never changes the node itself, and once the
// lattice has replaced its node it stays inert.
class WendleBallWidget : public QObject, public QGraphicsItemGroup
{
    Q_OBJECT

public:
    WendleBallWidget(WendleBall* ball, WendleWidget* rootGroup, int diameter, QGraphicsItem* parent);
    ~WendleBallWidget() override;

    QRectF boundingRect() const override;

    void updateLook();
    void setRingColour(const QColor& colour, bool central);
    void updateStrutPens(bool absolute);
    void addStrut(WendleStrutWidget* strut) { mStruts.append(strut); }

    WendleBall* ball() const { return mBall; }
    WendleWidget* rootGroup() const { return mRootGroup; }
    int diameter() const { return mDiameter; }
    const QList<WendleStrutWidget*>& struts() const { return mStruts; }
    const BallParts& parts() const { return mParts; }

    // How long the mouse must rest on a main ball before its card comes forward.
    static constexpr int HoverDelayMs = 100;

public slots:
    void onPlayingChanged();
    void onEnabledChanged(bool enabled);
    void onSelectedChanged(bool selected);
    void onHoldChanged(bool hold);
    void onAlteredChanged(bool altered);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) override;
    void hoverEnterEvent(QGraphicsSceneHoverEvent* event) override;
    bool sceneEventFilter(QGraphicsItem* watched, QEvent* event) override;

private:
    bool soundingAndEnabled() const;
    void raiseCard();

    BallParts mParts;
    QPointer<WendleBall> mBall;
    WendleWidget* mRootGroup;
    QList<WendleStrutWidget*> mStruts;
    const WendleNoteEvent mNoteEvent;
    const WendleTransposeEvent mTransposeEvent;
    const WendleNodeSelectToggleEvent mSelectEvent;
    const WendleNodeResetEvent mResetEvent;
    const WendleNodeResetEvent mResetAndDeselectEvent;
    qint32 mDiameter;
};
