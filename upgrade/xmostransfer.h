#pragma once

// The audio module's firmware travels through the camera's extension unit in 32-byte packets
// while the camera runs normally; the camera then flashes the module and reports the outcome
// through a status control.

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>

class UVCExtensionUnit;

namespace xmos {
// Transfer packet layout (selector 6, 32 bytes).
constexpr std::uint8_t kPacketMarker = 0x31;
constexpr int kOffsetMarker = 0;
constexpr int kOffsetPayloadLength = 1;
constexpr int kOffsetImageOffset = 4; // 32-bit little-endian
constexpr int kOffsetPayload = 8;
constexpr int kMaxPayload = 24;
// Status answer (selector 7, 8 bytes): byte 2 is 0 done, 1..128 running, 129..255 failed.
constexpr int kOffsetStatus = 2;
constexpr std::uint8_t kStatusPrefill = 0xB1;
constexpr int kStatusRunningMax = 128;
} // namespace xmos

// The camera's side of the transfer: how one packet reaches the camera and how its status is
// read. Both programs build the same packets and read the same status; only the carriage differs
// (the extension unit through the kernel's video driver, or raw control transfers).
class XmosLink
{
public:
    virtual ~XmosLink() = default;
    // One 32-byte transfer packet (selector 6); true when the camera took it.
    virtual bool sendPacket(const std::uint8_t* packet) = 0;
    // The 8-byte status (selector 7) into status; false when it could not be read.
    virtual bool readStatus(std::uint8_t* status) = 0;
};

// The link through UVCExtensionUnit, as the window and deckctl-cli use it.
class ExtensionUnitXmosLink : public XmosLink
{
public:
    explicit ExtensionUnitXmosLink(UVCExtensionUnit& unit) : m_unit(unit) {}
    bool sendPacket(const std::uint8_t* packet) override;
    bool readStatus(std::uint8_t* status) override;

private:
    UVCExtensionUnit& m_unit;
};

// Told, after every accepted data packet, the image bytes accepted so far and the image's size.
using XmosTransferProgress = std::function<void(qint64 sent, qint64 total)>;

// Sends the image at imagePath; true when every packet and the end packet were accepted.
bool transXmosToDev(XmosLink& link, const QString& imagePath,
                    const XmosTransferProgress& progress = XmosTransferProgress());
bool transXmosToDev(UVCExtensionUnit& unit, const QString& imagePath,
                    const XmosTransferProgress& progress = XmosTransferProgress());

struct XmosPollTiming
{
    int intervalMs = 1000; // between status reads
    int maxCount = 150;    // passes without a final answer before giving up
    // Asked before every pass; returning true ends the poll with failure (a stop request).
    std::function<bool()> cancelled;
};

// Polls the module's status until it reports success (true) or failure (false).
bool queryXmosUpOver(XmosLink& link, const XmosPollTiming& timing = XmosPollTiming());
bool queryXmosUpOver(UVCExtensionUnit& unit, const XmosPollTiming& timing = XmosPollTiming());
