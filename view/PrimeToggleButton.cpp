#include "PrimeToggleButton.h"

#include "EngineCommand.h"
#include "EngineCommandType.h"
#include "PdPlayer.h"
#include "TweakConstants.h"
#include "ViewContext.h"
#include "Wendle.h"

#include <QDebug>
#include <QGraphicsDropShadowEffect>
#include <QSignalBlocker>

PrimeToggleButton::PrimeToggleButton(int prime, Wendle* lattice, QWidget* parent)
    : QToolButton(parent)
    , prime(prime)
    , shadow(new QGraphicsDropShadowEffect(this))
    , event(TogglePrime, float(prime))
{
    setFocusPolicy(Qt::NoFocus);
    setText(QString::number(prime));
    // 1, 2 and 3 hold the lattice together: they cannot be switched off.
    const bool fixed = prime <= 3;
    setEnabled(!fixed);
    setCheckable(!fixed);
    setChecked(!fixed);
    if (lattice)
        setStyleSheet(styleFor(prime, lattice->primeColor(prime)));

    shadow->setOffset(0, 0);
    shadow->setBlurRadius(10.0);
    shadow->setColor(Qt::white);
    shadow->setEnabled(false);
    setGraphicsEffect(shadow);

    connect(this, SIGNAL(clicked()), this, SLOT(onPrimeToggled()), Qt::DirectConnection);
}

PrimeToggleButton::~PrimeToggleButton() = default;

QString PrimeToggleButton::styleFor(int prime, const QColor& colour)
{
    const QColor c = prime == 19 ? colour.darker(120) : colour;
    const QColor d = c.darker(PRIME_DISABLED_DIM_FACTOR);
    const QColor l = c.lighter(116);
    const QColor dl = d.lighter(140);
    const auto rule = [](const char* selector, const QColor& x) {
        return QStringLiteral("%1 { background-color: rgb(%2, %3, %4); }")
            .arg(QLatin1String(selector))
            .arg(x.red())
            .arg(x.green())
            .arg(x.blue());
    };
    return rule("PrimeToggleButton:checked", c) + rule("PrimeToggleButton", d)
        + rule("PrimeToggleButton:checked:hover:!pressed", l) + rule("PrimeToggleButton:!checked:hover:!pressed", dl)
        + QStringLiteral("PrimeToggleButton:pressed, PrimeToggleButton:checked:pressed { background-color: #c4c4bb; }")
        + rule("PrimeToggleButton:disabled", c);
}

bool PrimeToggleButton::isHighlighted() const
{
    return shadow->isEnabled();
}

void PrimeToggleButton::setHighlighted(bool on)
{
    shadow->setEnabled(on);
}

void PrimeToggleButton::setPrimeEnabled(bool enabled)
{
    if (!isCheckable())
        return;
    const QSignalBlocker block(this);
    setChecked(enabled);
}

void PrimeToggleButton::onPrimeToggled()
{
    if (prime < 5)
        return;
    PdPlayer* engine = ViewContext::engine();
    // A command that never reaches the engine must not leave the button
    // showing a state the engine does not have.
    if (!engine)
        qWarning() << "No sound engine: prime" << prime << "left as it was";
    else if (!engine->guiCommandBuffer().postCommand(EngineCommand::fromEvent(event)))
        qWarning() << "Command buffer full: prime" << prime << "left as it was";
    else
        return;
    setPrimeEnabled(!isChecked());
}
