#include "UpdaterRig.h"

#include "UpdatePlatform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDirIterator>

BoxAnswerer::BoxAnswerer()
{
    connect(&mTimer, &QTimer::timeout, this, [this] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto box = qobject_cast<QMessageBox*>(w);
            if (!box || !box->isVisible())
                continue;
            seen << box->text() + QLatin1Char('|') + box->informativeText();
            if (onBox)
                onBox();
            QAbstractButton* button = answers.isEmpty() ? box->escapeButton() : box->button(answers.takeFirst());
            if (button)
                button->click();
            else
                box->close();
            return;
        }
    });
    mTimer.start(10);
}

UpdaterRig::UpdaterRig()
    : mRealHome(qgetenv("HOME"))
{
    qputenv("HOME", mHome.path().toUtf8());
    UpdatePlatform::setOpener([this](const QUrl& url) {
        opened << url;
        return openerAnswers;
    });
    UpdatePlatform::setQuitter([this] { ++quits; });
}

UpdaterRig::~UpdaterRig()
{
    UpdatePlatform::setOpener({});
    UpdatePlatform::setQuitter({});
    qputenv("HOME", mRealHome);
}

QStringList UpdaterRig::filesInHome() const
{
    QStringList out;
    QDirIterator it(mHome.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(mHome.path()).relativeFilePath(it.next());
    out.sort();
    return out;
}
