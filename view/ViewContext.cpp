#include "ViewContext.h"

#include "PdPlayer.h"
#include "Settings.h"

#include <QDebug>

PdPlayer* ViewContext::sEngine = nullptr;
const Settings* ViewContext::sOptions = nullptr;

void ViewContext::bind(PdPlayer* engine, const Settings* options)
{
    sEngine = engine;
    sOptions = options;
}

void ViewContext::post(const WendleEvent* event)
{
    if (!sEngine) {
        qWarning() << "No sound engine: lattice click ignored";
        return;
    }
    sEngine->guiCommandBuffer().post(event);
}

qint32 ViewContext::absRelView()
{
    return sOptions ? sOptions->absRelView : 1;
}

bool ViewContext::centralNodeColourRelativeMode()
{
    return sOptions ? sOptions->centralNodeColourRelativeMode : true;
}
