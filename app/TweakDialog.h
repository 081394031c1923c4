#pragma once

#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>

class MainWindow;
class QSignalMapper;
class QSpinBox;
class QVBoxLayout;

// Tries out the numbers the lattice is drawn by while the program runs: one
// spin box per constant writes it at once, and "Update" draws the lattice
// again with the new values. The constants belong to the program; the
// dialog only points at them.
class TweakDialog : public QDialog
{
    Q_OBJECT

public:
    explicit TweakDialog(MainWindow* parent);
    ~TweakDialog() override;

    // A row for the constant at `variable`, above the rows added later.
    void addTweak(QString name, int* variable);

private slots:
    void valueChanged(int index);
    void updateTweaks();

private:
    // The lattice from its file into a new tree, the pages drawn from it,
    // then the old tree freed. False when the file did not load.
    bool reloadLattice();

    QVBoxLayout* mLayout;
    QSignalMapper* mSignalMapper;
    QList<QPair<QSpinBox*, int*>> mTweaks;
    MainWindow* mMainWindow;
    bool mUpdating = false;
};
