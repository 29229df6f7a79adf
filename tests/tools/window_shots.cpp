// Pictures of the main window in named states, as a user sees them on the screen: the window runs
// on the virtual cameras in this process, is driven into each state through its widgets (the
// clicks a user makes) and, once it has settled, the whole screen is grabbed, so that message
// boxes and the dialog overlay are in the picture too. Not part of the installed product;
// scripts/screenshots.sh runs it under a private X server.
//
//   window_shots OUTDIR STATE...
//
// States: empty, two-cameras, video-page, color-page, tracking-off, tracking-auto, notice, dark,
// zh, and the Support page's states support, upgrade-ready, upgrading, upgrade-done,
// recovery-prompt and factory-reset-confirm. Each state starts from a fresh window over the cameras
// of the configuration. The Support page's states are taken in both themes: <state>.png in the
// light one, <state>-dark.png in the dark one. zh needs LanguageCN=true in the settings file beside
// this program; the other states want it false.
//
// The upgrade states run a real upgrade of the first camera (model 7, "QB18") with a package this
// tool writes; the package dialog is answered by the tool as the user would choose that file.
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
#include "tests/support/packagebuilder.h"
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
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QSet>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextEdit>
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
const QString kUpgradeDialogName = QStringLiteral("FormUpgrade");
const QString kAbnormalDialogName = QStringLiteral("FormAbnormal");

// The Support page's states, each taken in the light and in the dark theme.
const QStringList kThemedStates = {
    QStringLiteral("support"),         QStringLiteral("upgrade-ready"),
    QStringLiteral("upgrading"),       QStringLiteral("upgrade-done"),
    QStringLiteral("recovery-prompt"), QStringLiteral("factory-reset-confirm"),
};
const QString kDarkSuffix = QStringLiteral("-dark");

// An upgrade of the virtual camera ends within this time (its boot stages restart at once).
constexpr int kUpgradeTimeoutMs = 120000;
// The running upgrade is taken once the animation has reached this value: a bar that shows. Its
// restarts take this long then, so that the run lasts that long.
constexpr int kUpgradingShownProgress = 4;
constexpr int kUpgradingRestartMs = 4000;
// The recovery dialog comes up within this time after the stuck camera is plugged in (the watcher
// looks once a second).
constexpr int kRecoveryTimeoutMs = 10000;
constexpr int kDialogTimeoutMs = 15000;

void warn(const QString& state, const QString& text)
{
    std::fprintf(stderr, "window_shots: %s: warning: %s\n", qPrintable(state), qPrintable(text));
}

// The log goes to the log file only; the debugger lines would otherwise end up in syslog.
void dropDebuggerLine(QtMsgType, const QString&) {}

// The text a dialog of the window shows (message box, upgrade consent or recovery prompt).
QString dialogText(const QWidget* dialog)
{
    if (const auto* label = dialog->findChild<QLabel*>(QStringLiteral("labeltext")))
        return label->text();
    if (const auto* edit = dialog->findChild<QTextEdit*>(QStringLiteral("textEditPrompt")))
        return edit->toPlainText();
    if (const auto* prompt = dialog->findChild<QLabel*>(QStringLiteral("labelPrompt")))
        return prompt->text();
    return QString();
}

// One dialog a state expects the window to open: once it has settled, the screen is grabbed (when
// a picture is named) and the dialog is answered with its button, as the user would.
struct DialogStep
{
    QString dialog;  // object name
    QString text;    // a part of its text that tells it from other dialogs of its class
    QString picture; // the picture to take of it; empty: none
    QString button;  // the button that answers it
    std::function<void()> beforeAnswer = nullptr;
};

// Plays the user for the window's dialogs, which run modal loops of their own: a timer looks for
// the next expected dialog, takes its picture and clicks its button. A dialog of the window that
// was not expected (an upgrade that failed, a refused package) is answered with OK and named as
// the error: its picture would not show the state.
class DialogPlayer
{
    static constexpr const char* kAnsweredProperty = "windowShotsAnswered";

public:
    using Grab = std::function<QString(const QString&)>;
    explicit DialogPlayer(Grab grab) : m_grab(std::move(grab))
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }
    void expect(const DialogStep& step) { m_steps.append(step); }
    bool finished() const { return m_steps.isEmpty() && !m_busy; }
    QString error() const { return m_error; }
    // Waits until every expected dialog was answered; an error when one did not come in time.
    QString wait(int timeoutMs)
    {
        if (!QTest::qWaitFor([this] { return finished() || !m_error.isEmpty(); }, timeoutMs) &&
            m_error.isEmpty())
            m_error = QStringLiteral("no %1 (\"%2\") within %3 ms")
                          .arg(m_steps.first().dialog, m_steps.first().text)
                          .arg(timeoutMs);
        // The last click returns through the dialog's loop.
        QTest::qWait(50);
        return m_error;
    }

private:
    void poll()
    {
        if (m_busy)
            return;
        for (QWidget* candidate : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(candidate);
            if (!dialog || !dialog->isVisible() || dialog->property(kAnsweredProperty).toBool())
                continue;
            const QString text = dialogText(dialog);
            const bool expected = !m_steps.isEmpty() && dialog->objectName() == m_steps.first().dialog &&
                                  text.contains(m_steps.first().text);
            if (!m_seen.isValid() || m_seenDialog != dialog) {
                m_seenDialog = dialog;
                m_seen.start();
            }
            if (m_seen.elapsed() < kSettleMs)
                return;
            m_busy = true;
            DialogStep step;
            if (expected) {
                step = m_steps.takeFirst();
            } else {
                if (m_error.isEmpty())
                    m_error =
                        QStringLiteral("unexpected %1: %2").arg(dialog->objectName(), text.simplified());
                step.button = QStringLiteral("btnOK");
            }
            if (!step.picture.isEmpty()) {
                const QString grabError = m_grab(step.picture);
                if (!grabError.isEmpty() && m_error.isEmpty())
                    m_error = grabError;
            }
            if (step.beforeAnswer)
                step.beforeAnswer();
            // Marked on the dialog itself: a later dialog may be built at the same address.
            dialog->setProperty(kAnsweredProperty, true);
            QPointer<QAbstractButton> button = dialog->findChild<QAbstractButton*>(step.button);
            QPointer<QDialog> target = dialog;
            // Clicked from the event loop, not from this timer's call: the click may open the next
            // dialog, whose loop would otherwise run inside it.
            QTimer::singleShot(0, &m_timer, [this, button, target] {
                m_busy = false;
                if (button && button->isVisible())
                    QTest::mouseClick(button, Qt::LeftButton);
                else if (target)
                    target->reject();
            });
            return;
        }
    }

    Grab m_grab;
    QTimer m_timer;
    QVector<DialogStep> m_steps;
    QPointer<QDialog> m_seenDialog;
    QElapsedTimer m_seen;
    bool m_busy = false;
    QString m_error;
};

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
    // The upgrading run also takes the upgrade-done pictures at its end (one upgrade less).
    void takeDoneWithUpgrading(bool take) { m_doneWithUpgrading = take; }

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

    // The Support page's states: picture is the file's name, state or state-dark.
    QString shootThemed(const QString& state, bool dark);
    QString driveThemed(const QString& state, const QString& picture);
    QString openSupportPage();
    QString showAudioVersion();
    QString shootUpgrade(const QString& state, const QString& picture);
    QString shootRecoveryPrompt(const QString& picture);
    // The package the upgrade states choose: for the first camera, written once.
    QString package();

    QString m_outDir;
    VirtualRig& m_rig;
    const QVector<VirtualCamera> m_cameras; // the configuration's cameras, restored per state
    std::unique_ptr<MainWindow> m_window;
    QTemporaryDir m_packageDir;
    QString m_package;
    bool m_doneWithUpgrading = false;
    QSet<QString> m_written; // pictures written so far
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
    m_written.insert(state);
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

// ---- the Support page's states ---------------------------------------------------------------

QString Shooter::package()
{
    if (!m_package.isEmpty())
        return m_package;
    if (!m_packageDir.isValid())
        return QString();
    // A complete package for the QB18 (model index 7): its image names the model, and its
    // scripts are ones the virtual camera's boot stages run.
    QByteArray image(4096, 'u');
    const QByteArray marker("QB18");
    image.replace(1000, marker.size(), marker);
    const QVector<QPair<QString, QByteArray>> files = {
        {QStringLiteral("auto_update.txt"), "tftp 0x21000000 kernel\nsaveenv\nreset\n"},
        {QStringLiteral("scripts/[[kernel.es"), "tftp 0x21000000 kernel\n"},
        {QStringLiteral("kernel"), QByteArray(3000, 'k')},
        {QStringLiteral("miservice.ubifs"), image},
        {QStringLiteral("u-boot.bin"), QByteArray(2000, 'b')},
        {QStringLiteral("usb_updater.bin"), QByteArray(1500, 'p')},
        {QStringLiteral("xmos.dfu"), QByteArray(100, 'x')},
        {QStringLiteral("images/auto_update.txt"), "tftp 0x22000000 chip.img\nsaveenv\nreset\n"},
        {QStringLiteral("images/chip.img"), QByteArray(1000, 'c')},
    };
    QVector<ZipTestEntry> entries;
    for (const auto& file : files)
        entries.append({file.first, file.second, 0100644, false, true});
    const QString path = m_packageDir.filePath(QStringLiteral("QB18-firmware.zip"));
    if (writeStoredZip(path, entries))
        m_package = path;
    return m_package;
}

QString Shooter::openSupportPage()
{
    QString error = clickButton("btnNavSupport");
    if (!error.isEmpty())
        return error;
    const auto* pages = widget<QStackedWidget>("stackedWidgetMain");
    const auto* version = widget<QLabel>("labelDevVer");
    if (!pages || !version)
        return QStringLiteral("no Support page");
    if (!QTest::qWaitFor([&] { return pages->currentIndex() == 1 && !version->text().isEmpty(); },
                         kExposeTimeoutMs))
        return QStringLiteral("the Support page shows no firmware version");
    return QString();
}

// The audio version is shown in a pop-up beside the pointer, as a click on the info button shows it.
QString Shooter::showAudioVersion()
{
    auto* button = widget<QAbstractButton>("btnAudioVersionPrompt");
    if (!button || !button->isVisible())
        return QStringLiteral("no audio-version button");
    const QPoint centre = button->rect().center();
    QCursor::setPos(button->mapToGlobal(centre));
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, centre);
    const QWidget* prompt = widget<QWidget>("FormPrompt");
    if (!prompt || !prompt->isVisible())
        return QStringLiteral("the audio-version pop-up is not shown");
    const auto* content = prompt->findChild<QTextEdit*>(QStringLiteral("textEditContent"));
    if (!content || !content->toPlainText().contains(QLatin1Char('V')))
        return QStringLiteral("the audio-version pop-up shows no version");
    return QString();
}

// A run of the upgrade from the Support page: the package is chosen, FormUpgrade asks (the
// upgrade-ready picture, then cancelled), or is accepted and the run is taken while the bar moves
// (upgrading) or at its result box (upgrade-done). The run always goes to its end: the window
// cannot close while it runs.
QString Shooter::shootUpgrade(const QString& state, const QString& picture)
{
    QString error = openSupportPage();
    const QString file = package();
    if (error.isEmpty() && file.isEmpty())
        error = QStringLiteral("cannot write the package");
    if (!error.isEmpty())
        return error;
    m_window->chooseUpgradeFile = [file](QWidget*, const QString&, const QString&) { return file; };
    DialogPlayer player([this](const QString& name) { return grab(name); });
    const QString ready = QStringLiteral("Get Ready to Upgrade.");
    if (state == QLatin1String("upgrade-ready")) {
        player.expect({kUpgradeDialogName, ready, picture, QStringLiteral("btnCancel")});
        error = clickButton("btnUpgrade");
        const QString playerError = player.wait(kDialogTimeoutMs);
        return error.isEmpty() ? playerError : error;
    }
    const bool done = state == QLatin1String("upgrade-done");
    if (!done) {
        // A camera takes seconds to restart into its loader and between its boot stages; the
        // virtual one does it at once unless told otherwise, and the run would be over before
        // its bar moved.
        m_rig.modify([](QVector<VirtualCamera>& cameras) {
            cameras.first().loader().faults().returnDelayMs = kUpgradingRestartMs;
        });
    }
    player.expect({kUpgradeDialogName, ready, QString(), QStringLiteral("btnOK")});
    QString donePicture;
    if (done)
        donePicture = picture;
    else if (m_doneWithUpgrading)
        donePicture = QString(picture).replace(QLatin1String("upgrading"), QLatin1String("upgrade-done"));
    player.expect(
        {kMessageBoxName, QStringLiteral("Upgrade is done!"), donePicture, QStringLiteral("btnOK")});
    error = clickButton("btnUpgrade"); // returns once the upgrade has started
    const auto* bar = widget<QProgressBar>("progressBarUpdate");
    if (error.isEmpty() && !bar)
        error = QStringLiteral("no progress bar");
    if (error.isEmpty() && !done) {
        const bool shown = QTest::qWaitFor(
            [&] {
                return (bar->isVisible() && bar->value() >= kUpgradingShownProgress) || player.finished() ||
                       !player.error().isEmpty();
            },
            kUpgradeTimeoutMs);
        if (!player.error().isEmpty())
            error = player.error();
        else if (!shown || player.finished())
            error =
                QStringLiteral("the upgrade ended before its bar reached %1").arg(kUpgradingShownProgress);
        else
            error = grab(picture);
    }
    const QString playerError = player.wait(kUpgradeTimeoutMs);
    if (error.isEmpty())
        error = playerError;
    // The running state ends once the result box is closed.
    if (bar && !QTest::qWaitFor([bar] { return bar->isHidden(); }, kDialogTimeoutMs) && error.isEmpty())
        error = QStringLiteral("the bar is still shown after the upgrade");
    return error;
}

// A camera that an interrupted upgrade left in the boot ROM is plugged in: the window's watcher
// finds it and offers its repair. The only device is that camera, so the window behind lists none.
QString Shooter::shootRecoveryPrompt(const QString& picture)
{
    QString plugError;
    const int stuck = m_rig.plug(
        QJsonObject{{QStringLiteral("model"), 7}, {QStringLiteral("stage"), QStringLiteral("rom")}},
        &plugError);
    if (stuck < 0)
        return QStringLiteral("cannot plug the stuck camera: %1").arg(plugError);
    DialogPlayer player([this](const QString& name) { return grab(name); });
    // Declined, and unplugged before, so that no further report comes.
    player.expect({kAbnormalDialogName, QStringLiteral("Unknown Exception Detected"), picture,
                   QStringLiteral("btnCancel"), [this, stuck] {
                       QString ignored;
                       m_rig.unplug(stuck, &ignored);
                   }});
    return player.wait(kRecoveryTimeoutMs);
}

QString Shooter::driveThemed(const QString& state, const QString& picture)
{
    if (state == QLatin1String("support")) {
        QString error = openSupportPage();
        if (error.isEmpty())
            error = showAudioVersion();
        QTest::qWait(kSettleMs);
        const QString grabError = grab(picture);
        return error.isEmpty() ? grabError : error;
    }
    if (state == QLatin1String("factory-reset-confirm")) {
        QString error = openSupportPage();
        if (!error.isEmpty())
            return error;
        DialogPlayer player([this](const QString& name) { return grab(name); });
        player.expect({kMessageBoxName, QStringLiteral("Restore Factory Defaults"), picture,
                       QStringLiteral("btnCancel")});
        error = clickButton("btnRestoreDefaults"); // returns once the box is closed
        const QString playerError = player.wait(kDialogTimeoutMs);
        return error.isEmpty() ? playerError : error;
    }
    if (state == QLatin1String("recovery-prompt"))
        return shootRecoveryPrompt(picture);
    return shootUpgrade(state, picture);
}

QString Shooter::shootThemed(const QString& state, bool dark)
{
    const QString picture = dark ? state + kDarkSuffix : state;
    const bool stuckOnly = state == QLatin1String("recovery-prompt");
    m_rig.modify([this, stuckOnly](QVector<VirtualCamera>& cameras) {
        cameras = m_cameras;
        if (stuckOnly) {
            for (VirtualCamera& camera : cameras)
                camera.unplug();
        }
    });
    QString error = openWindow();
    if (error.isEmpty() && dark) {
        const QString lightSheet = qApp->styleSheet();
        error = clickButton("btnModeLight");
        if (error.isEmpty() && qApp->styleSheet() == lightSheet)
            warn(picture, QStringLiteral("the style sheet did not change"));
    }
    if (error.isEmpty())
        error = driveThemed(state, picture);
    closeWindow();
    return error.isEmpty() ? error : QStringLiteral("%1: %2").arg(picture, error);
}

QString Shooter::shoot(const QString& state)
{
    if (state != QLatin1String("zh") && languageCN)
        warn(state, QStringLiteral("the settings ask for Chinese (LanguageCN)"));
    if (state == QLatin1String("upgrade-done") && m_written.contains(state) &&
        m_written.contains(state + kDarkSuffix))
        return QString(); // taken at the end of the upgrading run
    if (kThemedStates.contains(state)) {
        const QString light = shootThemed(state, false);
        const QString dark = shootThemed(state, true);
        return light.isEmpty() ? dark : dark.isEmpty() ? light : light + QStringLiteral("; ") + dark;
    }
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
        const QStringList states = arguments.mid(1);
        shooter.takeDoneWithUpgrading(states.contains(QLatin1String("upgrading")) &&
                                      states.contains(QLatin1String("upgrade-done")));
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
