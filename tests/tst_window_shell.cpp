// The window shell: message box, overlay, initial size, frameless behaviour, theme, language
// switch and closing.

#include "app/globals.h"
#include "app/settings.h"
#include "app/startup.h"
#include "tests/support/logcapture.h"
#include "tests/support/windowfixture.h"
#include "ui/formcustomizemessagebox.h"
#include "ui/framelessframe.h"
#include "ui/mainwindow.h"
#include "ui/maskwidget.h"
#include "ui/theme.h"
#include "ui/windowsizing.h"

#include <QAbstractButton>
#include <QtTest>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QListWidget>
#include <QMovie>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

namespace {

const QString kLightSheet = QStringLiteral("QPalette{background:#F5F5F5;}*{outline:0px;color:#D7E2E9;}");
const QString kDarkSheet = QStringLiteral("QPalette{background:#1e1e1f;}*{outline:0px;color:#D7E2E9;}");

// Writes text as a UTF-8 style sheet file with a byte-order mark.
QString writeSheet(const QTemporaryDir& dir, const QString& name, const QString& text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("\xEF\xBB\xBF" + text.toUtf8());
    return path;
}

ScreenMetrics singleScreen(int w, int h, qreal ratio)
{
    ScreenMetrics metrics;
    metrics.logical = QSize(w, h);
    metrics.devicePixelRatio = ratio;
    metrics.primary = QRect(0, 0, w, h);
    metrics.windowScreen = metrics.primary;
    metrics.screens = {metrics.primary};
    metrics.cursor = QPoint(w / 3, h / 3);
    metrics.desktop = QSize(w, h);
    return metrics;
}

const QByteArray kNoCamera = R"({"cameras": []})";
const QByteArray kTwoCameras = R"({"cameras": [
    {"model": 7, "name": "PX QB18", "port": "1-1"},
    {"model": 4, "name": "PX QB17-000", "port": "1-2"}]})";

bool hasKey(const QString& settingsPath, const QString& key)
{
    return QSettings(settingsPath, QSettings::IniFormat).contains(key);
}

// Runs action on the next modal dialog that opens (within timeoutMs), after recording the
// text of its "labeltext".
void onNextModal(QString* text, std::function<void(QDialog*)> action, int timeoutMs = 5000)
{
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog && clock->elapsed() < timeoutMs)
            return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (!dialog)
            return;
        if (auto* label = dialog->findChild<QLabel*>(QStringLiteral("labeltext")))
            *text = label->text();
        action(dialog);
    });
    poll->start(10);
}

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(QSize(24, 24)).toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class TstWindowShell : public QObject
{
    Q_OBJECT
private slots:
    void messageBoxButtonsByMode_data();
    void messageBoxButtonsByMode();
    void messageBoxCountdownAccepts();
    void messageBoxCountdownRunsOnItsTimer();
    void messageBoxCancelRejects();
    void overlayFollowsWatchedDialogs();

    void initialSizeByScreen_data();
    void initialSizeByScreen();
    void initialSizeCentresOnCursorScreen();
    void initialSizeLogsWhatItMeasured();
    void resolutionChangeKeepsMinimum();
    void singleScreenLeft();

    void borderEdges_data();
    void borderEdges();
    void borderResizesByHandWithoutWindowSystem();
    void restoredUnderCursorScalesOffset();

    void styleSheetAppliedOnce();

    void windowIsFramelessAndSizedByScreen();
    void windowSizedAgainOnResolutionChange();
    void keyboardFocusStartsOnTheCameraList();
    void clickedButtonsTakeNoFocus_data();
    void clickedButtonsTakeNoFocus();
    void messageBoxTextAsLargeAsTheWindows();
    void windowDraggedByItsOwnArea();
    void maximizedWindowRestoredAtFifteenthMove();
    void windowOverlayWatchesItsDialogs();
    void windowChangeStyleKeepsStyleOnFailure();
    void themeToggleTwiceReturns();
    void themeArrowsWithoutCamera();
    void languageSwitchRestarts();
    void languageSwitchDeclinedChangesNothing();
    void languageSwitchRefusedDuringUpgrade();
    void closeRefusedDuringUpgrade();
    void closeSavesWindowSettings();

    void cleanup();
};

void TstWindowShell::cleanup()
{
    ScreenMetrics::setSource({});
    qApp->setStyleSheet(QString());
}

void TstWindowShell::messageBoxButtonsByMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("autoClose");
    QTest::addColumn<bool>("cancelShown");
    QTest::addColumn<bool>("countdownShown");
    QTest::newRow("mode 0") << 0 << false << false << false;
    QTest::newRow("mode 1") << 1 << false << true << false;
    QTest::newRow("mode 0, countdown") << 0 << true << false << true;
    QTest::newRow("mode 2") << 2 << false << false << false;
}

void TstWindowShell::messageBoxButtonsByMode()
{
    QFETCH(int, mode);
    QFETCH(bool, autoClose);
    QFETCH(bool, cancelShown);
    QFETCH(bool, countdownShown);

    FormCustomizeMessagebox box(QStringLiteral("Some text"), mode, autoClose, nullptr);
    box.show();
    QCOMPARE(box.objectName(), QStringLiteral("FormCustomizeMessagebox"));
    QCOMPARE(box.size(), QSize(450, 194));
    QVERIFY(box.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(box.findChild<QLabel*>("labeltext")->text(), QStringLiteral("Some text"));
    QVERIFY(box.findChild<QLabel*>("labeltext")->wordWrap());
    QCOMPARE(box.findChild<QPushButton*>("btnCancel")->isVisible(), cancelShown);
    QVERIFY(box.findChild<QPushButton*>("btnOK")->isVisible());
    QCOMPARE(box.findChild<QLabel*>("labelCountdown")->isVisible(), countdownShown);
    QCOMPARE(box.findChild<QTimer*>() != nullptr, autoClose);
    // Clipped to a rounded outline: the corner pixel is outside, the centre inside.
    QVERIFY(!box.mask().isEmpty());
    QVERIFY(!box.mask().contains(QPoint(0, 0)));
    QVERIFY(box.mask().contains(QPoint(225, 97)));
    box.resize(412, 214);
    QVERIFY(box.mask().contains(QPoint(405, 100)));
    QVERIFY(!box.mask().contains(QPoint(411, 213)));
}

void TstWindowShell::messageBoxCountdownAccepts()
{
    FormCustomizeMessagebox box(QStringLiteral("Done"), 0, true, nullptr);
    box.show();
    auto* label = box.findChild<QLabel*>("labelCountdown");
    const QString pattern = QStringLiteral("The window will close automatically after %1 seconds.");
    QStringList shown{label->text()};
    QSignalSpy accepted(&box, &QDialog::accepted);
    for (int tick = 1; tick <= 6; ++tick) {
        QVERIFY2(accepted.isEmpty(), qPrintable(QStringLiteral("accepted before tick %1").arg(tick)));
        box.slotOnTimeout();
        shown << label->text();
    }
    QCOMPARE(shown, (QStringList{pattern.arg(5), pattern.arg(5), pattern.arg(4), pattern.arg(3),
                                 pattern.arg(2), pattern.arg(1), pattern.arg(0)}));
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(box.result(), int(QDialog::Accepted));
    QVERIFY(!box.isVisible());
}

void TstWindowShell::messageBoxCountdownRunsOnItsTimer()
{
    // The box's own timer drives it: one tick per second; exec() returns accepted after the sixth.
    FormCustomizeMessagebox box(QStringLiteral("Done"), 0, true, nullptr);
    auto* timer = box.findChild<QTimer*>();
    QVERIFY(timer);
    QCOMPARE(timer->interval(), 1000);
    QVERIFY(timer->isActive());
    auto* label = box.findChild<QLabel*>("labelCountdown");
    QStringList shown{label->text()};
    // Each timeout is delivered at once instead of after a second of wall time.
    timer->setInterval(1);
    connect(timer, &QTimer::timeout, this, [&] { shown << label->text(); });
    QElapsedTimer clock;
    clock.start();
    const int result = box.exec();
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY2(clock.elapsed() < 5000, "the countdown did not run on its timer");
    const QString pattern = QStringLiteral("The window will close automatically after %1 seconds.");
    QCOMPARE(shown, (QStringList{pattern.arg(5), pattern.arg(5), pattern.arg(4), pattern.arg(3),
                                 pattern.arg(2), pattern.arg(1), pattern.arg(0)}));
}

void TstWindowShell::messageBoxCancelRejects()
{
    FormCustomizeMessagebox box(QStringLiteral("Sure?"), 1, true, nullptr);
    QTimer::singleShot(0, &box, [&] { box.findChild<QPushButton*>("btnCancel")->click(); });
    QCOMPARE(box.exec(), int(QDialog::Rejected));
    QVERIFY(!box.findChild<QTimer*>() || !box.findChild<QTimer*>()->isActive());

    FormCustomizeMessagebox ok(QStringLiteral("Sure?"), 1, true, nullptr);
    QTimer::singleShot(0, &ok, [&] { ok.findChild<QPushButton*>("btnOK")->click(); });
    QCOMPARE(ok.exec(), int(QDialog::Accepted));
}

void TstWindowShell::overlayFollowsWatchedDialogs()
{
    QWidget main;
    main.setObjectName(QStringLiteral("MainWindow"));
    main.setGeometry(120, 90, 1000, 600);
    main.show();

    MaskWidget* overlay = MaskWidget::instance();
    QCOMPARE(MaskWidget::instance(), overlay);
    QCOMPARE(overlay->windowFlags(), Qt::WindowFlags(0x80B));
    QVERIFY(qAbs(overlay->windowOpacity() - 0.7) < 0.01); // stored in 8 bits
    QCOMPARE(overlay->palette().color(QPalette::Inactive, QPalette::Window), QColor(44, 44, 44));
    overlay->setMainWidget(&main);
    overlay->setDialogNames({QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                             QStringLiteral("FormCustomizeMessagebox")});
    QVERIFY(!overlay->isVisible());

    // A dialog of another name does not bring it up.
    QDialog other;
    other.setObjectName(QStringLiteral("SomethingElse"));
    other.show();
    QVERIFY(!overlay->isVisible());
    other.hide();

    QDialog upgrade;
    upgrade.setObjectName(QStringLiteral("FormUpgrade"));
    upgrade.resize(450, 258);
    upgrade.show();
    QVERIFY(overlay->isVisible());
    QCOMPARE(overlay->geometry(), main.geometry());
    upgrade.hide();
    QVERIFY(!overlay->isVisible());

    // Names are compared with case.
    QDialog lower;
    lower.setObjectName(QStringLiteral("formupgrade"));
    lower.show();
    QVERIFY(!overlay->isVisible());
    lower.hide();

    // The message box is watched by its own name, and the overlay follows a moved window.
    main.setGeometry(40, 30, 1100, 700);
    {
        FormCustomizeMessagebox box(QStringLiteral("x"), 0, false, &main);
        box.show();
        QVERIFY(overlay->isVisible());
        QCOMPARE(overlay->geometry(), main.geometry());
    }
    QVERIFY(!overlay->isVisible());

    // Without compositing the overlay is opaque and paints the window dimmed by (44,44,44) at
    // 0.7, so the window stays recognisable; with it, the window system blends it again.
    main.setStyleSheet(QStringLiteral("background: rgb(240, 100, 0);"));
    MaskWidget::setCompositingSource([] { return false; });
    upgrade.show();
    QVERIFY(overlay->isVisible());
    QVERIFY(overlay->paintsBlend());
    QCOMPARE(overlay->geometry(), main.geometry());
    QCOMPARE(overlay->windowOpacity(), 1.0);
    const QImage dimmed = overlay->grab().toImage();
    const QColor expected(qRound(0.7 * 44 + 0.3 * 240), qRound(0.7 * 44 + 0.3 * 100), qRound(0.7 * 44));
    const QColor seen = dimmed.pixelColor(dimmed.width() / 2, dimmed.height() / 2);
    QVERIFY2(qAbs(seen.red() - expected.red()) <= 2 && qAbs(seen.green() - expected.green()) <= 2 &&
                 qAbs(seen.blue() - expected.blue()) <= 2,
             qPrintable(seen.name() + QStringLiteral(" instead of ") + expected.name()));
    upgrade.hide();
    QVERIFY(!overlay->isVisible());
    MaskWidget::setCompositingSource([] { return true; });
    upgrade.show();
    QVERIFY(!overlay->paintsBlend());
    QVERIFY(qAbs(overlay->windowOpacity() - 0.7) < 0.01);
    upgrade.hide();
    MaskWidget::setCompositingSource(nullptr);
    overlay->setMainWidget(nullptr);
}

void TstWindowShell::initialSizeByScreen_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QSize>("expected"); // invalid: the window keeps its size

    QTest::newRow("1920x1080 at 125%") << 1536 << 864 << 1.25 << 1.25 << QSize(1320, 708);
    QTest::newRow("1920x1080 at 150%") << 1280 << 720 << 1.5 << 1.5 << QSize(1203, 662);
    QTest::newRow("1920x1080 at 175%") << 1097 << 617 << 1.75 << 1.75 << QSize(1053, 505);
    QTest::newRow("1920 wide at 110%: kept") << 1745 << 982 << 1.1 << 1.1 << QSize();
    QTest::newRow("2560x1080 at 175%") << 1463 << 617 << 1.75 << 1.75 << QSize(1170, 505);
    QTest::newRow("2560x1080 at 200%") << 1280 << 540 << 2.0 << 2.0 << QSize(1152, 529);
    QTest::newRow("2560x1440 at 200%") << 1280 << 720 << 2.0 << 2.0 << QSize(1203, 662);
    QTest::newRow("2560x1440 at 175%") << 1463 << 823 << 1.75 << 1.75 << QSize(1228, 691);
    QTest::newRow("3440x1440 at 100%") << 3440 << 1440 << 1.0 << 1.0 << QSize(2408, 1281);
    QTest::newRow("3440x1440 at 200%") << 1720 << 720 << 2.0 << 2.0 << QSize(1444, 662);
    QTest::newRow("3840x2160 at 100%") << 3840 << 2160 << 1.0 << 1.0 << QSize(2534, 1425);
    QTest::newRow("3840x2160 at 300%") << 1280 << 720 << 3.0 << 3.0 << QSize(1203, 662);
    QTest::newRow("1920x1080 at 100%: any other") << 1920 << 1080 << 1.0 << 1.0 << QSize(1536, 804);
    QTest::newRow("2560x1440 at 100%: any other") << 2560 << 1440 << 1.0 << 1.0 << QSize(2048, 1072);
    QTest::newRow("3840x2160 at 150%: any other") << 2560 << 1440 << 1.5 << 1.5 << QSize(2048, 1072);
    QTest::newRow("1366x768 at 100%: any other") << 1366 << 768 << 1.0 << 1.0 << QSize(1092, 572);
    // A logical screen narrower than 1000 (1920x1080 at 200%): the window fills it.
    QTest::newRow("960x540 fills the screen") << 960 << 540 << 2.0 << 2.0 << QSize(960, 540);
}

void TstWindowShell::initialSizeByScreen()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(qreal, ratio);
    QFETCH(double, scale);
    QFETCH(QSize, expected);

    const ScreenMetrics metrics = singleScreen(w, h, ratio);
    QCOMPARE(WindowSizing::scale(w, metrics.physical().width()), scale);

    QWidget window;
    window.resize(1111, 555);
    WindowSizing::apply(&window, metrics, true, true);
    if (w < 1000) {
        QCOMPARE(window.minimumSize(), expected);
    } else {
        QCOMPARE(window.minimumSize(), QSize(1000, 400));
    }
    QCOMPARE(window.size(), expected.isValid() ? expected : QSize(1111, 555));
    QCOMPARE(window.pos(), QPoint((w - window.width()) / 2, (h - window.height()) / 2));
}

void TstWindowShell::initialSizeCentresOnCursorScreen()
{
    ScreenMetrics metrics = singleScreen(1920, 1080, 1.0);
    const QRect second(1920, -200, 2560, 1440);
    const QRect third(4480, 0, 1280, 1024);
    metrics.screens = {metrics.primary, second, third};
    QWidget window;

    metrics.cursor = QPoint(2000, 100);
    WindowSizing::apply(&window, metrics, true, true);
    QCOMPARE(window.size(), QSize(1536, 804));
    QCOMPARE(window.pos(), QPoint(1920 + (2560 - 1536) / 2, -200 + (1440 - 804) / 2));

    // Outside every screen: the primary one.
    metrics.cursor = QPoint(-50, -50);
    WindowSizing::apply(&window, metrics, true, true);
    QCOMPARE(window.pos(), QPoint((1920 - 1536) / 2, (1080 - 804) / 2));

    // Overlapping screens: the last one that holds the cursor.
    metrics.screens = {metrics.primary, QRect(0, 0, 1280, 1024)};
    metrics.cursor = QPoint(10, 10);
    WindowSizing::apply(&window, metrics, true, true);
    QCOMPARE(window.pos(), QPoint((1280 - 1536) / 2, (1024 - 804) / 2));

    // While dragged the window stays where it is.
    window.move(77, 66);
    WindowSizing::apply(&window, metrics, true, false);
    QCOMPARE(window.pos(), QPoint(77, 66));
}

void TstWindowShell::initialSizeLogsWhatItMeasured()
{
    LogCapture capture;
    QWidget window;
    WindowSizing::apply(&window, singleScreen(1280, 720, 1.5), true, true);
    const QStringList lines = LogCapture::lines();
    QVERIFY2(lines.contains(QStringLiteral("nScreenWidth: 1280 width 1920 screen_scale 1.5")),
             qPrintable(lines.join('\n')));
    QVERIFY(lines.contains(QStringLiteral("app_scale_w: 0.75 app_scale_h 0.714815")));
    QVERIFY(LogCapture::contains(QStringLiteral("minimumSizeHint: QSize(")));
    QVERIFY(lines.contains(QStringLiteral("app_w: 960 app_h 514.667")));
}

void TstWindowShell::resolutionChangeKeepsMinimum()
{
    QWidget window;
    window.setMinimumSize(200, 100);
    WindowSizing::apply(&window, singleScreen(1280, 720, 1.5), false, true);
    QCOMPARE(window.minimumSize(), QSize(200, 100));
    QCOMPARE(window.size(), QSize(1203, 662));
}

void TstWindowShell::singleScreenLeft()
{
    ScreenMetrics metrics = singleScreen(1920, 1080, 1.0);
    QWidget window;
    window.resize(1500, 900);
    WindowSizing::applySingleScreen(&window, metrics);
    QCOMPARE(window.geometry(), QRect((1920 - 900) / 2, (1080 - 600) / 2, 900, 600));
}

void TstWindowShell::borderEdges_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<bool>("widthResizable");
    QTest::addColumn<bool>("heightResizable");
    QTest::addColumn<int>("edges");
    QTest::addColumn<int>("cursor");
    const int none = 0;
    const int left = Qt::LeftEdge, right = Qt::RightEdge, top = Qt::TopEdge, bottom = Qt::BottomEdge;
    // The window is 1000 x 600.
    QTest::newRow("inside") << QPoint(500, 300) << true << true << none << int(Qt::ArrowCursor);
    QTest::newRow("left") << QPoint(0, 300) << true << true << left << int(Qt::SizeHorCursor);
    QTest::newRow("left, 5th pixel") << QPoint(4, 300) << true << true << left << int(Qt::SizeHorCursor);
    QTest::newRow("left, 6th pixel") << QPoint(5, 300) << true << true << none << int(Qt::ArrowCursor);
    QTest::newRow("right") << QPoint(995, 300) << true << true << right << int(Qt::SizeHorCursor);
    QTest::newRow("right, 6th pixel") << QPoint(994, 300) << true << true << none << int(Qt::ArrowCursor);
    QTest::newRow("top") << QPoint(500, 4) << true << true << top << int(Qt::SizeVerCursor);
    QTest::newRow("bottom") << QPoint(500, 599) << true << true << bottom << int(Qt::SizeVerCursor);
    QTest::newRow("top left") << QPoint(2, 2) << true << true << (left | top) << int(Qt::SizeFDiagCursor);
    QTest::newRow("top right") << QPoint(998, 2) << true << true << (right | top) << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom left") << QPoint(2, 598) << true << true << (left | bottom)
                                 << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom right") << QPoint(998, 598) << true << true << (right | bottom)
                                  << int(Qt::SizeFDiagCursor);
    QTest::newRow("fixed width: left") << QPoint(0, 300) << false << true << none << int(Qt::ArrowCursor);
    QTest::newRow("fixed width: corner")
        << QPoint(0, 598) << false << true << bottom << int(Qt::SizeVerCursor);
    QTest::newRow("fixed height: top") << QPoint(500, 0) << true << false << none << int(Qt::ArrowCursor);
    QTest::newRow("fixed height: corner")
        << QPoint(998, 0) << true << false << right << int(Qt::SizeHorCursor);
    QTest::newRow("fixed size: corner") << QPoint(0, 0) << false << false << none << int(Qt::ArrowCursor);
    QTest::newRow("outside") << QPoint(1000, 300) << true << true << none << int(Qt::ArrowCursor);
}

void TstWindowShell::borderEdges()
{
    QFETCH(QPoint, pos);
    QFETCH(bool, widthResizable);
    QFETCH(bool, heightResizable);
    QFETCH(int, edges);
    QFETCH(int, cursor);
    const Qt::Edges found =
        FramelessFrame::edgesAt(QRect(0, 0, 1000, 600), pos, widthResizable, heightResizable);
    QCOMPARE(int(found), edges);
    QCOMPARE(int(FramelessFrame::cursorFor(found)), cursor);
}

void TstWindowShell::borderResizesByHandWithoutWindowSystem()
{
    // The offscreen platform moves and resizes no window by itself, as an X11 display without a
    // window manager: the border resizes the window by hand.
    QWidget window;
    window.setMinimumSize(1000, 400);
    auto* frame = new FramelessFrame(&window);
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
    window.setGeometry(100, 100, 1200, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QWindow* handle = window.windowHandle();

    // Hovering the right border shows the horizontal resize cursor; the inside the window's own.
    QTest::mouseMove(handle, QPoint(1198, 300));
    QCOMPARE(window.cursor().shape(), Qt::SizeHorCursor);
    QTest::mouseMove(handle, QPoint(600, 300));
    QCOMPARE(window.cursor().shape(), Qt::ArrowCursor);
    QTest::mouseMove(handle, QPoint(2, 698));
    QCOMPARE(window.cursor().shape(), Qt::SizeBDiagCursor);

    // Dragging the bottom-right corner by (50, 30), then the left border far right (the
    // minimum width stops it).
    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1198, 698));
    QVERIFY(frame->resizingByHand());
    QTest::mouseMove(handle, QPoint(1248, 728));
    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1248, 728));
    QVERIFY(!frame->resizingByHand());
    QCOMPARE(window.geometry(), QRect(100, 100, 1250, 730));

    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1, 300));
    QTest::mouseMove(handle, QPoint(601, 300));
    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, QPoint(601, 300));
    QCOMPARE(window.geometry(), QRect(350, 100, 1000, 730));

    // A window of fixed size has no border.
    window.setFixedSize(window.size());
    QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1, 300));
    QVERIFY(!frame->resizingByHand());
    QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1, 300));
}

void TstWindowShell::restoredUnderCursorScalesOffset()
{
    QPoint offset(1500, 20);
    const QRect rect =
        FramelessFrame::restoredUnderCursor(QRect(300, 200, 1000, 600), 1920, QPoint(1600, 25), offset);
    QCOMPARE(offset, QPoint(1500 * 1000 / 1920, 20));
    QCOMPARE(rect, QRect(QPoint(1600 - 781, 5), QSize(1000, 600)));
}

void TstWindowShell::styleSheetAppliedOnce()
{
    QTemporaryDir dir;
    const QString light = writeSheet(dir, "light.css", kLightSheet);
    const QString dark = writeSheet(dir, "dark.css", kDarkSheet);
    QCOMPARE(StyleSheetApplier::firstRuleColour(kLightSheet), QColor("#F5F5F5"));

    QCOMPARE(StyleSheetApplier::apply(QString()), StyleSheetApplier::Outcome::NoPath);
    QCOMPARE(StyleSheetApplier::apply(light), StyleSheetApplier::Outcome::Applied);
    QCOMPARE(qApp->styleSheet(), kLightSheet); // without the byte-order mark
    QCOMPARE(QApplication::palette().color(QPalette::Button), QColor("#F5F5F5"));

    // The same text again: nothing changes, not even a palette set in between.
    QApplication::setPalette(QPalette(Qt::red));
    QCOMPARE(StyleSheetApplier::apply(light), StyleSheetApplier::Outcome::Unchanged);
    QCOMPARE(QApplication::palette().color(QPalette::Button), QColor(Qt::red));
    QCOMPARE(StyleSheetApplier::apply(light), StyleSheetApplier::Outcome::Unchanged);

    {
        LogCapture capture;
        QCOMPARE(StyleSheetApplier::apply(dir.filePath("missing.css")),
                 StyleSheetApplier::Outcome::ReadFailed);
        QVERIFY(LogCapture::contains(QStringLiteral("read style failed.")));
    }
    QCOMPARE(qApp->styleSheet(), kLightSheet);

    QCOMPARE(StyleSheetApplier::apply(dark), StyleSheetApplier::Outcome::Applied);
    QCOMPARE(qApp->styleSheet(), kDarkSheet);
    QCOMPARE(QApplication::palette().color(QPalette::Button), QColor("#1e1e1f"));
    qApp->setStyleSheet(QString());
}

void TstWindowShell::windowIsFramelessAndSizedByScreen()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    ScreenMetrics::setSource([](const QWidget*) { return singleScreen(1280, 720, 1.5); });
    LogCapture capture;
    // Built here rather than by the fixture, which gives its window a size of its own.
    MainWindow window;
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(window.minimumSize(), QSize(1000, 400));
    QCOMPARE(window.size(), QSize(1203, 662));
    QCOMPARE(window.pos(), QPoint((1280 - 1203) / 2, (720 - 662) / 2));
    QVERIFY(LogCapture::contains(QStringLiteral("nScreenWidth: 1280 width 1920 screen_scale 1.5")));
    QVERIFY(LogCapture::contains(QStringLiteral("pre main window pos: 0 0 0 0")));
    QVERIFY(LogCapture::contains(QStringLiteral("pre ui style: 0")));
    // The language button stays hidden.
    window.show();
    QVERIFY(!window.findChild<QPushButton*>("btnLanguage")->isVisible());
    QVERIFY(window.findChild<QPushButton*>("btnModeLight")->isVisible());
}

void TstWindowShell::keyboardFocusStartsOnTheCameraList()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow(QSize(1024, 595));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QWidget* list = window.findChild<QWidget*>(QStringLiteral("listWidgetCamera"));
    QTRY_COMPARE(QApplication::focusWidget(), list);

    // Tab goes through the window's content first; the title bar's buttons are the last stops
    // before the chain returns to the list.
    QWidget* titleBar = window.findChild<QWidget*>(QStringLiteral("widgetTitlebar"));
    QStringList stops;
    bool titleReached = false;
    for (int i = 0; i < 200; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        if (focus == list)
            break;
        QVERIFY(focus);
        stops << focus->objectName();
        const bool inTitle = titleBar->isAncestorOf(focus);
        QVERIFY2(!titleReached || inTitle,
                 qPrintable(
                     QStringLiteral("%1 after the title bar: %2").arg(focus->objectName(), stops.join(' '))));
        titleReached = titleReached || inTitle;
    }
    QVERIFY2(titleReached, qPrintable(stops.join(' ')));
    QVERIFY(stops.contains(QStringLiteral("btnNavControl")));
    QVERIFY(stops.contains(QStringLiteral("btnVideoControl")));
}

// A button clicked with the mouse acts without taking the focus (no focus mark stays on it);
// the keyboard still reaches it.
void TstWindowShell::clickedButtonsTakeNoFocus_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name :
         {"btnNavControl", "btnNavSupport", "btnVideoControl", "btnColorControl", "btnModeLight"})
        QTest::addRow("%s", name) << QString::fromLatin1(name);
}

void TstWindowShell::clickedButtonsTakeNoFocus()
{
    QFETCH(QString, name);
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow(QSize(1024, 595));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* button = window.findChild<QAbstractButton*>(name);
    QVERIFY(button);
    QVERIFY(button->focusPolicy() & Qt::TabFocus);
    button->setEnabled(true);
    if (!button->isVisible())
        window.findChild<QAbstractButton*>(QStringLiteral("btnNavControl"))->click();
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!button->hasFocus());
}

void TstWindowShell::messageBoxTextAsLargeAsTheWindows()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow(QSize(1024, 595));
    FormCustomizeMessagebox box(QStringLiteral("x"), 0, false, &window);
    box.show();
    const QLabel* text = box.findChild<QLabel*>(QStringLiteral("labeltext"));
    const QLabel* row = window.findChild<QLabel*>(QStringLiteral("labelTrackMode"));
    QVERIFY(text && row);
    QVERIFY2(QFontInfo(text->font()).pixelSize() >= QFontInfo(row->font()).pixelSize(),
             qPrintable(QStringLiteral("%1 px against %2 px")
                            .arg(QFontInfo(text->font()).pixelSize())
                            .arg(QFontInfo(row->font()).pixelSize())));
}

void TstWindowShell::windowSizedAgainOnResolutionChange()
{
    ScreenMetrics::setSource([](const QWidget*) { return singleScreen(1920, 1080, 1.0); });
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();

    // The resolution changes to 2560x1440 at 175%: sized and centred again, minimum kept.
    ScreenMetrics::setSource([](const QWidget*) { return singleScreen(1463, 823, 1.75); });
    window.slotResolutionChange();
    QCOMPARE(window.size(), QSize(1228, 691));
    QCOMPARE(window.pos(), QPoint((1463 - 1228) / 2, (823 - 691) / 2));
    QCOMPARE(window.minimumSize(), QSize(1000, 400));

    // Down to one screen: 900 x 600 in the middle of the desktop.
    window.setMinimumSize(200, 100);
    window.slotScreenCountChanged(2);
    QCOMPARE(window.size(), QSize(1228, 691));
    window.slotScreenCountChanged(1);
    QCOMPARE(window.geometry(), QRect((1463 - 900) / 2, (823 - 600) / 2, 900, 600));
}

void TstWindowShell::windowDraggedByItsOwnArea()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    window.setMinimumSize(400, 300);
    window.setGeometry(50, 40, 700, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    LogCapture capture;

    // The offscreen platform cannot move windows for the program, as X11 without a window
    // manager: the window follows the pointer itself.
    const QPoint grab(300, 20); // the title bar's empty part
    QTest::mousePress(&window, Qt::LeftButton, Qt::NoModifier, grab);
    QVERIFY(window.m_mousePressed);
    QVERIFY(LogCapture::contains(QStringLiteral("mousePressEvent::m_mousePressed-> true")));
    QMouseEvent move(QEvent::MouseMove, grab + QPoint(30, 25), window.mapToGlobal(grab) + QPoint(30, 25),
                     Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &move);
    QCOMPARE(window.pos(), QPoint(80, 65));
    QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, grab);
    QVERIFY(!window.m_mousePressed);
    QCOMPARE(window.size(), QSize(700, 500));
    QCOMPARE(window.m_PressedCount, 0);

    // The right button starts no drag.
    QTest::mousePress(&window, Qt::RightButton, Qt::NoModifier, grab);
    QVERIFY(!window.m_mousePressed);
    QTest::mouseRelease(&window, Qt::RightButton, Qt::NoModifier, grab);
}

void TstWindowShell::maximizedWindowRestoredAtFifteenthMove()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    window.setMinimumSize(300, 200);
    window.setGeometry(100, 80, 400, 300);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.showMaximized();
    QTRY_VERIFY(window.isMaximized());
    QTRY_VERIFY(window.width() > 400);
    const int maximizedWidth = window.width();
    QVERIFY2(maximizedWidth > 400,
             qPrintable(QStringLiteral("%1 %2").arg(maximizedWidth).arg(window.windowState())));
    const QRect normal = window.normalGeometry();
    LogCapture capture;

    const QPoint grab(maximizedWidth - 200, 20);
    QTest::mousePress(&window, Qt::LeftButton, Qt::NoModifier, grab);
    const QPoint offset = window.mapToGlobal(grab) - window.pos();
    QPoint cursor = window.mapToGlobal(grab);
    for (int moveNo = 1; moveNo <= 15; ++moveNo) {
        QVERIFY2(window.isMaximized(), qPrintable(QStringLiteral("restored before move %1").arg(moveNo)));
        cursor += QPoint(1, 1);
        QMouseEvent move(QEvent::MouseMove, window.mapFromGlobal(cursor), cursor, Qt::LeftButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
    }
    QVERIFY(!window.isMaximized());
    QCOMPARE(window.m_PressedCount, 15);
    QVERIFY(LogCapture::contains(QStringLiteral("mouseMoveEvent::m_PressedCount-> 15")));
    // The cursor keeps its share of the width: the offset scaled by normal / maximized width.
    const QPoint scaled(offset.x() * normal.width() / maximizedWidth, offset.y());
    QCOMPARE(window.geometry(), QRect(cursor - scaled, normal.size()));
    QCOMPARE(window.m_dragOffset, scaled);
    QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, window.mapFromGlobal(cursor));

    // The count is never reset: the next drag of a maximized window restores at its first move.
    window.showMaximized();
    QTRY_VERIFY(window.isMaximized());
    QTest::mousePress(&window, Qt::LeftButton, Qt::NoModifier, grab);
    cursor = window.mapToGlobal(grab) + QPoint(2, 2);
    QMouseEvent move(QEvent::MouseMove, window.mapFromGlobal(cursor), cursor, Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&window, &move);
    QVERIFY(!window.isMaximized());
    QCOMPARE(window.m_PressedCount, 16);
    QTest::mouseRelease(&window, Qt::LeftButton, Qt::NoModifier, window.mapFromGlobal(cursor));
}

void TstWindowShell::windowOverlayWatchesItsDialogs()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    window.show();
    MaskWidget* overlay = MaskWidget::instance();
    QCOMPARE(overlay->coveredWidget(), &window);
    QCOMPARE(overlay->watchedDialogNames(),
             (QStringList{QStringLiteral("FormUpgrade"), QStringLiteral("FormAbnormal"),
                          QStringLiteral("FormCustomizeMessagebox")}));
    QDialog upgrade;
    upgrade.setObjectName(QStringLiteral("FormUpgrade"));
    upgrade.show();
    QVERIFY(overlay->isVisible());
    QCOMPARE(overlay->geometry(), window.geometry());
    // Stacked with the window (window managers raise a window together with its transients).
    QCOMPARE(overlay->windowHandle()->transientParent(), window.windowHandle());
    upgrade.hide();
    QVERIFY(!overlay->isVisible());
}

void TstWindowShell::windowChangeStyleKeepsStyleOnFailure()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    QTemporaryDir dir;
    const QString sheet = writeSheet(dir, "own.css", kDarkSheet + QStringLiteral("QLabel{color:#123456;}"));
    window.changeStyle(sheet);
    QCOMPARE(qApp->styleSheet(), kDarkSheet + QStringLiteral("QLabel{color:#123456;}"));
    window.changeStyle(QString());
    QCOMPARE(qApp->styleSheet(), kDarkSheet + QStringLiteral("QLabel{color:#123456;}"));
    LogCapture capture;
    window.changeStyle(dir.filePath("gone.css"));
    QVERIFY(LogCapture::contains(QStringLiteral("read style failed.")));
    QCOMPARE(qApp->styleSheet(), kDarkSheet + QStringLiteral("QLabel{color:#123456;}"));
}

void TstWindowShell::themeToggleTwiceReturns()
{
    WindowFixture f(kTwoCameras);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    auto* list = window.findChild<QListWidget*>("listWidgetCamera");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->currentRow(), 0);
    const QImage current = iconImage(list->item(0)->icon());
    QVERIFY(!current.isNull());

    auto colourOf = [](const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QColor();
        return StyleSheetApplier::firstRuleColour(QString::fromUtf8(file.readAll()).remove(QChar(0xFEFF)));
    };
    const QColor lightColour = colourOf(QStringLiteral(":/qss/light.css"));
    const QColor darkColour = colourOf(QStringLiteral(":/qss/dark.css"));
    QVERIFY(lightColour.isValid() && darkColour.isValid() && lightColour != darkColour);
    const QImage lightIcon = iconImage(QIcon(QStringLiteral(":/qss/light/ld-icon-normal.png")));
    const QImage darkIcon = iconImage(QIcon(QStringLiteral(":/qss/dark/ld-icon-dark.png")));
    QVERIFY(!lightIcon.isNull() && lightIcon != darkIcon);
    auto* loading = window.findChild<QLabel*>("labelloading");

    // The stored theme (light) is on after construction.
    QCOMPARE(window.m_styleIndex, 0);
    QCOMPARE(QApplication::palette().color(QPalette::Button), lightColour);
    QCOMPARE(window.supportLinkColour(), QStringLiteral("#000000"));
    QCOMPARE(loading->movie(), window.m_loadingLight);

    LogCapture capture;
    window.on_btnModeLight_clicked();
    QCOMPARE(window.m_styleIndex, 1);
    QCOMPARE(QApplication::palette().color(QPalette::Button), darkColour);
    QCOMPARE(qApp->styleSheet().left(29),
             QStringLiteral("QPalette{background:%1;}").arg(darkColour.name()).left(29));
    QCOMPARE(window.supportLinkColour(), QStringLiteral("#F2F2F2"));
    QCOMPARE(loading->movie(), window.m_loadingDark);
    QCOMPARE(iconImage(list->item(1)->icon()), darkIcon);
    QCOMPARE(iconImage(list->item(0)->icon()), current); // the current item keeps its icon
    for (int i = 0; i < 2; ++i)
        QVERIFY(LogCapture::lines().contains(QStringLiteral("Item-i: %1").arg(i)));

    window.on_btnModeLight_clicked();
    QCOMPARE(window.m_styleIndex, 0);
    QCOMPARE(QApplication::palette().color(QPalette::Button), lightColour);
    QCOMPARE(window.supportLinkColour(), QStringLiteral("#000000"));
    QCOMPARE(loading->movie(), window.m_loadingLight);
    QCOMPARE(iconImage(list->item(1)->icon()), lightIcon);
    QCOMPARE(iconImage(list->item(0)->icon()), current);
}

void TstWindowShell::themeArrowsWithoutCamera()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    QVERIFY(!window.m_cameraOpen);
    window.setTheme(1);
    QCOMPARE(window.findChild<QPushButton*>("btnCameraUp")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/dark/icon-arrow-up-disable.png) center no-repeat;"));
    QCOMPARE(window.findChild<QPushButton*>("btnCameraLeft")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/dark/icon-arrow-left-disable.png) center no-repeat;"));
    window.setTheme(0);
    QCOMPARE(window.findChild<QPushButton*>("btnCameraDown")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/light/icon-arrow-down-disable.png) center no-repeat;"));
    QCOMPARE(window.findChild<QPushButton*>("btnCameraRight")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/light/icon-arrow-right-disable.png) center no-repeat;"));
}

void TstWindowShell::languageSwitchRestarts()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    const bool before = languageCN;
    MainWindow& window = *f.createWindow();
    window.show();
    window.setTheme(1);
    QString shown;
    QSize boxSize;
    bool overlayShown = false;
    QPoint boxPos;
    onNextModal(&shown, [&](QDialog* box) {
        boxSize = box->size();
        boxPos = box->pos();
        overlayShown = MaskWidget::instance()->isVisible();
        box->findChild<QPushButton*>("btnOK")->click();
    });
    QTimer::singleShot(0, &window, &MainWindow::on_btnLanguage_clicked);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(QApplication::exec(), RestartExitCode);
    QVERIFY(clock.elapsed() >= 900); // the restart waits a second after the settings are saved
    QCOMPARE(shown, QStringLiteral("Kestrelix Orbi needs to restart to switch the default language."));
    QCOMPARE(boxSize, QSize(450, 180));
    QCOMPARE(boxPos, window.pos() + QPoint((window.width() - 450) / 2, (window.height() - 180) / 2));
    QVERIFY(overlayShown);
    QCOMPARE(languageCN, !before);
    QSettings file(f.settingsPath(), QSettings::IniFormat);
    QCOMPARE(file.value("/style/index").toString(), QStringLiteral("1"));
    QCOMPARE(file.value("/ChangeLanguage/LanguageCN").toBool(), !before);
    languageCN = before;
}

void TstWindowShell::languageSwitchDeclinedChangesNothing()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    const bool before = languageCN;
    MainWindow& window = *f.createWindow();
    window.show();
    QString shown;
    onNextModal(&shown, [](QDialog* box) { box->findChild<QPushButton*>("btnCancel")->click(); });
    window.on_btnLanguage_clicked();
    QCOMPARE(shown, QStringLiteral("Kestrelix Orbi needs to restart to switch the default language."));
    QCOMPARE(languageCN, before);
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kLanguageCN));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kStyleIndex));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kWindowLeft));
    // No restart is scheduled: an event loop run past the restart delay ends by itself.
    QTimer::singleShot(1300, qApp, [] { QApplication::exit(5); });
    QCOMPARE(QApplication::exec(), 5);
}

void TstWindowShell::languageSwitchRefusedDuringUpgrade()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    const bool before = languageCN;
    MainWindow& window = *f.createWindow();
    window.show();
    window.m_upgrading = true;
    QString shown;
    bool cancelShown = true;
    onNextModal(&shown, [&](QDialog* box) {
        cancelShown = box->findChild<QPushButton*>("btnCancel")->isVisible();
        box->findChild<QPushButton*>("btnOK")->click();
    });
    window.on_btnLanguage_clicked();
    QCOMPARE(shown, QStringLiteral("Cannot exit during the upgrade process!"));
    QVERIFY(!cancelShown);
    QCOMPARE(languageCN, before);
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kLanguageCN));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kStyleIndex));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kWindowLeft));
    window.m_upgrading = false;
}

void TstWindowShell::closeRefusedDuringUpgrade()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    window.show();
    window.m_upgrading = true;
    QString shown;
    onNextModal(&shown, [](QDialog* box) { box->findChild<QPushButton*>("btnOK")->click(); });
    QVERIFY(!window.close());
    QCOMPARE(shown, QStringLiteral("Cannot exit during the upgrade process!"));
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kLanguageCN));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kStyleIndex));
    QVERIFY(!hasKey(f.settingsPath(), settings_keys::kWindowLeft));
    window.m_upgrading = false;
}

void TstWindowShell::closeSavesWindowSettings()
{
    WindowFixture f(kNoCamera);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow& window = *f.createWindow();
    window.setMinimumSize(300, 200);
    window.setGeometry(60, 70, 640, 480);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setTheme(1);
    const QRect frame = window.frameGeometry();
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    QVERIFY(window.isMinimized());
    QSettings file(f.settingsPath(), QSettings::IniFormat);
    QCOMPARE(file.value("/window/left").toString(), QString::number(frame.x()));
    QCOMPARE(file.value("/window/top").toString(), QString::number(frame.y()));
    QCOMPARE(file.value("/window/width").toString(), QString::number(frame.width()));
    QCOMPARE(file.value("/window/height").toString(), QString::number(frame.height()));
    QCOMPARE(file.value("/style/index").toString(), QStringLiteral("1"));
    QCOMPARE(file.value("/ChangeLanguage/LanguageCN").toBool(), languageCN);
    QCOMPARE(SettingsStore::application().windowGeometry(), frame);
}

QTEST_MAIN(TstWindowShell)
#include "tst_window_shell.moc"
