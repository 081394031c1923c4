#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class DiagnosticsDialog;
}

// Lists the log messages of the source files chosen on the command line as
// they arrive, from construction on, whether shown or not.
class DiagnosticsDialog : public QDialog
{
    Q_OBJECT

public:
    // The text keeps this many lines; older ones go.
    static constexpr int MaxLines = 10000;

    explicit DiagnosticsDialog(QWidget* parent = nullptr);
    ~DiagnosticsDialog() override;

private slots:
    void onMessage(QString message);

private:
    Ui::DiagnosticsDialog* mUi;
};
