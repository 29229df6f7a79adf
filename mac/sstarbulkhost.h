#pragma once

// The raw-USB edition's host side of the bulk-only transport for the boot stages' vendor command
// (0xE8) and INQUIRY: the wrappers of device/botframing.h, the command blocks of
// upgrade/libsstarufu.h, and this edition's own sequencing (macedition.h):
//  - two tag counters, one for INQUIRY and one for the vendor command, each increased after use;
//  - every phase (command wrapper, data, status wrapper) has a time-out of kBulkTimeoutMs;
//  - a stalled command wrapper or status wrapper is cleared and sent or read again, three tries
//    in all; any other transfer error fails the command at once ("Failed For:%s");
//  - a stalled data phase is cleared and ends the data phase (the device has moved on to its
//    status wrapper, so the data is not repeated: repeated data would be taken for the next
//    command wrapper, or a repeated read would swallow the status wrapper). Data to the device
//    must go whole; a short answer from the device is accepted;
//  - the status wrapper must be 13 bytes long and carry the command's tag; its signature,
//    residue and status byte are not judged (the vendor protocol reads its own status word).
// Each command returns 0 when it worked, otherwise a negative errno (-EPROTO for a status
// wrapper of the wrong length or tag).

#include "device/botframing.h"
#include "mac/macedition.h"
#include "upgrade/libsstarufu.h"

#include <cstdint>

class SstarBulkHost
{
public:
    // One vendor command with its data phase of length bytes; outEndpoint is the OUT endpoint's
    // address, for the log.
    int vendorCommand(bot::BulkPipe& pipe, std::uint8_t outEndpoint, int subCommand,
                      sstar::Direction direction, std::uint8_t* data, std::uint32_t length);
    // INQUIRY into answer (sstar::kInquiryLength bytes): macedition::kInquiryAnswered when the
    // answer came with a matching status wrapper, -1 on failure, kInquiryNotAsked without answer.
    int inquiry(bot::BulkPipe& pipe, std::uint8_t outEndpoint, std::uint8_t* answer);

    // The tags the next commands will carry.
    std::uint32_t nextVendorTag() const { return m_vendorTag; }
    std::uint32_t nextInquiryTag() const { return m_inquiryTag; }

private:
    int command(bot::BulkPipe& pipe, std::uint8_t outEndpoint, std::uint32_t tag, const std::uint8_t* block,
                int blockLength, bool dataIn, std::uint8_t* data, std::uint32_t length);

    std::uint32_t m_vendorTag = macedition::kFirstTag;
    std::uint32_t m_inquiryTag = macedition::kFirstTag;
};

// The name libusb gives a transfer error (as a negative errno), for "Failed For:%s".
const char* usbErrorName(int error);
