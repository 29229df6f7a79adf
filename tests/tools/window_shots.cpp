// Pictures of the main window in named states, as a user sees them on the screen: the window runs
// on the virtual cameras in this process, is driven into each state through its widgets (the
// clicks a user makes) and, once it has settled, the whole screen is grabbed, so that message
// boxes and the dialog overlay are in the picture too. Not part of the installed product;
// scripts/screenshots.sh runs it under a private X server.
//
//   window_shots OUTDIR STATE...
//
// States: empty, two-cameras, video-page, color-page, tracking-off, tracking-auto, notice, dark,
// zh. Each state starts from a fresh window over the cameras of the configuration. zh needs
// LanguageCN=true in the settings file beside this program; the other states want it false.
//
// Environment: DECKCTL_VIRTUAL_CAMERA names the cameras' configuration (required: this tool never
// touches real cameras), DECKCTL_VIRTUAL_STATE and DECKCTL_VIRTUAL_JOURNAL as for the program.
// The settings file is read beside the executable, as the program reads its own, and never
// written: run a copy of this program from a directory of its own (the script does).
//
// Exit status: 0 when every state was reached and written; 1 when a state could not be reached
// or the preview column covers part of the control panel (its picture is still written, as it is
// what the window showed) or not written; 2 on a usage or
// set-up error. Warnings about what the window shows (an untranslated text, a theme that did not
// change) go to standard error without failing.

#include "app/catalogue.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/settings.h"
#include "app/startup.h"
#include "device/cameracontroltable.h"
#include "device/deviceplatform.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "ui/mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QTranslator>
#include <QtTest/QTest>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

// Time the window gets after the last action before the screen is grabbed: queued signals,
// single-shot timers of the window (100 ms, 500 ms) and the X server's drawing.
constexpr int kSettleMs = 900;
// How long the first preview picture may take (the test picture is generated in process).
constexpr int kPreviewTimeoutMs = 10000;
constexpr int kExposeTimeoutMs = 5000;

const QString kMessageBoxName = QStringLiteral("FormCustomizeMessagebox");

void warn(const QString& state, const QString& text)
{
    std::fprintf(stderr, "window_shots: %s: warning: %s\n", qPrintable(state), qPrintable(text));
}

// The log goes to the log file only; the debugger lines would otherwise end up in syslog.
void dropDebuggerLine(QtMsgType, const QString&) {}

class Shooter
{
public:
    Shooter(QString outDir, VirtualRig& rig)
        : m_outDir(std::move(outDir)), m_rig(rig), m_cameras(rig.cameras())
    {
    }

    // Drives a fresh window into state and writes <state>.png. Returns an empty string or what
    // went wrong.
    QString shoot(const QString& state);

private:
    using Driver = std::function<QString()>;
    Driver driverFor(const QString& state);

    template <class T> T* widget(const char* name) const
    {
        return m_window ? m_window->findChild<T*>(QLatin1String(name)) : nullptr;
    }
    QString openWindow();
    void closeWindow();
    QString grab(const QString& state);
    QString startPreview();
    QString selectTrackingMode(int mode);
    QString clickButton(const char* name);
    QString expectRows(bool trackOff, bool effect, bool speed);
    QString shootNotice(const QString& state);
    QString checkNoOverlap() const;
    QString expectWholeVideoPage() const;

    QString m_outDir;
    VirtualRig& m_rig;
    const QVector<VirtualCamera> m_cameras; // the configuration's cameras, restored per state
    std::unique_ptr<MainWindow> m_window;
};

QString Shooter::openWindow()
{
    closeWindow();
    CameraControlTable::instance().reset();
    // The pointer rests in the screen's corner, away from the window, so that no widget shows
    // its hover look by chance of where the pointer happens to be.
    QCursor::setPos(QGuiApplication::primaryScreen()->geometry().topLeft());
    m_window = std::make_unique<MainWindow>();
    m_window->show();
    m_window->activateWindow();
    if (!QTest::qWaitForWindowExposed(m_window.get(), kExposeTimeoutMs))
        return QStringLiteral("the window was not exposed");
    // Without a window manager activation is a request the server may ignore; the pictures do
    // not depend on it.
    static_cast<void>(QTest::qWaitForWindowActive(m_window.get(), 500));
    QTest::qWait(kSettleMs);
    return QString();
}

void Shooter::closeWindow()
{
    m_window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

QString Shooter::grab(const QString& state)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return QStringLiteral("no screen to grab");
    const QPixmap shot = screen->grabWindow(0);
    const QString path = QDir(m_outDir).filePath(state + QStringLiteral(".png"));
    if (shot.isNull() || !shot.save(path, "PNG"))
        return QStringLiteral("cannot write %1").arg(path);
    return QString();
}

QString Shooter::startPreview()
{
    auto* tips = widget<QLabel>("labelTips");
    auto* preview = widget<QLabel>("labPreview");
    if (!tips || !preview)
        return QStringLiteral("no preview area");
    if (tips->isHidden())
        return QStringLiteral("the start-preview icon is not shown");
    QTest::mouseClick(tips, Qt::LeftButton);
    QElapsedTimer waited;
    waited.start();
    while (preview->pixmap(Qt::ReturnByValue).isNull()) {
        if (waited.elapsed() > kPreviewTimeoutMs)
            return QStringLiteral("no preview picture within %1 ms").arg(kPreviewTimeoutMs);
        QTest::qWait(50);
    }
    return QString();
}

QString Shooter::selectTrackingMode(int mode)
{
    auto* list = widget<QComboBox>("comboBoxTrackMode");
    if (!list)
        return QStringLiteral("no tracking-mode list");
    const int row = list->findData(mode);
    if (row < 0)
        return QStringLiteral("no row for tracking mode %1").arg(mode);
    // What choosing a row does; the list's popup is not part of the picture.
    list->setCurrentIndex(row);
    return QString();
}

QString Shooter::clickButton(const char* name)
{
    auto* button = widget<QAbstractButton>(name);
    if (!button)
        return QStringLiteral("no button %1").arg(QLatin1String(name));
    if (!button->isVisible() || !button->isEnabled())
        return QStringLiteral("button %1 is not usable").arg(QLatin1String(name));
    QTest::mouseClick(button, Qt::LeftButton);
    return QString();
}

QString Shooter::expectRows(bool trackOff, bool effect, bool speed)
{
    const auto shown = [this](const char* name) {
        const QWidget* w = widget<QWidget>(name);
        return w && !w->isHidden();
    };
    QStringList wrong;
    if (shown("widgetTrackOff") != trackOff)
        wrong << QStringLiteral("widgetTrackOff");
    if (shown("comboBoxTrackEffect") != effect)
        wrong << QStringLiteral("effect row");
    if (shown("comboBoxTrackSpeend") != speed)
        wrong << QStringLiteral("speed row");
    if (wrong.isEmpty())
        return QString();
    return QStringLiteral("rows shown wrongly: %1").arg(wrong.join(QStringLiteral(", ")));
}

// The preview column and the control panel share the window's width: the column must take no
// more than the width left to it, or it covers part of the panel.
QString Shooter::checkNoOverlap() const
{
    const QWidget* panel = widget<QWidget>("widgetControlPanel");
    const QWidget* column = widget<QWidget>("widgetPreviewArea");
    if (!panel || !column)
        return QStringLiteral("no control panel or preview column");
    const QRect panelRect(panel->mapToGlobal(QPoint(0, 0)), panel->size());
    QList<const QWidget*> widgets{column};
    for (const QWidget* child : column->findChildren<QWidget*>())
        widgets << child;
    QStringList covering;
    for (const QWidget* other : widgets) {
        if (!other->isVisible())
            continue;
        const QRect overlap = panelRect.intersected(QRect(other->mapToGlobal(QPoint(0, 0)), other->size()));
        if (!overlap.isEmpty())
            covering << QStringLiteral("%1 (%2x%3 pixels)")
                            .arg(other->objectName())
                            .arg(overlap.width())
                            .arg(overlap.height());
    }
    if (covering.isEmpty())
        return QString();
    return QStringLiteral("the control panel is covered by %1 (window %2x%3)")
        .arg(covering.join(QStringLiteral(", ")))
        .arg(m_window->width())
        .arg(m_window->height());
}

// With every row of the Video page shown (tracking off), the last row is in view at the window's
// start size, without scrolling.
QString Shooter::expectWholeVideoPage() const
{
    const auto* area = widget<QScrollArea>("scrollAreaVideo");
    const QWidget* last = widget<QWidget>("widgetMirror");
    if (!area || !last)
        return QStringLiteral("no Video page");
    const QWidget* viewport = area->viewport();
    const QRect lastRect(last->mapTo(viewport, QPoint(0, 0)), last->size());
    if (!viewport->rect().contains(lastRect))
        return QStringLiteral("the Mirror row ends at %1, below the page's visible height %2")
            .arg(lastRect.bottom() + 1)
            .arg(viewport->height());
    return QString();
}

Shooter::Driver Shooter::driverFor(const QString& state)
{
    if (state == QLatin1String("empty")) {
        return [this] {
            auto* list = widget<QListWidget>("listWidgetCamera");
            return list && list->count() == 0 ? QString() : QStringLiteral("the camera list is not empty");
        };
    }
    if (state == QLatin1String("two-cameras")) {
        return [this] {
            auto* list = widget<QListWidget>("listWidgetCamera");
            if (!list || list->count() != 2)
                return QStringLiteral("the camera list does not hold two cameras");
            const auto* device = widget<QLabel>("labelDevice");
            if (!device || device->text().isEmpty())
                return QStringLiteral("no camera is shown as open");
            return startPreview();
        };
    }
    if (state == QLatin1String("video-page")) {
        return [this] {
            QString error = clickButton("btnColorControl");
            if (error.isEmpty())
                error = clickButton("btnVideoControl");
            return error;
        };
    }
    if (state == QLatin1String("color-page")) {
        return [this] {
            QString error = startPreview();
            return error.isEmpty() ? clickButton("btnColorControl") : error;
        };
    }
    if (state == QLatin1String("tracking-off")) {
        return [this] {
            // A query report already on its way when the mode was written may still show the
            // camera's previous mode once; choose again then.
            QString error;
            for (int attempt = 0; attempt < 3; ++attempt) {
                error = selectTrackingMode(0);
                if (!error.isEmpty())
                    break;
                QTest::qWait(kSettleMs);
                error = expectRows(true, false, false);
                if (error.isEmpty())
                    break;
            }
            if (error.isEmpty())
                error = expectWholeVideoPage();
            return error;
        };
    }
    if (state == QLatin1String("tracking-auto")) {
        return [this] {
            // From "Off", so that the rows are seen to come back (a camera starts in auto framing).
            QString error = selectTrackingMode(0);
            if (error.isEmpty()) {
                QTest::qWait(kSettleMs);
                error = selectTrackingMode(1);
            }
            if (error.isEmpty()) {
                QTest::qWait(kSettleMs);
                const auto* effect = widget<QComboBox>("comboBoxTrackEffect");
                // The speed row shows unless the effect is "Immediate" (0).
                error = expectRows(false, true, effect && effect->currentData().toInt() != 0);
            }
            return error;
        };
    }
    if (state == QLatin1String("dark")) {
        return [this] {
            const QString lightSheet = qApp->styleSheet();
            QString error = clickButton("btnModeLight");
            if (error.isEmpty())
                error = startPreview();
            if (error.isEmpty() && qApp->styleSheet() == lightSheet)
                warn(QStringLiteral("dark"), QStringLiteral("the style sheet did not change"));
            return error;
        };
    }
    if (state == QLatin1String("zh")) {
        return [this] {
            if (!languageCN)
                return QStringLiteral("the settings do not ask for Chinese (LanguageCN)");
            const auto* label = widget<QLabel>("labelMyDevices");
            if (label && label->text() == QLatin1String("MY DEVICES"))
                warn(QStringLiteral("zh"), QStringLiteral("\"MY DEVICES\" is not translated"));
            return QString();
        };
    }
    return nullptr;
}

// A refused setting: the camera refuses its next request and the user clicks Mirror. The
// window's message box is modal, so the picture is taken by a timer while the box is open, which
// then closes it as the user would.
QString Shooter::shootNotice(const QString& state)
{
    QString error = openWindow();
    if (error.isEmpty()) {
        // The query worker must not be the one that meets the refusal.
        m_window->stopQueryWorker();
        m_rig.modify([](QVector<VirtualCamera>& cameras) {
            for (VirtualCamera& camera : cameras)
                camera.faults().refuseNext = 1;
        });
    }
    bool grabbed = false;
    bool boxShown = false;
    QString grabError;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        QDialog* box = nullptr;
        for (QWidget* candidate : QApplication::topLevelWidgets()) {
            if (candidate->objectName() == kMessageBoxName && candidate->isVisible())
                box = qobject_cast<QDialog*>(candidate);
        }
        boxShown = box != nullptr;
        grabError = grab(state);
        grabbed = true;
        if (box)
            box->accept();
    });
    timer.start(kSettleMs);
    if (error.isEmpty())
        error = clickButton("btnMirror"); // returns once the box is closed
    while (!grabbed)
        QTest::qWait(20);
    closeWindow();
    if (error.isEmpty() && !boxShown)
        error = QStringLiteral("no message box was shown");
    return error.isEmpty() ? grabError : error;
}

QString Shooter::shoot(const QString& state)
{
    if (state != QLatin1String("zh") && languageCN)
        warn(state, QStringLiteral("the settings ask for Chinese (LanguageCN)"));
    // The configuration's cameras, or none for the empty window.
    const bool empty = state == QLatin1String("empty");
    m_rig.modify([this, empty](QVector<VirtualCamera>& cameras) {
        cameras = m_cameras;
        if (empty) {
            for (VirtualCamera& camera : cameras)
                camera.unplug();
        }
    });

    if (state == QLatin1String("notice"))
        return shootNotice(state);

    const Driver drive = driverFor(state);
    if (!drive)
        return QStringLiteral("unknown state");
    QString error = openWindow();
    if (error.isEmpty())
        error = drive();
    QTest::qWait(kSettleMs);
    if (error.isEmpty())
        error = checkNoOverlap();
    const QString grabError = grab(state);
    closeWindow();
    return error.isEmpty() ? grabError : error;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("deckctl"));
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: window_shots OUTDIR STATE...\n");
        return 2;
    }
    const QString outDir = arguments.first();
    if (!QDir().mkpath(outDir)) {
        std::fprintf(stderr, "window_shots: cannot create %s\n", qPrintable(outDir));
        return 2;
    }

    // As the program starts: language, font, icon, log, translation.
    languageCN = SettingsStore::application().languageCN();
    registerFontSubstitutions();
    QApplication::setFont(QFont(applicationFontFamily(languageCN), kApplicationFontPointSize));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/main.ico")));
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    setLogFilePath(ensureFilePath(names::kLogFilePath));
    setDebuggerSink(&dropDebuggerLine);
    qInstallMessageHandler(logMessageHandler);
    QTranslator translator;
    if (languageCN && loadTranslation(translator, QString()))
        QApplication::installTranslator(&translator);
    else if (languageCN)
        std::fprintf(stderr, "window_shots: no %s beside the program\n", qPrintable(kTranslationFileName));

    if (qEnvironmentVariableIsEmpty("DECKCTL_VIRTUAL_CAMERA")) {
        std::fprintf(stderr, "window_shots: DECKCTL_VIRTUAL_CAMERA must name the virtual cameras\n");
        return 2;
    }
    QString error;
    if (!installVirtualPlatformIfRequested(&error)) {
        std::fprintf(stderr, "window_shots: %s\n", qPrintable(error));
        return 2;
    }
    auto* platform = dynamic_cast<VirtualPlatform*>(&devicePlatform());
    if (!platform) {
        std::fprintf(stderr, "window_shots: the virtual cameras were not installed\n");
        return 2;
    }

    int status = 0;
    {
        Shooter shooter(outDir, platform->rig());
        for (const QString& state : arguments.mid(1)) {
            const QString failure = shooter.shoot(state);
            if (failure.isEmpty()) {
                std::printf("%s: written\n", qPrintable(state));
            } else {
                std::fprintf(stderr, "window_shots: %s: %s\n", qPrintable(state), qPrintable(failure));
                status = 1;
            }
            std::fflush(stdout);
        }
    }
    installDevicePlatform(nullptr);
    return status;
}
