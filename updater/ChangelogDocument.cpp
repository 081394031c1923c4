#include "ChangelogDocument.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QUrl>
#include <QVariant>
#include <utility>

ChangelogDocument::ChangelogDocument(QObject* parent)
    : QTextDocument(parent)
{
}

void ChangelogDocument::setChangelog(const QString& text)
{
    if (Qt::mightBeRichText(text))
        setHtml(text);
    else
        setPlainText(text);
    QList<std::pair<int, int>> images;
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.isValid() && fragment.charFormat().isImageFormat())
                images.append({ fragment.position(), fragment.length() });
        }
    }
    // From the end, so that the positions still ahead stay as they were.
    QTextCursor cursor(this);
    for (auto image = images.crbegin(); image != images.crend(); ++image) {
        cursor.setPosition(image->first);
        cursor.setPosition(image->first + image->second, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}

QVariant ChangelogDocument::loadResource(int, const QUrl&)
{
    return QVariant();
}
