#include "uvccameradevices.h"

#include "device/xuprotocol.h"
#include "mac/macedition.h"
#include "mac/maclogging.h"

#include <QtEndian>

#include <cerrno>
#include <cstdlib>
#include <cstring>

Q_LOGGING_CATEGORY(lcMac, "deckctl.mac")

namespace {

constexpr int kPanTiltLength = 8;
constexpr int kShortLength = 2;
constexpr int kByteLength = 1;

QByteArray bytes(const std::uint8_t* data, int length)
{
    return QByteArray(reinterpret_cast<const char*>(data), length);
}

std::int16_t signed16(const QByteArray& data)
{
    return qFromLittleEndian<qint16>(data.constData());
}

} // namespace

UVCCameraDevices::UVCCameraDevices(uvc::UsbBus& bus, std::function<int()> random)
    : m_bus(bus), m_random(random ? std::move(random) : std::function<int()>([] { return std::rand(); }))
{
}

UVCCameraDevices::~UVCCameraDevices() = default;

QStringList UVCCameraDevices::searchCameraDevice()
{
    return m_bus.listDevices();
}

QString UVCCameraDevices::getDevicesUniqueID(const QString& prefix, int vendorId, int productId)
{
    const QString id = prefix + QString::asprintf("%04x%04x", vendorId & 0xFFFF, productId & 0xFFFF);
    qCInfo(lcMac).noquote() << QStringLiteral("[uniqueID :  %1]").arg(id);
    return id;
}

bool UVCCameraDevices::createUSBInterface(const QString& uniqueId)
{
    if (uniqueId.size() < 8)
        return false;
    bool vendorOk = false;
    bool productOk = false;
    const int vendorId = uniqueId.right(8).left(4).toInt(&vendorOk, 16);
    const int productId = uniqueId.right(4).toInt(&productOk, 16);
    if (!vendorOk || !productOk)
        return false;
    return initWithVendorID(vendorId, productId);
}

bool UVCCameraDevices::initWithVendorID(int vendorId, int productId)
{
    return initAt(vendorId, productId, QString());
}

bool UVCCameraDevices::initAt(int vendorId, int productId, const QString& busPort)
{
    int error = 0;
    m_usbInterface = m_bus.openAt(vendorId, productId, busPort, &error);
    if (!m_usbInterface)
        qCWarning(lcMac).noquote() << QString::asprintf(
            "CameraControl Error: camera %04x:%04x not opened (%s).", vendorId, productId,
            std::strerror(-error));
    return m_usbInterface != nullptr;
}

bool UVCCameraDevices::sendControlRequest(const uvc::SetupPacket& setup, std::uint8_t* data)
{
    if (!m_usbInterface) {
        qCWarning(lcMac) << "[sendControlRequest][CameraControl Error]: No interface to send request";
        return false;
    }
    const int result = m_usbInterface->controlTransfer(setup, data, macedition::kControlTimeoutMs);
    // A get may come back short; a set must go whole.
    const bool in = setup.bmRequestType & uvc::kDirectionIn;
    if (result < 0 || (!in && result != setup.wLength)) {
        qCWarning(lcMac).noquote() << QString::asprintf(
            "[sendControlRequest][CameraControl Error]: Control request failed: %08x",
            static_cast<unsigned>(-result));
        return false;
    }
    return true;
}

bool UVCCameraDevices::setData(const std::uint8_t* payload, int length, int selector, int unit)
{
    if (length < 0 || length > 0xFFFF)
        return false;
    QByteArray copy = bytes(payload, length);
    const uvc::SetupPacket setup =
        uvc::unitRequest(uvc::SET_CUR, unit, selector, static_cast<std::uint16_t>(length),
                         m_usbInterface ? m_usbInterface->videoControlInterface() : 0);
    return sendControlRequest(setup, reinterpret_cast<std::uint8_t*>(copy.data()));
}

bool UVCCameraDevices::setDataset(std::int64_t value, int length, int selector, int unit)
{
    std::uint8_t payload[8] = {};
    if (length < 0 || length > 8)
        return false;
    qToLittleEndian<qint64>(value, payload);
    return setData(payload, length, selector, unit);
}

bool UVCCameraDevices::setDatadfu(const std::uint8_t* payload, int length, int selector, int unit)
{
    return setData(payload, length, selector, unit);
}

std::optional<QByteArray> UVCCameraDevices::getDataFor(std::uint8_t request, int length, int selector,
                                                       int unit)
{
    if (request == uvc::GET_INFO)
        length = uvc::kInfoLength;
    if (length < 0 || length > 0xFFFF)
        return std::nullopt;
    QByteArray buffer(length, '\0');
    const uvc::SetupPacket setup =
        uvc::unitRequest(request, unit, selector, static_cast<std::uint16_t>(length),
                         m_usbInterface ? m_usbInterface->videoControlInterface() : 0);
    if (!sendControlRequest(setup, reinterpret_cast<std::uint8_t*>(buffer.data())))
        return std::nullopt;
    return buffer;
}

int UVCCameraDevices::random()
{
    const int r = m_random() % macedition::kTagModulus;
    return r < 0 ? r + macedition::kTagModulus : r;
}

// --- Vendor command blocks ---

bool UVCCameraDevices::sendBlock(const std::uint8_t* block)
{
    return setData(block, xu::kBlockLength, xu::SELECTOR_COMMAND, uvc::kExtensionUnit);
}

bool UVCCameraDevices::sendBlock(std::uint8_t code, std::uint8_t param)
{
    xu::Block block{};
    block[xu::kOffsetCode] = code;
    block[xu::kOffsetTag] = static_cast<std::uint8_t>(random());
    block[xu::kOffsetParam] = param;
    return sendBlock(block.data());
}

std::optional<QByteArray> UVCCameraDevices::query(std::uint8_t code)
{
    if (!sendBlock(code))
        return std::nullopt;
    return getDataFor(uvc::GET_CUR, xu::kBlockLength, xu::SELECTOR_RESPONSE, uvc::kExtensionUnit);
}

int UVCCameraDevices::queryByte(std::uint8_t code, int fallback)
{
    const std::optional<QByteArray> answer = query(code);
    if (!answer || answer->size() <= xu::kOffsetValue)
        return fallback;
    return static_cast<std::uint8_t>(answer->at(xu::kOffsetValue));
}

QString UVCCameraDevices::queryVersion(std::uint8_t code)
{
    const std::optional<QByteArray> answer = query(code);
    if (!answer || answer->size() < xu::kBlockLength)
        return QString();
    const char* v = answer->constData() + xu::kOffsetValue;
    const int major = qFromBigEndian<quint16>(v);
    const int minor = qFromBigEndian<quint16>(v + 2);
    const int patch = qFromBigEndian<quint16>(v + 4);
    qCInfo(lcMac).noquote() << QString::asprintf("GetVersion  %d %d %d", major, minor, patch);
    return QString::asprintf("V%d.%d.%d", major, minor, patch);
}

bool UVCCameraDevices::sethdr(int on)
{
    return sendBlock(xu::XU_HDR, static_cast<std::uint8_t>(on));
}
int UVCCameraDevices::gethdr()
{
    return queryByte(xu::queryCode(xu::XU_HDR), macedition::kFallbackByte);
}
bool UVCCameraDevices::setFlicker(int value)
{
    return sendBlock(xu::XU_ANTI_FLICKER, static_cast<std::uint8_t>(value));
}
int UVCCameraDevices::getFlickerInfo()
{
    return queryByte(xu::queryCode(xu::XU_ANTI_FLICKER), macedition::kFallbackByte);
}
bool UVCCameraDevices::setMic(int on)
{
    return sendBlock(xu::XU_MIC, static_cast<std::uint8_t>(on));
}
int UVCCameraDevices::getMICInfo()
{
    return queryByte(xu::queryCode(xu::XU_MIC), macedition::kFallbackByte);
}
bool UVCCameraDevices::setShutter(int closed)
{
    return sendBlock(xu::XU_SHUTTER, static_cast<std::uint8_t>(closed));
}
int UVCCameraDevices::getShutter()
{
    return queryByte(xu::queryCode(xu::XU_SHUTTER), macedition::kFallbackByte);
}

bool UVCCameraDevices::setMaxZoom(int factorTimes100)
{
    xu::Block block{};
    block[xu::kOffsetCode] = xu::XU_MAX_ZOOM;
    block[xu::kOffsetTag] = static_cast<std::uint8_t>(random());
    qToLittleEndian<quint16>(static_cast<quint16>(factorTimes100), block.data() + xu::kOffsetParam);
    return sendBlock(block.data());
}

int UVCCameraDevices::getMAXZoomInfo()
{
    const std::optional<QByteArray> answer = query(xu::queryCode(xu::XU_MAX_ZOOM));
    if (!answer || answer->size() < xu::kOffsetValue + 2)
        return macedition::kFallbackMaxZoom;
    return qFromLittleEndian<quint16>(answer->constData() + xu::kOffsetValue);
}

bool UVCCameraDevices::setMirror(int on)
{
    return sendBlock(xu::XU_MIRROR, static_cast<std::uint8_t>(on));
}
int UVCCameraDevices::getMirror()
{
    return queryByte(xu::queryCode(xu::XU_MIRROR), macedition::kFallbackByte);
}
bool UVCCameraDevices::setPreset(int preset)
{
    return sendBlock(xu::XU_PRESET_SAVE, static_cast<std::uint8_t>(preset));
}
bool UVCCameraDevices::setLoad(int preset)
{
    return sendBlock(xu::XU_PRESET_LOAD, static_cast<std::uint8_t>(preset));
}
bool UVCCameraDevices::setHD(int on)
{
    return sendBlock(xu::XU_HD_MODE, static_cast<std::uint8_t>(on));
}
int UVCCameraDevices::getHDInfo()
{
    return queryByte(xu::queryCode(xu::XU_HD_MODE), macedition::kFallbackByte);
}
bool UVCCameraDevices::setTrackingMode(int mode)
{
    return sendBlock(xu::XU_TRACKING_MODE, static_cast<std::uint8_t>(mode));
}
int UVCCameraDevices::getTrackingMode()
{
    return queryByte(xu::queryCode(xu::XU_TRACKING_MODE), macedition::kFallbackTrackingMode);
}
bool UVCCameraDevices::setTrackingffect(int effect)
{
    qCDebug(lcMac) << "Auto config Effect";
    return sendBlock(xu::XU_FRAMING_EFFECT, static_cast<std::uint8_t>(effect));
}
int UVCCameraDevices::getAutoframEffect()
{
    qCDebug(lcMac) << "Auto query Effect";
    return queryByte(xu::queryCode(xu::XU_FRAMING_EFFECT), macedition::kFallbackByte);
}
bool UVCCameraDevices::setTrackingSpeed(int speed)
{
    qCDebug(lcMac) << "Auto config Speend";
    return sendBlock(xu::XU_FRAMING_SPEED, static_cast<std::uint8_t>(speed));
}
int UVCCameraDevices::getAutoFrameSpeed()
{
    qCDebug(lcMac) << "Auto query Speend";
    return queryByte(xu::queryCode(xu::XU_FRAMING_SPEED), macedition::kFallbackByte);
}
int UVCCameraDevices::getTrackingEffect()
{
    return queryByte(xu::XU_TRACKING_EFFECT_STATE, macedition::kFallbackByte);
}
int UVCCameraDevices::getTrackingSpeed()
{
    return queryByte(xu::XU_TRACKING_SPEED_STATE, macedition::kFallbackByte);
}
int UVCCameraDevices::getAngleInfo()
{
    return queryByte(xu::XU_FIELD_OF_VIEW, macedition::kFallbackByte);
}
bool UVCCameraDevices::setAudio(int value)
{
    return sendBlock(xu::XU_AUDIO, static_cast<std::uint8_t>(value));
}
int UVCCameraDevices::getAudio()
{
    return queryByte(xu::queryCode(xu::XU_AUDIO), macedition::kFallbackByte);
}
bool UVCCameraDevices::setDefault()
{
    return sendBlock(xu::XU_FACTORY_RESET);
}
QString UVCCameraDevices::getCameraVersion()
{
    return queryVersion(xu::XU_CAMERA_VERSION);
}
QString UVCCameraDevices::getAudioVersion()
{
    return queryVersion(xu::XU_AUDIO_VERSION);
}

bool UVCCameraDevices::getUBootVersion()
{
    const std::optional<QByteArray> answer = query(xu::XU_LOADER_STATE);
    return answer && !answer->isEmpty() && static_cast<std::uint8_t>(answer->at(0)) == 0xFF;
}

namespace {

xu::Block loaderBlock(std::uint8_t code, std::uint8_t tag, std::uint8_t param)
{
    xu::Block block{};
    block[xu::kOffsetCode] = code;
    block[xu::kOffsetTag] = tag;
    block[xu::kOffsetParam] = param;
    std::copy(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(), block.begin() + xu::kOffsetSignature);
    return block;
}

} // namespace

bool UVCCameraDevices::setUpdateSSD222D()
{
    const xu::Block block = loaderBlock(xu::XU_ENTER_UPGRADE, static_cast<std::uint8_t>(random()),
                                        macedition::kMainSocLoaderParam);
    return sendBlock(block.data());
}

bool UVCCameraDevices::updateDev()
{
    const xu::Block block = loaderBlock(macedition::kCameraLoaderCode, static_cast<std::uint8_t>(random()),
                                        macedition::kCameraLoaderParam);
    return sendBlock(block.data());
}

bool UVCCameraDevices::setupdateXmosDev()
{
    return sendBlock(xu::XU_ENTER_UPGRADE);
}

bool UVCCameraDevices::sendAudioPacket(const std::uint8_t* packet)
{
    return setDatadfu(packet, xu::kAudioPacketLength, xu::SELECTOR_AUDIO_DATA, uvc::kExtensionUnit);
}

std::optional<QByteArray> UVCCameraDevices::getAudioStatus()
{
    return getDataFor(uvc::GET_CUR, xu::kBlockLength, xu::SELECTOR_AUDIO_STATUS, uvc::kExtensionUnit);
}

// --- Standard controls ---

std::optional<QByteArray> UVCCameraDevices::readCurrent(int unit, int selector, int length)
{
    // GET_INFO first: a control the camera does not have fails here without a read.
    if (!getDataFor(uvc::GET_INFO, uvc::kInfoLength, selector, unit))
        return std::nullopt;
    return readRange(uvc::GET_CUR, unit, selector, length);
}

std::optional<QByteArray> UVCCameraDevices::readRange(std::uint8_t request, int unit, int selector,
                                                      int length)
{
    std::optional<QByteArray> data = getDataFor(request, length, selector, unit);
    if (data && data->size() < length)
        return std::nullopt;
    return data;
}

namespace {

int unsigned16(const std::optional<QByteArray>& data, int fallback)
{
    return data ? qFromLittleEndian<quint16>(data->constData()) : fallback;
}

UVCCameraDevices::PanTilt panTilt(const std::optional<QByteArray>& data)
{
    UVCCameraDevices::PanTilt value;
    if (data) {
        value.pan = qFromLittleEndian<qint32>(data->constData());
        value.tilt = qFromLittleEndian<qint32>(data->constData() + 4);
    }
    return value;
}

} // namespace

int UVCCameraDevices::getZoom()
{
    return unsigned16(readCurrent(uvc::kCameraTerminal, uvc::CT_ZOOM_ABSOLUTE, kShortLength),
                      macedition::kFallbackZoomCurrent);
}
int UVCCameraDevices::getZoomMin()
{
    return unsigned16(readRange(uvc::GET_MIN, uvc::kCameraTerminal, uvc::CT_ZOOM_ABSOLUTE, kShortLength),
                      macedition::kFallbackStandard);
}
int UVCCameraDevices::getZoomMax()
{
    return unsigned16(readRange(uvc::GET_MAX, uvc::kCameraTerminal, uvc::CT_ZOOM_ABSOLUTE, kShortLength),
                      macedition::kFallbackStandard);
}
bool UVCCameraDevices::setZoom(int value)
{
    return setDataset(value, kShortLength, uvc::CT_ZOOM_ABSOLUTE, uvc::kCameraTerminal);
}
int UVCCameraDevices::getFocus()
{
    return unsigned16(readCurrent(uvc::kCameraTerminal, uvc::CT_FOCUS_ABSOLUTE, kShortLength),
                      macedition::kFallbackStandard);
}
int UVCCameraDevices::getFocusMin()
{
    return unsigned16(readRange(uvc::GET_MIN, uvc::kCameraTerminal, uvc::CT_FOCUS_ABSOLUTE, kShortLength),
                      macedition::kFallbackStandard);
}
int UVCCameraDevices::getFocusMax()
{
    return unsigned16(readRange(uvc::GET_MAX, uvc::kCameraTerminal, uvc::CT_FOCUS_ABSOLUTE, kShortLength),
                      macedition::kFallbackStandard);
}
bool UVCCameraDevices::setFocus(int value)
{
    return setDataset(value, kShortLength, uvc::CT_FOCUS_ABSOLUTE, uvc::kCameraTerminal);
}
int UVCCameraDevices::getFocusAuto()
{
    const std::optional<QByteArray> data = readCurrent(uvc::kCameraTerminal, uvc::CT_FOCUS_AUTO, kByteLength);
    return data ? static_cast<std::uint8_t>(data->at(0)) : macedition::kFallbackStandard;
}
bool UVCCameraDevices::setFocusAuto(int on)
{
    return setDataset(on, kByteLength, uvc::CT_FOCUS_AUTO, uvc::kCameraTerminal);
}
UVCCameraDevices::PanTilt UVCCameraDevices::getpanTilt()
{
    return panTilt(readCurrent(uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, kPanTiltLength));
}
UVCCameraDevices::PanTilt UVCCameraDevices::getpanTiltMin()
{
    return panTilt(readRange(uvc::GET_MIN, uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, kPanTiltLength));
}
UVCCameraDevices::PanTilt UVCCameraDevices::getpanTiltMax()
{
    return panTilt(readRange(uvc::GET_MAX, uvc::kCameraTerminal, uvc::CT_PANTILT_ABSOLUTE, kPanTiltLength));
}
bool UVCCameraDevices::setPanTilt(std::int32_t pan, std::int32_t tilt)
{
    // Pan in bytes 0-3, tilt in bytes 4-7.
    const std::int64_t value =
        static_cast<std::int64_t>(static_cast<std::uint32_t>(pan)) |
        static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(tilt)) << 32);
    return setDataset(value, kPanTiltLength, uvc::CT_PANTILT_ABSOLUTE, uvc::kCameraTerminal);
}

// The processing unit's values are signed 16-bit (brightness and hue may be negative).
int UVCCameraDevices::getProcessing(int selector)
{
    const std::optional<QByteArray> data = readCurrent(uvc::kProcessingUnit, selector, kShortLength);
    return data ? signed16(*data) : macedition::kFallbackStandard;
}
int UVCCameraDevices::getProcessingMin(int selector)
{
    const std::optional<QByteArray> data =
        readRange(uvc::GET_MIN, uvc::kProcessingUnit, selector, kShortLength);
    return data ? signed16(*data) : macedition::kFallbackStandard;
}
int UVCCameraDevices::getProcessingMax(int selector)
{
    const std::optional<QByteArray> data =
        readRange(uvc::GET_MAX, uvc::kProcessingUnit, selector, kShortLength);
    return data ? signed16(*data) : macedition::kFallbackStandard;
}
int UVCCameraDevices::getProcessingDef(int selector)
{
    const std::optional<QByteArray> data =
        readRange(uvc::GET_DEF, uvc::kProcessingUnit, selector, kShortLength);
    return data ? signed16(*data) : macedition::kFallbackStandard;
}
bool UVCCameraDevices::setProcessing(int selector, int value)
{
    return setDataset(value, kShortLength, selector, uvc::kProcessingUnit);
}
int UVCCameraDevices::getHueAuto()
{
    const std::optional<QByteArray> data = readCurrent(uvc::kProcessingUnit, uvc::PU_HUE_AUTO, kByteLength);
    return data ? static_cast<std::uint8_t>(data->at(0)) : macedition::kFallbackStandard;
}
bool UVCCameraDevices::setHueAuto(int on)
{
    return setDataset(on, kByteLength, uvc::PU_HUE_AUTO, uvc::kProcessingUnit);
}
