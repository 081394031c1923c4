#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <functional>

// Answers the message boxes as they appear among the top-level widgets, in
// order; with no answer left it presses the box's escape button. Keeps each
// box's text and informative text as "text|informative".
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer();
    QList<QMessageBox::StandardButton> answers;
    QStringList seen;
    // Runs while a box is up, before it is answered.
    std::function<void()> onBox;

private:
    QTimer mTimer;
};

// A temporary HOME, and an opener and a quitter that only record: nothing
// is launched and the test program keeps running.
class UpdaterRig
{
public:
    UpdaterRig();
    ~UpdaterRig();
    QString home() const { return mHome.path(); }
    // HOME as it was: tools started from a test may need their own.
    QString realHome() const { return QString::fromLocal8Bit(mRealHome); }
    QString downloads() const { return mHome.path() + QStringLiteral("/Downloads/"); }
    // Every file under HOME, relative to it, sorted.
    QStringList filesInHome() const;

    QList<QUrl> opened;
    int quits = 0;
    // What the opener answers: false is a desktop with no handler.
    bool openerAnswers = false;

private:
    QByteArray mRealHome;
    QTemporaryDir mHome;
};
