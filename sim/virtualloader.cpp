#include "virtualloader.h"

#include "sim/jsonreader.h"

#include "app/catalogue.h"
#include "device/botframing.h"
#include "sim/virtualcamera.h"
#include "upgrade/libsstarufu.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace {

// The protocol's constants, under the names this device side uses.
constexpr std::uint8_t kInquiry = sstar::kInquiryOpcode;
constexpr std::uint8_t kVendorCommand = sstar::kOpcode;
constexpr int kInquiryLength = sstar::kInquiryLength;
constexpr int kVendorLength = sstar::kVendorLength;
constexpr int kProductLength = sstar::kProductLength;
constexpr int kLoadHeaderLength = sstar::kLoadHeaderLength;
constexpr std::uint32_t kBootLoaderAddress = sstar::kBootLoaderAddress;
constexpr int kData = sstar::DATA;
constexpr int kStatus = sstar::STATUS;
constexpr int kDataEnd = sstar::DATA_END;
// What an "invalidWrapper" fault puts into a status wrapper.
constexpr std::uint32_t kInvalidStatusSignature = 0x51425355; // "USBQ"
constexpr std::uint8_t kReservedStatus = 0x03;
constexpr int kLoadInfo = sstar::LOADINFO;
constexpr int kRunCommand = sstar::RUNCMD;

const QString kRom = QStringLiteral("rom");
const QString kUpdater = QStringLiteral("updater");
const QString kUBoot = QStringLiteral("uboot");
const QString kNormal = QStringLiteral("normal");

JournalEvent event(const char* name)
{
    JournalEvent e;
    e.insert(QStringLiteral("event"), QString::fromLatin1(name));
    return e;
}

QByteArray field(const QByteArray& text, int length)
{
    QByteArray out = text.left(length);
    out.append(QByteArray(length - out.size(), ' '));
    return out;
}

bool isBootStage(const QString& stage)
{
    return stage == kRom || stage == kUpdater || stage == kUBoot;
}

// The vendor identification the boot stages of a model report: its identifier when that starts
// with the model's loader vendor prefix, otherwise the prefix padded to eight bytes.
QByteArray modelVendor(int model, int vendorId)
{
    const CameraModel* entry = cameraModel(model);
    if (!entry || entry->loaderVendorPrefix.isEmpty())
        return vendorId == 0x343B ? QByteArrayLiteral("ARDEN300") : QByteArrayLiteral("PXCAM000");
    const QByteArray id = entry->identifier.toLatin1();
    if (id.startsWith(entry->loaderVendorPrefix))
        return id;
    return (entry->loaderVendorPrefix + QByteArrayLiteral("CAM00000")).left(kVendorLength);
}

QString phaseName(int phase)
{
    static const char* const names[] = {"command", "data-out", "data-in", "status"};
    return QString::fromLatin1(names[std::clamp(phase, 0, 3)]);
}

int phaseFromName(const QString& name)
{
    for (int i = 0; i < 4; ++i) {
        if (phaseName(i) == name)
            return i;
    }
    return 0;
}

} // namespace

QJsonObject VirtualLoaderFaults::toJson() const
{
    QJsonObject json;
    if (stallCount != 0)
        json.insert(QStringLiteral("stall"), QJsonObject{{QStringLiteral("command"), stallCommand},
                                                         {QStringLiteral("phase"), stallPhase},
                                                         {QStringLiteral("count"), stallCount}});
    if (wrongTagCount != 0)
        json.insert(QStringLiteral("wrongTag"), QJsonObject{{QStringLiteral("command"), wrongTagCommand},
                                                            {QStringLiteral("count"), wrongTagCount}});
    if (invalidWrapperCount != 0)
        json.insert(QStringLiteral("invalidWrapper"),
                    QJsonObject{{QStringLiteral("command"), invalidWrapperCommand},
                                {QStringLiteral("field"), invalidWrapperField},
                                {QStringLiteral("count"), invalidWrapperCount}});
    if (badStatusCount != 0)
        json.insert(QStringLiteral("badStatus"), QJsonObject{{QStringLiteral("match"), badStatusMatch},
                                                             {QStringLiteral("count"), badStatusCount}});
    if (noStatusCount != 0)
        json.insert(QStringLiteral("noStatus"), QJsonObject{{QStringLiteral("match"), noStatusMatch},
                                                            {QStringLiteral("count"), noStatusCount}});
    if (unplugSkip >= 0)
        json.insert(QStringLiteral("unplug"), QJsonObject{{QStringLiteral("command"), unplugCommand},
                                                          {QStringLiteral("skip"), unplugSkip}});
    if (neverReturn)
        json.insert(QStringLiteral("neverReturn"), true);
    if (returnDelayMs > 0)
        json.insert(QStringLiteral("returnDelayMs"), returnDelayMs);
    return json;
}

VirtualLoaderFaults VirtualLoaderFaults::fromJson(JsonReader& reader)
{
    VirtualLoaderFaults faults;
    // Each fault is an object whose count defaults to one.
    auto fault = [&reader](const char* key, const char* textKey, QString& text, int& count) {
        JsonReader entry = reader.child(key);
        entry.text(textKey, text);
        if (!entry.object().isEmpty())
            count = 1;
        entry.integer("count", -1, INT_MAX, count); // -1: every time
        return entry;
    };
    JsonReader stall = fault("stall", "command", faults.stallCommand, faults.stallCount);
    stall.text("phase", faults.stallPhase);
    fault("wrongTag", "command", faults.wrongTagCommand, faults.wrongTagCount);
    JsonReader invalidWrapper =
        fault("invalidWrapper", "command", faults.invalidWrapperCommand, faults.invalidWrapperCount);
    invalidWrapper.text("field", faults.invalidWrapperField);
    fault("badStatus", "match", faults.badStatusMatch, faults.badStatusCount);
    fault("noStatus", "match", faults.noStatusMatch, faults.noStatusCount);
    JsonReader unplug = reader.child("unplug");
    unplug.text("command", faults.unplugCommand);
    if (!unplug.object().isEmpty())
        faults.unplugSkip = 0;
    unplug.integer("skip", 0, INT_MAX, faults.unplugSkip);
    reader.flag("neverReturn", faults.neverReturn);
    reader.integer("returnDelayMs", 0, INT_MAX, faults.returnDelayMs);
    return faults;
}

QByteArray VirtualLoader::vendor(const VirtualCamera& camera) const
{
    if (!m_vendorOverride.isEmpty())
        return field(m_vendorOverride.toLatin1(), kVendorLength);
    return field(modelVendor(camera.model(), camera.vendorId()), kVendorLength);
}

QByteArray VirtualLoader::product(const VirtualCamera& camera) const
{
    if (!m_productOverride.isEmpty())
        return field(m_productOverride, kProductLength);
    if (camera.stage() == kRom)
        return field(QByteArray("\0SSTAR ROM", 10), kProductLength); // a boot ROM starts with 0x00
    if (camera.stage() == kUpdater)
        return field("UPDATER USB DISK", kProductLength);
    return field("UBOOT USB DISK", kProductLength);
}

void VirtualLoader::resetTransport()
{
    m_phase = Phase::Command;
    m_haltIn = false;
    m_haltOut = false;
    m_tag = 0;
    m_dataLength = 0;
    m_dataInDirection = false;
    m_block.clear();
    m_dataOut.clear();
    m_dataIn.clear();
    m_status = bot::kStatusPassed;
    m_residue = 0;
    m_wrongTag = false;
    m_invalidWrapper.clear();
    m_restartAfterWrapper.clear();
}

void VirtualLoader::reenumerated()
{
    ++m_generation;
    resetTransport();
    m_claimed = false;
    m_result = Result::None;
    m_loading = false;
    m_loadAddress = 0;
    m_loadSize = 0;
    m_loadMd5.clear();
    m_image.clear();
    m_restartAfterStatusRead.clear();
    m_listedFrom =
        m_faults.returnDelayMs > 0 ? QDateTime::currentMSecsSinceEpoch() + m_faults.returnDelayMs : 0;
}

bool VirtualLoader::listed() const
{
    return m_listedFrom == 0 || QDateTime::currentMSecsSinceEpoch() >= m_listedFrom;
}

void VirtualLoader::restart(VirtualCamera& camera, const QString& stage, QVector<JournalEvent>* journal)
{
    // The boot loader starts the firmware it was given: the upgrade is over.
    if (camera.m_stage == kUBoot && stage == kNormal && !camera.m_upgradedFirmwareVersion.isEmpty())
        camera.m_firmwareVersion = camera.m_upgradedFirmwareVersion;
    camera.m_stage = stage;
    reenumerated();
    if (m_faults.neverReturn) {
        camera.m_present = false;
        journal->append(event("unplug"));
        return;
    }
    JournalEvent e = event("reenumerate");
    e.insert(QStringLiteral("stage"), stage);
    journal->append(e);
}

int VirtualLoader::checkDevice(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal)
{
    if (!camera.m_present || !isBootStage(camera.m_stage) || generation != m_generation)
        return -ENODEV;
    if (!m_claimed) {
        m_claimed = true;
        journal->append(event("claim"));
    }
    return 0;
}

QString VirtualLoader::commandName() const
{
    if (m_block.isEmpty())
        return QString();
    const auto opcode = static_cast<std::uint8_t>(m_block.at(0));
    if (opcode == kInquiry)
        return QStringLiteral("INQUIRY");
    if (opcode != kVendorCommand || m_block.size() < 2)
        return QStringLiteral("OTHER");
    switch (m_block.at(1)) {
    case kData:
        return QStringLiteral("DATA");
    case kStatus:
        return QStringLiteral("STATUS");
    case kDataEnd:
        return QStringLiteral("DATA_END");
    case kLoadInfo:
        return QStringLiteral("LOADINFO");
    case kRunCommand:
        return QStringLiteral("RUNCMD");
    default:
        return QStringLiteral("OTHER");
    }
}

bool VirtualLoader::takeStall(const QString& phase)
{
    if (m_faults.stallCount == 0 || m_faults.stallPhase != phase ||
        (m_faults.stallCommand != QLatin1String("any") && m_faults.stallCommand != commandName()))
        return false;
    if (m_faults.stallCount > 0)
        --m_faults.stallCount;
    return true;
}

void VirtualLoader::stall(Endpoint endpoint, const char* phase, QVector<JournalEvent>* journal)
{
    (endpoint == Endpoint::In ? m_haltIn : m_haltOut) = true;
    JournalEvent e = event("stall");
    e.insert(QStringLiteral("phase"), QString::fromLatin1(phase));
    e.insert(QStringLiteral("command"), commandName());
    journal->append(e);
}

int VirtualLoader::bulkTransfer(VirtualCamera& camera, int generation, Endpoint endpoint, std::uint8_t* data,
                                int length, int* transferred, QVector<JournalEvent>* journal)
{
    *transferred = 0;
    if (const int error = checkDevice(camera, generation, journal))
        return error;
    if (length < 0 || (length > 0 && !data))
        return -EINVAL;
    return endpoint == Endpoint::Out ? receive(camera, data, length, transferred, journal)
                                     : send(camera, data, length, transferred, journal);
}

int VirtualLoader::receive(VirtualCamera& camera, const std::uint8_t* data, int length, int* transferred,
                           QVector<JournalEvent>* journal)
{
    if (m_haltOut)
        return -EPIPE;
    if (m_phase == Phase::Command) {
        bot::CommandWrapper wrapper;
        if (!bot::decodeCommand(data, length, &wrapper)) {
            // Not a command wrapper: both endpoints stall until the host recovers.
            m_haltIn = true;
            stall(Endpoint::Out, "cbw", journal);
            return -EPIPE;
        }
        resetTransport();
        m_tag = wrapper.tag;
        m_dataLength = wrapper.dataLength;
        m_dataInDirection = wrapper.dataIn;
        m_block = QByteArray(reinterpret_cast<const char*>(wrapper.block.data()), wrapper.blockLength);
        if (m_faults.unplugSkip >= 0 &&
            (m_faults.unplugCommand == QLatin1String("any") || m_faults.unplugCommand == commandName())) {
            if (m_unplugSeen == m_faults.unplugSkip) {
                camera.m_present = false;
                m_faults.unplugSkip = -1;
                m_unplugSeen = 0;
                JournalEvent e = event("unplug");
                e.insert(QStringLiteral("command"), commandName());
                journal->append(e);
                return -ENODEV;
            }
            ++m_unplugSeen;
        }
        if (takeStall(QStringLiteral("cbw"))) {
            stall(Endpoint::Out, "cbw", journal);
            m_block.clear();
            return -EPIPE;
        }
        if (m_faults.wrongTagCount != 0 &&
            (m_faults.wrongTagCommand == QLatin1String("any") || m_faults.wrongTagCommand == commandName())) {
            m_wrongTag = true;
            if (m_faults.wrongTagCount > 0)
                --m_faults.wrongTagCount;
        }
        if (m_faults.invalidWrapperCount != 0 && (m_faults.invalidWrapperCommand == QLatin1String("any") ||
                                                  m_faults.invalidWrapperCommand == commandName())) {
            m_invalidWrapper = m_faults.invalidWrapperField;
            if (m_faults.invalidWrapperCount > 0)
                --m_faults.invalidWrapperCount;
        }
        *transferred = length;
        if (m_dataLength == 0 || m_dataInDirection) {
            m_status = execute(camera, QByteArray(), journal);
            m_phase = m_dataLength == 0 ? Phase::Status : Phase::DataIn;
        } else {
            m_phase = Phase::DataOut;
        }
        return 0;
    }
    if (m_phase != Phase::DataOut) {
        // The host sends while the device has something to send: out of step.
        stall(Endpoint::Out, "out-of-step", journal);
        return -EPIPE;
    }
    if (takeStall(QStringLiteral("data"))) {
        stall(Endpoint::Out, "data", journal);
        m_status = bot::kStatusFailed;
        m_residue = m_dataLength - static_cast<std::uint32_t>(m_dataOut.size());
        m_phase = Phase::Status;
        return -EPIPE;
    }
    const int take = static_cast<int>(
        std::min<std::uint32_t>(static_cast<std::uint32_t>(length), m_dataLength - m_dataOut.size()));
    m_dataOut.append(reinterpret_cast<const char*>(data), take);
    *transferred = take;
    if (static_cast<std::uint32_t>(m_dataOut.size()) == m_dataLength) {
        m_status = execute(camera, m_dataOut, journal);
        m_dataOut.clear();
        m_phase = Phase::Status;
    }
    return 0;
}

int VirtualLoader::send(VirtualCamera& camera, std::uint8_t* data, int length, int* transferred,
                        QVector<JournalEvent>* journal)
{
    if (m_haltIn)
        return -EPIPE;
    if (m_phase == Phase::DataIn) {
        if (takeStall(QStringLiteral("data"))) {
            stall(Endpoint::In, "data", journal);
            m_status = bot::kStatusFailed;
            m_residue = m_dataLength;
            m_phase = Phase::Status;
            return -EPIPE;
        }
        const int count =
            std::min({length, static_cast<int>(m_dataIn.size()), static_cast<int>(m_dataLength)});
        std::copy(m_dataIn.begin(), m_dataIn.begin() + count, data);
        *transferred = count;
        m_residue = m_dataLength - static_cast<std::uint32_t>(count);
        m_dataIn.clear();
        m_phase = Phase::Status;
        return 0;
    }
    if (m_phase != Phase::Status)
        return -ETIMEDOUT; // nothing to send: the host would wait in vain
    if (takeStall(QStringLiteral("csw"))) {
        stall(Endpoint::In, "csw", journal);
        return -EPIPE;
    }
    bot::StatusWrapper wrapper;
    wrapper.tag = m_wrongTag ? m_tag + 0x100 : m_tag;
    wrapper.residue = m_residue;
    wrapper.status = m_status;
    if (m_invalidWrapper == QLatin1String("signature"))
        wrapper.signature = kInvalidStatusSignature;
    else if (m_invalidWrapper == QLatin1String("status"))
        wrapper.status = kReservedStatus;
    m_invalidWrapper.clear();
    const auto bytes = bot::encodeStatus(wrapper);
    const int count = std::min(length, bot::kStatusWrapperLength);
    std::copy(bytes.begin(), bytes.begin() + count, data);
    *transferred = count;
    const QString restartStage = m_restartAfterWrapper;
    m_phase = Phase::Command;
    m_block.clear();
    m_restartAfterWrapper.clear();
    if (!restartStage.isEmpty())
        restart(camera, restartStage, journal);
    return 0;
}

int VirtualLoader::clearHalt(VirtualCamera& camera, int generation, Endpoint endpoint,
                             QVector<JournalEvent>* journal)
{
    if (const int error = checkDevice(camera, generation, journal))
        return error;
    (endpoint == Endpoint::In ? m_haltIn : m_haltOut) = false;
    return 0;
}

int VirtualLoader::resetRecovery(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal)
{
    if (const int error = checkDevice(camera, generation, journal))
        return error;
    const QString restartStage = m_restartAfterWrapper;
    resetTransport();
    journal->append(event("bot-reset"));
    if (!restartStage.isEmpty())
        restart(camera, restartStage, journal); // the command was done; its wrapper got lost
    return 0;
}

void VirtualLoader::release(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal)
{
    if (generation != m_generation || !m_claimed)
        return;
    m_claimed = false;
    const QString restartStage = m_restartAfterWrapper;
    resetTransport();
    journal->append(event("release"));
    if (camera.m_present && !restartStage.isEmpty())
        restart(camera, restartStage, journal);
}

std::uint8_t VirtualLoader::execute(VirtualCamera& camera, const QByteArray& dataOut,
                                    QVector<JournalEvent>* journal)
{
    m_dataIn.clear();
    const auto opcode = m_block.isEmpty() ? std::uint8_t(0) : static_cast<std::uint8_t>(m_block.at(0));
    if (opcode == kInquiry) {
        QByteArray answer(kInquiryLength, '\0');
        answer[1] = char(0x80); // removable
        answer[2] = char(0x02);
        answer[3] = char(0x02);
        answer[4] = char(kInquiryLength - 5);
        answer.replace(8, kVendorLength, vendor(camera));
        answer.replace(16, kProductLength, product(camera));
        answer.replace(32, 4, "1.00");
        const int allocation = m_block.size() > 4 ? static_cast<std::uint8_t>(m_block.at(4)) : 0;
        m_dataIn = answer.left(std::min<int>(allocation, static_cast<int>(m_dataLength)));
        JournalEvent e = event("inquiry");
        e.insert(QStringLiteral("stage"), camera.m_stage);
        journal->append(e);
        return bot::kStatusPassed;
    }
    if (opcode != kVendorCommand || m_block.size() < 10)
        return bot::kStatusFailed;
    const int subCommand = static_cast<std::uint8_t>(m_block.at(1));
    const bool dataIn = subCommand == kStatus;
    if (qFromBigEndian<quint32>(m_block.constData() + sstar::kOffsetDataLength) != m_dataLength ||
        (m_dataLength > 0 && dataIn != m_dataInDirection))
        return bot::kStatusFailed;
    return executeVendor(camera, subCommand, dataOut, journal) ? bot::kStatusPassed : bot::kStatusFailed;
}

void VirtualLoader::applyStatusFaults(const QString& subject)
{
    auto matches = [&subject](const QString& match) {
        return match == subject || match == QLatin1String("any");
    };
    if (m_faults.badStatusCount != 0 && matches(m_faults.badStatusMatch)) {
        m_result = Result::Bad;
        if (m_faults.badStatusCount > 0)
            --m_faults.badStatusCount;
    } else if (m_faults.noStatusCount != 0 && matches(m_faults.noStatusMatch)) {
        m_result = Result::Silent;
        if (m_faults.noStatusCount > 0)
            --m_faults.noStatusCount;
    }
}

void VirtualLoader::completeLoad(VirtualCamera& camera, QVector<JournalEvent>* journal)
{
    const QByteArray md5 = QCryptographicHash::hash(m_image, QCryptographicHash::Md5);
    const bool ok = static_cast<std::uint32_t>(m_image.size()) == m_loadSize && md5 == m_loadMd5;
    JournalEvent e = event("load");
    e.insert(QStringLiteral("stage"), camera.m_stage);
    e.insert(QStringLiteral("address"), static_cast<qint64>(m_loadAddress));
    e.insert(QStringLiteral("size"), m_image.size());
    e.insert(QStringLiteral("md5"), QString::fromLatin1(md5.toHex()));
    e.insert(QStringLiteral("ok"), ok);
    journal->append(e);
    m_result = ok ? Result::Good : Result::Bad;
    applyStatusFaults(QStringLiteral("load"));
    if (ok && camera.m_stage == kUpdater && m_loadAddress == kBootLoaderAddress) {
        // The updater starts the boot loader it received: after answering, or instead of it.
        if (m_result == Result::Good)
            m_restartAfterStatusRead = kUBoot;
        else if (m_result == Result::Silent)
            m_restartAfterWrapper = kUBoot;
    }
    m_loading = false;
    m_image.clear();
}

bool VirtualLoader::executeVendor(VirtualCamera& camera, int subCommand, const QByteArray& data,
                                  QVector<JournalEvent>* journal)
{
    const QString stage = camera.m_stage;
    switch (subCommand) {
    case kRunCommand: {
        // The boot loader reads the line as far as a terminating zero; the journal tells the
        // length sent when the line had one.
        const int zero = data.indexOf('\0');
        const QByteArray text = zero >= 0 ? data.left(zero) : data;
        JournalEvent e = event("runcmd");
        e.insert(QStringLiteral("text"), QString::fromLatin1(text));
        if (zero >= 0)
            e.insert(QStringLiteral("length"), data.size());
        journal->append(e);
        if (stage != kUBoot) {
            m_result = Result::Bad; // only the boot loader runs command lines
            return stage != kRom;
        }
        m_result = Result::Good;
        applyStatusFaults(QString::fromLatin1(text));
        if (text == "reset")
            m_restartAfterWrapper = kNormal;
        return true;
    }
    case kLoadInfo: {
        if (stage == kRom || data.size() != kLoadHeaderLength)
            return false;
        m_loading = true;
        m_loadAddress = qFromLittleEndian<quint32>(data.constData() + sstar::kOffsetLoadAddress);
        m_loadSize = qFromLittleEndian<quint32>(data.constData() + sstar::kOffsetLoadSize);
        m_loadMd5 = data.mid(sstar::kOffsetLoadMd5, 16);
        m_image.clear();
        m_result = Result::None;
        JournalEvent e = event("loadinfo");
        e.insert(QStringLiteral("address"), static_cast<qint64>(m_loadAddress));
        e.insert(QStringLiteral("size"), static_cast<qint64>(m_loadSize));
        e.insert(QStringLiteral("md5"), QString::fromLatin1(m_loadMd5.toHex()));
        journal->append(e);
        return true;
    }
    case kData:
    case kDataEnd: {
        JournalEvent chunk = event(subCommand == kData ? "data" : "data-end");
        chunk.insert(QStringLiteral("size"), data.size());
        journal->append(chunk);
        if (stage == kRom) {
            m_image.append(data);
            if (subCommand == kDataEnd) {
                // The ROM starts the updater it received, on the same USB device.
                JournalEvent e = event("load");
                e.insert(QStringLiteral("stage"), stage);
                e.insert(QStringLiteral("size"), m_image.size());
                e.insert(
                    QStringLiteral("md5"),
                    QString::fromLatin1(QCryptographicHash::hash(m_image, QCryptographicHash::Md5).toHex()));
                e.insert(QStringLiteral("ok"), true);
                journal->append(e);
                m_image.clear();
                camera.m_stage = kUpdater;
                JournalEvent next = event("stage");
                next.insert(QStringLiteral("stage"), kUpdater);
                journal->append(next);
            }
            return true;
        }
        if (!m_loading) {
            m_result = Result::Bad; // data without a load header
            return true;
        }
        m_image.append(data);
        if (subCommand == kDataEnd)
            completeLoad(camera, journal);
        return true;
    }
    case kStatus: {
        if (stage == kRom)
            return false;
        QByteArray word;
        if (m_result == Result::Good)
            word = QByteArray::fromHex("0d000000");
        else if (m_result != Result::Silent)
            word = QByteArray::fromHex("0e010000");
        m_dataIn = word.left(static_cast<int>(m_dataLength));
        JournalEvent e = event("status");
        e.insert(QStringLiteral("data"), QString::fromLatin1(word.toHex()));
        journal->append(e);
        if (m_result == Result::Good && !m_restartAfterStatusRead.isEmpty()) {
            m_restartAfterWrapper = m_restartAfterStatusRead;
            m_restartAfterStatusRead.clear();
        }
        return true;
    }
    default:
        return false;
    }
}

QJsonObject VirtualLoader::toJson() const
{
    QJsonObject json;
    if (!m_vendorOverride.isEmpty())
        json.insert(QStringLiteral("vendor"), m_vendorOverride);
    if (!m_productOverride.isEmpty())
        json.insert(QStringLiteral("product"), QString::fromLatin1(m_productOverride));
    json.insert(QStringLiteral("generation"), m_generation);
    json.insert(QStringLiteral("phase"), phaseName(static_cast<int>(m_phase)));
    json.insert(QStringLiteral("claimed"), m_claimed);
    json.insert(QStringLiteral("haltIn"), m_haltIn);
    json.insert(QStringLiteral("haltOut"), m_haltOut);
    json.insert(QStringLiteral("tag"), static_cast<qint64>(m_tag));
    json.insert(QStringLiteral("dataLength"), static_cast<qint64>(m_dataLength));
    json.insert(QStringLiteral("dataIn"), m_dataInDirection);
    json.insert(QStringLiteral("block"), QString::fromLatin1(m_block.toHex()));
    json.insert(QStringLiteral("received"), QString::fromLatin1(m_dataOut.toBase64()));
    json.insert(QStringLiteral("answer"), QString::fromLatin1(m_dataIn.toBase64()));
    json.insert(QStringLiteral("status"), m_status);
    json.insert(QStringLiteral("residue"), static_cast<qint64>(m_residue));
    json.insert(QStringLiteral("wrongTag"), m_wrongTag);
    json.insert(QStringLiteral("invalidWrapper"), m_invalidWrapper);
    json.insert(QStringLiteral("restartAfterWrapper"), m_restartAfterWrapper);
    json.insert(QStringLiteral("result"), static_cast<int>(m_result));
    json.insert(QStringLiteral("loading"), m_loading);
    json.insert(QStringLiteral("loadAddress"), static_cast<qint64>(m_loadAddress));
    json.insert(QStringLiteral("loadSize"), static_cast<qint64>(m_loadSize));
    json.insert(QStringLiteral("loadMd5"), QString::fromLatin1(m_loadMd5.toHex()));
    json.insert(QStringLiteral("image"), QString::fromLatin1(m_image.toBase64()));
    json.insert(QStringLiteral("restartAfterStatus"), m_restartAfterStatusRead);
    json.insert(QStringLiteral("unplugSeen"), m_unplugSeen);
    if (m_listedFrom != 0)
        json.insert(QStringLiteral("listedFrom"), static_cast<double>(m_listedFrom));
    return json;
}

void VirtualLoader::fromJson(JsonReader& reader)
{
    auto bytes = [&reader](const char* key, QByteArray& field, bool hex) {
        QString text = hex ? QString::fromLatin1(field.toHex()) : QString::fromLatin1(field.toBase64());
        reader.text(key, text);
        const QByteArray encoded = text.toLatin1();
        const QByteArray decoded = hex ? QByteArray::fromHex(encoded) : QByteArray::fromBase64(encoded);
        const QByteArray again = hex ? decoded.toHex() : decoded.toBase64();
        if (again != encoded.toLower() && again != encoded)
            reader.fail(QLatin1String(key), hex ? QStringLiteral("must be hexadecimal bytes")
                                                : QStringLiteral("must be Base64 bytes"));
        field = decoded;
    };
    reader.text("vendor", m_vendorOverride);
    QString product = QString::fromLatin1(m_productOverride);
    reader.text("product", product);
    m_productOverride = product.toLatin1();
    reader.integer("generation", 1, INT_MAX, m_generation);
    QString phase = phaseName(static_cast<int>(m_phase));
    reader.text("phase", phase);
    if (phaseName(phaseFromName(phase)) != phase)
        reader.fail(QStringLiteral("phase"), QStringLiteral("must be command, data-out, data-in or status"));
    m_phase = static_cast<Phase>(phaseFromName(phase));
    reader.flag("claimed", m_claimed);
    reader.flag("haltIn", m_haltIn);
    reader.flag("haltOut", m_haltOut);
    reader.integer("tag", 0, UINT32_MAX, m_tag);
    reader.integer("dataLength", 0, UINT32_MAX, m_dataLength);
    reader.flag("dataIn", m_dataInDirection);
    bytes("block", m_block, true);
    bytes("received", m_dataOut, false);
    bytes("answer", m_dataIn, false);
    reader.integer("status", 0, UINT8_MAX, m_status);
    reader.integer("residue", 0, UINT32_MAX, m_residue);
    reader.flag("wrongTag", m_wrongTag);
    reader.text("invalidWrapper", m_invalidWrapper);
    reader.text("restartAfterWrapper", m_restartAfterWrapper);
    int result = static_cast<int>(m_result);
    reader.integer("result", 0, static_cast<int>(Result::Silent), result);
    m_result = static_cast<Result>(result);
    reader.flag("loading", m_loading);
    reader.integer("loadAddress", 0, UINT32_MAX, m_loadAddress);
    reader.integer("loadSize", 0, UINT32_MAX, m_loadSize);
    bytes("loadMd5", m_loadMd5, true);
    bytes("image", m_image, false);
    reader.text("restartAfterStatus", m_restartAfterStatusRead);
    reader.integer("unplugSeen", 0, INT_MAX, m_unplugSeen);
    reader.integer("listedFrom", 0, std::numeric_limits<qint64>::max(), m_listedFrom);
}
