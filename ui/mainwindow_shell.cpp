// The window shell: frameless window (border, dragging), initial size, theme, language switch,
// closing and the saved window settings.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/globals.h"
#include "app/logcategories.h"
#include "app/settings.h"
#include "app/startup.h"
#include "device/cameracontroltable.h"
#include "ui/dialogshape.h"
#include "ui/formcustomizemessagebox.h"
#include "ui/framelessframe.h"
#include "ui/maskwidget.h"
#include "ui/theme.h"
#include "ui/titlebar.h"
#include "ui/windowsizing.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QListWidgetItem>
#include <QMouseEvent>
#include <QMovie>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

// The dialogs that bring up the overlay, by object name.
const QStringList kOverlayDialogs = {QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                                     QStringLiteral("FormCustomizeMessagebox")};

// A maximized window dragged by hand is restored once more than this many moves were seen.
constexpr int kRestoreAfterMoves = 14;

constexpr int kRestartDelayMs = 1000;
const QSize kLanguageBoxSize(450, 180);
constexpr int kMessageMode = 0;      // OK only
constexpr int kConfirmationMode = 1; // OK and Cancel

const char* const kUpgradeRunningText =
    QT_TRANSLATE_NOOP("MainWindow", "Cannot exit during the upgrade process!");
const char* const kLanguageRestartText =
    QT_TRANSLATE_NOOP("MainWindow", "Kestrelix Orbi needs to restart to switch the default language.");

} // namespace

void MainWindow::setUpShell()
{
    ui->widgetTitlebar->setLanguageIcon(languageCN);
    ui->widgetTitlebar->setMaximizeIcon(false);
    // btnModeLight and btnLanguage reach on_btnModeLight_clicked() and on_btnLanguage_clicked()
    // by their object names (the form connects slots by name through the title bar too).

    m_frame = new FramelessFrame(this);
    m_baseMargins = contentsMargins();

    WindowSizing::apply(this, ScreenMetrics::current(this), true, !m_mousePressed);

    MaskWidget* overlay = MaskWidget::instance();
    overlay->setMainWidget(this);
    overlay->setDialogNames(kOverlayDialogs);

    // A change of any screen's resolution sizes the window again; one screen left after a
    // screen went away brings it to the middle of the desktop.
    const auto screens = QGuiApplication::screens();
    for (QScreen* screen : screens)
        watchScreen(screen);
    connect(qApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
        watchScreen(screen);
        slotScreenCountChanged(QGuiApplication::screens().size());
    });
    connect(qApp, &QGuiApplication::screenRemoved, this, [this](QScreen* screen) {
        // The removed screen is still listed while this signal is delivered.
        int count = QGuiApplication::screens().size();
        if (QGuiApplication::screens().contains(screen))
            --count;
        slotScreenCountChanged(count);
    });
}

void MainWindow::setUpKeyboardFocus()
{
    // A click on a button acts without moving the focus to it, so no focus mark stays on a
    // button the mouse used; Tab still reaches every button and marks it.
    const auto buttons = findChildren<QAbstractButton*>();
    for (QAbstractButton* button : buttons) {
        if (button->focusPolicy() == Qt::StrongFocus)
            button->setFocusPolicy(Qt::TabFocus);
    }

    // The title bar's buttons (minimize, close...) go to the end of the tab chain: the first
    // Tab stops are the window's content, and Space on a start focus does nothing drastic.
    QWidget* last = nullptr;
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (!ui->widgetTitlebar->isAncestorOf(w))
            last = w;
    }
    QList<QWidget*> titleWidgets;
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (ui->widgetTitlebar->isAncestorOf(w))
            titleWidgets << w;
    }
    for (QWidget* w : titleWidgets) {
        if (last)
            setTabOrder(last, w);
        last = w;
    }
    ui->listWidgetCamera->setFocus(Qt::OtherFocusReason);
}

void MainWindow::watchScreen(QScreen* screen)
{
    connect(screen, &QScreen::geometryChanged, this, &MainWindow::slotResolutionChange);
}

int MainWindow::screenIndex() const
{
    return QGuiApplication::screens().indexOf(screen());
}

void MainWindow::dismissPrompt()
{
    if (m_prompt) {
        m_prompt->close();
        delete m_prompt;
    }
}

void MainWindow::showUpgradeRunning()
{
    FormCustomizeMessagebox box(tr(kUpgradeRunningText), kMessageMode, false, this);
    centreOver(&box, this);
    box.exec();
}

// ---- size -----------------------------------------------------------------------------------

void MainWindow::slotResolutionChange()
{
    WindowSizing::apply(this, ScreenMetrics::current(this), false, !m_mousePressed);
}

void MainWindow::slotScreenCountChanged(int count)
{
    if (count == 1)
        WindowSizing::applySingleScreen(this, ScreenMetrics::current(this));
}

// ---- theme ----------------------------------------------------------------------------------

void MainWindow::on_btnModeLight_clicked()
{
    dismissPrompt();
    m_darkOn = !m_darkOn;
    setTheme(m_darkOn ? theme::kDark : theme::kLight);
}

void MainWindow::changeStyle(const QString& path)
{
    StyleSheetApplier::apply(path);
}

void MainWindow::setTheme(int index)
{
    const ThemeResources& resources = theme::resources(index);

    // 1. Link colour, loading animation, style sheet.
    m_linkColour = resources.linkColour;
    QMovie* movie = index == theme::kLight ? m_loadingLight : m_loadingDark;
    QMovie* shown = ui->labelloading->movie();
    if (movie && movie != shown) {
        const bool running = shown && shown->state() == QMovie::Running;
        ui->labelloading->setMovie(movie);
        if (running) {
            shown->stop();
            movie->start();
        }
    }
    changeStyle(resources.styleSheet);
    setSupportLinks(m_linkColour);

    // 2. The index.
    m_styleIndex = index;

    // 3. The camera list: every item but the current one shows the theme's icon.
    QListWidget* list = ui->listWidgetCamera;
    const QIcon listIcon(resources.listIcon);
    for (int i = 0; i < list->count(); ++i) {
        qCDebug(lcUi) << "Item-i:" << i;
        QListWidgetItem* item = list->item(i);
        if (item != list->currentItem())
            item->setIcon(listIcon);
    }

    // 4. The pan/tilt arrows.
    if (m_cameraOpen) {
        const CameraControlTable& table = CameraControlTable::instance();
        updatePanArrows(table.get(CameraControl::Pan).current);
        updateTiltArrows(table.get(CameraControl::Tilt).current);
    } else {
        const std::pair<QPushButton*, const char*> arrows[] = {
            {ui->btnCameraUp, "up"},
            {ui->btnCameraDown, "down"},
            {ui->btnCameraLeft, "left"},
            {ui->btnCameraRight, "right"},
        };
        for (const auto& arrow : arrows)
            arrow.first->setStyleSheet(
                theme::arrowStyle(theme::disabledArrow(index, QString::fromLatin1(arrow.second))));
    }
}

// ---- language -------------------------------------------------------------------------------

void MainWindow::on_btnLanguage_clicked()
{
    qCInfo(lcUi) << "Switch Language";
    if (m_upgrading) {
        showUpgradeRunning();
        return;
    }
    FormCustomizeMessagebox box(tr(kLanguageRestartText), kConfirmationMode, false, this);
    box.setFixedSize(kLanguageBoxSize);
    centreOver(&box, this);
    if (box.exec() != QDialog::Accepted)
        return;

    languageCN = !languageCN;
    qCInfo(lcUi) << "Switch Language" << languageCN;
    SettingsStore::application().setValues({
        {settings_keys::kStyleIndex, QString::number(m_styleIndex)},
        {settings_keys::kLanguageCN, languageCN},
    });
    QTimer::singleShot(kRestartDelayMs, this, &MainWindow::slotRestartApp);
}

void MainWindow::slotRestartApp()
{
    QApplication::exit(RestartExitCode);
}

// ---- closing --------------------------------------------------------------------------------

void MainWindow::saveWindowSettings()
{
    const QRect frame = frameGeometry();
    SettingsStore::application().setValues({
        {settings_keys::kWindowLeft, QString::number(frame.x())},
        {settings_keys::kWindowTop, QString::number(frame.y())},
        {settings_keys::kWindowWidth, QString::number(frame.width())},
        {settings_keys::kWindowHeight, QString::number(frame.height())},
        {settings_keys::kStyleIndex, QString::number(m_styleIndex)},
        {settings_keys::kLanguageCN, languageCN},
    });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_upgrading) {
        event->ignore();
        showUpgradeRunning();
        return;
    }
    ui->widgetTitlebar->btnMinimize->click();
    saveWindowSettings();
    closeCamera();
    event->accept();
}

// ---- frameless window -----------------------------------------------------------------------

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Maximized or restored by the window system (keyboard, its own menu): the button follows.
    if (event->type() == QEvent::WindowStateChange)
        ui->widgetTitlebar->setMaximizeIcon(isMaximized());
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    if (!m_mousePressed)
        m_pressSize = size();
    dismissPrompt();
    m_mousePressed = event->button() == Qt::LeftButton;
    qCDebug(lcUi) << "mousePressEvent::m_mousePressed->" << m_mousePressed;
    m_dragOffset = event->globalPos() - pos();
    m_pressScreen = screenIndex();
    m_screenChanged = false;
    m_systemMoveTried = false;
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_mousePressed) {
        QMainWindow::mouseMoveEvent(event);
        return;
    }
    // The window system moves the window where it can (it also snaps, and on Wayland nothing
    // else may move a window); the press stays a click until the pointer moves. A maximized
    // window is restored by the rules below first: not every window manager moves one.
    if (!m_systemMoveTried && !isMaximized()) {
        m_systemMoveTried = true;
        const bool systemMove = m_frame->startSystemMove();
        qCDebug(lcUi) << "window moved by the window system:" << systemMove;
        if (systemMove) {
            m_mousePressed = false;
            return;
        }
    }

    const int screen = screenIndex();
    if (screen != m_pressScreen) {
        m_screenChanged = true;
        m_pressScreen = screen;
    }
    if (isMaximized()) {
        ++m_PressedCount;
        qCDebug(lcUi) << "mouseMoveEvent::m_PressedCount->" << m_PressedCount;
        if (m_PressedCount > kRestoreAfterMoves) {
            ui->widgetTitlebar->setMaximizeIcon(false);
            const QRect restored = FramelessFrame::restoredUnderCursor(normalGeometry(), width(),
                                                                       event->globalPos(), m_dragOffset);
            showNormal();
            setGeometry(restored);
            m_pressSize = restored.size();
            m_systemMoveTried = false; // the window system may take the rest of the drag
        }
    } else {
        move(event->globalPos() - m_dragOffset);
    }
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event)
{
    m_mousePressed = false;
    if (m_screenChanged) {
        if (const QScreen* now = screen())
            resize(m_pressSize.boundedTo(now->availableSize()));
    }
    QMainWindow::mouseReleaseEvent(event);
}
