#pragma once

// USB mass-storage bulk-only transport: the 31-byte command wrapper, the 13-byte status wrapper
// and the host's sequence of one command over a pair of bulk endpoints. It is pure logic over an
// abstract pipe, so the same code runs against libusb (the Linux binding), against the virtual
// camera in process, and against an emulated usbfs; the device side of the virtual camera uses
// the same encoders and decoders.
//
// Stall handling: a stalled command wrapper is cleared and sent again, three tries in all; a
// stalled data phase is cleared and ends the data phase (the device has moved on to its status,
// so repeating the data would read or write out of step); a stalled status read is cleared and
// read again, three tries in all. A status wrapper of the wrong length, without the "USBS"
// signature, with another tag, or reporting a phase error or a reserved status value fails the
// command and is followed by a reset recovery, so that the next command starts in step. The SCSI
// status that the wrapper reports (passed or failed) is not judged here: the vendor protocol
// judges its own status word.

#include "device/massstorage.h"

#include <array>
#include <cstdint>

namespace bot {

constexpr int kCommandWrapperLength = 31;
constexpr int kStatusWrapperLength = 13;
constexpr std::uint32_t kCommandSignature = 0x43425355; // "USBC" little-endian
constexpr std::uint32_t kStatusSignature = 0x53425355;  // "USBS" little-endian
constexpr std::uint8_t kFlagDataIn = 0x80;
constexpr int kMaxCommandBlock = 16;
constexpr int kStallTries = 3;

// Status wrapper status values.
constexpr std::uint8_t kStatusPassed = 0x00;
constexpr std::uint8_t kStatusFailed = 0x01;
constexpr std::uint8_t kStatusPhaseError = 0x02;

// Class request "Bulk-Only Mass Storage Reset" (to the interface).
constexpr std::uint8_t kResetRequestType = 0x21;
constexpr std::uint8_t kResetRequest = 0xFF;

// Field offsets of the command wrapper.
constexpr int kOffsetSignature = 0;
constexpr int kOffsetTag = 4;
constexpr int kOffsetDataLength = 8;
constexpr int kOffsetFlags = 12;
constexpr int kOffsetLun = 13;
constexpr int kOffsetBlockLength = 14;
constexpr int kOffsetBlock = 15;
// Field offsets of the status wrapper.
constexpr int kOffsetResidue = 8;
constexpr int kOffsetStatus = 12;

struct CommandWrapper
{
    std::uint32_t tag = 0;
    std::uint32_t dataLength = 0;
    bool dataIn = false;
    std::uint8_t lun = 0;
    std::uint8_t blockLength = 0;
    std::array<std::uint8_t, kMaxCommandBlock> block{};
};

struct StatusWrapper
{
    std::uint32_t signature = kStatusSignature;
    std::uint32_t tag = 0;
    std::uint32_t residue = 0;
    std::uint8_t status = kStatusPassed;
};

std::array<std::uint8_t, kCommandWrapperLength> encodeCommand(const CommandWrapper& wrapper);
// False unless bytes hold exactly one valid command wrapper (length, signature, block length 1-16).
bool decodeCommand(const std::uint8_t* bytes, int length, CommandWrapper* wrapper);
std::array<std::uint8_t, kStatusWrapperLength> encodeStatus(const StatusWrapper& wrapper);
// False unless bytes are exactly 13 long. The signature is reported, not checked.
bool decodeStatus(const std::uint8_t* bytes, int length, StatusWrapper* wrapper);

enum class Endpoint
{
    In,
    Out,
};

// The two bulk endpoints of one bulk-only interface.
class BulkPipe
{
public:
    virtual ~BulkPipe() = default;
    // One bulk transfer of up to length bytes. Returns 0 with *transferred set (also after a
    // short transfer), -EPIPE when the endpoint stalled, or another negative errno.
    virtual int bulkTransfer(Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                             int timeoutMs) = 0;
    // Clears the endpoint's halt (CLEAR_FEATURE ENDPOINT_HALT).
    virtual int clearHalt(Endpoint endpoint) = 0;
    // Bulk-Only Mass Storage Reset, then clears both halts.
    virtual int resetRecovery() = 0;
};

// The host side of the transport for one device: tags and the command sequence.
class HostTransport
{
public:
    // One command as MassStorageDevice::scsiCommand describes it.
    int command(BulkPipe& pipe, const std::uint8_t* cdb, int cdbLength, ScsiDirection direction,
                std::uint8_t* data, std::uint32_t length, int timeoutMs);
    // The tag of the command sent last (0 before the first).
    std::uint32_t lastTag() const { return m_nextTag - 1; }

private:
    int sendCommandWrapper(BulkPipe& pipe, std::uint8_t* wrapper, int timeoutMs);
    int readStatusWrapper(BulkPipe& pipe, std::uint8_t* wrapper, int* received, int timeoutMs);

    std::uint32_t m_nextTag = 1; // every command gets the next tag
};

} // namespace bot
