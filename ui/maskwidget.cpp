#include "maskwidget.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <QWindow>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

constexpr double kOverlayOpacity = 0.7;
const QColor kOverlayColor(44, 44, 44, 255);

std::mutex g_instanceLock; // guards g_instance
MaskWidget* g_instance = nullptr;

MaskWidget::CompositingSource& compositingSource()
{
    static MaskWidget::CompositingSource source;
    return source;
}

// An X11 compositing manager owns the selection _NET_WM_CM_S<screen> of the screen it manages.
bool x11CompositingManagerRunning()
{
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    if (!connection || xcb_connection_has_error(connection)) {
        if (connection)
            xcb_disconnect(connection);
        return false;
    }
    const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    bool running = false;
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.c_str()), nullptr);
    if (atom) {
        xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
        if (owner) {
            running = owner->owner != XCB_NONE;
            std::free(owner);
        }
        std::free(atom);
    }
    xcb_disconnect(connection);
    return running;
}

// Runs the layout requests queued in window. A layout that changes its widget's size queues a
// request for the parent's layout, which a round of queued requests does not reach: a change deep
// in the window climbs one level per round, so there are as many rounds as the window is deep.
void layOutPendingChanges(QWidget* window)
{
    int depth = 1;
    const auto widgets = window->findChildren<QWidget*>();
    for (const QWidget* widget : widgets) {
        int level = 1;
        for (const QWidget* up = widget->parentWidget(); up && up != window; up = up->parentWidget())
            ++level;
        depth = std::max(depth, level);
    }
    for (int round = 0; round < depth; ++round)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
}

} // namespace

MaskWidget* MaskWidget::instance()
{
    const std::lock_guard<std::mutex> guard(g_instanceLock);
    if (!g_instance) {
        g_instance = new MaskWidget();
        // Widgets must go before the application object; post routines run at its destruction.
        qAddPostRoutine(&MaskWidget::destroyInstance);
    }
    return g_instance;
}

void MaskWidget::destroyInstance()
{
    MaskWidget* overlay = nullptr;
    {
        const std::lock_guard<std::mutex> guard(g_instanceLock);
        overlay = g_instance;
        g_instance = nullptr;
    }
    delete overlay;
}

void MaskWidget::setCompositingSource(CompositingSource source)
{
    compositingSource() = std::move(source);
}

bool MaskWidget::windowSystemComposites()
{
    if (compositingSource())
        return compositingSource()();
    // Only X11 may run without compositing; Wayland and the other platforms blend windows.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return x11CompositingManagerRunning();
    return true;
}

MaskWidget::MaskWidget() : QWidget(nullptr), opacity(kOverlayOpacity)
{
    setObjectName(QStringLiteral("MaskWidget"));
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setWindowOpacity(kOverlayOpacity);
    setBgColor(kOverlayColor);
    if (const QScreen* primary = QGuiApplication::primaryScreen())
        setGeometry(primary->geometry());
    qApp->installEventFilter(this);
}

void MaskWidget::setMainWidget(QWidget* widget)
{
    mainWidget = widget;
}

void MaskWidget::setDialogNames(const QStringList& names)
{
    if (dialogNames != names)
        dialogNames = names;
}

void MaskWidget::setBgColor(const QColor& bgColor)
{
    colour = bgColor;
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(bgColor));
    setPalette(pal);
    setAutoFillBackground(true);
}

void MaskWidget::setOpacity(double value)
{
    opacity = value;
    if (!blendPainted)
        setWindowOpacity(value);
}

void MaskWidget::showEvent(QShowEvent* event)
{
    blendPainted = mainWidget && !windowSystemComposites();
    if (blendPainted) {
        // The overlay is opaque and shows the covered window itself, dimmed as the window
        // system would blend it. Widgets shown or hidden just before the dialog opened are laid
        // out first: the picture is the window as it looks once the dialog is up.
        layOutPendingChanges(mainWidget);
        backdrop = mainWidget->grab();
        setWindowOpacity(1.0);
    } else {
        backdrop = QPixmap();
        setWindowOpacity(opacity);
    }
    if (mainWidget) {
        setGeometry(mainWidget->geometry());
        // Stacked with the window it covers: window managers keep a window's transients (the
        // overlay, then the dialog) above it.
        QWindow* covered = mainWidget->window()->windowHandle();
        if (covered && windowHandle() && windowHandle()->transientParent() != covered)
            windowHandle()->setTransientParent(covered);
    }
    QWidget::showEvent(event);
}

void MaskWidget::hideEvent(QHideEvent* event)
{
    backdrop = QPixmap();
    QWidget::hideEvent(event);
}

void MaskWidget::paintEvent(QPaintEvent* event)
{
    if (!blendPainted) {
        QWidget::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.drawPixmap(rect(), backdrop);
    QColor dim = colour;
    dim.setAlphaF(opacity);
    painter.fillRect(rect(), dim);
}

bool MaskWidget::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::Show && type != QEvent::Hide && type != QEvent::WindowActivate)
        return QWidget::eventFilter(watched, event);
    if (watched == this || !watched->isWidgetType())
        return QWidget::eventFilter(watched, event);

    const QString name = watched->objectName();
    if (dialogNames.contains(name)) {
        auto* dialog = static_cast<QWidget*>(watched);
        if (type == QEvent::Show) {
            show();
            // Activation alone does not restack everywhere (no window manager, or one that
            // prevents focus stealing): raise the overlay over the window, the dialog over both.
            raise();
            activateWindow();
            dialog->raise();
            dialog->activateWindow();
        } else if (type == QEvent::Hide) {
            hide();
        }
    } else if (type == QEvent::WindowActivate && mainWidget && isVisible() &&
               name == mainWidget->objectName()) {
        activateWindow();
    }
    return QWidget::eventFilter(watched, event);
}
