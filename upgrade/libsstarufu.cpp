#include "libsstarufu.h"

#include "app/catalogue.h"
#include "app/logcategories.h"
#include "device/deviceplatform.h"
#include "device/massstorage.h"
#include "upgrade/brandpolicy.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

QMutex g_deviceLock; // guards g_device and g_deviceKey
std::unique_ptr<MassStorageDevice> g_device;
QString g_deviceKey; // the listing's key of g_device

const char* errorText(int error)
{
    return std::strerror(-error);
}

void sleepMs(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

// One command to a device; an answer reaches data only when the transport carried the command.
int commandTo(MassStorageDevice& device, const std::uint8_t* cdb, int cdbLength, ScsiDirection direction,
              std::uint8_t* data, std::uint32_t length, int timeoutMs)
{
    if (direction != ScsiDirection::FromDevice)
        return device.scsiCommand(cdb, cdbLength, direction, data, length, timeoutMs);
    std::vector<std::uint8_t> answer(data, data + length);
    const int result = device.scsiCommand(cdb, cdbLength, direction, answer.data(), length, timeoutMs);
    if (result == 0)
        std::copy(answer.begin(), answer.end(), data);
    return result;
}

// A vendor command to the process-wide device; 0 or a negative errno.
int ensureDeviceOpen();

int vendorCommand(int subCommand, sstar::Direction direction, std::uint8_t* data, std::uint32_t length)
{
    if (length > static_cast<std::uint32_t>(sstar::kMaxTransfer) || (length > 0 && !data))
        return -EINVAL;
    std::array<std::uint8_t, sstar::kCommandLength> cdb{};
    cdb[0] = sstar::kOpcode;
    cdb[sstar::kOffsetSubCommand] = static_cast<std::uint8_t>(subCommand);
    qToBigEndian<quint32>(length, cdb.data() + sstar::kOffsetDataLength);
    QMutexLocker locker(&g_deviceLock);
    if (const int error = ensureDeviceOpen())
        return error;
    return commandTo(*g_device, cdb.data(), int(cdb.size()),
                     direction == sstar::Direction::FromDevice ? ScsiDirection::FromDevice
                                                               : ScsiDirection::ToDevice,
                     data, length, sstar::kCommandTimeoutMs);
}

int inquiry(MassStorageDevice& device, std::uint8_t* answer)
{
    const std::array<std::uint8_t, sstar::kInquiryCommandLength> cdb = {sstar::kInquiryOpcode, 0, 0, 0,
                                                                        sstar::kInquiryLength, 0};
    // Blanks, so that a short answer cannot pass for a ROM's zero byte.
    std::fill(answer, answer + sstar::kInquiryLength, ' ');
    return commandTo(device, cdb.data(), int(cdb.size()), ScsiDirection::FromDevice, answer,
                     sstar::kInquiryLength, sstar::kInquiryTimeoutMs);
}

// The stage as the kernel's identification shows it: a boot ROM's product identification starts
// with a zero byte, which the kernel shows as blanks only.
DeviceState stateFromListedProduct(const QByteArray& product)
{
    if (product.trimmed().isEmpty())
        return ROM;
    if (product.startsWith("UPD"))
        return Updater;
    if (product.startsWith("UBO"))
        return UBoot;
    return Other;
}

// Opens the accepted device when the first command is sent: discovery itself only reads
// identification and never opens, claims or detaches anything. Call with g_deviceLock held.
int ensureDeviceOpen()
{
    if (g_device)
        return 0;
    if (g_deviceKey.isEmpty())
        return -ENODEV;
    int error = 0;
    g_device = devicePlatform().massStorage().open(g_deviceKey, &error);
    if (!g_device) {
        qCDebug(lcUpgrade, "cannot open %s: %s\n", qUtf8Printable(g_deviceKey), errorText(error));
        return error < 0 ? error : -ENODEV;
    }
    return 0;
}

} // namespace

DeviceState sstar::stateFromProduct(const std::uint8_t* product)
{
    if (product[0] == 0x00)
        return ROM;
    if (std::memcmp(product, "UPD", 3) == 0)
        return Updater;
    if (std::memcmp(product, "UBO", 3) == 0)
        return UBoot;
    return Other;
}

namespace {

void logState(DeviceState state)
{
    switch (state) {
    case ROM:
        qCInfo(lcUpgrade, "device state: ROM");
        break;
    case Updater:
        qCInfo(lcUpgrade, "device state: Updater");
        break;
    case UBoot:
        qCInfo(lcUpgrade, "device state: u-Boot");
        break;
    case Other:
        break;
    }
}

} // namespace

bool sstar::readLoadImage(const QString& path, QByteArray* image)
{
    if (path.isEmpty())
        return false; // the name was refused, and the refusal logged
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpgrade, "cannot read %s: %s\n", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    *image = file.readAll();
    if (file.error() != QFileDevice::NoError ||
        static_cast<quint64>(image->size()) > static_cast<quint64>(UINT32_MAX)) {
        qCDebug(lcUpgrade, "cannot read %s: %s\n", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

std::array<std::uint8_t, sstar::kLoadHeaderLength> sstar::loadHeader(std::uint32_t address,
                                                                     const QByteArray& image)
{
    std::array<std::uint8_t, kLoadHeaderLength> header{};
    qToLittleEndian<quint32>(address, header.data() + kOffsetLoadAddress);
    qToLittleEndian<quint32>(static_cast<std::uint32_t>(image.size()), header.data() + kOffsetLoadSize);
    const QByteArray md5 = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::copy(md5.begin(), md5.end(), header.begin() + kOffsetLoadMd5);
    return header;
}

namespace {

// The load procedure; whether a missing good status fails it is the caller's choice.
int loadImage(const QString& path, std::uint32_t address, bool requireGoodStatus)
{
    QByteArray image;
    if (!sstar::readLoadImage(path, &image))
        return -1;
    const auto size = static_cast<std::uint32_t>(image.size());
    const std::array<std::uint8_t, sstar::kLoadHeaderLength> header = sstar::loadHeader(address, image);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.constData());

    for (int attempt = 1; attempt <= sstar::kLoadAttempts; ++attempt) {
        USB_ScsiSendLoadInfo(header.data());
        if (USB_ScsiWrite(bytes, size, sstar::kTftpChunk) != 0)
            continue;
        // The device checks and stores the image meanwhile.
        sleepMs(static_cast<int>(size / sstar::kLoadPauseDivisor));
        std::array<std::uint8_t, sstar::kStatusLength> word{};
        USB_ScsiReadStatus(word.data(), int(word.size()), sstar::kStatusTries);
        if (sstar::statusGood(word.data()))
            return 0;
    }
    if (requireGoodStatus) {
        qCDebug(lcUpgrade, "no good status for %s after %d attempts\n", qUtf8Printable(path),
                sstar::kLoadAttempts);
        return -1;
    }
    return 0;
}

} // namespace

bool sstar::statusGood(const std::uint8_t* word)
{
    return word[0] == kStatusGood0 && word[1] == kStatusGood1;
}

int sstar::loadImageFile(const QString& path, std::uint32_t loadAddress, bool requireGoodStatus)
{
    return loadImage(path, loadAddress, requireGoodStatus);
}

int libsstarufu_do_sstar_scsi_command(int subCommand, sstar::Direction direction, std::uint8_t* data,
                                      std::uint32_t length)
{
    return vendorCommand(subCommand, direction, data, length) == 0 ? 0 : -1;
}

int USB_ScsiInquiry(std::uint8_t* answer)
{
    if (!answer)
        return -1;
    QMutexLocker locker(&g_deviceLock);
    if (ensureDeviceOpen() != 0)
        return -1;
    return inquiry(*g_device, answer) == 0 ? 0 : -1;
}

int USB_ScsiRunCmd(const char* text, int length)
{
    if (!text || length < 0 || length > sstar::kMaxTransfer)
        return -1;
    std::vector<std::uint8_t> bytes(text, text + length);
    const int result = vendorCommand(sstar::RUNCMD, sstar::Direction::ToDevice, bytes.data(),
                                     static_cast<std::uint32_t>(length));
    if (result < 0) {
        qCDebug(lcUpgrade, "command not delivered (%s): %s\n", errorText(result),
                QByteArray(text, length).constData());
        sleepMs(sstar::kTransportFailureWaitMs);
    }
    return 0;
}

int USB_ScsiSendLoadInfo(const std::uint8_t* header)
{
    if (!header)
        return -1;
    std::array<std::uint8_t, sstar::kLoadHeaderLength> bytes{};
    std::copy(header, header + sstar::kLoadHeaderLength, bytes.begin());
    const int result = vendorCommand(sstar::LOADINFO, sstar::Direction::ToDevice, bytes.data(),
                                     static_cast<std::uint32_t>(bytes.size()));
    if (result < 0) {
        qCDebug(lcUpgrade, "load header not delivered: %s\n", errorText(result));
        sleepMs(sstar::kTransportFailureWaitMs);
    }
    return 0;
}

int USB_ScsiReadStatus(std::uint8_t* word, int length, int tries)
{
    if (!word || length < 1 || length > sstar::kMaxTransfer)
        return -1;
    if (tries <= 0)
        tries = sstar::kStatusTries;
    std::fill(word, word + length, 0xFF);
    int result = -EIO;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (attempt > 0)
            sleepMs(sstar::kStatusRetryMs);
        result = vendorCommand(sstar::STATUS, sstar::Direction::FromDevice, word,
                               static_cast<std::uint32_t>(length));
        if (result == 0 || result == -ENODEV)
            break;
    }
    if (result < 0)
        qCDebug(lcUpgrade, "status not read: %s\n", errorText(result));
    return 0;
}

int USB_ScsiWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize)
{
    if (length == 0)
        return 0;
    if (!data || chunkSize == 0 || chunkSize > static_cast<std::uint32_t>(sstar::kMaxTransfer)) {
        qCDebug(lcUpgrade, "cannot send %u bytes in chunks of %u\n", length, chunkSize);
        return -1;
    }
    // The device only reads the chunks; the transport's interface is not const.
    auto* bytes = const_cast<std::uint8_t*>(data);
    std::uint32_t offset = 0;
    int repetitions = 0;
    while (offset < length) {
        const std::uint32_t chunk = std::min(chunkSize, length - offset);
        const int subCommand = offset + chunk == length ? sstar::DATA_END : sstar::DATA;
        const int result = vendorCommand(subCommand, sstar::Direction::ToDevice, bytes + offset, chunk);
        if (result == 0) {
            offset += chunk;
            continue;
        }
        if (result == -ENODEV || repetitions >= sstar::kMaxChunkRepetitions) {
            qCDebug(lcUpgrade, "data at offset %u of %u not delivered after %d repetitions: %s\n", offset,
                    length, repetitions, errorText(result));
            return -1;
        }
        ++repetitions;
        sleepMs(sstar::kChunkRetryMs);
    }
    return 0;
}

bool USB_ScsiFindDevice(int brandIndex, DeviceState& state)
{
    state = Other;
    QMutexLocker locker(&g_deviceLock);
    // The previous handle is reused when discovery accepts the same device again, and released
    // otherwise (when this function returns).
    std::unique_ptr<MassStorageDevice> previous = std::move(g_device);
    const QString previousKey = g_deviceKey;
    g_deviceKey.clear();
    if (brandFromIndex(brandIndex).vendorId == 0)
        return false; // a brand the table does not hold accepts no device

    // The device this process holds is asked first, through its handle: on Linux, claiming the
    // interface detached the kernel's storage driver, so the device no longer shows up among the
    // SCSI devices that the listing reads.
    if (previous) {
        std::array<std::uint8_t, sstar::kInquiryLength> answer{};
        const QByteArray vendor =
            inquiry(*previous, answer.data()) < 0
                ? QByteArray()
                : QByteArray(reinterpret_cast<const char*>(answer.data() + sstar::kOffsetVendor),
                             sstar::kVendorLength);
        if (!vendor.isEmpty() && loaderVendorAccepted(brandIndex, vendor)) {
            state = sstar::stateFromProduct(answer.data() + sstar::kOffsetProduct);
            logState(state);
            g_device = std::move(previous);
            g_deviceKey = previousKey;
            return true;
        }
    }

    // Identification only: the kernel's view of each device's INQUIRY answer. Nothing is opened,
    // so a user's own drives are never disturbed; the accepted device is opened by its first
    // command.
    const QVector<MassStorageCandidate> candidates = devicePlatform().massStorage().listDevices();
    for (const MassStorageCandidate& candidate : candidates) {
        if (!loaderVendorAccepted(brandIndex, candidate.vendor))
            continue;
        state = stateFromListedProduct(candidate.product);
        logState(state);
        if (previous && candidate.key == previousKey)
            g_device = std::move(previous);
        g_deviceKey = candidate.key;
        return true;
    }
    return false;
}

QVector<BootStageDevice> listBootStageDevices(int brandIndex)
{
    QVector<BootStageDevice> devices;
    if (brandFromIndex(brandIndex).vendorId == 0)
        return devices;
    for (const MassStorageCandidate& candidate : devicePlatform().massStorage().listDevices()) {
        if (!loaderVendorAccepted(brandIndex, candidate.vendor))
            continue;
        BootStageDevice device;
        device.key = candidate.key;
        device.state = stateFromListedProduct(candidate.product);
        device.vendorId = candidate.vendorId;
        device.productId = candidate.productId;
        device.accessError = devicePlatform().massStorage().checkAccess(candidate.key);
        devices.append(device);
    }
    return devices;
}

QString deviceStateName(DeviceState state)
{
    switch (state) {
    case ROM:
        return QStringLiteral("ROM");
    case Updater:
        return QStringLiteral("Updater");
    case UBoot:
        return QStringLiteral("U-Boot");
    case Other:
        break;
    }
    return QStringLiteral("Other");
}

void USB_ExitDevice()
{
    QMutexLocker locker(&g_deviceLock);
    g_device.reset();
    g_deviceKey.clear();
}

int loadFileToAddress(const QString& fileName, std::uint32_t loadAddress)
{
    return loadImage(resolveUpgradeFile(fileName), loadAddress, true);
}

int sendUpdaterImage(const QString& fileName)
{
    QByteArray image;
    if (!sstar::readLoadImage(resolveUpgradeFile(fileName), &image))
        return -1;
    return USB_ScsiWrite(reinterpret_cast<const std::uint8_t*>(image.constData()),
                         static_cast<std::uint32_t>(image.size()), sstar::kUpdaterChunk);
}

int loadUbootImage(const QString& fileName)
{
    return loadImage(resolveUpgradeFile(fileName), sstar::kBootLoaderAddress, false);
}
