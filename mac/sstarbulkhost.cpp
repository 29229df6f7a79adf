#include "sstarbulkhost.h"

#include "maclogging.h"

#include <QString>
#include <QtEndian>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>

namespace {

// A stalled endpoint is cleared and the transfer tried again, kStallTries tries in all. Returns
// the last result; with -EPIPE every try stalled.
int transferClearingStalls(bot::BulkPipe& pipe, bot::Endpoint endpoint, std::uint8_t* data, int length,
                           int* transferred)
{
    int result = -EPIPE;
    for (int attempt = 0; attempt < bot::kStallTries && result == -EPIPE; ++attempt) {
        if (attempt > 0)
            pipe.clearHalt(endpoint);
        *transferred = 0;
        result = pipe.bulkTransfer(endpoint, data, length, transferred, macedition::kBulkTimeoutMs);
    }
    return result;
}

void logFailure(int error)
{
    qCWarning(lcMac).noquote() << QStringLiteral("Failed For:%1").arg(QLatin1String(usbErrorName(error)));
}

} // namespace

const char* usbErrorName(int error)
{
    switch (error) {
    case 0:
        return "LIBUSB_SUCCESS";
    case -EIO:
        return "LIBUSB_ERROR_IO";
    case -EINVAL:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case -EACCES:
        return "LIBUSB_ERROR_ACCESS";
    case -ENODEV:
        return "LIBUSB_ERROR_NO_DEVICE";
    case -ENOENT:
        return "LIBUSB_ERROR_NOT_FOUND";
    case -EBUSY:
        return "LIBUSB_ERROR_BUSY";
    case -ETIMEDOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case -EOVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case -EPIPE:
        return "LIBUSB_ERROR_PIPE";
    case -EINTR:
        return "LIBUSB_ERROR_INTERRUPTED";
    case -ENOMEM:
        return "LIBUSB_ERROR_NO_MEM";
    case -EOPNOTSUPP:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    default:
        return "LIBUSB_ERROR_OTHER";
    }
}

int SstarBulkHost::command(bot::BulkPipe& pipe, std::uint8_t outEndpoint, std::uint32_t tag,
                           const std::uint8_t* block, int blockLength, bool dataIn, std::uint8_t* data,
                           std::uint32_t length)
{
    bot::CommandWrapper command;
    command.tag = tag;
    command.dataLength = length;
    command.dataIn = dataIn;
    command.blockLength = static_cast<std::uint8_t>(blockLength);
    std::copy(block, block + blockLength, command.block.begin());
    std::array<std::uint8_t, bot::kCommandWrapperLength> wrapper = bot::encodeCommand(command);

    QString bytes;
    for (std::uint8_t byte : wrapper)
        bytes += QString::asprintf("%02x ", byte);
    qCInfo(lcMac).noquote() << QStringLiteral("Send to endpoint_out(%1) %2 bytes:")
                                   .arg(outEndpoint)
                                   .arg(bot::kCommandWrapperLength);
    qCInfo(lcMac).noquote() << bytes;

    int sent = 0;
    int result =
        transferClearingStalls(pipe, bot::Endpoint::Out, wrapper.data(), bot::kCommandWrapperLength, &sent);
    if (result < 0) {
        logFailure(result);
        return result;
    }
    if (sent != bot::kCommandWrapperLength) {
        qCWarning(lcMac).noquote()
            << QStringLiteral("Send %1 bytes (expected %2)").arg(sent).arg(bot::kCommandWrapperLength);
        return -EIO;
    }

    int dataResult = 0;
    if (length > 0) {
        const bot::Endpoint endpoint = dataIn ? bot::Endpoint::In : bot::Endpoint::Out;
        int moved = 0;
        dataResult =
            pipe.bulkTransfer(endpoint, data, static_cast<int>(length), &moved, macedition::kBulkTimeoutMs);
        if (dataResult == -EPIPE) {
            // The device ended the data phase early and its status wrapper follows.
            pipe.clearHalt(endpoint);
            dataResult = dataIn ? 0 : -EIO;
        } else if (dataResult < 0) {
            logFailure(dataResult);
            return dataResult;
        } else if (!dataIn && moved != static_cast<int>(length)) {
            dataResult = -EIO;
        }
    }

    std::array<std::uint8_t, bot::kStatusWrapperLength> statusBytes{};
    int received = 0;
    result = transferClearingStalls(pipe, bot::Endpoint::In, statusBytes.data(), bot::kStatusWrapperLength,
                                    &received);
    if (result < 0) {
        logFailure(result);
        return result;
    }
    bot::StatusWrapper status;
    if (!bot::decodeStatus(statusBytes.data(), received, &status) || status.tag != tag)
        return -EPROTO;
    return dataResult;
}

int SstarBulkHost::vendorCommand(bot::BulkPipe& pipe, std::uint8_t outEndpoint, int subCommand,
                                 sstar::Direction direction, std::uint8_t* data, std::uint32_t length)
{
    if (length > static_cast<std::uint32_t>(sstar::kMaxTransfer) || (length > 0 && !data))
        return -EINVAL;
    std::array<std::uint8_t, sstar::kCommandLength> block{};
    block[0] = sstar::kOpcode;
    block[sstar::kOffsetSubCommand] = static_cast<std::uint8_t>(subCommand);
    qToBigEndian<quint32>(length, block.data() + sstar::kOffsetDataLength);
    return command(pipe, outEndpoint, m_vendorTag++, block.data(), sstar::kCommandLength,
                   direction == sstar::Direction::FromDevice, data, length);
}

int SstarBulkHost::inquiry(bot::BulkPipe& pipe, std::uint8_t outEndpoint, std::uint8_t* answer)
{
    if (!answer)
        return macedition::kInquiryNotAsked;
    const std::array<std::uint8_t, sstar::kInquiryCommandLength> block = {sstar::kInquiryOpcode, 0, 0, 0,
                                                                          sstar::kInquiryLength, 0};
    // Blanks, so that a short answer cannot pass for a boot ROM's zero byte.
    std::fill(answer, answer + sstar::kInquiryLength, ' ');
    const int result = command(pipe, outEndpoint, m_inquiryTag++, block.data(), sstar::kInquiryCommandLength,
                               true, answer, sstar::kInquiryLength);
    return result == 0 ? macedition::kInquiryAnswered : -1;
}
