#pragma once

// The dimming overlay: while one of the window's dialogs is open, a dark, half-transparent
// frameless window covers the main window. One overlay exists per process; it watches every
// object of the application and reacts to the dialogs it knows by object name.

#include <QColor>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class MaskWidget : public QWidget
{
    Q_OBJECT
public:
    // The overlay of this process, created on first use (thread-safe). It lives until the
    // application object is destroyed.
    static MaskWidget* instance();

    QWidget* coveredWidget() const { return mainWidget; }
    QStringList watchedDialogNames() const { return dialogNames; }

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

private:
    MaskWidget();
    static void destroyInstance();

    QPointer<QWidget> mainWidget;
    QStringList dialogNames;
};
