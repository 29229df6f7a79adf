#pragma once

// The dimming overlay: while one of the window's dialogs is open, a dark, half-transparent
// frameless window covers the main window. One overlay exists per process; it watches every
// object of the application and reacts to the dialogs it knows by object name.

#include <QColor>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>

class MaskWidget : public QWidget
{
    Q_OBJECT
public:
    // The overlay of this process, created on first use (thread-safe). It lives until the
    // application object is destroyed.
    static MaskWidget* instance();

    QWidget* coveredWidget() const { return mainWidget; }
    QStringList watchedDialogNames() const { return dialogNames; }
    // True while the overlay paints the dimmed window itself (no compositing window system).
    bool paintsBlend() const { return blendPainted; }

    // Whether the window system blends a translucent window over the ones below it. Without
    // compositing (plain X11) a window's opacity is ignored and the overlay would be a solid
    // block; it then paints a picture of the covered window dimmed instead. A set function
    // replaces the detection (a display the machine does not have); an empty one restores it.
    using CompositingSource = std::function<bool()>;
    static void setCompositingSource(CompositingSource source);
    static bool windowSystemComposites();

public slots:
    // The window the overlay covers (not owned).
    void setMainWidget(QWidget* mainWidget);
    // Object names of the dialogs that bring up the overlay; a list equal to the current one
    // leaves it unchanged.
    void setDialogNames(const QStringList& dialogNames);
    void setBgColor(const QColor& bgColor);
    void setOpacity(double opacity);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    MaskWidget();
    static void destroyInstance();

    QPointer<QWidget> mainWidget;
    QStringList dialogNames;
    QColor colour;
    double opacity;
    bool blendPainted = false;
    QPixmap backdrop; // the covered window as it was when the overlay came up
};
