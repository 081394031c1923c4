#include "TweakDialog.h"

#include "MainWindow.h"
#include "TuningWendleApplication.h"
#include "WendleBall.h"
#include "WendleLayer.h"
#include "WendleLeavesWidget.h"
#include "WendleView.h"
#include "WendleWidget.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSignalMapper>
#include <QSpinBox>
#include <QThread>
#include <QVBoxLayout>

TweakDialog::TweakDialog(MainWindow* parent)
    : QDialog(parent)
    , mLayout(new QVBoxLayout(this))
    , mSignalMapper(new QSignalMapper(this))
    , mMainWindow(parent)
{
    auto update = new QPushButton(QStringLiteral("Update"));
    mLayout->addWidget(update);
    connect(update, SIGNAL(clicked()), this, SLOT(updateTweaks()), Qt::DirectConnection);
    setWindowTitle(QStringLiteral("Tweak Dialog"));
    connect(mSignalMapper, SIGNAL(mappedInt(int)), this, SLOT(valueChanged(int)), Qt::DirectConnection);
}

TweakDialog::~TweakDialog() = default;

void TweakDialog::addTweak(QString name, int* variable)
{
    auto row = new QHBoxLayout;
    row->addWidget(new QLabel(name));
    auto spin = new QSpinBox;
    spin->setRange(-1000, 1000);
    spin->setValue(*variable);
    row->addWidget(spin);
    // The "Update" button stays last.
    mLayout->insertLayout(mLayout->count() - 1, row);
    mTweaks.append({ spin, variable });
    mSignalMapper->setMapping(spin, int(mTweaks.size() - 1));
    connect(spin, SIGNAL(valueChanged(int)), mSignalMapper, SLOT(map()), Qt::DirectConnection);
}

void TweakDialog::valueChanged(int index)
{
    const auto& [spin, variable] = mTweaks.at(index);
    *variable = spin->value();
}

void TweakDialog::updateTweaks()
{
    // The events processed below may carry a second click, which would run
    // a second update inside this one.
    if (mUpdating)
        return;
    const QScopedValueRollback<bool> updating(mUpdating, true);
    TuningWendleApplication* app = TuningWendleApplication::instance();
    app->engine().guiCommandBuffer().post(&mMainWindow->notesOffEvent());
    QThread::msleep(100);
    QCoreApplication::processEvents();
    app->loadStyleSheet();
    reloadLattice();
}

bool TweakDialog::reloadLattice()
{
    Wendle& lattice = TuningWendleApplication::instance()->lattice();
    WendleBall* oldTree = lattice.root;
    const bool primeOneOn = !oldTree || oldTree->enabled;
    // Loading replaces the root; both pages' items point into the old tree,
    // so it is taken out of the lattice's hands until neither does.
    lattice.root = nullptr;
    const bool loaded = lattice.load();
    if (!loaded) {
        qWarning() << "Tweak update: the lattice file did not load; the lattice is drawn again as it was";
        lattice.root = oldTree;
        oldTree = nullptr;
    } else {
        // The new balls start switched on: walking the tree once with the
        // lattice's own set of switched-off primes turns them off again.
        QMetaObject::invokeMethod(&lattice, "onPrimeEnabledToggled", Qt::DirectConnection, Q_ARG(int, 1),
                                  Q_ARG(bool, primeOneOn));
    }
    WendleLeavesWidget::clearLeafPlaces();
    // The page on screen first, then the hidden one, each in its own mode.
    WendleLayer* shown = mMainWindow->currentPage();
    QList<WendleLayer*> pages { shown };
    for (int i = 0; i < 2; ++i) {
        if (mMainWindow->page(i) != shown)
            pages << mMainWindow->page(i);
    }
    for (WendleLayer* page : std::as_const(pages)) {
        WendleView* view = page->view();
        const WendleWidget* drawing = view->rootGroup();
        view->rebuildScene(drawing ? drawing->mode : (page == mMainWindow->page(0) ? 0 : 1));
    }
    delete oldTree;
    return loaded;
}
