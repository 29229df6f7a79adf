#include "titlebar.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPushButton>

namespace {

constexpr int kTitleBarHeight = 45;
constexpr int kButtonSize = 36;
constexpr int kSmallIconSize = 24;

const char* const kRestoreIconStyle =
    "QPushButton{border-image:url(:/qss/light/icon-normal.png)center no-repeat;}"
    "QPushButton:hover{border-image: url(:/qss/light/icon-normal-hover.png)center no-repeat;}"
    "QPushButton:pressed{border-image: url(:/qss/light/icon-normal-hover.png)center no-repeat;}";
const char* const kMaximizeIconStyle =
    "QPushButton{border-image:url(:/qss/light/icon-max.png)center no-repeat;}"
    "QPushButton:hover{border-image: url(:/qss/light/icon-max-hover.png)center no-repeat;}"
    "QPushButton:pressed{border-image: url(:/qss/light/icon-max-hover.png)center no-repeat;}";
const char* const kLanguageIconStyle = "QPushButton{icon-size:24;qproperty-icon:url(:/qss/light/%1);"
                                       "qproperty-iconSize:24px 24px;padding-top:0px;}";

QPushButton* makeButton(QWidget* parent, const char* objectName, int iconSize, const QString& name)
{
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setFixedSize(kButtonSize, kButtonSize);
    button->setFlat(true);
    button->setIconSize(QSize(iconSize, iconSize));
    button->setToolTip(name);
    button->setAccessibleName(name);
    return button;
}

} // namespace

titleBar::titleBar(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(kTitleBarHeight);
    btnMinimize = makeButton(this, "btnMinimize", kButtonSize, tr("Minimize"));
    btnMaximize = makeButton(this, "btnMaximize", kButtonSize, tr("Maximize"));
    btnCloseWindow = makeButton(this, "btnCloseWindow", kButtonSize, tr("Close"));
    btnModeLight = makeButton(this, "btnModeLight", kSmallIconSize, tr("Light or dark theme"));
    btnLanguage = makeButton(this, "btnLanguage", kSmallIconSize, tr("Language"));

    auto* layout = new QHBoxLayout(this);
    layout->setSpacing(0);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch();
    layout->addWidget(btnModeLight);
    layout->addWidget(btnLanguage);
    layout->addWidget(btnMinimize);
    layout->addWidget(btnMaximize);
    layout->addWidget(btnCloseWindow);

    connect(btnMinimize, SIGNAL(clicked(bool)), this, SLOT(onClicked()));
    connect(btnMaximize, SIGNAL(clicked(bool)), this, SLOT(onClicked()));
    connect(btnCloseWindow, SIGNAL(clicked(bool)), this, SLOT(onClicked()));

    // The language switch restarts the program; the button stays hidden.
    btnLanguage->hide();
}

void titleBar::setLanguageIcon(bool chinese)
{
    btnLanguage->setStyleSheet(
        QString::fromLatin1(kLanguageIconStyle)
            .arg(chinese ? QStringLiteral("icon-en.png") : QStringLiteral("icon-ch.png")));
}

void titleBar::setMaximizeIcon(bool maximized)
{
    btnMaximize->setStyleSheet(QString::fromLatin1(maximized ? kRestoreIconStyle : kMaximizeIconStyle));
    const QString name = maximized ? tr("Restore") : tr("Maximize");
    btnMaximize->setToolTip(name);
    btnMaximize->setAccessibleName(name);
}

void titleBar::onClicked()
{
    QWidget* target = window();
    if (!target->isWindow())
        return;
    QObject* button = sender();
    if (button == btnMinimize) {
        target->showMinimized();
    } else if (button == btnMaximize) {
        if (target->isMaximized())
            target->showNormal();
        else
            target->showMaximized();
        setMaximizeIcon(target->isMaximized());
    } else if (button == btnCloseWindow) {
        target->close();
    }
}

void titleBar::mouseDoubleClickEvent(QMouseEvent* event)
{
    QWidget::mouseDoubleClickEvent(event);
    emit btnMaximize->clicked(false);
}
