#include "libsstarufu.h"

#include "app/catalogue.h"
#include "device/deviceplatform.h"
#include "upgrade/massstorage.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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

QMutex g_folderLock;     // guards g_upgradeFolder and g_upgradeRoot
QString g_upgradeFolder; // names resolve against this folder
QString g_upgradeRoot;   // names in scripts must stay within this folder

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

bool statusGood(const std::uint8_t* word)
{
    return word[0] == sstar::kStatusGood0 && word[1] == sstar::kStatusGood1;
}

// The vendor identifications a brand accepts, compared byte for byte.
bool vendorAccepted(int brandIndex, const QByteArray& vendor)
{
    if (vendor.startsWith("GC"))
        return brandIndex == 0 || brandIndex == 1;
    if (brandIndex == 0) {
        return vendor.startsWith("PX") || vendor.startsWith(names::kModelIdQB18Z.left(5).toLatin1()) ||
               vendor.startsWith(names::kModelIdQB18.left(5).toLatin1());
    }
    if (brandIndex == 1) {
        QByteArray arden = "AR";
        for (const ModelEntry& entry : modelIdTable()) {
            if (entry.name == QLatin1String("ARDEN310"))
                arden = entry.name.left(2).toLatin1();
        }
        return vendor.startsWith(arden);
    }
    return false;
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
        qDebug("cannot open %s: %s\n", qUtf8Printable(g_deviceKey), errorText(error));
        return error < 0 ? error : -ENODEV;
    }
    return 0;
}

DeviceState stateFromProduct(const std::uint8_t* product)
{
    if (product[0] == 0x00)
        return ROM;
    if (std::memcmp(product, "UPD", 3) == 0)
        return Updater;
    if (std::memcmp(product, "UBO", 3) == 0)
        return UBoot;
    return Other;
}

void logState(DeviceState state)
{
    switch (state) {
    case ROM:
        qInfo("device state: ROM");
        break;
    case Updater:
        qInfo("device state: Updater");
        break;
    case UBoot:
        qInfo("device state: u-Boot");
        break;
    case Other:
        break;
    }
}

QString folder()
{
    QMutexLocker locker(&g_folderLock);
    return g_upgradeFolder;
}

QString root()
{
    QMutexLocker locker(&g_folderLock);
    return g_upgradeRoot.isEmpty() ? g_upgradeFolder : g_upgradeRoot;
}

bool within(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// A name the worker passes: absolute names as they are, others within the upgrade folder.
QString resolveCallerFile(const QString& name)
{
    if (name.isEmpty()) {
        qDebug("no file name given\n");
        return QString();
    }
    if (QDir::isAbsolutePath(name))
        return QDir::cleanPath(name);
    const QString base = folder();
    if (base.isEmpty()) {
        qDebug("no upgrade file folder is set for %s\n", qUtf8Printable(name));
        return QString();
    }
    return QDir::cleanPath(base + QLatin1Char('/') + name);
}

// A name a script gives: relative to the upgrade folder, and within the root folder also after
// following links.
QString resolveScriptFile(const QByteArray& word)
{
    const QString name = QFile::decodeName(word);
    const QString base = folder();
    const QString limit = QDir::cleanPath(root());
    if (name.isEmpty())
        return QString();
    if (base.isEmpty()) {
        qDebug("no upgrade file folder is set for %s\n", word.constData());
        return QString();
    }
    if (QDir::isAbsolutePath(name)) {
        qDebug("absolute file name refused in a script: %s\n", word.constData());
        return QString();
    }
    const QString path = QDir::cleanPath(QDir::cleanPath(base) + QLatin1Char('/') + name);
    const QString canonicalRoot = QFileInfo(limit).canonicalFilePath();
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    // The root itself is no file to load; a name must lead below it.
    const bool inside =
        path != limit && within(path, limit) &&
        (canonicalPath.isEmpty() || (!canonicalRoot.isEmpty() && canonicalPath != canonicalRoot &&
                                     within(canonicalPath, canonicalRoot)));
    if (!inside) {
        qDebug("file name leads outside the upgrade folder, refused: %s\n", word.constData());
        return QString();
    }
    return path;
}

bool readImage(const QString& path, QByteArray* image)
{
    if (path.isEmpty())
        return false; // the name was refused, and the refusal logged
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug("cannot read %s: %s\n", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    *image = file.readAll();
    if (file.error() != QFileDevice::NoError ||
        static_cast<quint64>(image->size()) > static_cast<quint64>(UINT32_MAX)) {
        qDebug("cannot read %s: %s\n", qUtf8Printable(path), qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

// The load procedure; whether a missing good status fails it is the caller's choice.
int loadImage(const QString& path, std::uint32_t address, bool requireGoodStatus)
{
    QByteArray image;
    if (!readImage(path, &image))
        return -1;
    const auto size = static_cast<std::uint32_t>(image.size());
    std::array<std::uint8_t, sstar::kLoadHeaderLength> header{};
    qToLittleEndian<quint32>(address, header.data() + sstar::kOffsetLoadAddress);
    qToLittleEndian<quint32>(size, header.data() + sstar::kOffsetLoadSize);
    const QByteArray md5 = QCryptographicHash::hash(image, QCryptographicHash::Md5);
    std::copy(md5.begin(), md5.end(), header.begin() + sstar::kOffsetLoadMd5);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.constData());

    for (int attempt = 1; attempt <= sstar::kLoadAttempts; ++attempt) {
        USB_ScsiSendLoadInfo(header.data());
        if (USB_ScsiWrite(bytes, size, sstar::kTftpChunk) != 0)
            continue;
        // The device checks and stores the image meanwhile.
        sleepMs(static_cast<int>(size / sstar::kLoadPauseDivisor));
        std::array<std::uint8_t, sstar::kStatusLength> word{};
        USB_ScsiReadStatus(word.data(), int(word.size()), sstar::kStatusTries);
        if (statusGood(word.data()))
            return 0;
    }
    if (requireGoodStatus) {
        qDebug("no good status for %s after %d attempts\n", qUtf8Printable(path), sstar::kLoadAttempts);
        return -1;
    }
    return 0;
}

// The lines of a script, each normalised as it is read: blanks and tabs trimmed at both ends,
// every inner run of them replaced by one blank. A line is read in pieces, so that one huge line
// is never held whole: of each line at most sstar::kMaxScriptLineKept normalised bytes are kept.
class ScriptLines
{
public:
    explicit ScriptLines(QFile& file) : m_file(file) {}

    // The next line (without its "\n" or "\r\n"); cut tells whether bytes were dropped. false
    // at the end of the script, or when reading failed (failed() then says so).
    bool next(QByteArray* line, bool* cut)
    {
        line->clear();
        *cut = false;
        if (m_file.atEnd())
            return false;
        bool pendingBlank = false;
        bool pendingReturn = false; // a "\r" that ends the line if "\n" follows
        std::array<char, 4096> piece{};
        for (;;) {
            const qint64 count = m_file.readLine(piece.data(), qint64(piece.size()));
            if (count <= 0) {
                m_failed = !m_file.atEnd();
                return !m_failed;
            }
            m_read += count;
            bool ended = false;
            for (qint64 i = 0; i < count; ++i) {
                char c = piece[size_t(i)];
                if (c == '\n') {
                    ended = true;
                    break;
                }
                if (pendingReturn) {
                    // The "\r" was inside the line, not the end of it: it is an ordinary byte.
                    pendingReturn = false;
                    keep('\r', &pendingBlank, line, cut);
                }
                if (c == '\r') {
                    pendingReturn = true;
                    continue;
                }
                keep(c, &pendingBlank, line, cut);
            }
            if (ended || m_file.atEnd())
                return true;
        }
    }

    qint64 bytesRead() const { return m_read; }
    bool failed() const { return m_failed; }

private:
    static void keep(char c, bool* pendingBlank, QByteArray* line, bool* cut)
    {
        if (c == ' ' || c == '\t') {
            *pendingBlank = !line->isEmpty();
            return;
        }
        const int needed = *pendingBlank ? 2 : 1;
        if (line->size() + needed > sstar::kMaxScriptLineKept) {
            *cut = true;
            return;
        }
        if (*pendingBlank)
            line->append(' ');
        *pendingBlank = false;
        line->append(c);
    }

    QFile& m_file;
    qint64 m_read = 0;
    bool m_failed = false;
};

// A load address in hexadecimal with an optional "0x", within 32 bits.
bool parseLoadAddress(const QByteArray& word, std::uint32_t* address)
{
    QByteArray digits = word;
    if (digits.startsWith("0x") || digits.startsWith("0X"))
        digits = digits.mid(2);
    if (digits.isEmpty())
        return false;
    std::uint64_t value = 0;
    for (const char c : digits) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > UINT32_MAX)
            return false;
    }
    *address = static_cast<std::uint32_t>(value);
    return true;
}

void runCommandText(const char* text)
{
    USB_ScsiRunCmd(text, static_cast<int>(std::strlen(text)));
}

int runScript(const QString& path, int mode, int depth)
{
    if (depth > sstar::kMaxScriptNesting) {
        qDebug("scripts nested deeper than %d levels: %s\n", sstar::kMaxScriptNesting, qUtf8Printable(path));
        return -1;
    }
    if (path.isEmpty())
        return -1; // the name was refused, and the refusal logged
    QFile script(path);
    if (!QFileInfo(path).isFile() || !script.open(QIODevice::ReadOnly)) {
        qDebug("open script fail: %s\n",
               qUtf8Printable(QStringLiteral("%1: %2").arg(path, script.error() == QFileDevice::NoError
                                                                     ? QStringLiteral("not a regular file")
                                                                     : script.errorString())));
        return -1;
    }
    // A script is a few kilobytes; a huge one is refused before any of its lines runs.
    if (script.size() > sstar::kMaxScriptSize) {
        qDebug("script is larger than %lld bytes, refused: %s (%lld bytes)\n",
               static_cast<long long>(sstar::kMaxScriptSize), qUtf8Printable(path),
               static_cast<long long>(script.size()));
        return -1;
    }
    ScriptLines lines(script);
    QByteArray line;
    bool cut = false;
    while (lines.next(&line, &cut)) {
        if (lines.bytesRead() > sstar::kMaxScriptSize) {
            // The file grew while it was read.
            qDebug("script is larger than %lld bytes, refused: %s\n",
                   static_cast<long long>(sstar::kMaxScriptSize), qUtf8Printable(path));
            return -1;
        }
        if (line.isEmpty() || line.startsWith('#') || line.startsWith('%'))
            continue;
        qDebug("%s\n", line.constData());
        if (cut) {
            qDebug("command is too long to support. cmd: %s\n", line.constData());
            return -1;
        }

        const QList<QByteArray> words = line.split(' ');
        const QByteArray& first = words.first();
        if (first == "estar") {
            const QByteArray name = words.value(1);
            const QString nested = resolveScriptFile(name);
            if (nested.isEmpty() || runScript(nested, 0, depth + 1) != 0) {
                qDebug("parse script fail: %s\n", name.constData());
                return -1;
            }
            continue;
        }
        if (first == "tftp") {
            const QByteArray name = words.value(2);
            std::uint32_t address = 0;
            if (!parseLoadAddress(words.value(1), &address) || name.isEmpty()) {
                qDebug("tftp needs a 32-bit hexadecimal load address and a file name: %s\n",
                       line.constData());
                return -1;
            }
            const QString file = resolveScriptFile(name);
            if (file.isEmpty() || loadImage(file, address, true) != 0) {
                qDebug("load file fail: %s\n", name.constData());
                return -1;
            }
            continue;
        }
        if (first == "reset" && mode == 0) {
            // The boot loader's upgrade marker is cleared and stored before the restart, which
            // answers no status.
            runCommandText("setenv ota_upgrade_status 0");
            runCommandText("saveenv");
            runCommandText("reset");
            return 0;
        }

        if (line.size() > sstar::kMaxCommandLine) {
            qDebug("command is too long to support. cmd: %s\n", line.constData());
            return -1;
        }
        bool confirmed = false;
        for (int attempt = 1; attempt <= sstar::kCommandAttempts && !confirmed; ++attempt) {
            USB_ScsiRunCmd(line.constData(), line.size());
            std::array<std::uint8_t, sstar::kStatusLength> word{};
            USB_ScsiReadStatus(word.data(), int(word.size()), sstar::kStatusTries);
            confirmed = statusGood(word.data());
            if (!confirmed)
                qDebug("%s [retry %d]\n", line.constData(), attempt);
        }
        if (confirmed)
            continue;
        if (line == "reset" || line == "saveenv") {
            // The device restarts instead of answering.
            qDebug("Think ok.\n");
            return 0;
        }
        qDebug("USB scsi run cmd timeout.\n");
        return -1;
    }
    if (lines.failed()) {
        qDebug("cannot read script %s: %s\n", qUtf8Printable(path), qUtf8Printable(script.errorString()));
        return -1;
    }
    return 0;
}

} // namespace

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
        qDebug("command not delivered (%s): %s\n", errorText(result), QByteArray(text, length).constData());
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
        qDebug("load header not delivered: %s\n", errorText(result));
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
        qDebug("status not read: %s\n", errorText(result));
    return 0;
}

int USB_ScsiWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize)
{
    if (length == 0)
        return 0;
    if (!data || chunkSize == 0 || chunkSize > static_cast<std::uint32_t>(sstar::kMaxTransfer)) {
        qDebug("cannot send %u bytes in chunks of %u\n", length, chunkSize);
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
            qDebug("data at offset %u of %u not delivered after %d repetitions: %s\n", offset, length,
                   repetitions, errorText(result));
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
    if (brandIndex != 0 && brandIndex != 1)
        return false;

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
        if (!vendor.isEmpty() && vendorAccepted(brandIndex, vendor)) {
            state = stateFromProduct(answer.data() + sstar::kOffsetProduct);
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
        if (!vendorAccepted(brandIndex, candidate.vendor))
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

void USB_ExitDevice()
{
    QMutexLocker locker(&g_deviceLock);
    g_device.reset();
    g_deviceKey.clear();
}

void setUpgradeFileFolder(const QString& folder, const QString& rootFolder)
{
    QMutexLocker locker(&g_folderLock);
    g_upgradeFolder = folder;
    g_upgradeRoot = rootFolder;
}

QString upgradeFileFolder()
{
    return folder();
}

QString upgradeFileRoot()
{
    return root();
}

int loadFileToAddress(const QString& fileName, std::uint32_t loadAddress)
{
    return loadImage(resolveCallerFile(fileName), loadAddress, true);
}

int sendUpdaterImage(const QString& fileName)
{
    QByteArray image;
    if (!readImage(resolveCallerFile(fileName), &image))
        return -1;
    return USB_ScsiWrite(reinterpret_cast<const std::uint8_t*>(image.constData()),
                         static_cast<std::uint32_t>(image.size()), sstar::kUpdaterChunk);
}

int loadUbootImage(const QString& fileName)
{
    return loadImage(resolveCallerFile(fileName), sstar::kBootLoaderAddress, false);
}

int runUpgradeScript(const QString& scriptFile, int mode)
{
    if (mode != 0 && mode != 1) {
        qDebug("unknown script mode %d\n", mode);
        return -1;
    }
    return runScript(resolveCallerFile(scriptFile), mode, 0);
}
