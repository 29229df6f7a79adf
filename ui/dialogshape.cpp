#include "dialogshape.h"

#include <QPainterPath>
#include <QRegion>
#include <QWidget>

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
