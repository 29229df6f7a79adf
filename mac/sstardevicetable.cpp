#include "sstardevicetable.h"

#include "maclogging.h"

#include <QString>

#include <algorithm>

namespace sstarusb {

using namespace usbbulk;

int DeviceTable::find(int vendorId, int productId)
{
    if (!m_initialised) {
        for (Slot& slot : m_slots)
            slot = Slot();
        m_initialised = true;
        qCInfo(lcMac).noquote() << QStringLiteral("libusb_init ok");
    }
    for (int i = 0; i < kSlots; ++i) {
        const Slot& slot = m_slots.at(std::size_t(i));
        if (slot.device && slot.vendorId == vendorId && slot.productId == productId) {
            qCInfo(lcMac).noquote() << QStringLiteral("Already opened, return it.");
            return i;
        }
    }
    const auto free = std::find_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return !s.device; });
    if (free == m_slots.end())
        return kNoSlot;

    int error = 0;
    std::unique_ptr<usbbulk::Device> device = m_bus.open(vendorId, productId, &error);
    if (!device)
        return kNoSlot;
    QVector<EndpointDescriptor> endpoints;
    if (device->interfaceZeroEndpoints(&endpoints) < 0)
        return kNoSlot;
    int in = -1;
    int out = -1;
    for (const EndpointDescriptor& e : endpoints) {
        if ((e.attributes & kTransferTypeMask) == kTransferTypeControl)
            continue;
        if (e.address & kDirectionIn)
            in = e.address;
        else
            out = e.address;
    }
    if (in < 0 || out < 0 || device->claimInterfaceZero() < 0)
        return kNoSlot; // the device closes as it goes
    device->useEndpoints(std::uint8_t(in), std::uint8_t(out));
    free->vendorId = vendorId;
    free->productId = productId;
    free->device = std::move(device);
    free->in = std::uint8_t(in);
    free->out = std::uint8_t(out);
    return int(free - m_slots.begin());
}

bool DeviceTable::isOpen(int slot) const
{
    return slot >= 0 && slot < kSlots && m_slots.at(std::size_t(slot)).device != nullptr;
}

std::uint8_t DeviceTable::inEndpoint(int slot) const
{
    return isOpen(slot) ? m_slots.at(std::size_t(slot)).in : 0;
}

std::uint8_t DeviceTable::outEndpoint(int slot) const
{
    return isOpen(slot) ? m_slots.at(std::size_t(slot)).out : 0;
}

int DeviceTable::vendorCommand(int slot, int subCommand, sstar::Direction direction, std::uint8_t* data,
                               std::uint32_t length)
{
    if (!isOpen(slot))
        return -1;
    Slot& s = m_slots.at(std::size_t(slot));
    return m_host.vendorCommand(*s.device, s.out, subCommand, direction, data, length) == 0 ? 0 : -1;
}

int DeviceTable::inquiry(int slot, std::uint8_t* answer)
{
    if (!isOpen(slot) || !answer)
        return macedition::kInquiryNotAsked;
    Slot& s = m_slots.at(std::size_t(slot));
    return m_host.inquiry(*s.device, s.out, answer);
}

int DeviceTable::runCommand(int slot, const char* text, int length)
{
    if (!text || length < 0 || length > sstar::kMaxTransfer)
        return -1;
    // The text as far as its terminating zero, as a C string prints.
    qCInfo(lcMac).noquote() << QStringLiteral("cmd:%1 len:%2")
                                   .arg(QString::fromLatin1(text, int(qstrnlen(text, uint(length)))))
                                   .arg(length);
    auto* bytes = reinterpret_cast<std::uint8_t*>(const_cast<char*>(text));
    return vendorCommand(slot, sstar::RUNCMD, sstar::Direction::ToDevice, bytes, std::uint32_t(length));
}

int DeviceTable::sendLoadInfo(int slot, const std::uint8_t* header)
{
    if (!header)
        return -1;
    return vendorCommand(slot, sstar::LOADINFO, sstar::Direction::ToDevice, const_cast<std::uint8_t*>(header),
                         sstar::kLoadHeaderLength);
}

int DeviceTable::readStatus(int slot, std::uint8_t* word, int length)
{
    if (!word || length < 1 || length > sstar::kMaxTransfer)
        return -1;
    std::fill(word, word + length, 0xFF);
    return vendorCommand(slot, sstar::STATUS, sstar::Direction::FromDevice, word, std::uint32_t(length));
}

int DeviceTable::write(int slot, const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize)
{
    if (!data || length == 0 || chunkSize == 0 || chunkSize > std::uint32_t(sstar::kMaxTransfer))
        return -1;
    for (std::uint32_t offset = 0; offset < length; offset += chunkSize) {
        const std::uint32_t size = std::min(chunkSize, length - offset);
        const int subCommand = offset + size < length ? sstar::DATA : sstar::DATA_END;
        if (vendorCommand(slot, subCommand, sstar::Direction::ToDevice,
                          const_cast<std::uint8_t*>(data + offset), size) < 0)
            return -1;
    }
    return 0;
}

void DeviceTable::close()
{
    m_slots[0] = Slot();
    m_initialised = false;
}

} // namespace sstarusb
