#pragma once

#include "WendleRatio.h"

#include <QWidget>
#include <memory>

class CardConnectorOverlay;
class CardStackTwoWidget;
class CardStackWidget;
class FreeConnectorOverlay;
class NodeStackWidget;
class Wendle;
class WendleView;
struct NotationGraphics;

// One page of the main window: the lattice drawing on the left and, on the
// right, the stacks that follow the sounding ratios, with two transparent
// overlays for their guide lines. It forwards the lattice's stack and card
// signals to the node stack and the second card stack.
class WendleLayer : public QWidget
{
    Q_OBJECT

public:
    explicit WendleLayer(QWidget* parent = nullptr);
    ~WendleLayer() override;

    // Loads the staff graphics, wires the partners, draws the lattice in
    // `mode` (0 circles, 1 grapes) and follows the lattice. Once per page.
    void setup(int mode, Wendle* lattice);
    void setStacksVisible(bool visible);
    // Reads the resource ":/" + name whole into `bytes`; `bytes` stays as it was when that fails.
    static void loadResourceFile(const QString& name, QByteArray& bytes);

    WendleView* view() const { return mView; }
    CardStackWidget* cardStack() const { return mCardStack; }
    NodeStackWidget* nodeStack() const { return mNodeStack; }
    CardStackTwoWidget* cardStackTwo() const { return mCardStackTwo; }
    CardConnectorOverlay* cardOverlay() const { return mCardOverlay; }
    FreeConnectorOverlay* freeOverlay() const { return mFreeOverlay; }
    const NotationGraphics* notation() const { return mNotation.get(); }

public slots:
    void nodeStackAdd(WendleRatio ratio);
    void nodeStackRemove(WendleRatio ratio);
    void nodeStackToggle(WendleRatio ratio, bool on);
    void nodeStackSelect(WendleRatio ratio, bool selected);
    void nodeStackHold(WendleRatio ratio, bool hold);
    void nodeStackAltered(WendleRatio ratio, bool altered);
    void nodeStackShow();
    void nodeStackReset();
    void cardStackTwoShow(WendleRatio ratio);
    void cardStackTwoHide(WendleRatio ratio);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    WendleView* mView;
    CardStackWidget* mCardStack;
    NodeStackWidget* mNodeStack;
    CardStackTwoWidget* mCardStackTwo;
    CardConnectorOverlay* mCardOverlay;
    FreeConnectorOverlay* mFreeOverlay;
    std::unique_ptr<NotationGraphics> mNotation;
};
