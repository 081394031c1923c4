#pragma once

#include <QWidget>

class QSvgRenderer;

// One graphic of a card (clef, note head, accidental, tonebud arrow), drawn
// over its whole rectangle by a renderer that the page's notation set owns
// and shares among all its cards. Without a renderer it stays empty.
class NotationGlyph : public QWidget
{
    Q_OBJECT

public:
    explicit NotationGlyph(QWidget* parent = nullptr);
    ~NotationGlyph() override;

    void setRenderer(QSvgRenderer* renderer);
    QSvgRenderer* renderer() const { return mRenderer; }
    // The graphic's own size, as an SVG widget gives it.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSvgRenderer* mRenderer = nullptr;
};
