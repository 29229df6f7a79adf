// The bulk-only transport's host side (bot::HostTransport::command) against a device whose every
// transfer the input decides: stalls, errors, short transfers and the bytes it sends back,
// status wrappers included. Several commands run on one transport, so tags advance.
//
// Oracles, for every command the transport accepts (returns 0):
// - the status wrapper it accepted (the last transfer from the device) is 13 bytes long, has the
//   "USBS" signature, the tag of the command wrapper sent for this command, and a status byte of
//   0 (passed) or 1 (failed);
// - the command wrapper it sent decodes (bot::decodeCommand) to the command block, the data length
//   and the direction asked for, with that same tag;
// - host-to-device data went whole.

#include "device/botframing.h"
#include "fuzz/fuzzsupport.h"

#include <QVector>

#include <algorithm>
#include <cerrno>

namespace {

// Reads the input front to back; zeros once it is used up.
class Input
{
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_offset >= m_size; }
    std::uint8_t byte() { return atEnd() ? 0 : m_data[m_offset++]; }
    int take(std::uint8_t* out, int count)
    {
        const int n =
            static_cast<int>(std::min<std::size_t>(std::size_t(count), m_size - std::min(m_offset, m_size)));
        std::copy(m_data + m_offset, m_data + m_offset + n, out);
        m_offset += std::size_t(n);
        return n;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

struct Transfer
{
    bot::Endpoint endpoint;
    int result;
    QByteArray bytes; // what moved
};

// A device that answers as the input says. Per transfer one action byte: 0-3 the transfer
// completes (IN: with as many bytes as the next input byte says, taken from the input; OUT: whole,
// or short for action 3), 4 stall, 5 an I/O error, 6 a time-out, 7 the device is gone.
class ScriptedPipe : public bot::BulkPipe
{
public:
    explicit ScriptedPipe(Input& input) : m_input(input) {}

    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred, int) override
    {
        *transferred = 0;
        const int action = m_input.byte() % 8;
        Transfer transfer{endpoint, 0, QByteArray()};
        switch (action) {
        case 4:
            transfer.result = -EPIPE;
            break;
        case 5:
            transfer.result = -EIO;
            break;
        case 6:
            transfer.result = -ETIMEDOUT;
            break;
        case 7:
            transfer.result = -ENODEV;
            break;
        default:
            if (endpoint == bot::Endpoint::In) {
                const int wanted = std::min<int>(length, m_input.byte());
                *transferred = m_input.take(data, wanted);
            } else {
                *transferred = action == 3 ? std::min<int>(length, m_input.byte()) : length;
            }
            transfer.bytes = QByteArray(reinterpret_cast<const char*>(data), *transferred);
            break;
        }
        transfers.append(transfer);
        return transfer.result;
    }
    int clearHalt(bot::Endpoint) override { return 0; }
    int resetRecovery() override { return 0; }

    QVector<Transfer> transfers;

private:
    Input& m_input;
};

std::uint32_t le32(const char* p)
{
    const auto* b = reinterpret_cast<const std::uint8_t*>(p);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input input(data, size);
    ScriptedPipe pipe(input);
    bot::HostTransport transport;
    // Up to eight commands; each starts with its direction and data length.
    for (int command = 0; command < 8 && !input.atEnd(); ++command) {
        const std::uint8_t shape = input.byte();
        const ScsiDirection direction = shape % 3 == 0   ? ScsiDirection::None
                                        : shape % 3 == 1 ? ScsiDirection::ToDevice
                                                         : ScsiDirection::FromDevice;
        const std::uint32_t length = direction == ScsiDirection::None ? 0 : input.byte() % 40;
        const std::uint8_t cdb[10] = {0xE8, std::uint8_t(command), 0, 0, 0, 0, 0, 0, 0, std::uint8_t(length)};
        QByteArray buffer(int(length), '\x5A');
        pipe.transfers.clear();
        const int result = transport.command(pipe, cdb, int(sizeof cdb), direction,
                                             reinterpret_cast<std::uint8_t*>(buffer.data()), length, 1000);
        if (result != 0)
            continue;

        QByteArray detail = "transfers:";
        for (const Transfer& t : pipe.transfers)
            detail += QByteArray(t.endpoint == bot::Endpoint::In ? " in" : " out") + "(" +
                      QByteArray::number(t.result) + ") " + t.bytes.toHex();
        const std::uint32_t tag = transport.lastTag();

        // The command wrapper: the first transfer that completed (stalled tries come before it).
        int first = 0;
        while (first < pipe.transfers.size() && pipe.transfers.at(first).result != 0)
            ++first;
        fuzz::check(first < pipe.transfers.size() && pipe.transfers.at(first).endpoint == bot::Endpoint::Out,
                    "an accepted command began with its command wrapper", detail);
        const QByteArray cbw = pipe.transfers.at(first).bytes;
        bot::CommandWrapper wrapper;
        fuzz::check(
            bot::decodeCommand(reinterpret_cast<const std::uint8_t*>(cbw.constData()), cbw.size(), &wrapper),
            "the command wrapper sent decodes", detail);
        fuzz::check(wrapper.tag == tag && wrapper.dataLength == length &&
                        wrapper.dataIn == (direction == ScsiDirection::FromDevice) &&
                        wrapper.blockLength == sizeof cdb &&
                        std::equal(cdb, cdb + sizeof cdb, wrapper.block.begin()),
                    "the command wrapper carries the command", detail);
        if (direction == ScsiDirection::ToDevice && length > 0) {
            fuzz::check(first + 1 < pipe.transfers.size() &&
                            pipe.transfers.at(first + 1).endpoint == bot::Endpoint::Out &&
                            pipe.transfers.at(first + 1).bytes.size() == int(length),
                        "host-to-device data went whole", detail);
        }

        // The accepted status wrapper: the last transfer, from the device.
        const Transfer& last = pipe.transfers.last();
        fuzz::check(last.endpoint == bot::Endpoint::In && last.result == 0,
                    "an accepted command ended with a status read", detail);
        const QByteArray csw = last.bytes;
        fuzz::check(csw.size() == bot::kStatusWrapperLength, "an accepted status wrapper is 13 bytes long",
                    detail);
        fuzz::check(le32(csw.constData() + bot::kOffsetSignature) == bot::kStatusSignature,
                    "an accepted status wrapper has the USBS signature", detail);
        fuzz::check(le32(csw.constData() + bot::kOffsetTag) == tag,
                    "an accepted status wrapper has the command's tag", detail);
        const auto status = static_cast<std::uint8_t>(csw.at(bot::kOffsetStatus));
        fuzz::check(status == bot::kStatusPassed || status == bot::kStatusFailed,
                    "an accepted status wrapper reports passed or failed", detail);
    }
    return 0;
}
