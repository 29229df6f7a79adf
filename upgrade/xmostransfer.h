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

// Told, after every accepted data packet, the image bytes accepted so far and the image's size.
using XmosTransferProgress = std::function<void(qint64 sent, qint64 total)>;

// Sends the image at imagePath; true when every packet and the end packet were accepted.
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
bool queryXmosUpOver(UVCExtensionUnit& unit, const XmosPollTiming& timing = XmosPollTiming());
