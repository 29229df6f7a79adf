#include "dialogshape.h"

#include <QFontInfo>
#include <QLabel>
#include <QLayout>
#include <QPainterPath>
#include <QRegion>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

#include <functional>

namespace {

// Shrinks widget's font from its parent's size while fits() is false. The top-level layout is
// run again after each step: the text's height is what the layout gives it.
void shrinkUntil(QWidget* widget, const std::function<bool()>& fits)
{
    QWidget* parent = widget->parentWidget();
    QFont font = parent ? parent->font() : widget->font();
    widget->setFont(font);
    QLayout* layout = widget->window()->layout();
    const auto relayout = [layout] {
        if (layout) {
            layout->invalidate();
            layout->activate();
        }
    };
    relayout();
    int size = QFontInfo(font).pixelSize();
    while (!fits() && size > kDialogTextMinPixelSize) {
        font.setPixelSize(--size);
        widget->setFont(font);
        relayout();
    }
}

} // namespace

void clipToRoundedRect(QWidget* widget, int radius)
{
    QPainterPath outline;
    outline.addRoundedRect(QRectF(widget->rect()), radius, radius);
    widget->setMask(QRegion(outline.toFillPolygon().toPolygon()));
}

void centreOver(QWidget* dialog, const QWidget* window)
{
    if (!window)
        return;
    dialog->move(window->pos() +
                 QPoint((window->width() - dialog->width()) / 2, (window->height() - dialog->height()) / 2));
}

void fitTextToHeight(QLabel* label)
{
    shrinkUntil(label, [label] { return label->heightForWidth(label->width()) <= label->height(); });
}

void fitTextToHeight(QTextEdit* edit)
{
    shrinkUntil(edit, [edit] {
        QTextDocument* document = edit->document();
        document->setTextWidth(edit->viewport()->width());
        return document->size().height() <= edit->viewport()->height();
    });
}
