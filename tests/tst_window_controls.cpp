// The main window's control panel on virtual cameras, in process: what every control sends (read
// from the camera's journal), the rows shown per tracking mode, the arrows and their limits, the
// delayed notice of a picture control, the query report's follow-up, "Default Settings", the
// notices of failures (one box at a time, none for a camera that went away) and the keyboard.

#include "app/globals.h"
#include "device/cameracontroltable.h"
#include "device/xuprotocol.h"
#include "sim/virtualrig.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"
#include "tests/support/windowfixture.h"
#include "ui/mainwindow.h"

#include <QtTest>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QLabel>
#include <QSlider>
#include <QStackedWidget>
#include <QTimer>

#include <linux/videodev2.h>
#include <memory>

namespace {

constexpr int kArcSecondsPerDegree = 3600;
const QString kTimedOut = QStringLiteral("The operation has timed out, please try again.");
const QString kNotWorking =
    QStringLiteral("Any change in the setting takes effect only if the camera is working.");
const QString kHdNotice = QStringLiteral(
    "Turn on for better image quality and turn off for better compatibility.To complete this process, "
    "your device may take a few seconds to restart.");

// One notice as the user saw it.
struct Notice
{
    QString text;
    bool countdown = false;
};

// Plays the user who reads each notice box and closes it: every box named
// "FormCustomizeMessagebox" is recorded and, once it has been open for holdMs, accepted.
class NoticeReader : public QObject
{
public:
    explicit NoticeReader(int holdMs = 0)
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this, holdMs] {
            int open = 0;
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QDialog*>(widget);
                if (!box || box->objectName() != QLatin1String("FormCustomizeMessagebox") ||
                    !box->isVisible())
                    continue;
                ++open;
                if (!m_seen.contains(box)) {
                    m_seen.insert(box, QElapsedTimer());
                    m_seen[box].start();
                    const auto* text = box->findChild<QLabel*>(QStringLiteral("labeltext"));
                    const auto* countdown = box->findChild<QLabel*>(QStringLiteral("labelCountdown"));
                    m_notices.append({text ? text->text() : QString(), countdown && !countdown->isHidden()});
                }
                if (m_seen[box].elapsed() >= holdMs)
                    box->accept();
            }
            m_mostOpen = std::max(m_mostOpen, open);
            // Boxes are destroyed after they close; forget them so an address can be reused.
            for (auto it = m_seen.begin(); it != m_seen.end();) {
                if (!QApplication::topLevelWidgets().contains(it.key()) || !it.key()->isVisible())
                    it = m_seen.erase(it);
                else
                    ++it;
            }
        });
        m_timer.start();
    }

    const QVector<Notice>& notices() const { return m_notices; }
    QStringList texts() const
    {
        QStringList result;
        for (const Notice& notice : m_notices)
            result << notice.text;
        return result;
    }
    int mostOpenAtOnce() const { return m_mostOpen; }

private:
    QTimer m_timer;
    QHash<QDialog*, QElapsedTimer> m_seen;
    QVector<Notice> m_notices;
    int m_mostOpen = 0;
};

// (code, value) of every vendor set block among events; queries (codes with the top bit) left out.
QVector<QPair<int, int>> setBlocks(const QVector<QJsonObject>& events)
{
    QVector<QPair<int, int>> blocks;
    for (const QJsonObject& event : events) {
        if (event.value(QLatin1String("event")).toString() != QLatin1String("xu-set") ||
            event.value(QLatin1String("selector")).toInt() != xu::SELECTOR_COMMAND)
            continue;
        const QByteArray data = QByteArray::fromHex(event.value(QLatin1String("data")).toString().toLatin1());
        const int code = static_cast<std::uint8_t>(data.at(0));
        if (!(code & xu::kQueryBit))
            blocks.append({code, static_cast<std::uint8_t>(data.at(2))});
    }
    return blocks;
}

// (control, value) of every standard-control write among events.
QVector<QPair<qint64, int>> controlWrites(const QVector<QJsonObject>& events)
{
    QVector<QPair<qint64, int>> writes;
    for (const QJsonObject& event : events) {
        if (event.value(QLatin1String("event")).toString() == QLatin1String("ctrl-set"))
            writes.append({event.value(QLatin1String("control")).toVariant().toLongLong(),
                           event.value(QLatin1String("value")).toInt()});
    }
    return writes;
}

QString arrowImage(const char* direction, bool disabled)
{
    return disabled
               ? QStringLiteral("border-image:url(:/qss/light/icon-arrow-%1-disable.png) center no-repeat;")
                     .arg(QLatin1String(direction))
               : QStringLiteral("border-image:url(:/qss/light/icon-arrow-%1.png) center no-repeat;")
                     .arg(QLatin1String(direction));
}

} // namespace

class TstWindowControls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void querySequenceAfterOpening_data();
    void querySequenceAfterOpening();
    void controlRows_data();
    void controlRows();
    void framingSentOnlyInAutoFraming_data();
    void framingSentOnlyInAutoFraming();
    void rowVisibility_data();
    void rowVisibility();
    void offWritesRememberedPosition();
    void arrowsFollowZoom();
    void arrowLimits_data();
    void arrowLimits();
    void arrowsRepeatWhileHeld();
    void presetLoadReadsPositionBack();
    void colourSliderTipOncePerWindow();
    void queryReportFollowUp();
    void automaticBox();
    void defaultSettings_data();
    void defaultSettings();
    void noticesDoNotStack();
    void cameraGoneNoNoticeStorm();
    void deniedDevicesNamedOnce();
    void previewKeys();
    void accessibleNames();
    void listsAndDisabledState();
    void chineseLists();
    void pagesRefreshControls();

private:
    // A rig of the given cameras, the window over it; the query worker stopped unless asked for,
    // so that it neither takes a fault meant for the window nor adds requests to the journal.
    void openWindow(const QByteArray& configuration = R"({"cameras": [{"model": 7}]})",
                    bool keepQueryWorker = false);
    void changeCamera(const std::function<void(VirtualCamera&)>& change);
    template <class T> T* widget(const char* name)
    {
        T* found = m_window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    // A click as the user makes it; a button on a page not shown (or hidden for good, as btnHDR)
    // is clicked through its click().
    void press(const char* name)
    {
        auto* button = widget<QAbstractButton>(name);
        if (button->isVisible())
            QTest::mouseClick(button, Qt::LeftButton);
        else
            button->click();
    }
    int comboValue(const char* name) { return widget<QComboBox>(name)->currentData().toInt(); }
    bool shown(const char* name) { return !widget<QWidget>(name)->isHidden(); }

    std::unique_ptr<WindowFixture> m_fixture;
    MainWindow* m_window = nullptr; // the fixture's
    std::unique_ptr<LogCapture> m_log;
    QStringList m_openingLog; // what the window logged while it opened the camera
};

void TstWindowControls::initTestCase()
{
    m_log = std::make_unique<LogCapture>();
    languageCN = false;
}

void TstWindowControls::cleanup()
{
    m_fixture.reset();
    m_window = nullptr;
}

void TstWindowControls::openWindow(const QByteArray& configuration, bool keepQueryWorker)
{
    m_fixture.reset();
    m_window = nullptr;
    LogCapture::clear();
    m_fixture = std::make_unique<WindowFixture>(configuration);
    QVERIFY2(m_fixture->isValid(), qPrintable(m_fixture->errorString()));
    m_window = m_fixture->createWindow();
    QVERIFY2(m_fixture->isValid(), qPrintable(m_fixture->errorString()));
    if (!keepQueryWorker)
        m_window->stopQueryWorker();
    // The remembered position of mode "Off" is written 100 ms after opening.
    QTest::qWait(150);
    m_fixture->journal().fresh();
    m_openingLog = LogCapture::lines();
    LogCapture::clear();
}

void TstWindowControls::changeCamera(const std::function<void(VirtualCamera&)>& change)
{
    m_fixture->rig().modify([&change](QVector<VirtualCamera>& cameras) { change(cameras[0]); });
}

// --- opening --------------------------------------------------------------------------------

void TstWindowControls::querySequenceAfterOpening_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QVector<int>>("codes");
    const QVector<int> common = {0x80, 0xB0, 0x81, 0x82, 0x84, 0x88, 0x89, 0x8D, 0x90};
    QTest::newRow("off") << 0 << common;
    QTest::newRow("auto framing") << 1 << (common + QVector<int>{0x91, 0x92});
    QTest::newRow("speaker tracking") << 2 << common;
}

void TstWindowControls::querySequenceAfterOpening()
{
    QFETCH(int, mode);
    QFETCH(QVector<int>, codes);
    openWindow(QStringLiteral(R"({"cameras": [{"model": 7, "settings": {"16": %1}}]})").arg(mode).toUtf8());
    const QVector<int> sent = vendorCommandCodes(m_fixture->journal().events(), CommandBlocks::Queries);
    QVERIFY(sent.size() >= codes.size());
    QCOMPARE(sent.mid(0, codes.size()), codes);
    // The version, the speaker and the mode as the opening read them.
    QCOMPARE(widget<QLabel>("labelDevVer")->text(), QStringLiteral("V1.2.10"));
    QCOMPARE(comboValue("comboBoxTrackMode"), mode);
    for (const QString& line :
         {QStringLiteral("flicker state:  1"), QStringLiteral("query max zoom: 500"),
          QStringLiteral("speaker volume: 50"), QStringLiteral("tracking mode state:  %1").arg(mode)})
        QVERIFY2(m_openingLog.contains(line), qPrintable(line));
}

// --- the control table ----------------------------------------------------------------------

void TstWindowControls::controlRows_data()
{
    QTest::addColumn<QString>("action"); // "<widget>" (a click) or "<widget>=<row>"
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QString>("logLine");

    struct Row
    {
        const char* name;
        const char* action;
        int code;
        int value;
        QStringList extraNotices; // after the set, in both cases
        const char* logLine;
    };
    const QVector<Row> rows = {
        {"mode off",
         "comboBoxTrackMode=3",
         xu::XU_TRACKING_MODE,
         0,
         {},
         "Set tracking mode: 0 , query value:"},
        {"mode speaker",
         "comboBoxTrackMode=1",
         xu::XU_TRACKING_MODE,
         2,
         {},
         "Set tracking mode: 2 , query value:"},
        {"mode presenter", "comboBoxTrackMode=2", xu::XU_TRACKING_MODE, 3, {}, "Set tracking mode: 3"},
        {"effect immediate", "comboBoxTrackEffect=1", xu::XU_FRAMING_EFFECT, 0, {}, "Set tracking effect: 0"},
        {"speed fast", "comboBoxTrackSpeend=2", xu::XU_FRAMING_SPEED, 2, {}, "Set tracking speed: 2"},
        {"flicker 60Hz", "comboBoxAntiFlicker=1", xu::XU_ANTI_FLICKER, 2, {}, "Set Flicker:"},
        {"mirror", "btnMirror", xu::XU_MIRROR, 1, {}, "Set mirror:"},
        {"HD", "btnHD", xu::XU_HD_MODE, 1, {kHdNotice}, nullptr},
        {"HDR", "btnHDR", xu::XU_HDR, 1, {}, "Set HDR:"},
        {"preset 1 save", "btnPreset1Set", xu::XU_PRESET_SAVE, 1, {}, "Set preset1."},
        {"preset 2 save", "btnPreset2Set", xu::XU_PRESET_SAVE, 2, {}, "Set preset2."},
        {"preset 1 load", "btnPreset1Load", xu::XU_PRESET_LOAD, 1, {}, "Load preset1."},
        {"preset 2 load", "btnPreset2Load", xu::XU_PRESET_LOAD, 2, {}, "Load preset2."},
    };
    for (const Row& row : rows) {
        QTest::addRow("%s", row.name) << QString::fromLatin1(row.action) << row.code << row.value << false
                                      << row.extraNotices << QString::fromLatin1(row.logLine);
        // Effect and speed ask for the mode first: a refused request there sends nothing (below).
        if (row.code == xu::XU_FRAMING_EFFECT || row.code == xu::XU_FRAMING_SPEED)
            continue;
        // A refused load does not move the camera, so nothing is read back or logged.
        const bool load = row.code == xu::XU_PRESET_LOAD;
        QTest::addRow("%s refused", row.name) << QString::fromLatin1(row.action) << row.code << row.value
                                              << true << (QStringList{kTimedOut} + row.extraNotices)
                                              << (load ? QString() : QString::fromLatin1(row.logLine));
    }
}

void TstWindowControls::controlRows()
{
    QFETCH(QString, action);
    QFETCH(int, code);
    QFETCH(int, value);
    QFETCH(bool, refused);
    QFETCH(QStringList, notices);
    QFETCH(QString, logLine);

    openWindow(R"({"cameras": [{"model": 7}]})");
    NoticeReader reader;
    if (refused)
        changeCamera([](VirtualCamera& camera) { camera.faults().refuseNext = 1; });

    const QStringList parts = action.split(QLatin1Char('='));
    if (parts.size() == 2) {
        widget<QComboBox>(qPrintable(parts.at(0)))->setCurrentIndex(parts.at(1).toInt());
    } else {
        press(qPrintable(parts.at(0)));
    }

    const QVector<QJsonObject> events = m_fixture->journal().fresh();
    const QVector<QPair<int, int>> blocks = setBlocks(events);
    if (refused) {
        // The camera stalled the block before taking it.
        QVERIFY(blocks.isEmpty());
        QCOMPARE(countEvents(events, QStringLiteral("fault")), 1);
    } else {
        QCOMPARE(blocks.size(), 1);
        QCOMPARE(blocks.first(), qMakePair(code, value));
    }
    QTRY_COMPARE(reader.texts(), notices);
    for (const Notice& notice : reader.notices())
        QCOMPARE(notice.countdown, notice.text != kTimedOut);
    if (!logLine.isEmpty())
        QVERIFY2(LogCapture::contains(logLine), qPrintable(LogCapture::lines().join(QLatin1Char('\n'))));
}

// Effect and speed are sent only while the camera reports auto framing.
void TstWindowControls::framingSentOnlyInAutoFraming_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("cameraMode");
    QTest::addColumn<bool>("queryRefused");
    QTest::newRow("effect, speaker tracking") << QStringLiteral("comboBoxTrackEffect") << 2 << false;
    QTest::newRow("effect, mode query refused") << QStringLiteral("comboBoxTrackEffect") << 1 << true;
    QTest::newRow("speed, off") << QStringLiteral("comboBoxTrackSpeend") << 0 << false;
    QTest::newRow("speed, mode query refused") << QStringLiteral("comboBoxTrackSpeend") << 1 << true;
}

void TstWindowControls::framingSentOnlyInAutoFraming()
{
    QFETCH(QString, list);
    QFETCH(int, cameraMode);
    QFETCH(bool, queryRefused);
    openWindow(R"({"cameras": [{"model": 7}]})");
    NoticeReader reader;
    changeCamera([cameraMode, queryRefused](VirtualCamera& camera) {
        QJsonObject json = camera.toJson();
        QJsonObject settings = json.value(QLatin1String("settings")).toObject();
        settings.insert(QString::number(xu::XU_TRACKING_MODE), cameraMode);
        json.insert(QStringLiteral("settings"), settings);
        camera = VirtualCamera::fromJson(json);
        if (queryRefused)
            camera.faults().refuseNext = 1;
    });
    widget<QComboBox>(qPrintable(list))->setCurrentIndex(1);
    QVERIFY(setBlocks(m_fixture->journal().fresh()).isEmpty());
    QTest::qWait(100);
    QVERIFY(reader.notices().isEmpty());
}

void TstWindowControls::rowVisibility_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("effect");
    QTest::addColumn<bool>("trackOff");
    QTest::addColumn<bool>("effectRow");
    QTest::addColumn<bool>("speedRow");
    QTest::newRow("off") << 0 << 1 << true << false << false;
    QTest::newRow("auto framing, smooth") << 1 << 1 << false << true << true;
    QTest::newRow("auto framing, immediate") << 1 << 0 << false << true << false;
    QTest::newRow("speaker tracking") << 2 << 1 << false << false << false;
    QTest::newRow("presenter tracking") << 3 << 0 << false << false << false;
}

// The rows as the opening reads the camera, and as a choice in the mode list leaves them.
void TstWindowControls::rowVisibility()
{
    QFETCH(int, mode);
    QFETCH(int, effect);
    QFETCH(bool, trackOff);
    QFETCH(bool, effectRow);
    QFETCH(bool, speedRow);
    auto check = [&] {
        QCOMPARE(shown("widgetTrackOff"), trackOff);
        for (const char* name : {"label_16", "comboBoxTrackEffect", "widgetEffect"})
            QCOMPARE(shown(name), effectRow);
        for (const char* name : {"label_17", "comboBoxTrackSpeend", "widgetSpeed"})
            QCOMPARE(shown(name), speedRow);
    };

    openWindow(QStringLiteral(R"({"cameras": [{"model": 7, "settings": {"16": %1, "17": %2}}]})")
                   .arg(mode)
                   .arg(effect)
                   .toUtf8());
    check();

    // From another mode, the user's choice.
    const int other = mode == 2 ? 3 : 2;
    auto* list = widget<QComboBox>("comboBoxTrackMode");
    list->setCurrentIndex(list->findData(other));
    QCOMPARE(comboValue("comboBoxTrackMode"), other);
    LogCapture::clear();
    list->setCurrentIndex(list->findData(mode));
    check();
    QVERIFY(LogCapture::contains(speedRow ? QStringLiteral("----speed show ----")
                                          : QStringLiteral("----speed hide ----")));
}

// Choosing "Off" writes the remembered pan, tilt and zoom back 100 ms later.
void TstWindowControls::offWritesRememberedPosition()
{
    openWindow(
        R"({"cameras": [{"model": 7, "controls": {"10094856": 36000, "10094857": -18000, "10094861": 300}}]})");
    auto* list = widget<QComboBox>("comboBoxTrackMode");
    list->setCurrentIndex(list->findData(0));
    QVERIFY(LogCapture::contains(QStringLiteral("sliderZoom: 300")));
    QVERIFY(controlWrites(m_fixture->journal().fresh()).isEmpty());
    QTRY_VERIFY(!controlWrites(m_fixture->journal().events()).isEmpty());
    QTest::qWait(50);
    const QVector<QPair<qint64, int>> writes = controlWrites(m_fixture->journal().fresh());
    QVERIFY(writes.contains(qMakePair(qint64(V4L2_CID_TILT_ABSOLUTE), -5 * kArcSecondsPerDegree)));
    QVERIFY(writes.contains(qMakePair(qint64(V4L2_CID_PAN_ABSOLUTE), 10 * kArcSecondsPerDegree)));
    QVERIFY(writes.contains(qMakePair(qint64(V4L2_CID_ZOOM_ABSOLUTE), 300)));
}

// --- arrows ---------------------------------------------------------------------------------

void TstWindowControls::arrowsFollowZoom()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    const QVector<QPair<const char*, const char*>> arrows = {{"btnCameraUp", "up"},
                                                             {"btnCameraDown", "down"},
                                                             {"btnCameraLeft", "left"},
                                                             {"btnCameraRight", "right"}};
    // 1.0x: nothing to pan.
    QCOMPARE(widget<QSlider>("sliderZoom")->value(), 100);
    QCOMPARE(widget<QLabel>("labelZoomValue")->text(), QStringLiteral("1.0x"));
    QCOMPARE(widget<QWidget>("widgetDirectionBg")->cursor().shape(), Qt::ForbiddenCursor);
    for (const auto& arrow : arrows) {
        QVERIFY(!widget<QWidget>(arrow.first)->isEnabled());
        QCOMPARE(widget<QWidget>(arrow.first)->styleSheet(), arrowImage(arrow.second, true));
    }
    // 1.1x: the arrows work.
    widget<QSlider>("sliderZoom")->setValue(110);
    QCOMPARE(widget<QLabel>("labelZoomValue")->text(), QStringLiteral("1.1x"));
    QVERIFY(LogCapture::contains(QStringLiteral("set g_zoom finished!!!")));
    QCOMPARE(widget<QWidget>("widgetDirectionBg")->cursor().shape(), Qt::ArrowCursor);
    for (const auto& arrow : arrows) {
        QVERIFY(widget<QWidget>(arrow.first)->isEnabled());
        QCOMPARE(widget<QWidget>(arrow.first)->styleSheet(), arrowImage(arrow.second, false));
    }
    QVERIFY(
        controlWrites(m_fixture->journal().fresh()).contains(qMakePair(qint64(V4L2_CID_ZOOM_ABSOLUTE), 110)));

    // The dark theme's pictures.
    m_window->setTheme(1);
    QCOMPARE(widget<QWidget>("btnCameraUp")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/dark/icon-arrow-up-dark.png) center no-repeat;"));
    widget<QSlider>("sliderZoom")->setValue(100);
    QCOMPARE(widget<QWidget>("btnCameraLeft")->styleSheet(),
             QStringLiteral("border-image:url(:/qss/dark/icon-arrow-left-disable.png) center no-repeat;"));
    m_window->setTheme(0);
    QCOMPARE(widget<QWidget>("btnCameraLeft")->styleSheet(), arrowImage("left", true));
}

void TstWindowControls::arrowLimits_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("opposite");
    QTest::addColumn<QString>("oppositeImage");
    QTest::addColumn<qint64>("control");
    QTest::addColumn<int>("limit"); // degrees
    QTest::addColumn<QString>("logKey");
    // Pan: the camera turns 30 degrees either way, so the window's own bound of 30 applies.
    QTest::newRow("right") << "btnCameraRight"
                           << "right"
                           << "btnCameraLeft"
                           << "left" << qint64(V4L2_CID_PAN_ABSOLUTE) << 30 << "g_pan:";
    QTest::newRow("left") << "btnCameraLeft"
                          << "left"
                          << "btnCameraRight"
                          << "right" << qint64(V4L2_CID_PAN_ABSOLUTE) << -30 << "g_pan:";
    // Tilt: the camera tilts 20 degrees; its range narrows the bound.
    QTest::newRow("up") << "btnCameraUp"
                        << "up"
                        << "btnCameraDown"
                        << "down" << qint64(V4L2_CID_TILT_ABSOLUTE) << 20 << "g_tilt:";
    QTest::newRow("down") << "btnCameraDown"
                          << "down"
                          << "btnCameraUp"
                          << "up" << qint64(V4L2_CID_TILT_ABSOLUTE) << -20 << "g_tilt:";
}

// Stepping to the limit: one degree a click, the "-disable" image and the forbidden cursor at the
// limit, no step beyond it and no notice on the way.
void TstWindowControls::arrowLimits()
{
    QFETCH(QString, button);
    QFETCH(QString, image);
    QFETCH(QString, opposite);
    QFETCH(QString, oppositeImage);
    QFETCH(qint64, control);
    QFETCH(int, limit);
    QFETCH(QString, logKey);
    openWindow(R"({"cameras": [{"model": 7, "controls": {"10094861": 200}}]})");
    NoticeReader reader;
    auto* arrow = widget<QAbstractButton>(qPrintable(button));
    QVERIFY(arrow->isEnabled());
    const int clicks = std::abs(limit) + 3;
    for (int i = 0; i < clicks; ++i)
        QTest::mouseClick(arrow, Qt::LeftButton);
    QVector<int> values;
    for (const auto& write : controlWrites(m_fixture->journal().fresh())) {
        if (write.first == control)
            values << write.second / kArcSecondsPerDegree;
    }
    // One degree a click up to the limit, then the limit again.
    QVERIFY(values.size() >= clicks);
    const QVector<int> steps = values.mid(values.size() - clicks);
    for (int i = 0; i < clicks; ++i)
        QCOMPARE(steps.at(i), (limit > 0 ? 1 : -1) * std::min(i + 1, std::abs(limit)));
    QCOMPARE(arrow->styleSheet(), arrowImage(qPrintable(image), true));
    QCOMPARE(arrow->cursor().shape(), Qt::ForbiddenCursor);
    QCOMPARE(widget<QWidget>(qPrintable(opposite))->styleSheet(),
             arrowImage(qPrintable(oppositeImage), false));
    QCOMPARE(widget<QWidget>(qPrintable(opposite))->cursor().shape(), Qt::ArrowCursor);
    QVERIFY(LogCapture::contains(QStringLiteral("%1 %2").arg(logKey).arg(limit)));
    QTest::qWait(50);
    QVERIFY(reader.notices().isEmpty());

    // One step back leaves the limit.
    QTest::mouseClick(widget<QAbstractButton>(qPrintable(opposite)), Qt::LeftButton);
    QCOMPARE(arrow->styleSheet(), arrowImage(qPrintable(image), false));
}

// A held arrow: first repeat after 500 ms, then every 200 ms, until released.
void TstWindowControls::arrowsRepeatWhileHeld()
{
    openWindow(R"({"cameras": [{"model": 7, "controls": {"10094861": 200}}]})");
    for (const char* name : {"btnCameraUp", "btnCameraDown", "btnCameraLeft", "btnCameraRight"}) {
        auto* arrow = widget<QAbstractButton>(name);
        QVERIFY(arrow->autoRepeat());
        QCOMPARE(arrow->autoRepeatDelay(), 500);
        QCOMPARE(arrow->autoRepeatInterval(), 200);
    }
    auto* right = widget<QAbstractButton>("btnCameraRight");
    auto panWrites = [this] {
        int count = 0;
        for (const auto& write : controlWrites(m_fixture->journal().events()))
            count += write.first == V4L2_CID_PAN_ABSOLUTE;
        return count;
    };
    QTest::mousePress(right, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(panWrites() >= 3, 5000);
    QTest::mouseRelease(right, Qt::LeftButton);
    const int held = panWrites();
    QTest::qWait(600);
    // Released: at most the click of the release itself follows.
    QVERIFY(panWrites() <= held + 1);
}

// A loaded preset moves the camera: the arrows follow its position.
void TstWindowControls::presetLoadReadsPositionBack()
{
    openWindow(R"({"cameras": [{"model": 7, "controls": {"10094861": 200},
                   "presets": {"1": [108000, 0, 200]}}]})");
    press("btnPreset1Load");
    QCOMPARE(CameraControlTable::instance().get(CameraControl::Pan).current, 30);
    QCOMPARE(widget<QWidget>("btnCameraRight")->styleSheet(), arrowImage("right", true));
    // The next step starts from the camera's position.
    m_fixture->journal().fresh();
    QTest::mouseClick(widget<QAbstractButton>("btnCameraLeft"), Qt::LeftButton);
    QVERIFY(controlWrites(m_fixture->journal().fresh())
                .contains(qMakePair(qint64(V4L2_CID_PAN_ABSOLUTE), 29 * kArcSecondsPerDegree)));
}

// --- picture controls -----------------------------------------------------------------------

// The camera does not stream, so it keeps its picture values: a drag shows one notice after
// 500 ms, none more for 1.5 s, and the slider returns to the camera's value.
void TstWindowControls::colourSliderTipOncePerWindow()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    NoticeReader reader;
    auto* slider = widget<QSlider>("sliderBrightness");
    QCOMPARE(slider->value(), 50);
    QElapsedTimer clock;
    clock.start();
    for (int value : {55, 60, 65, 70})
        slider->setValue(value);
    QCOMPARE(widget<QLabel>("labelBrightnessValue")->text(), QStringLiteral("70"));
    QVERIFY(reader.notices().isEmpty());
    QTRY_COMPARE(reader.notices().size(), 1);
    QVERIFY(clock.elapsed() >= 450);
    QCOMPARE(reader.notices().first().text, kNotWorking);
    QVERIFY(reader.notices().first().countdown);
    QTRY_COMPARE(slider->value(), 50);
    // Inside the 1.5 s: no second notice.
    if (clock.elapsed() < 1200) {
        slider->setValue(75);
        QTest::qWait(700);
        QCOMPARE(reader.notices().size(), 1);
    }
    // After it: the next one.
    QTest::qWait(int(std::max<qint64>(100, 1700 - clock.elapsed())));
    slider->setValue(80);
    QTRY_COMPARE(reader.notices().size(), 2);
}

// --- query report ---------------------------------------------------------------------------

// A mode changed on the camera is mirrored by the next report and then written back once.
void TstWindowControls::queryReportFollowUp()
{
    openWindow(R"({"cameras": [{"model": 7}]})", true);
    changeCamera([](VirtualCamera& camera) {
        QJsonObject json = camera.toJson();
        QJsonObject settings = json.value(QLatin1String("settings")).toObject();
        settings.insert(QString::number(xu::XU_TRACKING_MODE), 2);
        settings.insert(QString::number(xu::XU_ANTI_FLICKER), 2);
        json.insert(QStringLiteral("settings"), settings);
        camera = VirtualCamera::fromJson(json);
    });
    QTRY_COMPARE_WITH_TIMEOUT(comboValue("comboBoxTrackMode"), 2, 8000);
    QTRY_COMPARE(comboValue("comboBoxAntiFlicker"), 2);
    QVERIFY(LogCapture::contains(QStringLiteral("MainWindow::slotOnQueryReport 2")));
    QVERIFY(!shown("widgetEffect"));
    m_window->stopQueryWorker();
    const QVector<QPair<int, int>> blocks = setBlocks(m_fixture->journal().fresh());
    QCOMPARE(blocks.count(qMakePair(int(xu::XU_TRACKING_MODE), 2)), 1);
    QCOMPARE(blocks.count(qMakePair(int(xu::XU_ANTI_FLICKER), 2)), 1);
    QCOMPARE(blocks.size(), 2);
    // The same report again changes nothing and sends nothing.
    m_window->slotOnQueryReport(2, 2);
    QVERIFY(setBlocks(m_fixture->journal().fresh()).isEmpty());
    // A flicker value in no row leaves the list without a row.
    m_window->slotOnQueryReport(2, 7);
    QCOMPARE(widget<QComboBox>("comboBoxAntiFlicker")->currentIndex(), -1);
    QVERIFY(setBlocks(m_fixture->journal().fresh()).isEmpty());
}

// The hidden Auto box of hue hands the control to the camera with its default value, and takes
// it back with the current one.
void TstWindowControls::automaticBox()
{
    openWindow(R"({"cameras": [{"model": 7, "streaming": true, "controls": {"9963779": 5}}]})");
    auto* box = widget<QCheckBox>("checkBoxHueAuto");
    QVERIFY(box->isEnabled());
    box->setChecked(true);
    QVector<QPair<qint64, int>> writes = controlWrites(m_fixture->journal().fresh());
    QVERIFY(writes.size() >= 2);
    QCOMPARE(writes.at(0), qMakePair(qint64(V4L2_CID_HUE), 15));
    QCOMPARE(writes.at(1), qMakePair(qint64(V4L2_CID_HUE_AUTO), 1));
    // The slider follows the camera without taking the control back.
    QVERIFY(!writes.contains(qMakePair(qint64(V4L2_CID_HUE_AUTO), 0)));
    QCOMPARE(widget<QSlider>("sliderHue")->value(), 15);
    QVERIFY(!widget<QWidget>("sliderHue")->isEnabled());
    box->setChecked(false);
    writes = controlWrites(m_fixture->journal().fresh());
    QVERIFY(writes.contains(qMakePair(qint64(V4L2_CID_HUE_AUTO), 0)));
    QVERIFY(writes.contains(qMakePair(qint64(V4L2_CID_HUE), 15)));
    QVERIFY(widget<QWidget>("sliderHue")->isEnabled());
}

// --- Default Settings -----------------------------------------------------------------------

void TstWindowControls::defaultSettings_data()
{
    QTest::addColumn<bool>("streaming");
    QTest::addColumn<int>("notices");
    QTest::newRow("camera streaming") << true << 0;
    QTest::newRow("camera idle") << false << 1;
}

void TstWindowControls::defaultSettings()
{
    QFETCH(bool, streaming);
    QFETCH(int, notices);
    openWindow(QStringLiteral(R"({"cameras": [{"model": 7, "streaming": %1, "controls": {
        "9963776": 10, "9963777": 20, "9963779": 5, "9963778": 100, "9963803": 200}}]})")
                   .arg(streaming ? QStringLiteral("true") : QStringLiteral("false"))
                   .toUtf8());
    NoticeReader reader;
    QCOMPARE(widget<QSlider>("sliderBrightness")->value(), 10);
    press("btnDefaultColor");
    const QVector<QPair<qint64, int>> writes = controlWrites(m_fixture->journal().fresh());
    QVERIFY(writes.size() >= 5);
    const QVector<QPair<qint64, int>> expected = {{V4L2_CID_BRIGHTNESS, 50},
                                                  {V4L2_CID_HUE, 15},
                                                  {V4L2_CID_CONTRAST, 50},
                                                  {V4L2_CID_SATURATION, 63},
                                                  {V4L2_CID_SHARPNESS, 128}};
    QCOMPARE(writes.mid(0, 5), expected);
    QTest::qWait(700); // a delayed notice would show within this
    QCOMPARE(reader.notices().size(), notices);
    if (notices) {
        QCOMPARE(reader.notices().first().text, kNotWorking);
        QVERIFY(reader.notices().first().countdown);
        QCOMPARE(widget<QSlider>("sliderBrightness")->value(), 10);
    } else {
        QCOMPARE(widget<QSlider>("sliderBrightness")->value(), 50);
        QCOMPARE(widget<QSlider>("sliderSharpness")->value(), 128);
    }
}

// --- notices --------------------------------------------------------------------------------

// A burst of failures shows one box at a time; the texts that arrive meanwhile are logged.
void TstWindowControls::noticesDoNotStack()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    NoticeReader reader(300);
    changeCamera([](VirtualCamera& camera) { camera.faults().refuseNext = 1; });
    QTimer::singleShot(100, m_window, [this] { m_window->showMessage(QStringLiteral("second"), false); });
    // A refused setting while the box is open.
    QTimer::singleShot(150, m_window, [this] { widget<QAbstractButton>("btnMirror")->click(); });
    m_window->showMessage(QStringLiteral("first"), false);
    QCOMPARE(reader.texts(), QStringList{QStringLiteral("first")});
    QCOMPARE(reader.mostOpenAtOnce(), 1);
    QVERIFY(LogCapture::contains(QStringLiteral("second")));
    QVERIFY(LogCapture::contains(kTimedOut));
    // Once closed, the next notice shows.
    m_window->showMessage(QStringLiteral("third"), false);
    QCOMPARE(reader.texts(), (QStringList{QStringLiteral("first"), QStringLiteral("third")}));
}

// A camera unplugged while settings are written: the failed writes show no notice.
void TstWindowControls::cameraGoneNoNoticeStorm()
{
    openWindow(R"({"cameras": [{"model": 7, "controls": {"10094861": 200}}]})");
    NoticeReader reader;
    changeCamera([](VirtualCamera& camera) { camera.faults().vanishAfter = 0; });
    widget<QAbstractButton>("btnMirror")->click();
    widget<QComboBox>("comboBoxAntiFlicker")->setCurrentIndex(1);
    widget<QAbstractButton>("btnHD")->click();
    widget<QAbstractButton>("btnPreset1Set")->click();
    if (widget<QAbstractButton>("btnCameraRight")->isEnabled())
        widget<QAbstractButton>("btnCameraRight")->click();
    if (widget<QSlider>("sliderBrightness")->isEnabled())
        widget<QSlider>("sliderBrightness")->setValue(70);
    QTest::qWait(800);
    QVERIFY2(reader.notices().isEmpty(), qPrintable(reader.texts().join(QLatin1Char('|'))));
    QVERIFY(LogCapture::contains(QStringLiteral("the camera is gone")));
}

// A camera and a camera in its boot stage whose nodes refuse this user (no udev rule yet): one
// notice names both and the rule; a later refresh of the list does not repeat it.
void TstWindowControls::deniedDevicesNamedOnce()
{
    NoticeReader reader;
    openWindow(R"({"cameras": [{"model": 7}, {"model": 6, "denied": true},
                               {"model": 6, "stage": "rom", "denied": true}]})");
    QTRY_COMPARE(reader.notices().size(), 1);
    const QString text = reader.texts().at(0);
    QVERIFY2(text.startsWith(QLatin1String("No permission to open virtual:video2 (")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("the camera waiting in its boot stage (")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("60-deckctl.rules")) &&
                 text.contains(QLatin1String("udevadm trigger")),
             qPrintable(text));
    // The camera that may be opened is open as usual.
    QVERIFY(widget<QAbstractButton>("btnMirror")->isEnabled());

    // Another camera arrives: the list is built again.
    m_window->slotOnCameraPlugged(true, QString());
    QTest::qWait(300);
    QCOMPARE(reader.notices().size(), 1);
}

// --- keyboard and accessibility -------------------------------------------------------------

void TstWindowControls::previewKeys()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    auto* preview = widget<QWidget>("labPreview");
    QCOMPARE(preview->focusPolicy(), Qt::StrongFocus);
    preview->setFocus();
    QTRY_VERIFY(preview->hasFocus());
    // At 1.0x the arrow keys do nothing; "+" zooms in.
    QTest::keyClick(preview, Qt::Key_Right);
    QVERIFY(controlWrites(m_fixture->journal().fresh()).isEmpty());
    QTest::keyClick(preview, Qt::Key_Plus);
    QCOMPARE(widget<QSlider>("sliderZoom")->value(), 110);
    QVERIFY(
        controlWrites(m_fixture->journal().fresh()).contains(qMakePair(qint64(V4L2_CID_ZOOM_ABSOLUTE), 110)));
    const QVector<QPair<int, QPair<qint64, int>>> keys = {
        {Qt::Key_Right, {V4L2_CID_PAN_ABSOLUTE, 1}},
        {Qt::Key_Left, {V4L2_CID_PAN_ABSOLUTE, 0}},
        {Qt::Key_Up, {V4L2_CID_TILT_ABSOLUTE, 1}},
        {Qt::Key_Down, {V4L2_CID_TILT_ABSOLUTE, 0}},
    };
    for (const auto& key : keys) {
        QTest::keyClick(preview, Qt::Key(key.first));
        const auto writes = controlWrites(m_fixture->journal().fresh());
        QVERIFY(writes.contains(qMakePair(key.second.first, key.second.second * kArcSecondsPerDegree)));
    }
    QTest::keyClick(preview, Qt::Key_Minus);
    QCOMPARE(widget<QSlider>("sliderZoom")->value(), 100);
}

void TstWindowControls::accessibleNames()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    for (const char* name : {"labPreview",
                             "comboBoxTrackMode",
                             "comboBoxTrackEffect",
                             "comboBoxTrackSpeend",
                             "comboBoxAntiFlicker",
                             "sliderZoom",
                             "btnCameraUp",
                             "btnCameraDown",
                             "btnCameraLeft",
                             "btnCameraRight",
                             "btnPreset1Set",
                             "btnPreset1Load",
                             "btnPreset2Set",
                             "btnPreset2Load",
                             "btnHD",
                             "btnHDR",
                             "btnMirror",
                             "sliderBrightness",
                             "sliderContract",
                             "sliderHue",
                             "sliderSaturation",
                             "sliderSharpness",
                             "checkBoxBrightnessAuto",
                             "checkBoxContractAuto",
                             "checkBoxHueAuto",
                             "checkBoxSaturationAuto",
                             "checkBoxSharpnessAuto",
                             "btnDefaultColor",
                             "btnVideoControl",
                             "btnColorControl"})
        QVERIFY2(!widget<QWidget>(name)->accessibleName().isEmpty(), name);
}

// The lists carry their values; with the camera gone everything is disabled and zoom is 1.0x.
void TstWindowControls::listsAndDisabledState()
{
    openWindow(R"({"cameras": [{"model": 7, "controls": {"10094861": 300}}]})");
    const QVector<QPair<const char*, QVector<int>>> lists = {
        {"comboBoxTrackMode", {1, 2, 3, 0}},
        {"comboBoxTrackEffect", {1, 0}},
        {"comboBoxTrackSpeend", {0, 1, 2}},
        {"comboBoxAntiFlicker", {1, 2}},
    };
    for (const auto& list : lists) {
        auto* box = widget<QComboBox>(list.first);
        QCOMPARE(box->count(), list.second.size());
        for (int row = 0; row < box->count(); ++row)
            QCOMPARE(box->itemData(row).toInt(), list.second.at(row));
    }
    QCOMPARE(widget<QComboBox>("comboBoxTrackMode")->itemText(3), QStringLiteral("Off"));
    QVERIFY(widget<QAbstractButton>("btnMirror")->isCheckable());
    QVERIFY(widget<QAbstractButton>("btnHD")->isCheckable());
    QVERIFY(widget<QWidget>("sliderZoom")->isEnabled());
    QVERIFY(!widget<QWidget>("checkBoxBrightnessAuto")->isEnabled());

    // No preview: its start icon shows.
    QVERIFY(shown("labelTips"));
    QVERIFY(!shown("labelStop"));
    QVERIFY(!shown("labelloading"));

    m_window->closeCamera();
    QVERIFY(LogCapture::contains(QStringLiteral("set controls enable. false")));
    for (const char* name : {"sliderZoom", "sliderBrightness", "comboBoxTrackMode", "btnMirror", "btnHD",
                             "btnPreset1Set", "btnDefaultColor", "btnCameraUp"})
        QVERIFY2(!widget<QWidget>(name)->isEnabled(), name);
    QCOMPARE(widget<QSlider>("sliderZoom")->value(), 100);
    QCOMPARE(widget<QSlider>("sliderZoom")->minimum(), 100);
    QCOMPARE(widget<QSlider>("sliderBrightness")->value(), 0);
}

// With the Chinese interface the lists show the Chinese texts and carry the same values.
void TstWindowControls::chineseLists()
{
    languageCN = true;
    openWindow(R"({"cameras": [{"model": 7, "settings": {"16": 0}}]})");
    languageCN = false;
    auto* mode = widget<QComboBox>("comboBoxTrackMode");
    QCOMPARE(mode->itemText(3), QStringLiteral("关闭"));
    QCOMPARE(mode->currentIndex(), 3);
    QCOMPARE(widget<QComboBox>("comboBoxTrackEffect")->itemText(1), QStringLiteral("立即切换"));
    QCOMPARE(widget<QComboBox>("comboBoxTrackSpeend")->itemText(2), QStringLiteral("较快"));
    QCOMPARE(widget<QComboBox>("comboBoxAntiFlicker")->itemText(1), QStringLiteral("60Hz"));
}

// Opening the "Color Adjustment" sub-page or the "Controls" page reads the camera's values.
void TstWindowControls::pagesRefreshControls()
{
    openWindow(R"({"cameras": [{"model": 7}]})");
    auto* brightness = widget<QSlider>("sliderBrightness");
    QCOMPARE(brightness->value(), 50);
    changeCamera([](VirtualCamera& camera) {
        QJsonObject json = camera.toJson();
        QJsonObject controls = json.value(QLatin1String("controls")).toObject();
        controls.insert(QString::number(V4L2_CID_BRIGHTNESS), 70);
        json.insert(QStringLiteral("controls"), controls);
        camera = VirtualCamera::fromJson(json);
    });
    press("btnColorControl");
    QCOMPARE(widget<QStackedWidget>("stackedWidgetControl")->currentIndex(), 1);
    QVERIFY(widget<QAbstractButton>("btnColorControl")->isChecked());
    QVERIFY(!widget<QAbstractButton>("btnVideoControl")->isChecked());
    QCOMPARE(brightness->value(), 70);
    QCOMPARE(widget<QLabel>("labelBrightnessValue")->text(), QStringLiteral("70"));

    press("btnNavSupport");
    QCOMPARE(widget<QStackedWidget>("stackedWidgetMain")->currentIndex(), 1);
    changeCamera([](VirtualCamera& camera) {
        QJsonObject json = camera.toJson();
        QJsonObject controls = json.value(QLatin1String("controls")).toObject();
        controls.insert(QString::number(V4L2_CID_BRIGHTNESS), 30);
        json.insert(QStringLiteral("controls"), controls);
        camera = VirtualCamera::fromJson(json);
    });
    QCOMPARE(brightness->value(), 70);
    press("btnNavControl");
    QCOMPARE(widget<QStackedWidget>("stackedWidgetMain")->currentIndex(), 0);
    QVERIFY(widget<QAbstractButton>("btnNavControl")->isChecked());
    QVERIFY(!widget<QAbstractButton>("btnNavSupport")->isChecked());
    QCOMPARE(brightness->value(), 30);
}

QTEST_MAIN(TstWindowControls)
#include "tst_window_controls.moc"
