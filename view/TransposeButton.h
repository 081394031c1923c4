#pragma once

#include "WendleEvent.h"

#include <QToolButton>

class QLabel;
class Wendle;

// An arrow that transposes the lattice one step of its prime, up or down;
// its label counts the steps of that prime in the transposition.
class TransposeButton : public QToolButton
{
    Q_OBJECT

public:
    // `step` is -p for a down arrow, +p for an up arrow.
    TransposeButton(int step, QLabel* label, Wendle* lattice, QWidget* parent = nullptr);
    ~TransposeButton() override;

    int stepValue() const { return step; }
    int stepCount() const { return count; }
    QLabel* countLabel() const { return label; }

public slots:
    void onTransposeChanged();

private slots:
    void onTransposeClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool canStep() const;

    qint32 step;
    qint32 count = 0;
    QLabel* label;
    WendleEvent event;
    Wendle* mLattice;
};
