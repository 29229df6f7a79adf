#include "uvcextensionunit.h"

#include "app/logcategories.h"
#include "device/deviceplatform.h"
#include "device/videobackend.h"

#include <QDebug>
#include <QMutexLocker>
#include <QtEndian>

#include <cerrno>

namespace {
const char* const kFunctionRequest = "UVCExtensionUnit::SetGetExtensionUnit";
} // namespace

void logXuFailure(const char* function, const char* step, long code)
{
    qCDebug(lcXu).noquote() << QString::asprintf("info: Function: %s, %s failed, Error code: 0x%.2x \n",
                                                 function, step, static_cast<unsigned int>(code));
}

UVCExtensionUnit::UVCExtensionUnit(VideoBackend* backend, QObject* parent)
    : QObject(parent), m_backend(backend ? backend : &devicePlatform().video())
{
}

UVCExtensionUnit::~UVCExtensionUnit()
{
    CloseVideoDevice();
}

bool UVCExtensionUnit::InitVideoDevice(const QString& devicePath, const QString& friendlyName)
{
    QMutexLocker locker(&m_lock);
    CloseVideoDevice();
    const QVector<VideoDeviceInfo> devices = m_backend->listCaptureDevices();
    for (int index = 0; index < devices.size(); ++index) {
        const VideoDeviceInfo& device = devices.at(index);
        qCDebug(lcXu).noquote() << "uvc camera index:" << index << " name:" << device.friendlyName;
        qCDebug(lcXu).noquote() << "uvc path:" << device.devicePath;
        if (!device.devicePath.contains(devicePath) || device.friendlyName != friendlyName)
            continue;
        int error = 0;
        m_device = m_backend->open(device, &error);
        if (!m_device) {
            logXuFailure("UVCExtensionUnit::InitVideoDevice", "Activating video device", error);
            return false;
        }
        return true;
    }
    return false;
}

void UVCExtensionUnit::CloseVideoDevice()
{
    QMutexLocker locker(&m_lock);
    m_device.reset();
    m_tag = 0;
}

bool UVCExtensionUnit::isOpen() const
{
    QMutexLocker locker(&m_lock);
    return m_device != nullptr;
}

long UVCExtensionUnit::SetGetExtensionUnit(const std::array<std::uint8_t, 16>& propertySet,
                                           unsigned long selector, unsigned long flags, std::uint8_t* data,
                                           unsigned long length, unsigned long* bytesReturned)
{
    QMutexLocker locker(&m_lock);
    if (!m_device) {
        logXuFailure(kFunctionRequest, "IMFMediaSource::QueryInterface(IKsTopologyInfo)", -ENODEV);
        return -ENODEV;
    }
    const int unit = m_device->findExtensionUnit(propertySet);
    if (unit < 0) {
        logXuFailure(kFunctionRequest, "FindExtensionNode", xu::kErrorNoUnit);
        return xu::kErrorNoUnit;
    }
    qCDebug(lcXu, "found one ext uint node\n");
    if (length > 0xFFFF || selector > 0xFF) {
        logXuFailure(kFunctionRequest, "ks_control->KsProperty(...)", -EINVAL);
        return -EINVAL;
    }
    const XuRequest request = flags == xu::kFlagsGet ? XuRequest::GetCur : XuRequest::SetCur;
    const int result = m_device->xuQuery(unit, static_cast<int>(selector), request, data,
                                         static_cast<std::uint16_t>(length));
    if (result == 0) {
        if (bytesReturned)
            *bytesReturned = request == XuRequest::GetCur ? length : 0;
        return 0;
    }
    // The device object may be closed by a directly connected receiver of the signal: nothing
    // below touches it.
    qCDebug(lcXu, "Set FAIL REINITUVC");
    emit reInitUvc();
    logXuFailure(kFunctionRequest, "ks_control->KsProperty(...)", result);
    return result;
}

std::uint8_t UVCExtensionUnit::nextTag()
{
    QMutexLocker locker(&m_lock);
    ++m_tag;
    if (m_tag > 255)
        m_tag = 0;
    return static_cast<std::uint8_t>(m_tag);
}

xu::Block UVCExtensionUnit::makeBlock(std::uint8_t code)
{
    xu::Block block{};
    block[xu::kOffsetCode] = code;
    block[xu::kOffsetTag] = nextTag();
    return block;
}

bool UVCExtensionUnit::sendBlock(const xu::Block& block, int selector)
{
    xu::Block copy = block;
    unsigned long returned = 0;
    return SetGetExtensionUnit(xu::kUnitGuid, static_cast<unsigned long>(selector), xu::kFlagsSet,
                               copy.data(), copy.size(), &returned) == 0;
}

void UVCExtensionUnit::runExclusive(const std::function<void()>& fn)
{
    QMutexLocker locker(&m_lock);
    fn();
}

bool UVCExtensionUnit::sendSetting(const xu::Block& block)
{
    // Counted under the lock, before a query that follows can begin.
    QMutexLocker locker(&m_lock);
    if (!sendBlock(block))
        return false;
    ++m_settingChanges;
    return true;
}

bool UVCExtensionUnit::sendSet(std::uint8_t code, std::uint8_t param)
{
    QMutexLocker locker(&m_lock);
    xu::Block block = makeBlock(code);
    block[xu::kOffsetParam] = param;
    return sendSetting(block);
}

bool UVCExtensionUnit::query(std::uint8_t code, xu::Block& answer)
{
    // One lock across the question and its answer.
    QMutexLocker locker(&m_lock);
    if (!sendBlock(makeBlock(code)))
        return false;
    xu::Block response = makeBlock(code); // pre-filled with the code and the next tag
    unsigned long returned = 0;
    if (SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_RESPONSE, xu::kFlagsGet, response.data(),
                            response.size(), &returned) != 0)
        return false;
    answer = response;
    return true;
}

bool UVCExtensionUnit::queryByte(std::uint8_t code, int& value)
{
    xu::Block answer{};
    if (!query(code, answer))
        return false;
    value = answer[xu::kOffsetValue];
    return true;
}

bool UVCExtensionUnit::queryVersion(std::uint8_t code, QString& version)
{
    xu::Block answer{};
    if (!query(code, answer))
        return false;
    auto word = [&answer](int offset) { return qFromBigEndian<quint16>(answer.data() + offset); };
    version = QString::asprintf("%d.%d.%d", word(2), word(4), word(6));
    return true;
}

bool UVCExtensionUnit::sethdr(int on)
{
    return sendSet(xu::XU_HDR, static_cast<std::uint8_t>(on));
}

bool UVCExtensionUnit::gethdr(int& value)
{
    return queryByte(xu::queryCode(xu::XU_HDR), value);
}

bool UVCExtensionUnit::setFlicker(int value)
{
    return sendSet(xu::XU_ANTI_FLICKER, static_cast<std::uint8_t>(value));
}

bool UVCExtensionUnit::getFlickerInfo(int& value)
{
    return queryByte(xu::queryCode(xu::XU_ANTI_FLICKER), value);
}

bool UVCExtensionUnit::setMic(int on)
{
    return sendSet(xu::XU_MIC, static_cast<std::uint8_t>(on));
}

bool UVCExtensionUnit::getMICInfo(int& value)
{
    return queryByte(xu::queryCode(xu::XU_MIC), value);
}

bool UVCExtensionUnit::setShutter(int closed)
{
    return sendSet(xu::XU_SHUTTER, static_cast<std::uint8_t>(closed));
}

bool UVCExtensionUnit::getShutter(int& value)
{
    return queryByte(xu::queryCode(xu::XU_SHUTTER), value);
}

bool UVCExtensionUnit::setMaxZoom(std::uint16_t factorTimes100)
{
    QMutexLocker locker(&m_lock);
    xu::Block block = makeBlock(xu::XU_MAX_ZOOM);
    qToLittleEndian<quint16>(factorTimes100, block.data() + xu::kOffsetParam);
    return sendSetting(block);
}

bool UVCExtensionUnit::getMAXZoomInfo(std::uint16_t& factorTimes100)
{
    xu::Block answer{};
    if (!query(xu::queryCode(xu::XU_MAX_ZOOM), answer))
        return false;
    factorTimes100 = qFromLittleEndian<quint16>(answer.data() + xu::kOffsetValue);
    return true;
}

bool UVCExtensionUnit::setMirror(int on)
{
    return sendSet(xu::XU_MIRROR, static_cast<std::uint8_t>(on));
}

bool UVCExtensionUnit::getMirror(int& value)
{
    return queryByte(xu::queryCode(xu::XU_MIRROR), value);
}

bool UVCExtensionUnit::setPreset(int preset)
{
    return sendSet(xu::XU_PRESET_SAVE, static_cast<std::uint8_t>(preset));
}

bool UVCExtensionUnit::setLoad(int preset)
{
    return sendSet(xu::XU_PRESET_LOAD, static_cast<std::uint8_t>(preset));
}

bool UVCExtensionUnit::setHD(int on)
{
    return sendSet(xu::XU_HD_MODE, static_cast<std::uint8_t>(on));
}

bool UVCExtensionUnit::getHDInfo(int& value)
{
    return queryByte(xu::queryCode(xu::XU_HD_MODE), value);
}

bool UVCExtensionUnit::setTrackingMode(int mode)
{
    return sendSet(xu::XU_TRACKING_MODE, static_cast<std::uint8_t>(mode));
}

bool UVCExtensionUnit::getTrackingMode(int& mode)
{
    return queryByte(xu::queryCode(xu::XU_TRACKING_MODE), mode);
}

bool UVCExtensionUnit::setTrackingffect(int effect)
{
    qCDebug(lcXu, "Auto config Effect");
    return sendSet(xu::XU_FRAMING_EFFECT, static_cast<std::uint8_t>(effect));
}

bool UVCExtensionUnit::getAutoframEffect(int& effect)
{
    qCDebug(lcXu, "Auto query Effect");
    return queryByte(xu::queryCode(xu::XU_FRAMING_EFFECT), effect);
}

bool UVCExtensionUnit::setTrackingSpeed(int speed)
{
    qCDebug(lcXu, "Auto config Speend");
    return sendSet(xu::XU_FRAMING_SPEED, static_cast<std::uint8_t>(speed));
}

bool UVCExtensionUnit::getAutoFrameSpeed(int& speed)
{
    qCDebug(lcXu, "Auto query Speend");
    return queryByte(xu::queryCode(xu::XU_FRAMING_SPEED), speed);
}

bool UVCExtensionUnit::getTrackingEffect(int& effect)
{
    return queryByte(xu::XU_TRACKING_EFFECT_STATE, effect);
}

bool UVCExtensionUnit::getTrackingSpeed(int& speed)
{
    return queryByte(xu::XU_TRACKING_SPEED_STATE, speed);
}

bool UVCExtensionUnit::getAngleInfo(int& value)
{
    return queryByte(xu::XU_FIELD_OF_VIEW, value);
}

bool UVCExtensionUnit::setAudio(int value)
{
    return sendSet(xu::XU_AUDIO, static_cast<std::uint8_t>(value));
}

bool UVCExtensionUnit::getAudio(int& value)
{
    return queryByte(xu::queryCode(xu::XU_AUDIO), value);
}

bool UVCExtensionUnit::setDefault()
{
    QMutexLocker locker(&m_lock);
    return sendSetting(makeBlock(xu::XU_FACTORY_RESET));
}

bool UVCExtensionUnit::getCameraVersion(QString& version)
{
    return queryVersion(xu::XU_CAMERA_VERSION, version);
}

bool UVCExtensionUnit::getAudioVersion(QString& version)
{
    return queryVersion(xu::XU_AUDIO_VERSION, version);
}

bool UVCExtensionUnit::getUBootVersion(bool& loaderAnswers)
{
    xu::Block answer{};
    if (!query(xu::XU_LOADER_STATE, answer))
        return false;
    loaderAnswers = answer[xu::kOffsetCode] == 0xFF;
    return true;
}

bool UVCExtensionUnit::setUpdateSSD222D()
{
    QMutexLocker locker(&m_lock);
    xu::Block block = makeBlock(xu::XU_ENTER_UPGRADE);
    block[xu::kOffsetParam] = xu::kMainSocLoaderParam;
    std::copy(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(), block.begin() + xu::kOffsetSignature);
    return sendBlock(block);
}

bool UVCExtensionUnit::setUpdateCamera()
{
    // No tag: this block does not advance the counter.
    xu::Block block{};
    block[0] = xu::kBootCommandByte0;
    block[1] = xu::kBootCommandByte1;
    block[2] = xu::kBootCommandByte2;
    std::copy(xu::kLoaderSignature.begin(), xu::kLoaderSignature.end(), block.begin() + xu::kOffsetSignature);
    return sendBlock(block, xu::SELECTOR_BOOT_COMMAND);
}

bool UVCExtensionUnit::setUpdateXmos()
{
    QMutexLocker locker(&m_lock);
    return sendBlock(makeBlock(xu::XU_ENTER_UPGRADE));
}
