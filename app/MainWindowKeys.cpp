// The keyboard: the window holds the focus and plays the whole instrument.
// A key clicks a form button (animated, so it flashes as under the mouse),
// calls a window operation or posts a command.
#include "MainWindow.h"

#include "EngineCommandType.h"
#include "TransposeWidget.h"
#include "ui_MainWindow.h"

#include <QDebug>
#include <QKeyEvent>

namespace {

constexpr int FirstRow = 1;
constexpr int LastRow = 11;

} // namespace

void MainWindow::stepTransposeRow(int by)
{
    const int next = mTransposeRow + by;
    if (next < FirstRow || next > LastRow)
        return;
    TransposeWidget* row = mUi->transposeWidget;
    row->highlight(mTransposeRow, false);
    mTransposeRow = next;
    row->highlight(mTransposeRow, true);
    row->setHighlightedRow(mTransposeRow);
}

void MainWindow::toggleGlissSliders()
{
    const bool show = !mUi->glissButton->isChecked() && !mUi->glissFineButton->isChecked();
    // Hiding keeps the remembered flags, so that the next Ctrl+G brings back what was shown.
    mUi->glissButton->setChecked(show && mGlissOneShown);
    mUi->glissFineButton->setChecked(show && mGlissTwoShown);
    mUi->glissSliderBig->setVisible(show && mGlissOneShown);
    mUi->glissFineSliderBig->setVisible(show && mGlissTwoShown);
    mUi->glissCLineCenter->setVisible(show && (mGlissOneShown || mGlissTwoShown));
}

bool MainWindow::handleDigit(int key, Qt::KeyboardModifiers mods)
{
    if (key < Qt::Key_0 || key > Qt::Key_9)
        return false;
    const int d = key == Qt::Key_0 ? 10 : key - Qt::Key_0;
    const int slot = mChordRow * 10 + d;
    if (mods == Qt::NoModifier) {
        if (QPushButton* b = mChordButtons.value(slot - 1))
            b->animateClick();
    } else if (mods == Qt::AltModifier) {
        overrideChordButtonStorage(slot);
    } else if (mods == Qt::ControlModifier) {
        on_patchMenu_activated(d - 1);
    }
    return true;
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // The keypad and layout switches are not modifiers the player holds.
    const Qt::KeyboardModifiers mods = event->modifiers() & ~(Qt::KeypadModifier | Qt::GroupSwitchModifier);
    const bool ctrl = mods & Qt::ControlModifier;
    const bool alt = mods & Qt::AltModifier;
    const bool none = mods == Qt::NoModifier;
    const bool onlyCtrl = mods == Qt::ControlModifier;
    const bool onlyAlt = mods == Qt::AltModifier;
    TransposeWidget* row = mUi->transposeWidget;
    QSlider* volume = mUi->volumeSlider;

    if (handleDigit(event->key(), mods))
        return;
    switch (event->key()) {
    case Qt::Key_Escape:
        if (ctrl)
            mUi->stopAllButton->animateClick();
        else if (alt)
            postToEngine(mDeselectAllEvent);
        else
            postToEngine(mNotesOffEvent);
        break;
    case Qt::Key_Backspace:
    case Qt::Key_Equal:
        row->resetTranspose();
        break;
    case Qt::Key_Left:
        row->transposeDown(mTransposeRow);
        break;
    case Qt::Key_Right:
        row->transposeUp(mTransposeRow);
        break;
    case Qt::Key_Up:
        stepTransposeRow(-1);
        break;
    case Qt::Key_Down:
        stepTransposeRow(1);
        break;
    case Qt::Key_X:
        if (onlyAlt)
            postToEngine(WendleEvent(ResetSelectedNodesAndDeselect, 1.0f));
        else
            row->toggle(mTransposeRow);
        break;
    case Qt::Key_U:
        on_chordRowButton_01_clicked();
        break;
    case Qt::Key_J:
        on_chordRowButton_02_clicked();
        break;
    case Qt::Key_A:
        if (none) {
            onAbsRelSwitcherClicked(QStringLiteral("absolute"));
        } else if (onlyCtrl) {
            QPushButton* additive = mUi->chordAdditiveRecallButton;
            QPushButton* alternating = mUi->chordAlternatingRecallButton;
            if (additive->isChecked()) {
                additive->setChecked(false);
                alternating->setChecked(true);
            } else if (alternating->isChecked()) {
                alternating->setChecked(false);
            } else {
                additive->setChecked(true);
            }
        } else if (onlyAlt) {
            postToEngine(WendleEvent(SelectSounding, 1.0f));
        }
        break;
    case Qt::Key_R:
        if (!alt)
            onAbsRelSwitcherClicked(QStringLiteral("relative"));
        else
            postToEngine(WendleEvent(ctrl ? ResetAllParametersAndDeselect : ResetAllParameters, 1.0f));
        break;
    case Qt::Key_N:
        if (alt && ctrl)
            postToEngine(WendleEvent(ResetAlteredNodesAndDeselect, 1.0f));
        else if (onlyAlt)
            postToEngine(WendleEvent(ResetAlteredNodes, 1.0f));
        else
            mUi->normalizeRatiosButton->animateClick();
        break;
    case Qt::Key_Z:
        if (alt && ctrl)
            postToEngine(WendleEvent(ResetSelectedNodesAndDeselect, 1.0f));
        else if (onlyAlt)
            postToEngine(WendleEvent(ResetSelectedNodes, 1.0f));
        break;
    case Qt::Key_T:
        if (onlyCtrl)
            mUi->chordStoreToButton->animateClick();
        else if (onlyAlt)
            postToEngine(WendleEvent(ReplaySelection, 1.0f));
        break;
    case Qt::Key_C:
        if (none)
            mUi->tonebudColourButton->animateClick();
        else if (onlyCtrl)
            mUi->chordClearButton->animateClick();
        else if (onlyAlt)
            mUi->chordClearAllButton->animateClick();
        break;
    case Qt::Key_B:
        mUi->tonebudBWButton->animateClick();
        break;
    case Qt::Key_F:
        if (ctrl)
            mUi->expandWendleButton->animateClick();
        else
            onSwitcherClicked(QStringLiteral("circles"));
        break;
    case Qt::Key_G:
        if (ctrl)
            toggleGlissSliders();
        else if (alt)
            on_glissResetButton_clicked();
        else
            onSwitcherClicked(QStringLiteral("grapes"));
        break;
    case Qt::Key_H:
        if (none) {
            mUi->chordHoldButton->animateClick();
        } else if (onlyAlt) {
            // Hold is switched on afresh, over what sounds now.
            mUi->chordHoldButton->setChecked(false);
            mUi->chordHoldButton->animateClick();
        }
        break;
    case Qt::Key_M:
        if (alt) {
            setMacroSlidersToDefault();
        } else {
            mUi->monoButton->setChecked(true);
            mUi->polyButton->setChecked(false);
            on_monoButton_clicked();
        }
        break;
    case Qt::Key_P:
        mUi->monoButton->setChecked(false);
        mUi->polyButton->setChecked(true);
        on_polyButton_clicked();
        break;
    case Qt::Key_K:
        if (ctrl)
            volume->setValue(volume->minimum());
        else if (volume->value() >= 2)
            volume->setValue(volume->value() - 2);
        break;
    case Qt::Key_O:
        if (ctrl)
            volume->setValue(int(float(volume->maximum()) * 0.75f));
        else if (volume->value() + 1 < volume->maximum())
            volume->setValue(volume->value() + 2);
        break;
    case Qt::Key_L:
        if (onlyCtrl)
            mUi->saveChordSetLoadButton->animateClick();
        break;
    case Qt::Key_S:
        if (onlyCtrl) {
            mUi->saveChordSetSaveButton->animateClick();
        } else if (onlyAlt) {
            setMacroSlidersToDefault();
            on_glissResetButton_clicked();
        }
        break;
    case Qt::Key_Alt:
        mAltDown = true;
        qDebug() << "Alt key pressed";
        break;
    default:
        QMainWindow::keyPressEvent(event);
        break;
    }
}

void MainWindow::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Alt) {
        mAltDown = false;
        qDebug() << "Alt key released";
        return;
    }
    QMainWindow::keyReleaseEvent(event);
}

// Alt released in another window (Alt+Tab) never reaches this one: without
// this every later slider release would jump to its default.
void MainWindow::focusOutEvent(QFocusEvent* event)
{
    mAltDown = false;
    QMainWindow::focusOutEvent(event);
}

void MainWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        mAltDown = false;
    QMainWindow::changeEvent(event);
}
