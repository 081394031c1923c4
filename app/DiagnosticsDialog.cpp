#include "DiagnosticsDialog.h"

#include "TuningWendleApplication.h"
#include "ui_DiagnosticsDialog.h"

DiagnosticsDialog::DiagnosticsDialog(QWidget* parent)
    : QDialog(parent)
    , mUi(new Ui::DiagnosticsDialog)
{
    mUi->setupUi(this);
    // With the flag "all" messages come without end.
    mUi->textArea->setMaximumBlockCount(MaxLines);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    connect(TuningWendleApplication::instance(), &TuningWendleApplication::diagnosticMessage, this,
            &DiagnosticsDialog::onMessage, Qt::AutoConnection);
}

DiagnosticsDialog::~DiagnosticsDialog()
{
    delete mUi;
}

// Logs nothing: with the flag "all" a message from here would come back here.
void DiagnosticsDialog::onMessage(QString message)
{
    // The forwarded text ends its line itself; the paragraph does that here.
    if (message.endsWith(QLatin1Char('\n')))
        message.chop(1);
    mUi->textArea->appendPlainText(message);
}
