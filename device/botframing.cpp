#include "botframing.h"

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace bot {

std::array<std::uint8_t, kCommandWrapperLength> encodeCommand(const CommandWrapper& wrapper)
{
    std::array<std::uint8_t, kCommandWrapperLength> bytes{};
    qToLittleEndian<quint32>(kCommandSignature, bytes.data() + kOffsetSignature);
    qToLittleEndian<quint32>(wrapper.tag, bytes.data() + kOffsetTag);
    qToLittleEndian<quint32>(wrapper.dataLength, bytes.data() + kOffsetDataLength);
    bytes[kOffsetFlags] = wrapper.dataIn ? kFlagDataIn : 0x00;
    bytes[kOffsetLun] = wrapper.lun;
    bytes[kOffsetBlockLength] = wrapper.blockLength;
    const int blockLength = std::min<int>(wrapper.blockLength, kMaxCommandBlock);
    std::copy(wrapper.block.begin(), wrapper.block.begin() + blockLength, bytes.begin() + kOffsetBlock);
    return bytes;
}

bool decodeCommand(const std::uint8_t* bytes, int length, CommandWrapper* wrapper)
{
    if (!bytes || length != kCommandWrapperLength ||
        qFromLittleEndian<quint32>(bytes + kOffsetSignature) != kCommandSignature)
        return false;
    const std::uint8_t blockLength = bytes[kOffsetBlockLength];
    if (blockLength < 1 || blockLength > kMaxCommandBlock)
        return false;
    wrapper->tag = qFromLittleEndian<quint32>(bytes + kOffsetTag);
    wrapper->dataLength = qFromLittleEndian<quint32>(bytes + kOffsetDataLength);
    wrapper->dataIn = (bytes[kOffsetFlags] & kFlagDataIn) != 0;
    wrapper->lun = bytes[kOffsetLun];
    wrapper->blockLength = blockLength;
    wrapper->block.fill(0);
    std::copy(bytes + kOffsetBlock, bytes + kOffsetBlock + blockLength, wrapper->block.begin());
    return true;
}

std::array<std::uint8_t, kStatusWrapperLength> encodeStatus(const StatusWrapper& wrapper)
{
    std::array<std::uint8_t, kStatusWrapperLength> bytes{};
    qToLittleEndian<quint32>(wrapper.signature, bytes.data() + kOffsetSignature);
    qToLittleEndian<quint32>(wrapper.tag, bytes.data() + kOffsetTag);
    qToLittleEndian<quint32>(wrapper.residue, bytes.data() + kOffsetResidue);
    bytes[kOffsetStatus] = wrapper.status;
    return bytes;
}

bool decodeStatus(const std::uint8_t* bytes, int length, StatusWrapper* wrapper)
{
    if (!bytes || length != kStatusWrapperLength)
        return false;
    wrapper->signature = qFromLittleEndian<quint32>(bytes + kOffsetSignature);
    wrapper->tag = qFromLittleEndian<quint32>(bytes + kOffsetTag);
    wrapper->residue = qFromLittleEndian<quint32>(bytes + kOffsetResidue);
    wrapper->status = bytes[kOffsetStatus];
    return true;
}

int HostTransport::sendCommandWrapper(BulkPipe& pipe, std::uint8_t* wrapper, int timeoutMs)
{
    int result = -EPIPE;
    for (int attempt = 0; attempt < kStallTries && result == -EPIPE; ++attempt) {
        if (attempt > 0)
            pipe.clearHalt(Endpoint::Out);
        int sent = 0;
        result = pipe.bulkTransfer(Endpoint::Out, wrapper, kCommandWrapperLength, &sent, timeoutMs);
        if (result == 0 && sent != kCommandWrapperLength)
            result = -EIO;
    }
    return result;
}

int HostTransport::readStatusWrapper(BulkPipe& pipe, std::uint8_t* wrapper, int* received, int timeoutMs)
{
    int result = -EPIPE;
    for (int attempt = 0; attempt < kStallTries && result == -EPIPE; ++attempt) {
        if (attempt > 0)
            pipe.clearHalt(Endpoint::In);
        result = pipe.bulkTransfer(Endpoint::In, wrapper, kStatusWrapperLength, received, timeoutMs);
    }
    return result;
}

int HostTransport::command(BulkPipe& pipe, const std::uint8_t* cdb, int cdbLength, ScsiDirection direction,
                           std::uint8_t* data, std::uint32_t length, int timeoutMs)
{
    if (!cdb || cdbLength < 1 || cdbLength > kMaxCommandBlock)
        return -EINVAL;
    if (direction == ScsiDirection::None)
        length = 0;
    if (length > 0 && !data)
        return -EINVAL;
    if (length > static_cast<std::uint32_t>(std::numeric_limits<int>::max()))
        return -EINVAL;

    CommandWrapper command;
    command.tag = m_nextTag++;
    command.dataLength = length;
    command.dataIn = direction == ScsiDirection::FromDevice;
    command.blockLength = static_cast<std::uint8_t>(cdbLength);
    std::copy(cdb, cdb + cdbLength, command.block.begin());
    std::array<std::uint8_t, kCommandWrapperLength> wrapper = encodeCommand(command);

    int result = sendCommandWrapper(pipe, wrapper.data(), timeoutMs);
    if (result == -ENODEV)
        return result;
    if (result < 0) {
        // A refused command wrapper leaves the device in an unknown phase.
        pipe.resetRecovery();
        return result;
    }

    int dataResult = 0;
    if (length > 0) {
        const Endpoint endpoint = command.dataIn ? Endpoint::In : Endpoint::Out;
        int moved = 0;
        dataResult = pipe.bulkTransfer(endpoint, data, static_cast<int>(length), &moved, timeoutMs);
        if (dataResult == -EPIPE) {
            // The device ended the data phase early; its status wrapper follows.
            pipe.clearHalt(endpoint);
            if (command.dataIn)
                dataResult = 0; // a short answer is still an answer
        } else if (dataResult == -ENODEV) {
            return dataResult;
        } else if (dataResult < 0) {
            pipe.resetRecovery();
            return dataResult;
        } else if (!command.dataIn && moved != static_cast<int>(length)) {
            dataResult = -EIO;
        }
    }

    std::array<std::uint8_t, kStatusWrapperLength> statusBytes{};
    int received = 0;
    result = readStatusWrapper(pipe, statusBytes.data(), &received, timeoutMs);
    if (result == -ENODEV)
        return result;
    if (result < 0) {
        pipe.resetRecovery();
        return result;
    }
    // A status wrapper is valid with its length, its signature and this command's tag, and
    // meaningful with a status of passed or failed; anything else (a phase error, a reserved status
    // value) leaves the device out of step with the host.
    StatusWrapper status;
    if (!decodeStatus(statusBytes.data(), received, &status) || status.signature != kStatusSignature ||
        status.tag != command.tag || (status.status != kStatusPassed && status.status != kStatusFailed)) {
        pipe.resetRecovery();
        return -EPROTO;
    }
    return dataResult;
}

} // namespace bot
