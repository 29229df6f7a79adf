#pragma once

// The system frame's work for a window without one: a 5-pixel border inside the window edges
// that resizes it (with the matching resize cursor), and moving by the window's own area. Both
// hand the pointer to the window system (QWindow::startSystemResize / startSystemMove) where it
// can take it; where it cannot (an X11 display without a window manager) the border resizes the
// window itself and the caller keeps moving it by its own drag rules.

#include <QObject>
#include <QPoint>
#include <QRect>

class QMouseEvent;
class QWidget;
class QWindow;

class FramelessFrame : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBorderWidth = 5;

    // Makes window frameless and watches its native window for the border. window outlives this.
    explicit FramelessFrame(QWidget* window);

    // The edges the border at pos (window coordinates) resizes, for a window of size rect: left
    // and right only when the width can change, top and bottom only when the height can, the
    // corners when both can. Empty outside the border.
    static Qt::Edges edgesAt(const QRect& rect, const QPoint& pos, bool widthResizable, bool heightResizable);
    static Qt::CursorShape cursorFor(Qt::Edges edges);
    // The geometry after the pointer moved by delta while edges were dragged from start, within
    // the minimum and maximum sizes.
    static QRect resized(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum,
                         const QSize& maximum);

    // Where a maximized window dragged by the cursor goes when it is restored: its normal
    // geometry, moved so that the cursor keeps its place across the narrower window (the
    // horizontal offset scaled by normal width / current width, integer arithmetic; the vertical
    // offset unchanged). offset is updated to the scaled one.
    static QRect restoredUnderCursor(const QRect& normal, int currentWidth, const QPoint& cursor,
                                     QPoint& offset);

    // Hands the move to the window system; false when it cannot move the window (then the
    // caller moves it).
    bool startSystemMove();

    // Whether the border is being dragged without the window system's help.
    bool resizingByHand() const { return m_handEdges != Qt::Edges(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Qt::Edges edgesUnder(const QPoint& pos) const;
    bool onPress(QMouseEvent* event);
    bool onMove(QMouseEvent* event);
    bool onRelease(QMouseEvent* event);
    void watchNativeWindow();

    QWidget* m_window;
    QWindow* m_watched = nullptr;
    bool m_cursorSet = false;
    Qt::Edges m_handEdges;
    QRect m_handStart;
    QPoint m_handPress;
};
