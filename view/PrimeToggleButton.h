#pragma once

#include "WendleEvent.h"

#include <QToolButton>

class QGraphicsDropShadowEffect;
class Wendle;

// Switches one prime on or off, in the prime's colour. Checked means the
// prime is on; the engine's answer has the last word on that.
class PrimeToggleButton : public QToolButton
{
    Q_OBJECT

public:
    PrimeToggleButton(int prime, Wendle* lattice, QWidget* parent = nullptr);
    ~PrimeToggleButton() override;

    int primeNumber() const { return prime; }
    bool isHighlighted() const;
    void setHighlighted(bool on);

    // The style sheet of a prime button drawn in `colour`.
    static QString styleFor(int prime, const QColor& colour);

public slots:
    // The engine's word on the prime; nothing is sent back.
    void setPrimeEnabled(bool enabled);

private slots:
    void onPrimeToggled();

private:
    qint32 prime;
    QGraphicsDropShadowEffect* shadow;
    WendleEvent event;
};
