#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QString>

class UpdateManager;

namespace Ui {
class UpdateDialog;
}

// The update window: it starts the check of the feed through the one
// UpdateManager, shows the changelog when a new version exists and closes
// itself once the update dialogue is over.
class UpdateDialog : public QMainWindow
{
    Q_OBJECT

public:
    explicit UpdateDialog(QWidget* parent = nullptr);
    ~UpdateDialog() override;

    // A new hidden window under `parent` that checks the feed at once; the
    // no-update box only with `notifyOnFinish`. The start-up check passes
    // false, the options' "Search for updates now ..." true.
    static UpdateDialog* startCheck(QWidget* parent, bool notifyOnFinish);
    // Whether the start-up check is due: `interval` 0 always, 1 weekly, 2
    // monthly, 3 quarterly, 5 every 300 seconds, anything else never;
    // `lastCheck` in Qt's text date format, empty for never.
    static bool isCheckDue(qint32 interval, const QString& lastCheck, const QDateTime& now);

public slots:
    void resetFields();
    void checkForUpdates();
    void updateChangelog(QString url);
    void toShowOrNot(QString url);
    void removeThis();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::UpdateDialog* mUi;
    UpdateManager* mUpdater;
};
