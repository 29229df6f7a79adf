// The extension-unit command set against the virtual camera: the exact bytes of every block as
// the camera receives them, the transaction tags, answers and failures.

#include "device/uvcextensionunit.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "tests/support/journalreader.h"

#include <QtTest>

#include <QJsonDocument>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <functional>

namespace {

struct Received
{
    QString event;
    int selector;
    QString data;
};

} // namespace

class TstExtensionUnit : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void setBlocks_data();
    void setBlocks();
    void queryBlocksAndAnswers_data();
    void queryBlocksAndAnswers();
    void versionsAndMaximumZoom();
    void loaderEntryBlocks();
    void tagCounterWrapsAndRestarts();
    void failedQueryLeavesValueUntouched();
    void refusedRequestAsksForReopen();
    void openMatchesPathAndName();
    void concurrentQueriesGetTheirOwnAnswers();
    void unusableStateFailsRequests();

private:
    QVector<Received> journal(); // everything since the last call
    void setCameraState(const std::function<void(VirtualCamera&)>& change);

    QScopedPointer<QTemporaryDir> m_dir;
    std::unique_ptr<VirtualRig> m_rig;
    std::unique_ptr<VirtualVideoBackend> m_backend;
    std::unique_ptr<UVCExtensionUnit> m_unit;
    JournalReader m_journal;
};

void TstExtensionUnit::init()
{
    m_dir.reset(new QTemporaryDir);
    m_journal.setPath(m_dir->filePath(QStringLiteral("journal.jsonl")));
    QVector<VirtualCamera> cameras = {VirtualCamera(7), VirtualCamera(2)};
    cameras[1].setBusPort(QStringLiteral("1-2"));
    m_rig =
        std::make_unique<VirtualRig>(cameras, QString(), m_dir->filePath(QStringLiteral("journal.jsonl")));
    m_backend = std::make_unique<VirtualVideoBackend>(*m_rig);
    m_unit = std::make_unique<UVCExtensionUnit>(m_backend.get());
    const VideoDeviceInfo first = m_backend->listCaptureDevices().first();
    QVERIFY(m_unit->InitVideoDevice(QString(), first.friendlyName));
}

void TstExtensionUnit::cleanup()
{
    m_unit.reset();
    m_backend.reset();
    m_rig.reset();
}

QVector<Received> TstExtensionUnit::journal()
{
    QVector<Received> events;
    for (const QJsonObject& object : m_journal.fresh())
        events.append({object.value(QLatin1String("event")).toString(),
                       object.value(QLatin1String("selector")).toInt(),
                       object.value(QLatin1String("data")).toString()});
    return events;
}

void TstExtensionUnit::setCameraState(const std::function<void(VirtualCamera&)>& change)
{
    m_rig->modify([&change](QVector<VirtualCamera>& cameras) { change(cameras[0]); });
}

void TstExtensionUnit::setBlocks_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("block");
    // The first block after opening carries tag 01.
    QTest::newRow("hdr on") << "sethdr 1"
                            << "01 01 01 00 00 00 00 00";
    QTest::newRow("anti-flicker 60Hz") << "setFlicker 2"
                                       << "02 01 02 00 00 00 00 00";
    QTest::newRow("microphone off") << "setMic 0"
                                    << "04 01 00 00 00 00 00 00";
    QTest::newRow("shutter closed") << "setShutter 1"
                                    << "07 01 01 00 00 00 00 00";
    QTest::newRow("max zoom 1.5x") << "setMaxZoom 150"
                                   << "08 01 96 00 00 00 00 00";
    QTest::newRow("max zoom 8x") << "setMaxZoom 800"
                                 << "08 01 20 03 00 00 00 00";
    QTest::newRow("mirror on") << "setMirror 1"
                               << "09 01 01 00 00 00 00 00";
    QTest::newRow("store preset 2") << "setPreset 2"
                                    << "0a 01 02 00 00 00 00 00";
    QTest::newRow("recall preset 1") << "setLoad 1"
                                     << "0b 01 01 00 00 00 00 00";
    QTest::newRow("hd mode on") << "setHD 1"
                                << "0d 01 01 00 00 00 00 00";
    QTest::newRow("presenter tracking") << "setTrackingMode 3"
                                        << "10 01 03 00 00 00 00 00";
    QTest::newRow("framing immediate") << "setTrackingffect 0"
                                       << "11 01 00 00 00 00 00 00";
    QTest::newRow("framing fast") << "setTrackingSpeed 2"
                                  << "12 01 02 00 00 00 00 00";
    QTest::newRow("audio processing") << "setAudio 255"
                                      << "20 01 ff 00 00 00 00 00";
    QTest::newRow("factory reset") << "setDefault"
                                   << "7f 01 00 00 00 00 00 00";
    QTest::newRow("audio-module announcement") << "setUpdateXmos"
                                               << "30 01 00 00 00 00 00 00";
}

void TstExtensionUnit::setBlocks()
{
    QFETCH(QString, operation);
    QFETCH(QString, block);
    const QStringList parts = operation.split(QLatin1Char(' '));
    const int argument = parts.value(1).toInt();
    const QMap<QString, std::function<bool()>> operations = {
        {"sethdr", [&] { return m_unit->sethdr(argument); }},
        {"setFlicker", [&] { return m_unit->setFlicker(argument); }},
        {"setMic", [&] { return m_unit->setMic(argument); }},
        {"setShutter", [&] { return m_unit->setShutter(argument); }},
        {"setMaxZoom", [&] { return m_unit->setMaxZoom(static_cast<std::uint16_t>(argument)); }},
        {"setMirror", [&] { return m_unit->setMirror(argument); }},
        {"setPreset", [&] { return m_unit->setPreset(argument); }},
        {"setLoad", [&] { return m_unit->setLoad(argument); }},
        {"setHD", [&] { return m_unit->setHD(argument); }},
        {"setTrackingMode", [&] { return m_unit->setTrackingMode(argument); }},
        {"setTrackingffect", [&] { return m_unit->setTrackingffect(argument); }},
        {"setTrackingSpeed", [&] { return m_unit->setTrackingSpeed(argument); }},
        {"setAudio", [&] { return m_unit->setAudio(argument); }},
        {"setDefault", [&] { return m_unit->setDefault(); }},
        {"setUpdateXmos", [&] { return m_unit->setUpdateXmos(); }},
    };
    QVERIFY(operations.contains(parts.first()));
    QVERIFY(operations.value(parts.first())());
    const QVector<Received> received = journal();
    QVERIFY(!received.isEmpty());
    QCOMPARE(received.first().event, QStringLiteral("xu-set"));
    QCOMPARE(received.first().selector, 1);
    QCOMPARE(received.first().data, block);
}

void TstExtensionUnit::queryBlocksAndAnswers_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("expected"); // the camera's factory value
    QTest::newRow("hdr") << "gethdr" << 0x81 << 0;
    QTest::newRow("anti-flicker") << "getFlickerInfo" << 0x82 << 1;
    QTest::newRow("microphone") << "getMICInfo" << 0x84 << 1;
    QTest::newRow("shutter") << "getShutter" << 0x87 << 0;
    QTest::newRow("mirror") << "getMirror" << 0x89 << 0;
    QTest::newRow("hd mode") << "getHDInfo" << 0x8d << 0;
    QTest::newRow("tracking mode") << "getTrackingMode" << 0x90 << 1;
    QTest::newRow("framing effect") << "getAutoframEffect" << 0x91 << 1;
    QTest::newRow("framing speed") << "getAutoFrameSpeed" << 0x92 << 1;
    QTest::newRow("audio") << "getAudio" << 0xa0 << 0;
    QTest::newRow("field of view") << "getAngleInfo" << 0x8c << 1;
    QTest::newRow("tracking effect state") << "getTrackingEffect" << 0x93 << 1;
    QTest::newRow("tracking speed state") << "getTrackingSpeed" << 0x94 << 1;
}

void TstExtensionUnit::queryBlocksAndAnswers()
{
    QFETCH(QString, operation);
    QFETCH(int, code);
    QFETCH(int, expected);
    const QMap<QString, bool (UVCExtensionUnit::*)(int&)> queries = {
        {"gethdr", &UVCExtensionUnit::gethdr},
        {"getFlickerInfo", &UVCExtensionUnit::getFlickerInfo},
        {"getMICInfo", &UVCExtensionUnit::getMICInfo},
        {"getShutter", &UVCExtensionUnit::getShutter},
        {"getMirror", &UVCExtensionUnit::getMirror},
        {"getHDInfo", &UVCExtensionUnit::getHDInfo},
        {"getTrackingMode", &UVCExtensionUnit::getTrackingMode},
        {"getAutoframEffect", &UVCExtensionUnit::getAutoframEffect},
        {"getAutoFrameSpeed", &UVCExtensionUnit::getAutoFrameSpeed},
        {"getAudio", &UVCExtensionUnit::getAudio},
        {"getAngleInfo", &UVCExtensionUnit::getAngleInfo},
        {"getTrackingEffect", &UVCExtensionUnit::getTrackingEffect},
        {"getTrackingSpeed", &UVCExtensionUnit::getTrackingSpeed},
    };
    int value = -1;
    QVERIFY((m_unit.get()->*queries.value(operation))(value));
    QCOMPARE(value, expected);
    // Two transfers: the block with tag 01 on selector 1, then the answer on selector 2.
    const QVector<Received> received = journal();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received.at(0).selector, 1);
    QCOMPARE(received.at(0).data,
             QStringLiteral("%1 01 00 00 00 00 00 00").arg(code, 2, 16, QLatin1Char('0')));
    QCOMPARE(received.at(1).event, QStringLiteral("xu-get"));
    QCOMPARE(received.at(1).selector, 2);
    // The query spent two tags: the next block carries 03.
    QVERIFY(m_unit->sethdr(0));
    QCOMPARE(journal().first().data, QStringLiteral("01 03 00 00 00 00 00 00"));
}

void TstExtensionUnit::versionsAndMaximumZoom()
{
    m_rig->modify([](QVector<VirtualCamera>& cameras) {
        QJsonObject json = cameras[0].toJson();
        json.insert(QStringLiteral("firmware"), QStringLiteral("1.2.10"));
        json.insert(QStringLiteral("audio"), QStringLiteral("300.0.65535"));
        cameras[0] = VirtualCamera::fromJson(json);
    });
    QString firmware;
    QString audio;
    QVERIFY(m_unit->getCameraVersion(firmware));
    QCOMPARE(firmware, QStringLiteral("1.2.10"));
    // The answer echoes the block's code and tag, then three big-endian words.
    QCOMPARE(journal().at(1).data, QStringLiteral("80 01 00 01 00 02 00 0a"));
    QVERIFY(m_unit->getAudioVersion(audio));
    QCOMPARE(audio, QStringLiteral("300.0.65535"));

    std::uint16_t zoom = 0;
    QVERIFY(m_unit->setMaxZoom(800));
    QVERIFY(m_unit->getMAXZoomInfo(zoom));
    QCOMPARE(zoom, std::uint16_t(800));
    bool loader = true;
    QVERIFY(m_unit->getUBootVersion(loader));
    QVERIFY(!loader);
}

void TstExtensionUnit::loaderEntryBlocks()
{
    QVERIFY(m_unit->setMaxZoom(200)); // tag 01
    QVERIFY(m_unit->setUpdateCamera());
    QVector<Received> received = journal();
    QCOMPARE(received.at(1).selector, 4);
    QCOMPARE(received.at(1).data, QStringLiteral("00 ff 07 4c 44 55 50 47"));
    QCOMPARE(received.at(2).event, QStringLiteral("reenumerate"));
    // The camera left for its loader; a fresh camera takes the main-SoC entry block. Selector 4
    // did not advance the counter: this block carries tag 02.
    m_rig->modify([](QVector<VirtualCamera>& cameras) { cameras[0] = VirtualCamera(7); });
    QVERIFY(m_unit->setUpdateSSD222D());
    received = journal();
    QCOMPARE(received.first().data, QStringLiteral("30 02 00 4c 44 55 50 47"));
}

void TstExtensionUnit::tagCounterWrapsAndRestarts()
{
    for (int block = 1; block <= 255; ++block)
        QVERIFY(m_unit->setMirror(0));
    journal();
    QVERIFY(m_unit->setMirror(1)); // the 256th block
    QCOMPARE(journal().first().data, QStringLiteral("09 00 01 00 00 00 00 00"));
    QVERIFY(m_unit->setMirror(0)); // the 257th
    QCOMPARE(journal().first().data, QStringLiteral("09 01 00 00 00 00 00 00"));

    m_unit->CloseVideoDevice();
    QVERIFY(m_unit->InitVideoDevice(QString(), QStringLiteral("PX QB18")));
    QVERIFY(m_unit->setMirror(1));
    QCOMPARE(journal().first().data, QStringLiteral("09 01 01 00 00 00 00 00"));
}

void TstExtensionUnit::failedQueryLeavesValueUntouched()
{
    QSignalSpy reopen(m_unit.get(), &UVCExtensionUnit::reInitUvc);
    // The block fails.
    setCameraState([](VirtualCamera& camera) { camera.faults().failNext = 1; });
    int value = 42;
    QVERIFY(!m_unit->getTrackingMode(value));
    QCOMPARE(value, 42);
    // The camera stalls a version query.
    setCameraState([](VirtualCamera& camera) { camera.faults().refuseNext = 1; });
    QString version = QStringLiteral("untouched");
    QVERIFY(!m_unit->getCameraVersion(version));
    QCOMPARE(version, QStringLiteral("untouched"));
    // The block goes through, the camera is unplugged before the answer.
    setCameraState([](VirtualCamera& camera) { camera.faults().vanishAfter = 1; });
    std::uint16_t zoom = 7;
    QVERIFY(!m_unit->getMAXZoomInfo(zoom));
    QCOMPARE(zoom, std::uint16_t(7));
    QCOMPARE(reopen.count(), 3);
}

void TstExtensionUnit::refusedRequestAsksForReopen()
{
    QSignalSpy reopen(m_unit.get(), &UVCExtensionUnit::reInitUvc);
    // A value the camera does not take is stalled: the set fails and the window must reopen.
    QTest::ignoreMessage(QtDebugMsg, "Set FAIL REINITUVC");
    QVERIFY(!m_unit->setFlicker(7));
    QCOMPARE(reopen.count(), 1);
    // A receiver that closes the device at once (as the window does) must not break the caller.
    connect(
        m_unit.get(), &UVCExtensionUnit::reInitUvc, this, [this] { m_unit->CloseVideoDevice(); },
        Qt::DirectConnection);
    QVERIFY(!m_unit->setTrackingMode(9));
    QVERIFY(!m_unit->isOpen());
    int value = 5;
    QVERIFY(!m_unit->getTrackingMode(value)); // closed: no request, no signal
    QCOMPARE(value, 5);
    QCOMPARE(reopen.count(), 2);
}

void TstExtensionUnit::openMatchesPathAndName()
{
    const QVector<VideoDeviceInfo> devices = m_backend->listCaptureDevices();
    QCOMPARE(devices.size(), 4); // two cameras, each with a microphone node
    UVCExtensionUnit unit(m_backend.get());
    // The second camera by its id and name; its answers come from camera 1 in the journal.
    const QString secondId = devices.at(2).devicePath.section(QLatin1Char('#'), 1, 2);
    QVERIFY(unit.InitVideoDevice(secondId, devices.at(2).friendlyName));
    journal();
    QVERIFY(unit.sethdr(1));
    const QStringList lines = m_journal.lines();
    QVERIFY(!lines.isEmpty() && lines.last().contains("\"camera\":1"));
    // A matching path with another name, or a name not listed: nothing opens.
    QVERIFY(!unit.InitVideoDevice(secondId, devices.at(0).friendlyName));
    QVERIFY(!unit.isOpen());
    QVERIFY(!unit.InitVideoDevice(QString(), QStringLiteral("No Such Camera")));
}

void TstExtensionUnit::concurrentQueriesGetTheirOwnAnswers()
{
    QVERIFY(m_unit->setFlicker(2));
    QVERIFY(m_unit->setTrackingMode(3));
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false\ndeckctl.*.debug=false"));
    std::atomic<int> wrong{0};
    std::atomic<int> failed{0};
    auto hammer = [&](bool (UVCExtensionUnit::*query)(int&), int expected) {
        for (int i = 0; i < 400; ++i) {
            int value = -1;
            if (!(m_unit.get()->*query)(value))
                ++failed;
            else if (value != expected)
                ++wrong;
        }
    };
    // The window's thread and the query worker at once.
    std::unique_ptr<QThread> worker(QThread::create([&] { hammer(&UVCExtensionUnit::getFlickerInfo, 2); }));
    worker->start();
    hammer(&UVCExtensionUnit::getTrackingMode, 3);
    QVERIFY(worker->wait(60000));
    QLoggingCategory::setFilterRules(QString());
    QCOMPARE(failed.load(), 0);
    QCOMPARE(wrong.load(), 0);
}

void TstExtensionUnit::unusableStateFailsRequests()
{
    // A state file shared with other processes turns corrupt, or cannot be written any more,
    // while the program runs: requests fail as device errors would, and the file is not reset.
    const QString statePath = m_dir->filePath(QStringLiteral("state.json"));
    VirtualRig rig({VirtualCamera(7)}, statePath, m_dir->filePath(QStringLiteral("journal2.jsonl")));
    QVERIFY2(rig.isValid(), qPrintable(rig.errorString()));
    VirtualVideoBackend backend(rig);
    UVCExtensionUnit unit(&backend);
    QVERIFY(unit.InitVideoDevice(QString(), backend.listCaptureDevices().first().friendlyName));
    QVERIFY(unit.setTrackingMode(2));

    QFile state(statePath);
    QVERIFY(state.open(QIODevice::WriteOnly | QIODevice::Truncate));
    state.write(R"({"cameras": [{"model": 7, "faults": {"refuse": -1}}]})");
    state.close();
    int mode = -1;
    QVERIFY(!unit.getTrackingMode(mode));
    QVERIFY(!rig.isValid());
    QVERIFY2(rig.errorString().contains(QLatin1String("corrupt")) &&
                 rig.errorString().contains(QLatin1String("\"cameras[0].faults.refuse\"")),
             qPrintable(rig.errorString()));
    QVERIFY(state.open(QIODevice::ReadOnly));
    QVERIFY(state.readAll().contains("\"refuse\": -1"));
    state.close();

    // The state's folder is gone: what a request changed cannot be kept.
    VirtualRig lost({VirtualCamera(7)}, m_dir->filePath(QStringLiteral("gone/state.json")));
    QVERIFY(!lost.isValid());
    QVERIFY2(lost.errorString().contains(QLatin1String("cannot write the virtual camera state")),
             qPrintable(lost.errorString()));
    QCOMPARE(lost.withCamera(0, [](VirtualCamera&, QVector<JournalEvent>*) { return 0; }), -EIO);
}

QTEST_GUILESS_MAIN(TstExtensionUnit)
#include "tst_extension_unit.moc"
