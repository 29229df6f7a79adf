// Parsers of outside input in the device layer: USB ids out of device ids, the device-path
// shape the hot-plug rules split, and USB descriptors (including malformed ones).

#include "device/deviceid.h"
#include "device/dshowcamerawrapper.h"
#include "device/usbdescriptors.h"
#include "device/xuprotocol.h"
#include "sim/virtualcamera.h"

#include <QtTest>

#include <QRandomGenerator>

#include <initializer_list>
#include <memory>

namespace {

// USB descriptors byte by byte, in the layouts real devices send.
QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(static_cast<char>(value));
    return out;
}

QByteArray deviceDescriptor()
{
    return bytes(
        {18, 0x01, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x6B, 0x1D, 0x13, 0x01, 0x00, 0x01, 1, 2, 3, 1});
}

QByteArray association(int firstInterface, int count)
{
    return bytes({8, 0x0B, firstInterface, count, 0x0E, 0x03, 0x00, 0});
}

QByteArray interfaceDescriptor(int number, int interfaceClass, int subclass, int alternate = 0)
{
    return bytes({9, 0x04, number, alternate, 0, interfaceClass, subclass, 0, 0});
}

QByteArray videoControl(int number)
{
    return interfaceDescriptor(number, 0x0E, 0x01);
}

QByteArray videoStreaming(int number)
{
    return interfaceDescriptor(number, 0x0E, 0x02) +
           bytes({14, 0x24, 0x01, 0x01, 0x0E, 0x00, 0x81, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00});
}

// The class-specific VideoControl header, camera terminal 1 and processing unit 2.
QByteArray videoControlUnits(int streamingInterface)
{
    return bytes({13, 0x24, 0x01, 0x00, 0x01, 0x4E, 0x00, 0x80, 0xC3, 0xC9, 0x01, 0x01, streamingInterface}) +
           bytes({18, 0x24, 0x02, 0x01, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0x0A, 0x00}) +
           bytes({13, 0x24, 0x05, 0x02, 0x01, 0x00, 0x40, 0x03, 0x1F, 0x08, 0x00, 0x00, 0x00});
}

QByteArray extensionUnit(int unitId, const std::array<std::uint8_t, 16>& guid = xu::kUnitGuid)
{
    QByteArray unit = bytes({26, 0x24, 0x06, unitId});
    unit.append(reinterpret_cast<const char*>(guid.data()), int(guid.size()));
    unit.append(bytes({7, 1, 2, 1, 0x6B, 0}));
    return unit;
}

// A descriptor of a type no standard knows, as some devices put between the others.
QByteArray vendorSpecific(int length)
{
    QByteArray out = bytes({length, 0x41});
    out.append(QByteArray(length - 2, char(0x24)));
    return out;
}

// A video function on interfaces first and first + 1 with an extension unit (none when
// unitId < 0).
QByteArray videoFunction(int first, int unitId)
{
    QByteArray out = association(first, 2) + videoControl(first) + videoControlUnits(first + 1);
    if (unitId >= 0)
        out += extensionUnit(unitId);
    return out + bytes({9, 0x24, 0x03, 0x03, 0x01, 0x01, 0x00, 0x02, 0x00}) + videoStreaming(first + 1);
}

// A configuration descriptor with its wTotalLength (computed when total is negative).
QByteArray configuration(int value, const QByteArray& body, int total = -1)
{
    if (total < 0)
        total = 9 + body.size();
    return bytes({9, 0x02, total & 0xFF, (total >> 8) & 0xFF, 2, value, 0, 0x80, 250}) + body;
}

// Runs the lookup on an exact copy of descriptors in a buffer of its own size, so that the
// sanitizers see any read past the end.
int lookUpExactly(const QByteArray& descriptors, const UsbFunctionLocation& location)
{
    const std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(descriptors.size())]);
    std::copy(descriptors.begin(), descriptors.end(), buffer.get());
    return findExtensionUnitId(QByteArray::fromRawData(buffer.get(), descriptors.size()), xu::kUnitGuid,
                               location);
}

} // namespace

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
    void extensionUnitOfTheNodesFunction_data();
    void extensionUnitOfTheNodesFunction();
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
    QTest::newRow("vendor not hex") << "vid_zzzz&pid_0102&" << false << 0 << 0;
    QTest::newRow("vendor with a stray letter") << "vid_1d6g&pid_0102&mi_00#x&1-1&0&0000" << false << 0 << 0;
    QTest::newRow("neither hex") << "vid_wxyz&pid_zzzz&" << false << 0 << 0;
    QTest::newRow("empty vendor field") << "vid_&pid_0102&" << false << 0 << 0;
    QTest::newRow("empty product field") << "vid_1d6b&pid_&" << false << 0 << 0;
    QTest::newRow("both fields empty") << "vid_&pid_&" << false << 0 << 0;
    QTest::newRow("short product field") << "vid_1d6b&pid_2&" << true << 0x1D6B << 0x2;
    QTest::newRow("short fields") << "vid_a&pid_b&" << true << 0xA << 0xB;
    QTest::newRow("vendor with trailing blanks") << "vid_1d6b   &pid_8311&" << false << 0 << 0;
    QTest::newRow("product with trailing blanks") << "vid_1d6b&pid_8311 &" << false << 0 << 0;
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("vid_1d6\u0661&pid_0102&") << false << 0 << 0;
    QTest::newRow("vendor beyond an int") << "vid_123456789&pid_0102&" << false << 0 << 0;
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

void TstDeviceParsing::extensionUnitOfTheNodesFunction_data()
{
    QTest::addColumn<QByteArray>("descriptors");
    QTest::addColumn<int>("configurationValue");
    QTest::addColumn<int>("interfaceNumber");
    QTest::addColumn<int>("unit");

    const QByteArray device = deviceDescriptor();
    const QByteArray oneFunction = device + configuration(1, videoFunction(0, 6));
    QTest::newRow("one function") << oneFunction << 1 << 0 << 6;
    QTest::newRow("one function, no interface known") << oneFunction << 1 << -1 << 6;
    QTest::newRow("one function, no configuration known") << oneFunction << -1 << 0 << 6;
    QTest::newRow("one function, inactive configuration") << oneFunction << 2 << 0 << -1;

    // Two video functions, each in its interface association with its own unit.
    const QByteArray twoFunctions = device + configuration(1, videoFunction(0, 6) + videoFunction(2, 9));
    QTest::newRow("two functions, first node") << twoFunctions << 1 << 0 << 6;
    QTest::newRow("two functions, second node") << twoFunctions << 1 << 2 << 9;
    QTest::newRow("two functions, streaming interface of the second") << twoFunctions << 1 << 3 << 9;
    QTest::newRow("two functions, interface the device lacks") << twoFunctions << 1 << 7 << -1;
    QTest::newRow("two functions, any interface") << twoFunctions << 1 << -1 << 6;
    const QByteArray secondWithoutUnit =
        device + configuration(1, videoFunction(0, 6) + videoFunction(2, -1));
    QTest::newRow("the other function's unit is not ours") << secondWithoutUnit << 1 << 2 << -1;
    QTest::newRow("the other function's unit is not ours, first") << secondWithoutUnit << 1 << 0 << 6;

    // Without interface associations each VideoControl interface stands alone.
    const QByteArray noAssociations =
        device +
        configuration(1, videoControl(0) + videoControlUnits(1) + extensionUnit(6) + videoStreaming(1) +
                             videoControl(2) + videoControlUnits(3) + extensionUnit(9) + videoStreaming(3));
    QTest::newRow("no associations, second") << noAssociations << 1 << 2 << 9;
    QTest::newRow("no associations, first") << noAssociations << 1 << 0 << 6;
    QTest::newRow("no associations, streaming interface alone") << noAssociations << 1 << 3 << -1;

    // Several configurations: only the active one counts.
    const QByteArray twoConfigurations =
        device + configuration(1, videoFunction(0, 6)) + configuration(2, videoFunction(0, 9));
    QTest::newRow("two configurations, first active") << twoConfigurations << 1 << 0 << 6;
    QTest::newRow("two configurations, second active") << twoConfigurations << 2 << 0 << 9;
    QTest::newRow("two configurations, neither active") << twoConfigurations << 3 << 0 << -1;
    QTest::newRow("two configurations, no configuration known") << twoConfigurations << -1 << 0 << 6;
    const QByteArray secondFirst =
        device + configuration(2, videoFunction(0, 9)) + configuration(1, videoFunction(2, 6));
    QTest::newRow("configurations out of order") << secondFirst << 1 << 2 << 6;
    QTest::newRow("configurations out of order, wrong interface") << secondFirst << 1 << 0 << -1;

    // Vendor-specific descriptors between the standard ones, and a vendor-specific interface
    // with a look-alike of the unit.
    const QByteArray withVendorDescriptors =
        device + vendorSpecific(5) +
        configuration(1, vendorSpecific(3) + interfaceDescriptor(0, 0xFF, 0x01) + extensionUnit(4) +
                             association(1, 2) + vendorSpecific(7) + videoControl(1) + vendorSpecific(2) +
                             videoControlUnits(2) + vendorSpecific(40) + extensionUnit(9) +
                             videoStreaming(2) + vendorSpecific(12));
    QTest::newRow("vendor descriptors between") << withVendorDescriptors << 1 << 1 << 9;
    QTest::newRow("vendor descriptors, vendor interface") << withVendorDescriptors << 1 << 0 << -1;
    QTest::newRow("vendor descriptors, any interface") << withVendorDescriptors << 1 << -1 << 9;
    // Another vendor's unit first in the same VideoControl interface.
    std::array<std::uint8_t, 16> otherGuid = xu::kUnitGuid;
    otherGuid[0] ^= 0x01;
    const QByteArray twoUnits =
        device + configuration(1, association(0, 2) + videoControl(0) + videoControlUnits(1) +
                                      extensionUnit(4, otherGuid) + extensionUnit(5) + videoStreaming(1));
    QTest::newRow("another vendor's unit first") << twoUnits << 1 << 0 << 5;
    // Units the driver would not take: id 0 ("undefined"), and a bLength that does not hold the
    // source ids or the control bytes the unit declares.
    auto withUnit = [&device](const QByteArray& unit) {
        return device + configuration(1, association(0, 2) + videoControl(0) + videoControlUnits(1) + unit +
                                             videoStreaming(1));
    };
    QTest::newRow("unit id 0") << withUnit(extensionUnit(0)) << 1 << 0 << -1;
    QByteArray manyPins = extensionUnit(6);
    manyPins[21] = char(4);
    QTest::newRow("source ids beyond the unit") << withUnit(manyPins) << 1 << 0 << -1;
    QByteArray manyControls = extensionUnit(6);
    manyControls[23] = char(3);
    QTest::newRow("control bytes beyond the unit") << withUnit(manyControls) << 1 << 0 << -1;
    QTest::newRow("a malformed unit, then ours")
        << withUnit(extensionUnit(0) + extensionUnit(7)) << 1 << 0 << 7;

    // Garbage lengths.
    const QByteArray function = videoFunction(0, 6);
    QTest::newRow("total length beyond the buffer")
        << device + configuration(1, function, 9 + function.size() + 200) << 1 << 0 << 6;
    QTest::newRow("total length shorter than the configuration descriptor")
        << device + configuration(1, function, 4) << 1 << 0 << -1;
    const int unitEnd = association(0, 2).size() + videoControl(0).size() + videoControlUnits(1).size() + 26;
    QTest::newRow("total length cuts the unit")
        << device + configuration(1, function, 9 + unitEnd - 1) << 1 << 0 << -1;
    QTest::newRow("total length just holds the unit")
        << device + configuration(1, function, 9 + unitEnd) << 1 << 0 << 6;
    QTest::newRow("zero-length descriptor before the unit")
        << device +
               configuration(1, association(0, 2) + videoControl(0) + bytes({0, 0x24}) + extensionUnit(6))
        << 1 << 0 << -1;
    QTest::newRow("one-byte descriptor before the unit")
        << device +
               configuration(1, association(0, 2) + videoControl(0) + bytes({1, 0x24}) + extensionUnit(6))
        << 1 << 0 << -1;
    QTest::newRow("descriptor longer than the configuration")
        << device +
               configuration(1, association(0, 2) + videoControl(0) + bytes({255, 0x24}) + extensionUnit(6))
        << 1 << 0 << -1;
    QByteArray shortUnit = extensionUnit(6).left(20); // the GUID complete, bNumControls missing
    shortUnit[0] = char(shortUnit.size());
    QTest::newRow("short unit descriptor")
        << device + configuration(1, association(0, 2) + videoControl(0) + shortUnit) << 1 << 0 << -1;
    QTest::newRow("short interface descriptor")
        << device + configuration(1, association(0, 2) + bytes({8, 0x04, 0, 0, 0, 0x0E, 0x01, 0}) +
                                         extensionUnit(6))
        << 1 << 0 << -1;
    QTest::newRow("short association ignored")
        << device + configuration(1, bytes({7, 0x0B, 0, 2, 0x0E, 0x03, 0}) + videoControl(0) +
                                         extensionUnit(6) + videoStreaming(1))
        << 1 << 1 << -1;
    QTest::newRow("association of no interfaces")
        << device + configuration(1, association(0, 0) + videoControl(0) + extensionUnit(6)) << 1 << 0 << 6;
    QTest::newRow("device descriptor with zero length")
        << bytes({0, 0x01}) + oneFunction.mid(18) << 1 << 0 << -1;
    QTest::newRow("configuration without the device descriptor") << oneFunction.mid(18) << 1 << 0 << 6;
    QTest::newRow("empty") << QByteArray() << 1 << 0 << -1;
}

void TstDeviceParsing::extensionUnitOfTheNodesFunction()
{
    QFETCH(QByteArray, descriptors);
    QFETCH(int, configurationValue);
    QFETCH(int, interfaceNumber);
    QFETCH(int, unit);
    UsbFunctionLocation location;
    location.configurationValue = configurationValue;
    location.interfaceNumber = interfaceNumber;
    QCOMPARE(lookUpExactly(descriptors, location), unit);

    // Every truncation: nothing read past the end (the sanitizers watch the exact buffers), and
    // never another function's unit.
    for (int size = 0; size < descriptors.size(); ++size) {
        const int found = lookUpExactly(descriptors.left(size), location);
        QVERIFY2(found == -1 || found == unit,
                 qPrintable(QStringLiteral("size %1: %2").arg(size).arg(found)));
    }
    // Random corruption never reads past the end either.
    QRandomGenerator random(4321);
    for (int round = 0; round < 300 && !descriptors.isEmpty(); ++round) {
        QByteArray corrupt = descriptors;
        for (int flips = 0; flips < 3; ++flips)
            corrupt[int(random.bounded(corrupt.size()))] = char(random.bounded(256));
        lookUpExactly(corrupt, location);
    }
}

QTEST_APPLESS_MAIN(TstDeviceParsing)
#include "tst_device_parsing.moc"
