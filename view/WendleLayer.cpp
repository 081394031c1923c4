#include "WendleLayer.h"

#include "CardConnectorOverlay.h"
#include "CardStackTwoWidget.h"
#include "CardStackWidget.h"
#include "FreeBallWidget.h"
#include "FreeConnectorOverlay.h"
#include "NodeStackWidget.h"
#include "NotationGraphics.h"
#include "Wendle.h"
#include "WendleView.h"

#include <QDebug>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QResizeEvent>

WendleLayer::WendleLayer(QWidget* parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
    auto layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);

    auto centralFrame = new QFrame(this);
    centralFrame->setObjectName(QStringLiteral("centralFrame"));
    centralFrame->setContentsMargins(0, 6, 0, 6);
    auto centralLayout = new QHBoxLayout(centralFrame);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    mView = new WendleView(centralFrame);
    centralLayout->addWidget(mView);
    layout->addWidget(centralFrame);

    auto rightFrame = new QFrame(this);
    rightFrame->setObjectName(QStringLiteral("rightFrame"));
    rightFrame->setContentsMargins(6, 6, 6, 6);
    auto rightLayout = new QHBoxLayout(rightFrame);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    mCardStack = new CardStackWidget(rightFrame);
    mNodeStack = new NodeStackWidget(rightFrame);
    mCardStackTwo = new CardStackTwoWidget(rightFrame);
    rightLayout->addWidget(mCardStack);
    rightLayout->addWidget(mNodeStack);
    rightLayout->addWidget(mCardStackTwo);
    layout->addWidget(rightFrame);

    mCardOverlay = new CardConnectorOverlay(this);
    mFreeOverlay = new FreeConnectorOverlay(this);
}

WendleLayer::~WendleLayer() = default;

void WendleLayer::loadResourceFile(const QString& name, QByteArray& bytes)
{
    QFile file(QStringLiteral(":/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        qCritical().noquote() << QStringLiteral("Failed to load %1.").arg(name);
        return;
    }
    bytes = file.readAll();
}

void WendleLayer::setup(int mode, Wendle* lattice)
{
    mNotation = std::make_unique<NotationGraphics>();
    for (int i = 0; i < NotationGraphics::Count; ++i)
        loadResourceFile(QLatin1String(NotationGraphics::ResourceNames[i]), (*mNotation)[i]);

    mCardOverlay->setView(mView);
    connect(mView, SIGNAL(resized()), mCardOverlay, SLOT(update()), Qt::DirectConnection);

    mFreeOverlay->setNodeStack(mNodeStack);
    mFreeOverlay->setView(mView);
    mFreeOverlay->setCardStackTwo(mCardStackTwo);
    connect(mView, SIGNAL(resized()), mFreeOverlay, SLOT(update()), Qt::DirectConnection);

    mCardStack->setCardOverlay(mCardOverlay);
    mCardStack->setView(mView);
    mCardStack->setNotation(mNotation.get());
    connect(mView, SIGNAL(resized()), mCardStack, SLOT(updatePositions()), Qt::DirectConnection);

    mCardStackTwo->setView(mView);
    mCardStackTwo->setNotation(mNotation.get());
    connect(mView, SIGNAL(resized()), mCardStackTwo, SLOT(updatePositions()), Qt::DirectConnection);

    mNodeStack->setCardStackTwo(mCardStackTwo);
    mNodeStack->setFreeOverlay(mFreeOverlay);
    mNodeStack->setView(mView);
    connect(mView, SIGNAL(resized()), mNodeStack, SLOT(updatePositions()), Qt::DirectConnection);

    mView->setLattice(lattice);
    mView->setCardStack(mCardStack);
    mView->setCardStackTwo(mCardStackTwo);
    mView->setNodeStack(mNodeStack);
    mView->rebuildScene(mode);

    mCardStack->setBottomReserve(0);
    mCardStackTwo->setBottomReserve(0);

    const struct { const char* signal; const char* slot; } links[] = {
        { SIGNAL(addNodeToStack(WendleRatio)), SLOT(nodeStackAdd(WendleRatio)) },
        { SIGNAL(removeNodeInStack(WendleRatio)), SLOT(nodeStackRemove(WendleRatio)) },
        { SIGNAL(toggleNodeInStack(WendleRatio, bool)), SLOT(nodeStackToggle(WendleRatio, bool)) },
        { SIGNAL(selectNodeInStack(WendleRatio, bool)), SLOT(nodeStackSelect(WendleRatio, bool)) },
        { SIGNAL(setHoldNodeInStack(WendleRatio, bool)), SLOT(nodeStackHold(WendleRatio, bool)) },
        { SIGNAL(setAlteredNodeInStack(WendleRatio, bool)), SLOT(nodeStackAltered(WendleRatio, bool)) },
        { SIGNAL(showNodesInStack()), SLOT(nodeStackShow()) },
        { SIGNAL(resetNodeStack()), SLOT(nodeStackReset()) },
        { SIGNAL(showCard(WendleRatio)), SLOT(cardStackTwoShow(WendleRatio)) },
        { SIGNAL(hideCard(WendleRatio)), SLOT(cardStackTwoHide(WendleRatio)) },
    };
    if (lattice) {
        for (const auto& link : links)
            connect(lattice, link.signal, this, link.slot, Qt::DirectConnection);
    }

    // The free-ball lines draw behind both frames, the card lines above them.
    mFreeOverlay->stackUnder(mView);
    mFreeOverlay->stackUnder(mCardStack);
    mFreeOverlay->lower();
}

void WendleLayer::setStacksVisible(bool visible)
{
    mCardStack->setVisible(visible);
    mCardStackTwo->setVisible(visible);
    mNodeStack->setVisible(visible);
}

void WendleLayer::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The overlays are the page's children: the page's own area starts at (0, 0).
    mCardOverlay->setGeometry(0, 0, width(), height());
    mFreeOverlay->setGeometry(0, 0, width(), height());
}

// ------------------------------------------------------------- lattice signals

void WendleLayer::nodeStackAdd(WendleRatio ratio)
{
    mNodeStack->addNodeWidget(ratio);
}

void WendleLayer::nodeStackRemove(WendleRatio ratio)
{
    mNodeStack->removeNode(ratio);
}

void WendleLayer::nodeStackToggle(WendleRatio ratio, bool on)
{
    mNodeStack->toggleNode(ratio, on);
}

void WendleLayer::nodeStackSelect(WendleRatio ratio, bool selected)
{
    if (FreeBallWidget* ball = mNodeStack->index().value(ratio))
        ball->setSelected(selected);
}

void WendleLayer::nodeStackHold(WendleRatio ratio, bool hold)
{
    if (FreeBallWidget* ball = mNodeStack->index().value(ratio))
        ball->setHold(hold);
}

void WendleLayer::nodeStackAltered(WendleRatio ratio, bool altered)
{
    if (FreeBallWidget* ball = mNodeStack->index().value(ratio))
        ball->setAltered(altered);
}

void WendleLayer::nodeStackShow()
{
    mNodeStack->updatePositions();
}

void WendleLayer::nodeStackReset()
{
    for (FreeBallWidget* ball : std::as_const(mNodeStack->index()))
        mFreeOverlay->removeNode(ball);
    mNodeStack->scene()->clear();
    mNodeStack->index().clear();
}

void WendleLayer::cardStackTwoShow(WendleRatio ratio)
{
    mCardStackTwo->addCard(ratio);
}

void WendleLayer::cardStackTwoHide(WendleRatio ratio)
{
    mCardStackTwo->removeCards(ratio);
}
