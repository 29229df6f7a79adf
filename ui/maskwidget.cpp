#include "maskwidget.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QScreen>
#include <QWindow>

#include <mutex>

namespace {

constexpr double kOverlayOpacity = 0.7;
const QColor kOverlayColor(44, 44, 44, 255);

std::mutex g_instanceLock; // guards g_instance
MaskWidget* g_instance = nullptr;

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

MaskWidget::MaskWidget() : QWidget(nullptr)
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
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QBrush(bgColor));
    setPalette(pal);
    setAutoFillBackground(true);
}

void MaskWidget::setOpacity(double opacity)
{
    setWindowOpacity(opacity);
}

void MaskWidget::showEvent(QShowEvent* event)
{
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
