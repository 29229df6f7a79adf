// The main window's camera list, hot-plug, opening and closing and preview, on virtual cameras.

#include "app/globals.h"
#include "app/settings.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"
#include "tests/support/windowfixture.h"
#include "ui/mainwindow.h"

#include <QElapsedTimer>
#include <QGraphicsEffect>
#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

namespace {

// Two cameras of brand 0 on separate ports, the first listed first.
const QByteArray kTwoCameras = R"({"cameras": [
    {"model": 7, "name": "PX QB18", "port": "1-1"},
    {"model": 4, "name": "PX QB17-000", "port": "1-2"}]})";

// How long the query worker takes to send its next request, with room to spare.
constexpr int kQueryWaitMs = 10000;

QLabel* label(WindowFixture& f, const char* name)
{
    return f.widget<QLabel>(QString::fromLatin1(name));
}

QPixmap shown(const QLabel* label)
{
    return label->pixmap(Qt::ReturnByValue);
}

// Extension-unit requests and standard-control reads and writes the cameras received.
int requestCount(WindowFixture& f)
{
    int requests = 0;
    for (const QJsonObject& event : f.journal().events()) {
        const QString name = event.value(QLatin1String("event")).toString();
        if (name.startsWith(QLatin1String("xu-")) || name.startsWith(QLatin1String("ctrl-")))
            ++requests;
    }
    return requests;
}

} // namespace

class TstWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void listing_data();
    void listing();
    void listItemsCarryTheEntry();
    void deviceNotices_data();
    void deviceNotices();
    void removalAndArrival_data();
    void removalAndArrival();
    void clickOnTheOpenCameraDoesNothing();
    void clickOnAnotherCameraOpensIt();
    void previewShowsPicturesUntilStopped_data();
    void previewShowsPicturesUntilStopped();
    void picturesAfterStopCameraPreViewAreDiscarded();
    void failedRequestReopensTheUnit();
    void cameraGoneWithoutNoticeIsClosedOnce();
    void lateFailureAfterCloseReopensNothing();
    void previewSizeFollowsTheWindow_data();
    void previewSizeFollowsTheWindow();
    void narrowWindowKeepsAUsablePreview();
    void startIconLooksDisabledWithoutCamera();

private:
    std::unique_ptr<LogCapture> m_log;
};

void TstWindow::initTestCase()
{
    m_log = std::make_unique<LogCapture>(LogCapture::Form::Message, true);
}

void TstWindow::init()
{
    LogCapture::clear();
}

void TstWindow::listing_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<int>("brand");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("device"); // the open camera's name in the header
    QTest::addColumn<QString>("state");

    QTest::newRow("no camera") << QByteArray(R"({"cameras": []})") << 0 << QStringList() << QString()
                               << QString();
    QTest::newRow("one camera") << QByteArray(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})") << 0
                                << QStringList{"PX QB18"} << "PX QB18"
                                << "CONNECTED";
    QTest::newRow("two cameras, the first opens")
        << kTwoCameras << 0 << QStringList{"PX QB18", "PX QB17-000"} << "PX QB18"
        << "CONNECTED";
    QTest::newRow("15 characters stay whole")
        << QByteArray(R"({"cameras": [{"model": 7, "name": "PX QB18 Camera1"}]})") << 0
        << QStringList{"PX QB18 Camera1"} << "PX QB18 Camera1"
        << "CONNECTED";
    QTest::newRow("16 characters lose the first word")
        << QByteArray(R"({"cameras": [{"model": 7, "name": "PX QB18 Camera12"}]})") << 0
        << QStringList{"QB18 Camera12"} << "QB18 Camera12"
        << "CONNECTED";
    QTest::newRow("long name without a space stays whole")
        << QByteArray(R"({"cameras": [{"model": 7, "name": "PX-QB18-Camera-12"}]})") << 0
        << QStringList{"PX-QB18-Camera-12"} << "PX-QB18-Camera-12"
        << "CONNECTED";
    QTest::newRow("RKT-QB17 is never listed")
        << QByteArray(R"({"cameras": [{"model": 4, "name": "RKT-QB17 Cam"}, {"model": 7, "name": "PX QB18",
                         "port": "1-2"}]})")
        << 0 << QStringList{"PX QB18"} << "PX QB18"
        << "CONNECTED";
    QTest::newRow("brand 0 lists no TM40")
        << QByteArray(R"({"cameras": [{"model": 5, "name": "AR Orbi TM40"}]})") << 0 << QStringList()
        << QString() << QString();
    QTest::newRow("brand 0 wants its vendor id")
        << QByteArray(R"({"cameras": [{"model": 7, "name": "PX QB18", "vendorId": 13371}]})") << 0
        << QStringList() << QString() << QString();
    QTest::newRow("brand 1 lists TM40 and hides QB17")
        << QByteArray(R"({"cameras": [{"model": 4, "name": "AR QB17", "vendorId": 13371},
                                      {"model": 5, "name": "AR Orbi TM40", "port": "1-2"}]})")
        << 1 << QStringList{"AR Orbi TM40"} << "AR Orbi TM40"
        << "CONNECTED";
    QTest::newRow("an unknown brand lists nothing")
        << QByteArray(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})") << 7 << QStringList() << QString()
        << QString();
}

void TstWindow::listing()
{
    QFETCH(QByteArray, configuration);
    QFETCH(int, brand);
    QFETCH(QStringList, listed);
    QFETCH(QString, device);
    QFETCH(QString, state);

    WindowFixture f(configuration, WindowFixture::brand(brand));
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();

    QCOMPARE(f.listedNames(), listed);
    QCOMPARE(label(f, "labelDevice")->text(), device);
    QCOMPARE(label(f, "labelState")->text(), state);
    QCOMPARE(g_bOpenCamera.load(), !device.isEmpty());
    QCOMPARE(label(f, "labelIcon")->isVisible(), !device.isEmpty());
    QCOMPARE(f.widget<QLabel>(QStringLiteral("labLogo"))->isVisible(), brand != 0);
    if (!listed.isEmpty())
        QCOMPARE(f.widget<QListWidget>(QStringLiteral("listWidgetCamera"))->currentRow(), 0);
    QVERIFY(LogCapture::contains(QStringLiteral("credit manufacturer:")));
    QVERIFY(LogCapture::contains(QStringLiteral("pre main window pos:")));
    QVERIFY(LogCapture::contains(QStringLiteral("pre ui style:")));
}

void TstWindow::listItemsCarryTheEntry()
{
    WindowFixture f(kTwoCameras);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();
    auto* list = f.widget<QListWidget>(QStringLiteral("listWidgetCamera"));
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(list->iconSize(), QSize(60, 36));
    // Each camera lists its video node and its microphone array's node: the second camera's
    // video node is the third capture device.
    const QVector<int> positions{0, 2};
    for (int row = 0; row < 2; ++row) {
        QListWidgetItem* item = list->item(row);
        QCOMPARE(item->sizeHint(), QSize(150, 54));
        QCOMPARE(item->data(256).toInt(), positions.at(row));
        QCOMPARE(item->data(257).toString(), item->text());
        const QString path = f.devicePath(row);
        QVERIFY2(path.contains(item->data(258).toString()), qPrintable(item->data(258).toString()));
        QVERIFY(!item->data(258).toString().isEmpty());
    }
}

void TstWindow::deviceNotices_data()
{
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<bool>("arrival");
    QTest::addColumn<bool>("reported");
    QTest::addColumn<bool>("malformed");

    const QString camera = QStringLiteral(
        "\\\\?\\USB#VID_1D6B&PID_C015&MI_00#VC07A0001&1-1&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
        "\\global");
    QTest::newRow("first interface arrives") << camera << true << true << false;
    QTest::newRow("first interface leaves") << camera << false << true << false;
    QTest::newRow("second interface of a composite camera")
        << QString(camera).replace(QStringLiteral("&0000#"), QStringLiteral("&0001#")) << true << false
        << false;
    QTest::newRow("instance field in another case")
        << QString(camera).replace(QStringLiteral("&0000#"), QStringLiteral("&000A#")) << true << false
        << false;
    QTest::newRow("three parts") << QStringLiteral("\\\\?\\USB#VID_1D6B&PID_C015#VC07&1-1&0&0000") << true
                                 << false << true;
    QTest::newRow("five parts") << camera + QStringLiteral("#extra") << true << false << true;
    QTest::newRow("three instance fields")
        << QString(camera).replace(QStringLiteral("&1-1&0&0000"), QStringLiteral("&1-1&0000")) << false
        << false << true;
    QTest::newRow("five instance fields")
        << QString(camera).replace(QStringLiteral("&1-1&0&0000"), QStringLiteral("&1-1&0&0&0000")) << true
        << false << true;
}

void TstWindow::deviceNotices()
{
    QFETCH(QString, deviceName);
    QFETCH(bool, arrival);
    QFETCH(bool, reported);
    QFETCH(bool, malformed);

    WindowFixture f(R"({"cameras": []})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    QSignalSpy plugged(window, &MainWindow::onCameraPlugged);
    LogCapture::clear();

    window->slotOnDeviceChange(arrival, deviceName);

    QCOMPARE(plugged.count(), reported ? 1 : 0);
    if (reported) {
        QCOMPARE(plugged.at(0).at(0).toBool(), arrival);
        QCOMPARE(plugged.at(0).at(1).toString(), deviceName.toLower());
        QCOMPARE(
            LogCapture::count(arrival ? QStringLiteral("usb camera in") : QStringLiteral("usb camera out")),
            1);
    }
    QCOMPARE(LogCapture::count(QStringLiteral("camera logic error")), malformed ? 1 : 0);
}

void TstWindow::removalAndArrival_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<int>("brand");
    QTest::addColumn<int>("camera");      // unplugged, then plugged in again
    QTest::addColumn<bool>("closesOpen"); // the removal closes the open camera
    QTest::addColumn<QStringList>("listedAfterRemoval");
    QTest::addColumn<QString>("deviceAfterRemoval");
    QTest::addColumn<QString>("stateAfterRemoval");
    QTest::addColumn<QStringList>("listedAfterArrival");
    QTest::addColumn<bool>("previewing"); // the open camera's preview runs when the removal comes

    const QByteArray oneCamera = R"({"cameras": [{"model": 7, "name": "PX QB18"}]})";
    QTest::newRow("the only camera") << oneCamera << 0 << 0 << true << QStringList() << QString()
                                     << "DISCONNECTED" << QStringList{"PX QB18"} << false;
    QTest::newRow("the only camera, previewing") << oneCamera << 0 << 0 << true << QStringList() << QString()
                                                 << "DISCONNECTED" << QStringList{"PX QB18"} << true;
    QTest::newRow("the open one of two: the other opens")
        << kTwoCameras << 0 << 0 << true << QStringList{"PX QB17-000"} << "PX QB17-000"
        << "CONNECTED" << QStringList{"PX QB18", "PX QB17-000"} << false;
    QTest::newRow("the other one of two: the open one stays")
        << kTwoCameras << 0 << 1 << false << QStringList{"PX QB18"} << "PX QB18"
        << "CONNECTED" << QStringList{"PX QB18", "PX QB17-000"} << false;
    QTest::newRow("the other one of two while previewing: the preview goes on")
        << kTwoCameras << 0 << 1 << false << QStringList{"PX QB18"} << "PX QB18"
        << "CONNECTED" << QStringList{"PX QB18", "PX QB17-000"} << true;
    // No camera is open (none of the brand's): a removal still reports a disconnection.
    QTest::newRow("none open") << oneCamera << 1 << 0 << false << QStringList() << QString() << "DISCONNECTED"
                               << QStringList() << false;
}

void TstWindow::removalAndArrival()
{
    QFETCH(QByteArray, configuration);
    QFETCH(int, brand);
    QFETCH(int, camera);
    QFETCH(bool, closesOpen);
    QFETCH(QStringList, listedAfterRemoval);
    QFETCH(QString, deviceAfterRemoval);
    QFETCH(QString, stateAfterRemoval);
    QFETCH(QStringList, listedAfterArrival);
    QFETCH(bool, previewing);

    WindowFixture f(configuration, WindowFixture::brand(brand));
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    QLabel* preview = label(f, "labPreview");
    if (previewing) {
        window->slotStartPreview();
        QTRY_VERIFY(!shown(preview).isNull());
    }
    QSignalSpy states(window, &MainWindow::onCameraState);
    const QString openBefore = label(f, "labelDevice")->text();
    LogCapture::clear();

    f.unplug(camera);
    QCOMPARE(LogCapture::count(QStringLiteral("plug out reset param")),
             closesOpen || openBefore.isEmpty() ? 1 : 0);
    QCOMPARE(f.listedNames(), listedAfterRemoval);
    QCOMPARE(label(f, "labelDevice")->text(), deviceAfterRemoval);
    QCOMPARE(label(f, "labelState")->text(), stateAfterRemoval);
    QCOMPARE(g_bOpenCamera.load(), !deviceAfterRemoval.isEmpty());
    if (previewing) {
        // Closing the camera ends its preview and clears the area; a preview of another camera
        // goes on.
        QCOMPARE(LogCapture::count(QStringLiteral("stop camera!")), closesOpen ? 1 : 0);
        QCOMPARE(shown(preview).isNull(), closesOpen);
        QCOMPARE(label(f, "labPreview_up")->isVisible(), closesOpen);
    }
    // The disconnection comes first, with the name of the camera that was open (empty if none).
    if (closesOpen || openBefore.isEmpty()) {
        QVERIFY(!states.isEmpty());
        QCOMPARE(states.at(0).at(0).toInt(), 1);
        QCOMPARE(states.at(0).at(1).toString(), openBefore);
    } else {
        QVERIFY(states.isEmpty());
        QCOMPARE(LogCapture::count(QStringLiteral("Close camera!")), 0);
    }

    LogCapture::clear();
    f.plug(camera);
    QCOMPARE(f.listedNames(), listedAfterArrival);
    // An arrival reopens nothing while the first listed camera is the open one.
    if (!closesOpen && !openBefore.isEmpty())
        QCOMPARE(LogCapture::count(QStringLiteral("Close camera!")), 0);
    if (!listedAfterArrival.isEmpty()) {
        QCOMPARE(label(f, "labelDevice")->text(), listedAfterArrival.first());
        QCOMPARE(label(f, "labelState")->text(), QStringLiteral("CONNECTED"));
    }
}

void TstWindow::clickOnTheOpenCameraDoesNothing()
{
    WindowFixture f(kTwoCameras);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    auto* list = f.widget<QListWidget>(QStringLiteral("listWidgetCamera"));
    window->slotStartPreview();
    QTRY_VERIFY(!shown(label(f, "labPreview")).isNull());
    LogCapture::clear();

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());

    QCOMPARE(LogCapture::count(QStringLiteral("Close camera!")), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("stop camera!")), 0);
    QCOMPARE(label(f, "labelDevice")->text(), QStringLiteral("PX QB18"));
    QVERIFY(g_bOpenCamera);
    QVERIFY(!LogCapture::contains(QStringLiteral("uvc path:"))); // the unit was not opened again
    QVERIFY(!shown(label(f, "labPreview")).isNull());
    window->closeCamera();
}

void TstWindow::clickOnAnotherCameraOpensIt()
{
    WindowFixture f(kTwoCameras);
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();
    auto* list = f.widget<QListWidget>(QStringLiteral("listWidgetCamera"));
    // The first camera's preview ran and was stopped: its last picture stays until the switch.
    QLabel* preview = label(f, "labPreview");
    QTest::mousePress(label(f, "labelTips"), Qt::LeftButton);
    QTRY_VERIFY(!shown(preview).isNull());
    QTest::mousePress(label(f, "labelStop"), Qt::LeftButton);
    QVERIFY(!shown(preview).isNull());
    LogCapture::clear();

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());

    QVERIFY(shown(preview).isNull());
    QVERIFY(label(f, "labPreview_up")->isVisible());
    QVERIFY(label(f, "labPreview_down")->isVisible());

    QCOMPARE(LogCapture::count(QStringLiteral("Close camera!")), 1);
    QCOMPARE(label(f, "labelDevice")->text(), QStringLiteral("PX QB17-000"));
    QCOMPARE(label(f, "labelState")->text(), QStringLiteral("CONNECTED"));
    QCOMPARE(list->currentRow(), 1);
    QVERIFY(g_bOpenCamera);
    // The query worker now asks the second camera.
    const int before = f.journal().events().size();
    QTRY_VERIFY_WITH_TIMEOUT(f.journal().events().size() > before, kQueryWaitMs);
    QCOMPARE(f.journal().events().constLast().value(QLatin1String("camera")).toInt(), 1);
}

void TstWindow::previewShowsPicturesUntilStopped_data()
{
    QTest::addColumn<bool>("keyboard"); // started and stopped with the keyboard instead of the mouse
    QTest::newRow("mouse") << false;
    QTest::newRow("keyboard") << true;
}

void TstWindow::previewShowsPicturesUntilStopped()
{
    QFETCH(bool, keyboard);
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();
    QLabel* preview = label(f, "labPreview");
    QLabel* tips = label(f, "labelTips");
    QLabel* stop = label(f, "labelStop");

    if (keyboard)
        QTest::keyClick(tips, Qt::Key_Space);
    else
        QTest::mousePress(tips, Qt::LeftButton);
    QCOMPARE(LogCapture::count(QStringLiteral("label mouse clicked")), keyboard ? 0 : 1);
    QVERIFY(label(f, "labelloading")->isVisible());
    QTRY_VERIFY(!shown(preview).isNull());
    QVERIFY(!label(f, "labPreview_up")->isVisible());
    QVERIFY(!label(f, "labPreview_down")->isVisible());
    QVERIFY(shown(preview).width() <= preview->width());

    // Hovering over the picture offers the stop icon.
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(preview, &enter);
    QVERIFY(stop->isVisible());

    QElapsedTimer timer;
    timer.start();
    if (keyboard)
        QTest::keyClick(stop, Qt::Key_Return);
    else
        QTest::mousePress(stop, Qt::LeftButton);
    QVERIFY(timer.elapsed() < 5000); // stopping never holds the window up
    QCOMPARE(LogCapture::count(QStringLiteral("stop camera!")), 1);

    // A picture still on its way when the preview stopped clears the area.
    MainWindow* window = f.window();
    QPixmap late(64, 36);
    late.fill(Qt::red);
    window->slotOnReader(late);
    QVERIFY(shown(preview).isNull());
    QVERIFY(label(f, "labPreview_up")->isVisible());
    QVERIFY(label(f, "labPreview_down")->isVisible());
    QCOMPARE(LogCapture::count(QStringLiteral("Discarding the data")), 1);
}

void TstWindow::picturesAfterStopCameraPreViewAreDiscarded()
{
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    QLabel* preview = label(f, "labPreview");
    window->slotStartPreview();
    QTRY_VERIFY(!shown(preview).isNull());

    window->stopCameraPreView();
    QCOMPARE(LogCapture::count(QStringLiteral("stop camera!")), 1);
    QPixmap late(64, 36);
    late.fill(Qt::red);
    window->slotOnReader(late);
    QVERIFY(shown(preview).isNull());
    QCOMPARE(LogCapture::count(QStringLiteral("Discarding the data")), 1);
}

void TstWindow::failedRequestReopensTheUnit()
{
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();
    QTRY_VERIFY_WITH_TIMEOUT(requestCount(f) > 0, kQueryWaitMs);
    f.journal().fresh();
    f.changeCamera(0, [](QJsonObject& json) {
        QJsonObject faults = json.value(QLatin1String("faults")).toObject();
        // As many failures as one query cycle has requests: one of them is an extension-unit
        // request, whichever request comes next.
        faults.insert(QStringLiteral("fail"), 12);
        json.insert(QStringLiteral("faults"), faults);
    });

    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count(QStringLiteral("MainWindow::slotReInitUvcEx")) >= 1,
                             kQueryWaitMs);
    // The unit was closed and opened again: after the failed request its transaction tags start
    // over (block bytes "<code> <tag> ...").
    QVector<QJsonObject> events;
    const auto restarted = [&f, &events] {
        events += f.journal().fresh();
        bool afterFault = false;
        for (const QJsonObject& event : events) {
            const QString name = event.value(QLatin1String("event")).toString();
            afterFault = afterFault || name == QLatin1String("fault");
            if (afterFault && name == QLatin1String("xu-set") &&
                event.value(QLatin1String("data")).toString().mid(3, 2) == QLatin1String("01"))
                return true;
        }
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(restarted(), kQueryWaitMs);
    QVERIFY(g_bOpenCamera);
    QCOMPARE(label(f, "labelState")->text(), QStringLiteral("CONNECTED"));
}

void TstWindow::cameraGoneWithoutNoticeIsClosedOnce()
{
    // The camera leaves while the query worker talks to it, and no removal notice comes (or it
    // comes late): the window closes it as unplugged instead of reopening it every few seconds.
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    f.createWindow();
    QTRY_VERIFY_WITH_TIMEOUT(requestCount(f) > 0, kQueryWaitMs);
    f.changeCamera(0, [](QJsonObject& json) {
        QJsonObject faults = json.value(QLatin1String("faults")).toObject();
        faults.insert(QStringLiteral("vanishAfter"), 0);
        json.insert(QStringLiteral("faults"), faults);
    });

    QTRY_VERIFY_WITH_TIMEOUT(label(f, "labelState")->text() == QLatin1String("DISCONNECTED"), kQueryWaitMs);
    QCOMPARE(LogCapture::count(QStringLiteral("UVC reinit failed!")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("plug out reset param")), 1);
    QVERIFY(!g_bOpenCamera);
    QVERIFY(f.listedNames().isEmpty());
    // Nothing asks the camera any more: no further attempt within a query interval.
    const int reports = LogCapture::count(QStringLiteral("MainWindow::slotReInitUvcEx"));
    QTest::qWait(3500);
    QCOMPARE(LogCapture::count(QStringLiteral("MainWindow::slotReInitUvcEx")), reports);
    QCOMPARE(LogCapture::count(QStringLiteral("UVC reinit failed!")), 1);

    // Its removal notice, arriving late, changes nothing more than a rebuilt (empty) list.
    LogCapture::clear();
    f.unplug(0);
    QVERIFY(f.listedNames().isEmpty());
    QCOMPARE(label(f, "labelState")->text(), QStringLiteral("DISCONNECTED"));
}

void TstWindow::lateFailureAfterCloseReopensNothing()
{
    // A failed request's report that reaches the window after the camera was closed.
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow();
    window->closeCamera();
    LogCapture::clear();

    window->slotReInitUvcEx();

    QCOMPARE(LogCapture::count(QStringLiteral("MainWindow::slotReInitUvcEx")), 1);
    QVERIFY(!LogCapture::contains(QStringLiteral("uvc path:"))); // no device was opened
    QVERIFY(!g_bOpenCamera);
}

void TstWindow::previewSizeFollowsTheWindow_data()
{
    QTest::addColumn<int>("width");
    QTest::newRow("1000") << 1000;
    QTest::newRow("1024") << 1024; // the start size on a 1280 x 800 screen
    QTest::newRow("1280") << 1280;
    QTest::newRow("1600") << 1600;
    QTest::newRow("1921") << 1921;
}

void TstWindow::previewSizeFollowsTheWindow()
{
    QFETCH(int, width);
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1200, 700));
    LogCapture::clear();

    window->resize(width, 720);
    QTRY_COMPARE(window->width(), width);
    // The rule measures the frame (the platform may add a border to the window).
    const int frameWidth = window->frameGeometry().width();
    const int previewW = frameWidth - 802;
    const int previewH = previewW * 9 / 16;
    QCOMPARE(label(f, "labPreview")->size(), QSize(previewW, previewH));
    QVERIFY(LogCapture::contains(QStringLiteral("preview_w: %1 width: %2 preview_h: %3 height:")
                                     .arg(previewW)
                                     .arg(frameWidth)
                                     .arg(previewH)));
    QVERIFY(LogCapture::contains(QStringLiteral("window size change")));

    // The preview column takes the width left to it: none of its widgets reaches into the control
    // panel, with or without a camera header, placeholders or a picture.
    const auto checkColumn = [&](const char* when) {
        QCoreApplication::processEvents();
        const QWidget* panel = f.widget<QWidget>(QStringLiteral("widgetControlPanel"));
        const QRect panelRect(panel->mapTo(window, QPoint(0, 0)), panel->size());
        const QWidget* column = f.widget<QWidget>(QStringLiteral("widgetPreviewArea"));
        QList<const QWidget*> widgets{column};
        for (const QWidget* child : column->findChildren<QWidget*>())
            widgets << child;
        for (const QWidget* w : widgets) {
            if (!w->isVisibleTo(window))
                continue;
            const QRect rect(w->mapTo(window, QPoint(0, 0)), w->size());
            QVERIFY2(!rect.intersects(panelRect) && rect.right() < window->width(),
                     qPrintable(QStringLiteral("%1: %2 at %3,%4 %5x%6 (minimum %7) against the panel "
                                               "ending at %8, window %9")
                                    .arg(QLatin1String(when), w->objectName())
                                    .arg(rect.x())
                                    .arg(rect.y())
                                    .arg(rect.width())
                                    .arg(rect.height())
                                    .arg(w->minimumSizeHint().width())
                                    .arg(panelRect.right())
                                    .arg(window->width())));
        }
    };
    checkColumn("placeholders");
    QVERIFY(QTest::currentTestFailed() == false);

    // The preview's pictures come at that size.
    window->slotStartPreview();
    QLabel* preview = label(f, "labPreview");
    QTRY_VERIFY(!shown(preview).isNull());
    checkColumn("preview");
    QVERIFY(shown(preview).width() <= previewW);
    QVERIFY(shown(preview).height() <= previewH);
    QVERIFY(shown(preview).width() == previewW || shown(preview).height() == previewH);
}

// A screen narrower than the window's minimum width: the window fills it, the preview keeps a
// size that holds its start icon, and the content scrolls sideways to reach it.
void TstWindow::narrowWindowKeepsAUsablePreview()
{
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1024, 595));
    window->setMinimumSize(800, 600);
    window->resize(800, 600);
    QTRY_COMPARE(window->width(), 800);
    QLabel* preview = label(f, "labPreview");
    QCOMPARE(preview->size(), QSize(192, 108));
    QLabel* tips = label(f, "labelTips");
    QVERIFY(tips->isVisibleTo(window));

    auto* body = f.widget<QScrollArea>(QStringLiteral("scrollAreaBody"));
    QVERIFY(body);
    QTRY_VERIFY(body->horizontalScrollBar()->isVisibleTo(window));
    body->ensureWidgetVisible(tips);
    QCoreApplication::processEvents();
    const QRect tipsRect(tips->mapTo(window, QPoint(0, 0)), tips->size());
    QVERIFY2(window->rect().contains(tipsRect),
             qPrintable(QStringLiteral("start icon at %1,%2").arg(tipsRect.x()).arg(tipsRect.y())));

    // Started from there, the preview shows pictures of that size.
    window->slotStartPreview();
    QTRY_VERIFY(!shown(preview).isNull());
    QVERIFY(shown(preview).width() <= 192 && shown(preview).height() <= 108);

    // Back at a usual width the content fits again: no scroll bar.
    window->resize(1024, 595);
    QTRY_COMPARE(window->width(), 1024);
    QTRY_VERIFY(!body->horizontalScrollBar()->isVisibleTo(window));
    QCOMPARE(preview->size(), QSize(222, 124));
}

// The start icon is dimmed while no camera is open, and a click on it still shows it again
// without starting anything.
void TstWindow::startIconLooksDisabledWithoutCamera()
{
    WindowFixture f(R"({"cameras": [{"model": 7, "name": "PX QB18"}]})");
    QVERIFY2(f.isValid(), qPrintable(f.errorString()));
    MainWindow* window = f.createWindow(QSize(1024, 595));
    QLabel* tips = label(f, "labelTips");
    const auto dimmed = [tips] {
        const QGraphicsEffect* effect = tips->graphicsEffect();
        return effect && effect->isEnabled();
    };
    QVERIFY(tips->isVisible());
    QVERIFY(!dimmed());

    f.unplug(0);
    QTRY_VERIFY(!g_bOpenCamera);
    QVERIFY(tips->isVisible());
    QVERIFY(dimmed());
    QTest::mouseClick(tips, Qt::LeftButton);
    QTRY_VERIFY(tips->isVisible());
    QVERIFY(shown(label(f, "labPreview")).isNull());

    f.plug(0);
    QTRY_VERIFY(g_bOpenCamera);
    QVERIFY(!dimmed());
    Q_UNUSED(window);
}

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
