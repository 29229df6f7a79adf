#include "framelessframe.h"
#include "app/logcategories.h"

#include <QEvent>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>

FramelessFrame::FramelessFrame(QWidget* window) : QObject(window), m_window(window)
{
    m_window->setWindowFlags(m_window->windowFlags() | Qt::FramelessWindowHint);
    // The native window exists only once the window is shown (or asked for its id).
    m_window->installEventFilter(this);
    watchNativeWindow();
}

void FramelessFrame::watchNativeWindow()
{
    QWindow* handle = m_window->windowHandle();
    if (handle == m_watched)
        return;
    if (m_watched)
        m_watched->removeEventFilter(this);
    m_watched = handle;
    if (m_watched)
        m_watched->installEventFilter(this);
}

Qt::Edges FramelessFrame::edgesAt(const QRect& rect, const QPoint& pos, bool widthResizable,
                                  bool heightResizable)
{
    Qt::Edges edges;
    if (!rect.contains(pos))
        return edges;
    const bool left = pos.x() < rect.left() + kBorderWidth;
    const bool right = pos.x() > rect.right() - kBorderWidth;
    const bool top = pos.y() < rect.top() + kBorderWidth;
    const bool bottom = pos.y() > rect.bottom() - kBorderWidth;
    if (widthResizable) {
        if (right)
            edges = Qt::RightEdge;
        else if (left)
            edges = Qt::LeftEdge;
    }
    if (heightResizable) {
        if (top)
            edges = Qt::TopEdge;
        else if (bottom)
            edges = Qt::BottomEdge;
    }
    if (widthResizable && heightResizable) {
        if (left && bottom)
            edges = Qt::LeftEdge | Qt::BottomEdge;
        else if (right && bottom)
            edges = Qt::RightEdge | Qt::BottomEdge;
        else if (left && top)
            edges = Qt::LeftEdge | Qt::TopEdge;
        else if (right && top)
            edges = Qt::RightEdge | Qt::TopEdge;
    }
    return edges;
}

Qt::CursorShape FramelessFrame::cursorFor(Qt::Edges edges)
{
    if (edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge))
        return Qt::SizeFDiagCursor;
    if (edges == (Qt::RightEdge | Qt::TopEdge) || edges == (Qt::LeftEdge | Qt::BottomEdge))
        return Qt::SizeBDiagCursor;
    if (edges == Qt::LeftEdge || edges == Qt::RightEdge)
        return Qt::SizeHorCursor;
    if (edges == Qt::TopEdge || edges == Qt::BottomEdge)
        return Qt::SizeVerCursor;
    return Qt::ArrowCursor;
}

QRect FramelessFrame::resized(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum,
                              const QSize& maximum)
{
    QRect rect = start;
    if (edges & Qt::LeftEdge) {
        const int width = qBound(minimum.width(), start.width() - delta.x(), maximum.width());
        rect.setLeft(start.right() + 1 - width);
    } else if (edges & Qt::RightEdge) {
        rect.setWidth(qBound(minimum.width(), start.width() + delta.x(), maximum.width()));
    }
    if (edges & Qt::TopEdge) {
        const int height = qBound(minimum.height(), start.height() - delta.y(), maximum.height());
        rect.setTop(start.bottom() + 1 - height);
    } else if (edges & Qt::BottomEdge) {
        rect.setHeight(qBound(minimum.height(), start.height() + delta.y(), maximum.height()));
    }
    return rect;
}

QRect FramelessFrame::restoredUnderCursor(const QRect& normal, int currentWidth, const QPoint& cursor,
                                          QPoint& offset)
{
    if (currentWidth > 0)
        offset.setX(offset.x() * normal.width() / currentWidth);
    QRect rect = normal;
    rect.moveTopLeft(cursor - offset);
    return rect;
}

Qt::Edges FramelessFrame::edgesUnder(const QPoint& pos) const
{
    if (m_window->isMaximized() || m_window->isFullScreen())
        return Qt::Edges();
    const QSize minimum = m_window->minimumSize();
    const QSize maximum = m_window->maximumSize();
    return edgesAt(m_window->rect(), pos, minimum.width() != maximum.width(),
                   minimum.height() != maximum.height());
}

bool FramelessFrame::startSystemMove()
{
    QWindow* handle = m_window->windowHandle();
    return handle && handle->startSystemMove();
}

bool FramelessFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_window) {
        if (event->type() == QEvent::WinIdChange || event->type() == QEvent::Show)
            watchNativeWindow();
        return false;
    }
    if (watched != m_watched)
        return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        return onPress(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove:
        return onMove(static_cast<QMouseEvent*>(event));
    case QEvent::MouseButtonRelease:
        return onRelease(static_cast<QMouseEvent*>(event));
    case QEvent::Leave:
        if (m_cursorSet && !resizingByHand()) {
            m_window->unsetCursor();
            m_cursorSet = false;
        }
        return false;
    default:
        return false;
    }
}

bool FramelessFrame::onPress(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return false;
    const Qt::Edges edges = edgesUnder(event->pos());
    if (!edges)
        return false;
    const bool systemResize = m_watched && m_watched->startSystemResize(edges);
    qCDebug(lcUi) << "window resized by the window system:" << systemResize << edges;
    if (systemResize)
        return true;
    // No window system help: resize by hand until the button comes up.
    m_handEdges = edges;
    m_handStart = m_window->geometry();
    m_handPress = event->globalPos();
    return true;
}

bool FramelessFrame::onMove(QMouseEvent* event)
{
    if (resizingByHand()) {
        m_window->setGeometry(resized(m_handStart, m_handEdges, event->globalPos() - m_handPress,
                                      m_window->minimumSize(), m_window->maximumSize()));
        return true;
    }
    if (event->buttons() != Qt::NoButton)
        return false;
    // Hovering: the border's resize cursor, the window's own cursor elsewhere.
    const Qt::Edges edges = edgesUnder(event->pos());
    if (edges) {
        m_window->setCursor(cursorFor(edges));
        m_cursorSet = true;
    } else if (m_cursorSet) {
        m_window->unsetCursor();
        m_cursorSet = false;
    }
    return false;
}

bool FramelessFrame::onRelease(QMouseEvent* event)
{
    if (!resizingByHand() || event->button() != Qt::LeftButton)
        return false;
    m_handEdges = Qt::Edges();
    return true;
}
