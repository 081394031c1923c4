#pragma once

#include "WendleEvent.h"

#include <QWidget>
#include <array>

class PrimeToggleButton;
class TransposeButton;
class Wendle;

// The column beside the lattice: per prime a switch in its colour between a
// down and an up arrow, and "=" to undo the transposition. Keys and menus
// click the same buttons the mouse does.
class TransposeWidget : public QWidget
{
    Q_OBJECT

public:
    static constexpr int PrimeCount = 12;

    explicit TransposeWidget(QWidget* parent = nullptr);
    ~TransposeWidget() override;

    // Builds the rows for `lattice`; `orientation` 2 stacks them vertically.
    void build(Wendle* lattice);

    PrimeToggleButton* resetButtonWidget() const { return resetButton; }
    PrimeToggleButton* primeButton(int primeIndex) const;
    TransposeButton* downButton(int primeIndex) const;
    TransposeButton* upButton(int primeIndex) const;
    int highlightedRow() const { return highlighted; }
    void setHighlightedRow(int primeIndex) { highlighted = primeIndex; }

    qint32 orientation = 2;

public slots:
    void transposeUp(int primeIndex);
    void transposeDown(int primeIndex);
    void toggle(int primeIndex);
    void resetTranspose();
    void highlight(int primeIndex, bool b);
    // The engine's word on a prime (the prime itself, not its index).
    void onPrimeEnabledToggled(int prime, bool enabled);

private slots:
    void onResetClicked();
    void onTransposeChanged();

private:
    PrimeToggleButton* resetButton = nullptr;
    WendleEvent resetEvent;
    std::array<PrimeToggleButton*, PrimeCount> primeButtons {};
    std::array<TransposeButton*, PrimeCount> downButtons {};
    std::array<TransposeButton*, PrimeCount> upButtons {};
    qint32 highlighted = 1;
    Wendle* mLattice = nullptr;
};
