#pragma once

// The window's own title bar (the window has no system frame): theme, language (kept hidden),
// minimize, maximize/restore and close. It stands in the form as the promoted widget
// "widgetTitlebar"; the main window reaches btnModeLight and btnLanguage by their object names.

#include <QWidget>

class QPushButton;

class titleBar : public QWidget
{
    Q_OBJECT
public:
    explicit titleBar(QWidget* parent = nullptr);

    // true: the button offers English (the interface is Chinese); false: it offers Chinese.
    void setLanguageIcon(bool chinese);
    // true: the window is maximized and the button offers to restore it.
    void setMaximizeIcon(bool maximized);

    QPushButton* btnMinimize;
    QPushButton* btnMaximize;
    QPushButton* btnCloseWindow;
    QPushButton* btnModeLight;
    QPushButton* btnLanguage;

public slots:
    // Minimize, maximize/restore or close the window, by the button that sent the click.
    void onClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
