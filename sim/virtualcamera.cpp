#include "virtualcamera.h"

#include "app/catalogue.h"
#include "app/logcategories.h"
#include "device/controlids.h"
#include "device/usbdescriptors.h"
#include "device/xuprotocol.h"

#include "sim/jsonreader.h"
#include "sim/usbwords.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>
#include <cerrno>

namespace {

// UVC request codes the driver passes through.
constexpr std::uint8_t kSetCur = 0x01;
constexpr std::uint8_t kGetCur = 0x81;
constexpr std::uint8_t kGetMin = 0x82;
constexpr std::uint8_t kGetMax = 0x83;
constexpr std::uint8_t kGetRes = 0x84;
constexpr std::uint8_t kGetLen = 0x85;
constexpr std::uint8_t kGetInfo = 0x86;
constexpr std::uint8_t kGetDef = 0x87;
constexpr std::uint8_t kInfoGet = 0x01;
constexpr std::uint8_t kInfoSet = 0x02;

constexpr int kArcSecondsPerDegree = 3600;

// Factory settings by set code.
QMap<std::uint8_t, int> factorySettings()
{
    return {
        {xu::XU_HDR, 0},
        {xu::XU_ANTI_FLICKER, 1},
        {xu::XU_MIC, 1},
        {xu::XU_SHUTTER, 0},
        {xu::XU_MAX_ZOOM, 500},
        {xu::XU_MIRROR, 0},
        {xu::XU_HD_MODE, 0},
        {xu::XU_TRACKING_MODE, 1},
        {xu::XU_FRAMING_EFFECT, 1},
        {xu::XU_FRAMING_SPEED, 1},
        {xu::XU_AUDIO, 0},
        {0x0C /* field of view */, 1},
        {0x13 /* tracking effect */, 1},
        {0x14 /* tracking speed */, 1},
    };
}

// The values a set code accepts; the camera stalls on anything else.
bool acceptedValue(std::uint8_t code, int value)
{
    switch (code) {
    case xu::XU_HDR:
    case xu::XU_MIC:
    case xu::XU_SHUTTER:
    case xu::XU_MIRROR:
    case xu::XU_HD_MODE:
    case xu::XU_FRAMING_EFFECT:
        return value == 0 || value == 1;
    case xu::XU_ANTI_FLICKER:
        return value == 1 || value == 2;
    case xu::XU_TRACKING_MODE:
        return value >= 0 && value <= 3;
    case xu::XU_FRAMING_SPEED:
        return value >= 0 && value <= 2;
    case xu::XU_MAX_ZOOM:
        return value == 150 || value == 200 || value == 300 || value == 400 || value == 500 || value == 800;
    case xu::XU_AUDIO:
        return value >= 0 && value <= 255;
    default:
        return false;
    }
}

QVector<VirtualControl> factoryControls()
{
    const int pan = 30 * kArcSecondsPerDegree;
    const int tilt = 20 * kArcSecondsPerDegree;
    return {
        {v4l2::kCidPanAbsolute, -pan, pan, kArcSecondsPerDegree, 0, 0, false},
        {v4l2::kCidTiltAbsolute, -tilt, tilt, kArcSecondsPerDegree, 0, 0, false},
        {v4l2::kCidZoomAbsolute, 100, 800, 1, 100, 100, false},
        {v4l2::kCidBrightness, 0, 100, 1, 50, 50, true},
        {v4l2::kCidContrast, 0, 100, 1, 50, 50, true},
        {v4l2::kCidHue, 0, 30, 1, 15, 15, true},
        {v4l2::kCidSaturation, 0, 127, 1, 63, 63, true},
        {v4l2::kCidSharpness, 0, 255, 1, 128, 128, true},
        {v4l2::kCidHueAuto, 0, 1, 1, 0, 0, false},
    };
}

QString manufacturerOf(int vendorId)
{
    for (const BrandEntry& brand : brandTable()) {
        if (brand.vendorId == vendorId)
            return brand.manufacturer;
    }
    return QStringLiteral("USB");
}

using usbwords::appendWord;

// "1-2", "3-1.4": bus 1 to 127, then the port path.
bool validBusPort(const QString& port)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([1-9][0-9]{0,2})-[1-9][0-9]{0,2}(\\.[1-9][0-9]{0,2})*$"));
    const QRegularExpressionMatch match = pattern.match(port);
    return match.hasMatch() && match.captured(1).toInt() <= 127;
}

// "1", "1.2" or "1.2.10": up to three numbers that each fit the 16-bit fields of the version
// answer.
bool validVersion(const QString& version)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]{1,5}(\\.[0-9]{1,5}){0,2}$"));
    if (!pattern.match(version).hasMatch())
        return false;
    for (const QString& part : version.split(QLatin1Char('.'))) {
        if (part.toInt() > 0xFFFF)
            return false;
    }
    return true;
}

JournalEvent event(const char* name)
{
    JournalEvent e;
    e.insert(QStringLiteral("event"), QString::fromLatin1(name));
    return e;
}

} // namespace

QString hexBytes(const std::uint8_t* data, int size)
{
    QStringList parts;
    for (int i = 0; i < size; ++i)
        parts << QStringLiteral("%1").arg(data[i], 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(' '));
}

VirtualCamera::VirtualCamera(int model) : m_model(model)
{
    const std::optional<ModelEntry> entry = modelEntry(model);
    m_vendorId = entry ? entry->vendorId : 0x1D6B;
    m_productId = entry ? entry->productId : 0x0001;
    m_friendlyName = QStringLiteral("%1 %2").arg(manufacturerOf(m_vendorId),
                                                 entry ? entry->name : QStringLiteral("Camera"));
    m_serial = QStringLiteral("VC%1A0001").arg(model, 2, 10, QLatin1Char('0'));
    m_settings = factorySettings();
    m_controls = factoryControls();
    m_response = QByteArray(xu::kBlockLength, '\0');
}

namespace {

// One video function: its interface association, the VideoControl interface firstInterface with
// camera terminal 1, processing unit 2, the vendor extension unit unitId (none when negative) and
// output terminal 3, and the VideoStreaming interface firstInterface + 1.
QByteArray videoFunctionDescriptors(int firstInterface, int unitId)
{
    QByteArray body;
    // Interface association: video, two interfaces.
    body.append(QByteArray::fromHex("080b00020e030002"));
    body[2] = char(firstInterface);
    // VideoControl interface.
    body.append(QByteArray::fromHex("0904000000"
                                    "0e0100"
                                    "02"));
    body[8 + 2] = char(firstInterface);
    QByteArray units;
    // Camera terminal 1 (pan/tilt absolute, zoom absolute).
    units.append(QByteArray::fromHex("12240201"
                                     "0102"
                                     "00"
                                     "00"
                                     "0000"
                                     "0000"
                                     "0000"
                                     "03"
                                     "000a00"));
    // Processing unit 2 (brightness, contrast, hue, saturation, sharpness, hue auto).
    units.append(QByteArray::fromHex("0d240502"
                                     "01"
                                     "0040"
                                     "03"
                                     "1f0800"
                                     "00"
                                     "00"));
    if (unitId >= 0) {
        // Extension unit with the vendor GUID; selectors 1, 2, 4, 6 and 7.
        QByteArray unit;
        unit.append(char(26)).append(char(usbdesc::kTypeClassSpecificInterface));
        unit.append(char(usbdesc::kVcSubtypeExtensionUnit)).append(char(unitId));
        unit.append(reinterpret_cast<const char*>(xu::kUnitGuid.data()), int(xu::kUnitGuid.size()));
        unit.append(char(7));    // bNumControls
        unit.append(char(1));    // bNrInPins
        unit.append(char(2));    // baSourceID: the processing unit
        unit.append(char(1));    // bControlSize
        unit.append(char(0x6B)); // bmControls: selectors 1, 2, 4, 6, 7
        unit.append(char(0));    // iExtension
        units.append(unit);
    }
    // Output terminal 3 (streaming), source: the last unit.
    units.append(QByteArray::fromHex("0924030301010000"));
    units[units.size() - 1] = char(unitId >= 0 ? unitId : 2);
    units.append(char(0));
    QByteArray header = QByteArray::fromHex("0d2401"
                                            "0001"
                                            "0000"
                                            "80c3c901"
                                            "01"
                                            "01");
    const int total = header.size() + units.size();
    qToLittleEndian<quint16>(static_cast<quint16>(total), header.data() + 5); // wTotalLength
    header[12] = char(firstInterface + 1); // baInterfaceNr: the streaming interface
    body.append(header).append(units);
    // VideoStreaming interface, alternate 0, with a minimal input header.
    QByteArray streaming = QByteArray::fromHex("0904010000"
                                               "0e0200"
                                               "00");
    streaming[2] = char(firstInterface + 1);
    body.append(streaming);
    body.append(QByteArray::fromHex("0e240101"
                                    "0e00"
                                    "81"
                                    "00"
                                    "03"
                                    "00"
                                    "00"
                                    "00"
                                    "01"
                                    "00"));
    return body;
}

} // namespace

QByteArray VirtualCamera::usbDescriptors() const
{
    QByteArray d;
    // Device descriptor.
    d.append(char(18)).append(char(0x01));
    appendWord(d, 0x0200);
    d.append(char(0xEF)).append(char(0x02)).append(char(0x01)).append(char(64));
    appendWord(d, m_vendorId);
    appendWord(d, m_productId);
    appendWord(d, 0x0100);
    d.append(char(1)).append(char(2)).append(char(3)).append(char(1));

    QByteArray body;
    int interfaces = 2;
    if (m_leadingFunctionUnit >= 0) {
        body.append(videoFunctionDescriptors(0, m_leadingFunctionUnit));
        interfaces += 2;
    }
    body.append(videoFunctionDescriptors(videoControlInterface(), m_unitId));

    QByteArray config;
    config.append(char(9)).append(char(0x02));
    appendWord(config, 9 + body.size());
    config.append(char(interfaces)).append(char(1)).append(char(0)).append(char(0x80)).append(char(250));
    return d + config + body;
}

int VirtualCamera::selectorLength(int selector)
{
    switch (selector) {
    case xu::SELECTOR_COMMAND:
    case xu::SELECTOR_RESPONSE:
    case xu::SELECTOR_BOOT_COMMAND:
    case xu::SELECTOR_AUDIO_STATUS:
        return xu::kBlockLength;
    case xu::SELECTOR_AUDIO_DATA:
        return xu::kAudioPacketLength;
    default:
        return -1;
    }
}

std::uint8_t VirtualCamera::selectorInfo(int selector)
{
    switch (selector) {
    case xu::SELECTOR_RESPONSE:
    case xu::SELECTOR_AUDIO_STATUS:
        return kInfoGet;
    default:
        return kInfoSet;
    }
}

int VirtualCamera::takeFault(QVector<JournalEvent>* journal)
{
    if (!m_present)
        return -ENODEV;
    if (m_faults.vanishAfter == 0) {
        m_present = false;
        m_faults.vanishAfter = -1;
        journal->append(event("unplug"));
        return -ENODEV;
    }
    if (m_faults.vanishAfter > 0)
        --m_faults.vanishAfter;
    int error = 0;
    if (m_faults.refuseNext > 0) {
        --m_faults.refuseNext;
        error = -EPIPE;
    } else if (m_faults.failNext > 0) {
        --m_faults.failNext;
        error = -EIO;
    } else if (m_faults.silentNext > 0) {
        --m_faults.silentNext;
        error = -ETIMEDOUT;
    }
    if (error) {
        JournalEvent e = event("fault");
        e.insert(QStringLiteral("errno"), -error);
        journal->append(e);
    }
    return error;
}

int VirtualCamera::xuRequest(int unit, int selector, std::uint8_t request, std::uint8_t* data, int size,
                             QVector<JournalEvent>* journal)
{
    if (!present())
        return -ENODEV;
    const int length = selectorLength(selector);
    if (m_unitId < 0 || unit != m_unitId || length < 0)
        return -ENOENT;
    if (request == kGetLen) {
        if (size != 2)
            return -ENOBUFS;
        data[0] = static_cast<std::uint8_t>(length);
        data[1] = 0;
        return 0;
    }
    if (request == kGetInfo) {
        if (size != 1)
            return -ENOBUFS;
        data[0] = selectorInfo(selector);
        return 0;
    }
    // The driver knows these request codes only; GET_MIN, GET_MAX, GET_RES and GET_DEF it allows
    // on every extension-unit control and passes to the camera.
    const bool range = request == kGetMin || request == kGetMax || request == kGetRes || request == kGetDef;
    if (request != kSetCur && request != kGetCur && !range)
        return -EINVAL;
    if (size != length)
        return -ENOBUFS;
    if ((request == kSetCur && !(selectorInfo(selector) & kInfoSet)) ||
        (request == kGetCur && !(selectorInfo(selector) & kInfoGet)))
        return -EBADRQC;
    if (const int error = takeFault(journal))
        return error;

    if (range) {
        // The blocks have no range: the camera answers all zeros, all ones, a resolution of one
        // and a default of zeros.
        std::fill(data, data + size, request == kGetMax ? 0xFF : 0x00);
        if (request == kGetRes)
            data[0] = 1;
        JournalEvent e = event("xu-range");
        e.insert(QStringLiteral("selector"), selector);
        e.insert(QStringLiteral("request"), request == kGetMin   ? QStringLiteral("min")
                                            : request == kGetMax ? QStringLiteral("max")
                                            : request == kGetRes ? QStringLiteral("res")
                                                                 : QStringLiteral("def"));
        e.insert(QStringLiteral("data"), hexBytes(data, size));
        journal->append(e);
        return 0;
    }

    JournalEvent e = event(request == kSetCur ? "xu-set" : "xu-get");
    e.insert(QStringLiteral("selector"), selector);
    int result = 0;
    if (request == kSetCur) {
        e.insert(QStringLiteral("data"), hexBytes(data, size));
        journal->append(e);
        if (selector == xu::SELECTOR_COMMAND)
            result = handleCommandBlock(data, journal);
        else if (selector == xu::SELECTOR_BOOT_COMMAND)
            result = handleBootCommand(data, journal);
        else if (selector == xu::SELECTOR_AUDIO_DATA)
            result = m_audioModule.packet(data, size, journal);
    } else {
        if (selector == xu::SELECTOR_RESPONSE)
            std::copy(m_response.begin(), m_response.end(), data);
        else
            m_audioModule.status(data, size, journal);
        e.insert(QStringLiteral("data"), hexBytes(data, size));
        journal->append(e);
    }
    if (result < 0) {
        JournalEvent refused = event("refused");
        refused.insert(QStringLiteral("errno"), -result);
        journal->append(refused);
    }
    return result;
}

int VirtualCamera::handleCommandBlock(const std::uint8_t* block, QVector<JournalEvent>* journal)
{
    const std::uint8_t code = block[xu::kOffsetCode];
    QByteArray response(reinterpret_cast<const char*>(block), xu::kBlockLength);
    auto putVersion = [&response](const QString& version) {
        const QStringList parts = version.split(QLatin1Char('.'));
        for (int i = 0; i < 3; ++i) {
            const int number = i < parts.size() ? parts.at(i).toInt() : 0;
            qToBigEndian<quint16>(static_cast<quint16>(number), response.data() + xu::kOffsetValue + 2 * i);
        }
    };
    std::fill(response.begin() + xu::kOffsetParam, response.end(), '\0');

    switch (code) {
    case xu::XU_CAMERA_VERSION:
        putVersion(m_firmwareVersion);
        break;
    case xu::XU_AUDIO_VERSION:
        putVersion(m_audioModule.upgradedVersion().isEmpty() ? m_audioVersion
                                                             : m_audioModule.upgradedVersion());
        break;
    case xu::XU_LOADER_STATE:
        response[0] = 0; // a camera in normal operation has no loader answering
        break;
    case xu::queryCode(xu::XU_MAX_ZOOM): {
        const int zoom = m_settings.value(xu::XU_MAX_ZOOM);
        qToLittleEndian<quint16>(static_cast<quint16>(zoom), response.data() + xu::kOffsetValue);
        break;
    }
    case xu::queryCode(xu::XU_HDR):
    case xu::queryCode(xu::XU_ANTI_FLICKER):
    case xu::queryCode(xu::XU_MIC):
    case xu::queryCode(xu::XU_SHUTTER):
    case xu::queryCode(xu::XU_MIRROR):
    case xu::queryCode(xu::XU_HD_MODE):
    case xu::queryCode(xu::XU_TRACKING_MODE):
    case xu::queryCode(xu::XU_FRAMING_EFFECT):
    case xu::queryCode(xu::XU_FRAMING_SPEED):
    case xu::queryCode(xu::XU_AUDIO):
    case xu::XU_FIELD_OF_VIEW:
    case xu::XU_TRACKING_EFFECT_STATE:
    case xu::XU_TRACKING_SPEED_STATE:
        response[2] = static_cast<char>(m_settings.value(static_cast<std::uint8_t>(code & 0x7F)));
        break;
    case xu::XU_MAX_ZOOM: {
        const int zoom = qFromLittleEndian<quint16>(block + xu::kOffsetParam);
        if (!acceptedValue(code, zoom))
            return -EPIPE;
        m_settings[code] = zoom;
        break;
    }
    case xu::XU_HDR:
    case xu::XU_ANTI_FLICKER:
    case xu::XU_MIC:
    case xu::XU_SHUTTER:
    case xu::XU_MIRROR:
    case xu::XU_HD_MODE:
    case xu::XU_TRACKING_MODE:
    case xu::XU_FRAMING_EFFECT:
    case xu::XU_FRAMING_SPEED:
    case xu::XU_AUDIO:
        if (!acceptedValue(code, block[2]))
            return -EPIPE;
        m_settings[code] = block[2];
        break;
    case xu::XU_PRESET_SAVE:
    case xu::XU_PRESET_LOAD: {
        const int preset = block[2];
        if (preset != 1 && preset != 2)
            return -EPIPE;
        const std::uint32_t axes[] = {v4l2::kCidPanAbsolute, v4l2::kCidTiltAbsolute, v4l2::kCidZoomAbsolute};
        if (code == xu::XU_PRESET_SAVE) {
            QVector<std::int32_t> position;
            for (std::uint32_t axis : axes)
                position << control(axis)->value;
            m_presets[preset] = position;
        } else if (m_presets.contains(preset)) {
            for (int i = 0; i < 3; ++i)
                control(axes[i])->value = m_presets[preset].at(i);
        }
        break;
    }
    case xu::XU_FACTORY_RESET:
        factoryReset();
        journal->append(event("factory-reset"));
        break;
    case xu::XU_ENTER_UPGRADE: {
        const bool allZero =
            std::all_of(block + 2, block + xu::kBlockLength, [](std::uint8_t b) { return b == 0; });
        const bool signed_ = std::equal(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(),
                                        block + xu::kOffsetSignature);
        if (allZero)
            m_audioModule.announce(journal);
        else if (signed_ &&
                 (block[2] == xu::kMainSocLoaderParam || block[2] == xu::kMainSocLoaderParamCommandForm))
            enterLoader("main-soc", journal);
        else
            return -EPIPE;
        break;
    }
    case xu::XU_CAMERA_LOADER: // the camera-loader entry in its command-selector form
        if (block[2] != xu::kCameraLoaderParamCommandForm ||
            !std::equal(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(),
                        block + xu::kOffsetSignature))
            return -EPIPE;
        enterLoader("camera", journal);
        break;
    default:
        return -EPIPE;
    }
    m_response = response;
    return 0;
}

int VirtualCamera::handleBootCommand(const std::uint8_t* block, QVector<JournalEvent>* journal)
{
    if (block[0] != xu::kBootCommandByte0 || block[1] != xu::kBootCommandByte1 ||
        block[2] != xu::kBootCommandByte2 ||
        !std::equal(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(), block + xu::kOffsetSignature))
        return -EPIPE;
    enterLoader("camera", journal);
    return 0;
}

void VirtualCamera::enterLoader(const char* reason, QVector<JournalEvent>* journal)
{
    // The camera acknowledges the block, then restarts into its mass-storage loader.
    m_stage = QStringLiteral("uboot");
    m_loader.reenumerated();
    JournalEvent e = event("reenumerate");
    e.insert(QStringLiteral("stage"), m_stage);
    e.insert(QStringLiteral("reason"), QString::fromLatin1(reason));
    journal->append(e);
}

bool VirtualCamera::inBootStage() const
{
    return m_present && (m_stage == QLatin1String("rom") || m_stage == QLatin1String("updater") ||
                         m_stage == QLatin1String("uboot"));
}

void VirtualCamera::factoryReset()
{
    m_settings = factorySettings();
    m_controls = factoryControls();
    m_presets.clear();
}

VirtualControl* VirtualCamera::control(std::uint32_t id)
{
    for (VirtualControl& c : m_controls) {
        if (c.id == id)
            return &c;
    }
    return nullptr;
}

int VirtualCamera::controlForRequest(std::uint32_t id, QVector<JournalEvent>* journal, VirtualControl** found)
{
    if (!present())
        return -ENODEV;
    *found = control(id);
    if (!*found)
        return -EINVAL;
    return takeFault(journal);
}

QVector<std::uint32_t> VirtualCamera::controlIds() const
{
    QVector<std::uint32_t> ids;
    for (const VirtualControl& c : m_controls)
        ids << c.id;
    return ids;
}

std::int32_t VirtualCamera::fitToControl(const VirtualControl& c, std::int32_t value) const
{
    const long long clamped = std::clamp<long long>(value, c.minimum, c.maximum);
    const long long step = std::max(1, c.step);
    const long long steps = (clamped - c.minimum + step / 2) / step;
    return static_cast<std::int32_t>(std::min<long long>(c.minimum + steps * step, c.maximum));
}

int VirtualCamera::queryControl(std::uint32_t id, VirtualControl* out) const
{
    if (!present())
        return -ENODEV;
    for (const VirtualControl& c : m_controls) {
        if (c.id == id) {
            *out = c;
            return 0;
        }
    }
    return -EINVAL;
}

int VirtualCamera::getControl(std::uint32_t id, std::int32_t* value, QVector<JournalEvent>* journal)
{
    VirtualControl* c = nullptr;
    if (const int error = controlForRequest(id, journal, &c))
        return error;
    *value = c->value;
    JournalEvent e = event("ctrl-get");
    e.insert(QStringLiteral("control"), static_cast<qint64>(id));
    e.insert(QStringLiteral("value"), c->value);
    journal->append(e);
    return 0;
}

int VirtualCamera::setControl(std::uint32_t id, std::int32_t value, QVector<JournalEvent>* journal)
{
    VirtualControl* c = nullptr;
    if (const int error = controlForRequest(id, journal, &c))
        return error;
    const std::int32_t fitted = fitToControl(*c, value);
    // Picture controls change only while the sensor runs: the camera stalls a request that would
    // change one while it does not stream, and the driver fails the call.
    const bool applied = !c->pictureControl || m_streaming || fitted == c->value;
    if (applied)
        c->value = fitted;
    JournalEvent e = event("ctrl-set");
    e.insert(QStringLiteral("control"), static_cast<qint64>(id));
    e.insert(QStringLiteral("value"), fitted);
    e.insert(QStringLiteral("applied"), applied);
    journal->append(e);
    if (!applied) {
        JournalEvent refused = event("refused");
        refused.insert(QStringLiteral("errno"), EPIPE);
        journal->append(refused);
        return -EPIPE;
    }
    return 0;
}

QJsonObject VirtualCamera::toJson() const
{
    QJsonObject json;
    json.insert(QStringLiteral("model"), m_model);
    json.insert(QStringLiteral("vendorId"), m_vendorId);
    json.insert(QStringLiteral("productId"), m_productId);
    json.insert(QStringLiteral("name"), m_friendlyName);
    json.insert(QStringLiteral("serial"), m_serial);
    json.insert(QStringLiteral("port"), m_busPort);
    json.insert(QStringLiteral("firmware"), m_firmwareVersion);
    json.insert(QStringLiteral("audio"), m_audioVersion);
    json.insert(QStringLiteral("upgradedFirmware"), m_upgradedFirmwareVersion);
    json.insert(QStringLiteral("extensionUnit"),
                m_unitId >= 0 ? QJsonValue(m_unitId) : QJsonValue(QJsonValue::Null)); // null: no unit
    json.insert(QStringLiteral("leadingFunctionUnit"), m_leadingFunctionUnit);
    json.insert(QStringLiteral("micNode"), m_microphoneNode);
    json.insert(QStringLiteral("denied"), m_denied);
    json.insert(QStringLiteral("kernelDriver"), m_kernelDriver);
    json.insert(QStringLiteral("present"), m_present);
    json.insert(QStringLiteral("stage"), m_stage);
    json.insert(QStringLiteral("streaming"), m_streaming);
    json.insert(QStringLiteral("speakerVolume"), m_speakerVolume);
    QJsonObject settings;
    for (auto it = m_settings.begin(); it != m_settings.end(); ++it)
        settings.insert(QString::number(it.key()), it.value());
    json.insert(QStringLiteral("settings"), settings);
    QJsonObject controls;
    for (const VirtualControl& c : m_controls)
        controls.insert(QString::number(c.id), c.value);
    json.insert(QStringLiteral("controls"), controls);
    QJsonObject presets;
    for (auto it = m_presets.begin(); it != m_presets.end(); ++it) {
        QJsonArray position;
        for (std::int32_t v : it.value())
            position.append(v);
        presets.insert(QString::number(it.key()), position);
    }
    json.insert(QStringLiteral("presets"), presets);
    QJsonObject faults;
    faults.insert(QStringLiteral("refuse"), m_faults.refuseNext);
    faults.insert(QStringLiteral("fail"), m_faults.failNext);
    faults.insert(QStringLiteral("silent"), m_faults.silentNext);
    faults.insert(QStringLiteral("vanishAfter"), m_faults.vanishAfter);
    json.insert(QStringLiteral("faults"), faults);
    // The pending answer belongs to the state: a query's two transfers may reach the camera
    // through separate accesses to the state file.
    json.insert(QStringLiteral("response"), QString::fromLatin1(m_response.toHex()));
    json.insert(QStringLiteral("loader"), m_loader.toJson());
    json.insert(QStringLiteral("audioModule"), m_audioModule.toJson());
    json.insert(QStringLiteral("loaderFaults"), m_loader.faults().toJson());
    return json;
}

QStringList VirtualCamera::configurationKeys()
{
    // What the state stores, and the audio module's faults, which it stores within the module.
    QStringList keys = VirtualCamera().toJson().keys();
    keys << QStringLiteral("audioFaults");
    keys.sort();
    return keys;
}

VirtualCamera VirtualCamera::fromJson(const QJsonObject& json)
{
    VirtualCamera camera;
    QString error;
    if (!fromJson(json, &camera, &error))
        qCCritical(lcSim).noquote() << "Virtual camera configuration refused:" << error;
    return camera;
}

bool VirtualCamera::fromJson(const QJsonObject& json, VirtualCamera* out, QString* error, const QString& path)
{
    JsonReader reader(json, path);
    int model = 7;
    int lastModel = 0;
    for (const CameraModel& entry : modelTable())
        lastModel = std::max(lastModel, entry.modelIndex);
    reader.integer("model", 0, lastModel, model);
    VirtualCamera camera(model);
    reader.integer("vendorId", 0, 0xFFFF, camera.m_vendorId);
    reader.integer("productId", 0, 0xFFFF, camera.m_productId);
    reader.text("name", camera.m_friendlyName);
    reader.text("serial", camera.m_serial);
    reader.text("port", camera.m_busPort);
    if (reader.has("port") && !validBusPort(camera.m_busPort))
        reader.fail(
            QStringLiteral("port"),
            QStringLiteral("must be a USB port name such as 1-2 or 3-1.4, not \"%1\"").arg(camera.m_busPort));
    for (const auto& [key, field] : {std::pair<const char*, QString*>{"firmware", &camera.m_firmwareVersion},
                                     {"audio", &camera.m_audioVersion},
                                     {"upgradedFirmware", &camera.m_upgradedFirmwareVersion}}) {
        reader.text(key, *field);
        const bool unset = field == &camera.m_upgradedFirmwareVersion && field->isEmpty();
        if (reader.has(key) && !unset && !validVersion(*field))
            reader.fail(QLatin1String(key),
                        QStringLiteral("must be a version such as 1.2.10 (numbers up to 65535), not \"%1\"")
                            .arg(*field));
    }
    reader.text("stage", camera.m_stage);
    static const QStringList stages = {QStringLiteral("normal"), QStringLiteral("rom"),
                                       QStringLiteral("updater"), QStringLiteral("uboot")};
    if (!stages.contains(camera.m_stage))
        reader.fail(QStringLiteral("stage"),
                    QStringLiteral("must be normal, rom, updater or uboot, not \"%1\"").arg(camera.m_stage));
    if (reader.has("extensionUnit") && json.value(QLatin1String("extensionUnit")).isNull())
        camera.m_unitId = -1;
    else
        reader.integer("extensionUnit", 1, 255, camera.m_unitId); // a UVC unit id is one byte, 0 is none
    reader.integer("leadingFunctionUnit", -1, 255, camera.m_leadingFunctionUnit); // -1: none
    reader.flag("micNode", camera.m_microphoneNode);
    reader.flag("denied", camera.m_denied);
    reader.flag("kernelDriver", camera.m_kernelDriver);
    reader.flag("present", camera.m_present);
    reader.flag("streaming", camera.m_streaming);
    // A sound server may boost a sink over 100 % (desktops offer up to 150 %).
    reader.number("speakerVolume", 0.0, 1.5, camera.m_speakerVolume);

    JsonReader settings = reader.child("settings");
    for (auto it = settings.object().begin(); it != settings.object().end() && reader.ok(); ++it) {
        bool number = false;
        const uint code = it.key().toUInt(&number);
        std::int64_t value = 0;
        if (!number || code > 0xFF)
            settings.fail(it.key(), QStringLiteral("is not a setting code (0 to 255)"));
        else if (!JsonReader::toInteger(it.value(), 0, 0xFFFF, &value))
            settings.fail(it.key(), QStringLiteral("must be an integer from 0 to 65535"));
        else
            camera.m_settings[static_cast<std::uint8_t>(code)] = static_cast<int>(value);
    }
    JsonReader controls = reader.child("controls");
    for (auto it = controls.object().begin(); it != controls.object().end() && reader.ok(); ++it) {
        bool number = false;
        VirtualControl* c = camera.control(it.key().toUInt(&number));
        std::int64_t value = 0;
        if (!number || !c)
            controls.fail(it.key(), QStringLiteral("is not a control of the camera"));
        else if (!JsonReader::toInteger(it.value(), INT32_MIN, INT32_MAX, &value))
            controls.fail(it.key(), QStringLiteral("must be a 32-bit integer"));
        else
            c->value = camera.fitToControl(*c, static_cast<std::int32_t>(value));
    }
    JsonReader presets = reader.child("presets");
    for (auto it = presets.object().begin(); it != presets.object().end() && reader.ok(); ++it) {
        const QJsonArray position = it.value().toArray();
        QVector<std::int32_t> values;
        for (const QJsonValue& v : position) {
            std::int64_t value = 0;
            if (JsonReader::toInteger(v, INT32_MIN, INT32_MAX, &value))
                values << static_cast<std::int32_t>(value);
        }
        if (it.key() != QLatin1String("1") && it.key() != QLatin1String("2"))
            presets.fail(it.key(), QStringLiteral("is not a preset (1 or 2)"));
        else if (!it.value().isArray() || position.size() != 3 || values.size() != 3)
            presets.fail(it.key(), QStringLiteral("must be [pan, tilt, zoom] as 32-bit integers"));
        else
            camera.m_presets[it.key().toInt()] = values;
    }
    QString response = QString::fromLatin1(camera.m_response.toHex());
    reader.text("response", response);
    const QByteArray responseBytes = QByteArray::fromHex(response.toLatin1());
    if (responseBytes.size() != xu::kBlockLength || responseBytes.toHex() != response.toLower().toLatin1())
        reader.fail(QStringLiteral("response"), QStringLiteral("must be 8 bytes in hexadecimal"));
    else
        camera.m_response = responseBytes;

    JsonReader faults = reader.child("faults");
    faults.integer("refuse", 0, INT_MAX, camera.m_faults.refuseNext);
    faults.integer("fail", 0, INT_MAX, camera.m_faults.failNext);
    faults.integer("silent", 0, INT_MAX, camera.m_faults.silentNext);
    faults.integer("vanishAfter", -1, INT_MAX, camera.m_faults.vanishAfter);
    bool vanish = false;
    faults.flag("vanish", vanish);
    if (vanish)
        camera.m_present = false;
    JsonReader loader = reader.child("loader");
    camera.m_loader.fromJson(loader);
    JsonReader audioModule = reader.child("audioModule");
    camera.m_audioModule.fromJson(audioModule);
    camera.m_audioModule.readFaults(reader.child("audioFaults"));
    JsonReader loaderFaults = reader.child("loaderFaults");
    camera.m_loader.faults() = VirtualLoaderFaults::fromJson(loaderFaults);
    if (!reader.ok()) {
        *error = reader.error();
        return false;
    }
    *out = camera;
    return true;
}

namespace {

// The standard controls the camera answers on its default control pipe: unit, selector, payload
// length and the V4L2 controls that hold their values (pan/tilt carries two).
struct UsbControl
{
    int unit;
    int selector;
    int length;
    std::uint32_t first;
    std::uint32_t second; // 0: one value
};

constexpr UsbControl kUsbControls[] = {
    {uvc::kCameraTerminal, uvc::CT_ZOOM_ABSOLUTE, 2, v4l2::kCidZoomAbsolute, 0},
    {uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, 8, v4l2::kCidPanAbsolute, v4l2::kCidTiltAbsolute},
    {uvc::kCameraTerminal, uvc::CT_FOCUS_ABSOLUTE, 2, v4l2::kCidFocusAbsolute, 0},
    {uvc::kCameraTerminal, uvc::CT_FOCUS_AUTO, 1, v4l2::kCidFocusAuto, 0},
    {uvc::kProcessingUnit, uvc::PU_BRIGHTNESS, 2, v4l2::kCidBrightness, 0},
    {uvc::kProcessingUnit, uvc::PU_CONTRAST, 2, v4l2::kCidContrast, 0},
    {uvc::kProcessingUnit, uvc::PU_HUE, 2, v4l2::kCidHue, 0},
    {uvc::kProcessingUnit, uvc::PU_SATURATION, 2, v4l2::kCidSaturation, 0},
    {uvc::kProcessingUnit, uvc::PU_SHARPNESS, 2, v4l2::kCidSharpness, 0},
    {uvc::kProcessingUnit, uvc::PU_HUE_AUTO, 1, v4l2::kCidHueAuto, 0},
};

void putValue(std::uint8_t* data, int length, std::int32_t value)
{
    for (int i = 0; i < length && i < 4; ++i)
        data[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i));
}

std::int32_t takeValue(const std::uint8_t* data, int length)
{
    std::uint32_t v = 0;
    for (int i = 0; i < length && i < 4; ++i)
        v |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    if (length == 2) // the 16-bit controls are signed (brightness, hue) or below 0x8000
        return static_cast<std::int16_t>(v);
    return static_cast<std::int32_t>(v);
}

} // namespace

int VirtualCamera::controlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data,
                                   QVector<JournalEvent>* journal)
{
    const bool in = setup.bmRequestType & uvc::kDirectionIn;
    int result = 0;
    if (setup.bmRequestType != uvc::kRequestTypeSet && setup.bmRequestType != uvc::kRequestTypeGet)
        result = -EPIPE; // not a class request to an interface: the camera stalls it
    else if (in == (setup.bRequest == uvc::SET_CUR))
        result = -EPIPE; // SET_CUR read, or a get written
    else if ((setup.wIndex & 0xFF) != videoControlInterface() || !present())
        result = present() ? -EPIPE : -ENODEV;
    const int unit = setup.wIndex >> 8;
    const int selector = setup.wValue >> 8;
    JournalEvent e = event("control-transfer");
    e.insert(QStringLiteral("bmRequestType"), setup.bmRequestType);
    e.insert(QStringLiteral("bRequest"), setup.bRequest);
    e.insert(QStringLiteral("wValue"), setup.wValue);
    e.insert(QStringLiteral("wIndex"), setup.wIndex);
    if (!in) {
        e.insert(QStringLiteral("data"), hexBytes(data, setup.wLength));
        journal->append(e);
    }
    if (result == 0) {
        if (unit == m_unitId && m_unitId >= 0) {
            result = xuRequest(unit, selector, setup.bRequest, data, setup.wLength, journal);
            // Whatever the driver would have refused, the camera itself stalls.
            if (result == -ENOENT || result == -ENOBUFS || result == -EBADRQC || result == -EINVAL)
                result = -EPIPE;
        } else {
            result = standardControlTransfer(setup, data, journal);
        }
    }
    if (in) {
        e.insert(QStringLiteral("data"), result >= 0 ? hexBytes(data, setup.wLength) : QString());
        journal->append(e);
    }
    if (result < 0) {
        JournalEvent f = event("control-transfer-failed");
        f.insert(QStringLiteral("error"), -result);
        journal->append(f);
        return result;
    }
    return setup.wLength;
}

int VirtualCamera::standardControlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data,
                                           QVector<JournalEvent>* journal)
{
    const int unit = setup.wIndex >> 8;
    const int selector = setup.wValue >> 8;
    const UsbControl* found = nullptr;
    for (const UsbControl& c : kUsbControls) {
        if (c.unit == unit && c.selector == selector)
            found = &c;
    }
    VirtualControl first;
    VirtualControl second;
    if (!found || queryControl(found->first, &first) != 0 ||
        (found->second && queryControl(found->second, &second) != 0))
        return -EPIPE; // a control the camera does not have
    if (setup.bRequest == uvc::GET_INFO) {
        if (setup.wLength != uvc::kInfoLength)
            return -EPIPE;
        data[0] = uvc::kInfoSupportsGet | uvc::kInfoSupportsSet;
        return 0;
    }
    if (setup.wLength != found->length)
        return -EPIPE;
    const int half = found->second ? found->length / 2 : found->length;
    auto answer = [&](std::int32_t a, std::int32_t b) {
        putValue(data, half, a);
        if (found->second)
            putValue(data + half, half, b);
        return 0;
    };
    switch (setup.bRequest) {
    case uvc::GET_MIN:
        return answer(first.minimum, second.minimum);
    case uvc::GET_MAX:
        return answer(first.maximum, second.maximum);
    case uvc::GET_RES:
        return answer(first.step, second.step);
    case uvc::GET_DEF:
        return answer(first.defaultValue, second.defaultValue);
    case uvc::GET_CUR: {
        std::int32_t a = 0;
        std::int32_t b = 0;
        if (getControl(found->first, &a, journal) != 0 ||
            (found->second && getControl(found->second, &b, journal) != 0))
            return -EPIPE;
        return answer(a, b);
    }
    case uvc::SET_CUR: {
        if (setControl(found->first, takeValue(data, half), journal) != 0)
            return -EPIPE;
        if (found->second && setControl(found->second, takeValue(data + half, half), journal) != 0)
            return -EPIPE;
        return 0;
    }
    default:
        return -EPIPE;
    }
}
