#pragma once

#include <QTextDocument>

// The feed's changelog as rich text, with nothing it names ever loaded: no
// image, style sheet or background from a file, a share, the resources or a
// data URL. Images are left out, since Qt would read an image's file itself
// where the document gives it nothing; the rest of the formatting stays.
class ChangelogDocument : public QTextDocument
{
    Q_OBJECT

public:
    explicit ChangelogDocument(QObject* parent = nullptr);

    // Rich or plain text, told apart as QTextEdit::setText does. Call it
    // before the document is shown: a laid-out document would already have
    // looked for its images.
    void setChangelog(const QString& text);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};
