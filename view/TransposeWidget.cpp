#include "TransposeWidget.h"

#include "EngineCommandType.h"
#include "PrimeTables.h"
#include "PrimeToggleButton.h"
#include "TransposeButton.h"
#include "ViewContext.h"
#include "Wendle.h"

#include <QBoxLayout>
#include <QDebug>
#include <QLabel>

TransposeWidget::TransposeWidget(QWidget* parent)
    : QWidget(parent)
    , resetEvent(TransposeByPrime, 0.0f)
{
}

TransposeWidget::~TransposeWidget() = default;

void TransposeWidget::build(Wendle* lattice)
{
    if (mLattice) {
        qWarning() << "Transpose row already built";
        return;
    }
    mLattice = lattice;
    const bool vertical = orientation == 2;
    auto column = new QBoxLayout(vertical ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight, this);
    column->setSpacing(6);
    column->setContentsMargins(0, 0, 0, 0);

    for (int i = 0; i < PrimeCount; ++i) {
        const int p = primeList[size_t(i)];
        auto row = new QHBoxLayout;
        row->setSpacing(1);
        row->setContentsMargins(0, 0, 0, 0);
        primeButtons[size_t(i)] = new PrimeToggleButton(p, lattice, this);
        if (p == 1) {
            row->addWidget(primeButtons[0], 0, Qt::AlignCenter);
        } else {
            auto downLabel = new QLabel(this);
            downLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            auto upLabel = new QLabel(this);
            downButtons[size_t(i)] = new TransposeButton(-p, downLabel, lattice, this);
            upButtons[size_t(i)] = new TransposeButton(p, upLabel, lattice, this);
            row->addWidget(downLabel);
            row->addWidget(downButtons[size_t(i)]);
            row->addWidget(primeButtons[size_t(i)]);
            row->addWidget(upButtons[size_t(i)]);
            row->addWidget(upLabel);
        }
        column->addLayout(row);
    }

    auto last = new QHBoxLayout;
    last->setSpacing(2);
    last->setContentsMargins(0, 0, 0, 0);
    resetButton = new PrimeToggleButton(1, lattice, this);
    resetButton->setObjectName(QStringLiteral("resetButton"));
    resetButton->setText(QStringLiteral("="));
    resetButton->setToolTip(QStringLiteral("Reset transpose"));
    last->addWidget(resetButton, 0, Qt::AlignCenter);
    column->addLayout(last);

    // The window makes the same connections; each must post once a click.
    connect(resetButton, SIGNAL(clicked()), this, SLOT(onResetClicked()),
            Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    if (lattice)
        connect(lattice, SIGNAL(transposeOrBaseFrequencyChanged()), this, SLOT(onTransposeChanged()),
                Qt::ConnectionType(Qt::DirectConnection | Qt::UniqueConnection));
    onTransposeChanged();
}

PrimeToggleButton* TransposeWidget::primeButton(int primeIndex) const
{
    return primeIndex >= 0 && primeIndex < PrimeCount ? primeButtons[size_t(primeIndex)] : nullptr;
}

// Prime 1 has no arrows: index 0 stays empty.
TransposeButton* TransposeWidget::downButton(int primeIndex) const
{
    return primeIndex >= 1 && primeIndex < PrimeCount ? downButtons[size_t(primeIndex)] : nullptr;
}

TransposeButton* TransposeWidget::upButton(int primeIndex) const
{
    return primeIndex >= 1 && primeIndex < PrimeCount ? upButtons[size_t(primeIndex)] : nullptr;
}

void TransposeWidget::transposeUp(int primeIndex)
{
    if (TransposeButton* b = upButton(primeIndex))
        b->animateClick();
}

void TransposeWidget::transposeDown(int primeIndex)
{
    if (TransposeButton* b = downButton(primeIndex))
        b->animateClick();
}

void TransposeWidget::toggle(int primeIndex)
{
    if (PrimeToggleButton* b = primeButton(primeIndex))
        b->animateClick();
}

void TransposeWidget::resetTranspose()
{
    if (resetButton)
        resetButton->animateClick();
}

void TransposeWidget::highlight(int primeIndex, bool b)
{
    PrimeToggleButton* button = primeButton(primeIndex);
    if (!button)
        return;
    button->setHighlighted(b);
    if (b)
        highlighted = primeIndex;
}

void TransposeWidget::onPrimeEnabledToggled(int prime, bool enabled)
{
    for (PrimeToggleButton* b : primeButtons) {
        if (b && b->primeNumber() == prime) {
            b->setPrimeEnabled(enabled);
            return;
        }
    }
}

void TransposeWidget::onResetClicked()
{
    ViewContext::post(&resetEvent);
}

void TransposeWidget::onTransposeChanged()
{
    if (resetButton)
        resetButton->setEnabled(mLattice && !mLattice->transpositionPath().isEmpty());
}
