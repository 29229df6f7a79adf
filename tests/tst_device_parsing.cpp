// Parsers of outside input in the device layer: USB ids out of device ids, the device-path
// shape the hot-plug rules split, and USB descriptors (including malformed ones); and the virtual
// camera's configuration, whose descriptors they read.

#include "device/deviceid.h"
#include "device/dshowcamerawrapper.h"
#include "device/usbdescriptors.h"
#include "device/xuprotocol.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

#include <QtTest>

#include <QJsonDocument>
#include <QRandomGenerator>

class TstDeviceParsing : public QObject
{
    Q_OBJECT
private slots:
    void parseVidPid_data();
    void parseVidPid();
    void devicePathShape_data();
    void devicePathShape();
    void removalNameContainsOnlyItsCamera();
    void extensionUnitInDescriptors();
    void malformedDescriptors();
    void virtualCameraConfiguration_data();
    void virtualCameraConfiguration();
};

void TstDeviceParsing::parseVidPid_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("vid");
    QTest::addColumn<int>("pid");
    QTest::newRow("windows id") << "vid_1d6b&pid_0102&mi_00#6&1a2b3c&0&0000" << true << 0x1D6B << 0x0102;
    QTest::newRow("our id") << "vid_343b&pid_0305&mi_00#vc02a0001&1-2.3&0&0000" << true << 0x343B << 0x0305;
    QTest::newRow("upper-case hex") << "vid_1D6B&pid_C015&" << true << 0x1D6B << 0xC015;
    QTest::newRow("no & after the product id") << "vid_1d6b&pid_0102" << false << 0 << 0;
    QTest::newRow("empty") << "" << false << 0 << 0;
    QTest::newRow("no vid") << "pid_0102&x" << false << 0 << 0;
    QTest::newRow("first & before vid_") << "x&vid_1d6b&pid_0102&" << false << 0 << 0;
    QTest::newRow("short vendor field") << "vid_1&pid_0102&" << true << 0x1 << 0x0102;
    QTest::newRow("upper-case markers") << "VID_1D6B&PID_0102&" << false << 0 << 0;
    QTest::newRow("not hex") << "vid_1d6b&pid_zzzz&" << false << 0 << 0;
}

void TstDeviceParsing::parseVidPid()
{
    QFETCH(QString, id);
    QFETCH(bool, ok);
    QFETCH(int, vid);
    QFETCH(int, pid);
    int parsedVid = 0;
    int parsedPid = 0;
    QCOMPARE(DShowCameraWrapper::parseVidPid(id, parsedVid, parsedPid), ok);
    if (ok) {
        QCOMPARE(parsedVid, vid);
        QCOMPARE(parsedPid, pid);
    }
}

void TstDeviceParsing::devicePathShape_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("ordinal");
    QTest::newRow("with serial") << "VC07A0001"
                                 << "1-2" << 0;
    QTest::newRow("without serial") << ""
                                    << "3-1.4.2" << 0;
    QTest::newRow("serial with separators") << "A#B&C d"
                                            << "1-1" << 1;
}

void TstDeviceParsing::devicePathShape()
{
    QFETCH(QString, serial);
    QFETCH(QString, port);
    QFETCH(int, ordinal);
    UsbVideoNodeIdentity identity;
    identity.vendorId = 0x1D6B;
    identity.productId = 0x0113;
    identity.serial = serial;
    identity.busPort = port;
    identity.captureOrdinal = ordinal;
    const QString path = buildDevicePath(identity);
    QCOMPARE(path, path.toLower());
    // The hot-plug rules: four "#" parts, the third of four "&" fields, "0000" for the first node.
    const QStringList parts = path.split(QLatin1Char('#'));
    QCOMPARE(parts.size(), 4);
    const QStringList fields = parts.at(2).split(QLatin1Char('&'));
    QCOMPARE(fields.size(), 4);
    QCOMPARE(fields.at(3) == QLatin1String("0000"), ordinal == 0);
    const QString id = deviceIdFromPath(path);
    QVERIFY(id.contains(QLatin1String("vid_1d6b&pid_0113&")));
    int vid = 0;
    int pid = 0;
    QVERIFY(DShowCameraWrapper::parseVidPid(id, vid, pid));
    QCOMPARE(vid, 0x1D6B);
    QCOMPARE(pid, 0x0113);
    // The same camera on the same port gets the same path.
    QCOMPARE(buildDevicePath(identity), path);
}

void TstDeviceParsing::removalNameContainsOnlyItsCamera()
{
    // Two identical cameras, on a port and on a port below it.
    UsbVideoNodeIdentity a;
    a.vendorId = 0x1D6B;
    a.productId = 0x0113;
    a.busPort = QStringLiteral("1-2");
    UsbVideoNodeIdentity b = a;
    b.busPort = QStringLiteral("1-2.1");
    const QString pathA = buildDevicePath(a);
    const QString pathB = buildDevicePath(b);
    QVERIFY(pathA.contains(deviceIdFromPath(pathA)));
    QVERIFY(!pathA.contains(deviceIdFromPath(pathB)));
    QVERIFY(!pathB.contains(deviceIdFromPath(pathA)));
    QCOMPARE(deviceIdFromPath(QStringLiteral("no separators")), QString());
    QCOMPARE(deviceIdFromPath(QStringLiteral("one#only")), QString());
}

void TstDeviceParsing::extensionUnitInDescriptors()
{
    QJsonObject json;
    json.insert(QStringLiteral("model"), 2);
    for (int unit : {6, 3, 17}) {
        json.insert(QStringLiteral("extensionUnit"), unit);
        QCOMPARE(findExtensionUnitId(VirtualCamera::fromJson(json).usbDescriptors(), xu::kUnitGuid), unit);
    }
    json.insert(QStringLiteral("extensionUnit"), QJsonValue::Null);
    QCOMPARE(findExtensionUnitId(VirtualCamera::fromJson(json).usbDescriptors(), xu::kUnitGuid), -1);
    // Another GUID is not our unit.
    std::array<std::uint8_t, 16> other = xu::kUnitGuid;
    other[15] ^= 0xFF;
    QCOMPARE(findExtensionUnitId(VirtualCamera(7).usbDescriptors(), other), -1);
}

void TstDeviceParsing::malformedDescriptors()
{
    const QByteArray good = VirtualCamera(7).usbDescriptors();
    QCOMPARE(findExtensionUnitId(good, xu::kUnitGuid), 6);
    // Every truncation: no overread (the sanitizers watch), and no unit before the unit's end.
    const int unitEnd =
        good.indexOf(QByteArray(reinterpret_cast<const char*>(xu::kUnitGuid.data()), 16)) + 22;
    for (int size = 0; size < good.size(); ++size) {
        const int unit = findExtensionUnitId(good.left(size), xu::kUnitGuid);
        QVERIFY2(unit == -1 || size >= unitEnd, qPrintable(QString::number(size)));
    }
    // A zero length ends the walk instead of looping for ever.
    QByteArray zero = good;
    zero[18] = 0;
    QCOMPARE(findExtensionUnitId(zero, xu::kUnitGuid), -1);
    // Random corruption never crashes.
    QRandomGenerator random(1234);
    for (int round = 0; round < 2000; ++round) {
        QByteArray corrupt = good;
        for (int flips = 0; flips < 4; ++flips)
            corrupt[int(random.bounded(corrupt.size()))] = char(random.bounded(256));
        findExtensionUnitId(corrupt, xu::kUnitGuid);
    }
    // The unit outside a VideoControl interface does not count.
    QByteArray outside = good;
    const int interfaceClass = good.indexOf(QByteArray::fromHex("0904000000")) + 5;
    outside[interfaceClass] = char(0xFF);
    QCOMPARE(findExtensionUnitId(outside, xu::kUnitGuid), -1);
}

void TstDeviceParsing::virtualCameraConfiguration_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("stored"); // a "key": value the stored state then holds
    QTest::newRow("one camera") << QByteArray(R"({"cameras": [{"model": 7}]})") << true
                                << R"("extensionUnit":6)";
    QTest::newRow("model outside the catalogue")
        << QByteArray(R"({"cameras": [{"model": 11}]})") << false << "";
    QTest::newRow("no extension unit") << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": null}]})")
                                       << true << R"("extensionUnit":-1)";
    QTest::newRow("no extension unit, as stored")
        << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": -1}]})") << true
        << R"("extensionUnit":-1)";
    QTest::newRow("unit 255") << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": 255}]})") << true
                              << R"("extensionUnit":255)";
    // The descriptors carry one byte, and 0 means "undefined": the camera would answer on a unit
    // that the lookup can never find.
    QTest::newRow("unit 256") << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": 256}]})") << false
                              << "";
    QTest::newRow("unit 0") << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": 0}]})") << false
                            << "";
    QTest::newRow("unit -3") << QByteArray(R"({"cameras": [{"model": 7, "extensionUnit": -3}]})") << false
                             << "";
    QTest::newRow("speaker volume") << QByteArray(R"({"cameras": [{"model": 7, "speakerVolume": 0.25}]})")
                                    << true << R"("speakerVolume":0.25)";
    // A volume far beyond any sound server's is no volume (it would not fit a percentage).
    QTest::newRow("speaker volume 1e30")
        << QByteArray(R"({"cameras": [{"model": 7, "speakerVolume": 1e30}]})") << false << "";
    QTest::newRow("speaker volume as text")
        << QByteArray(R"({"cameras": [{"model": 7, "speakerVolume": "loud"}]})") << false << "";
    // Loader state beyond 32 bits is clamped (the sanitizers watch the conversion).
    QTest::newRow("tag beyond 32 bits")
        << QByteArray(R"({"cameras": [{"model": 7, "loader": {"tag": 1e30}}]})") << true
        << R"("tag":4294967295)";
    QTest::newRow("negative load size")
        << QByteArray(R"({"cameras": [{"model": 7, "loader": {"loadSize": -1e30}}]})") << true
        << R"("loadSize":0)";
}

void TstDeviceParsing::virtualCameraConfiguration()
{
    QFETCH(QByteArray, configuration);
    QFETCH(bool, accepted);
    QFETCH(QString, stored);
    QVector<VirtualCamera> cameras;
    QString error;
    QCOMPARE(VirtualRig::parseConfiguration(configuration, &cameras, &error), accepted);
    if (!accepted) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(cameras.size(), 1);
    const QByteArray state = QJsonDocument(cameras.first().toJson()).toJson(QJsonDocument::Compact);
    QVERIFY2(state.contains(stored.toUtf8()), state.constData());
    const int unit = cameras.first().extensionUnitId();
    QCOMPARE(findExtensionUnitId(cameras.first().usbDescriptors(), xu::kUnitGuid), unit);
}

QTEST_APPLESS_MAIN(TstDeviceParsing)
#include "tst_device_parsing.moc"
