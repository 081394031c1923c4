#pragma once

#include <QHash>
#include <QWidget>

class CardWidget;
class WendleBallWidget;
class WendleView;

// A transparent layer over a whole lattice page for the dotted guide lines
// from each sounding ball to its card; the mouse goes through it.
class CardConnectorOverlay : public QWidget
{
    Q_OBJECT

public:
    explicit CardConnectorOverlay(QWidget* parent = nullptr);
    ~CardConnectorOverlay() override;

    void setView(WendleView* view) { mView = view; }
    void addPair(WendleBallWidget* ball, CardWidget* card);
    void removePair(WendleBallWidget* ball);
    const QHash<WendleBallWidget*, CardWidget*>& pairs() const { return mPairs; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QHash<WendleBallWidget*, CardWidget*> mPairs;
    WendleView* mView = nullptr;
};
