#pragma once

// The raw-USB edition's boot-stage devices: a table of two slots, each a USB device opened by
// vendor and product id with the bulk endpoints of its interface 0, and the vendor commands on a
// slot (SstarBulkHost's sequencing).
//
// Lookup: the first lookup after construction or close() empties both slots. A slot that
// already holds the ids is returned ("Already opened, return it."). Otherwise a free slot is
// taken (none free: no slot), the device is opened, and the endpoints of interface 0, alternate
// setting 0, are looked at: every endpoint that is not a control endpoint counts, one with the
// direction bit as the IN endpoint and the others as the OUT endpoint, the last of each kind
// winning. Without both the device is closed again: no slot. Then interface 0 is claimed (the
// kernel's driver detached automatically while it is held).
//
// Operations take a slot and return 0 for success and -1 for failure unless said otherwise.

#include "device/usbbulkdevice.h"
#include "mac/sstarbulkhost.h"

#include <QVector>

#include <array>
#include <cstdint>
#include <memory>

namespace sstarusb {

constexpr int kSlots = 2;
constexpr int kNoSlot = -1;
class DeviceTable
{
public:
    explicit DeviceTable(usbbulk::Bus& bus) : m_bus(bus) {}

    // The slot of the device with these ids, or kNoSlot.
    int find(int vendorId, int productId);
    bool isOpen(int slot) const;
    std::uint8_t inEndpoint(int slot) const;
    std::uint8_t outEndpoint(int slot) const;

    // One vendor command on a slot (libsstarufu's form): 0, or -1.
    int vendorCommand(int slot, int subCommand, sstar::Direction direction, std::uint8_t* data,
                      std::uint32_t length);
    // macedition::kInquiryAnswered, -1, or kInquiryNotAsked without an open device or a buffer.
    int inquiry(int slot, std::uint8_t* answer);
    // Logs "cmd:%s len:%d" and sends RUNCMD with length bytes of text.
    int runCommand(int slot, const char* text, int length);
    // LOADINFO with sstar::kLoadHeaderLength bytes.
    int sendLoadInfo(int slot, const std::uint8_t* header);
    // STATUS into word (pre-set to 0xFF bytes), a single attempt.
    int readStatus(int slot, std::uint8_t* word, int length);
    // DATA chunks and a DATA_END for the last one; fails at once on the first refused chunk, and
    // for zero bytes or no data.
    int write(int slot, const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize);

    // Closes the first slot's device and starts afresh with the next lookup.
    void close();

    SstarBulkHost& host() { return m_host; }

private:
    struct Slot
    {
        int vendorId = 0;
        int productId = 0;
        std::unique_ptr<usbbulk::Device> device;
        std::uint8_t in = 0;
        std::uint8_t out = 0;
    };

    usbbulk::Bus& m_bus;
    std::array<Slot, kSlots> m_slots;
    bool m_initialised = false;
    SstarBulkHost m_host;
};

} // namespace sstarusb
