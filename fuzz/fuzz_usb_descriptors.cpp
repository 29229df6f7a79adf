// USB configuration descriptors (the sysfs "descriptors" attribute): findExtensionUnitId with the
// camera's vendor GUID.
//
// Oracle: the unit id found is the bUnitID of a valid extension-unit descriptor of the first
// configuration (the lookup without a node's location reads that one): one that a walk of the
// configuration's descriptor chain reaches (every descriptor's bLength at least 2 and within
// the buffer), inside a VideoControl interface, with the vendor GUID, a non-zero unit id (0 means
// "undefined" in UVC) and a bLength that holds its bNrInPins source ids, its bControlSize and
// bmControls and its iExtension (24 + p + n). -1 only when the buffer has no such descriptor.

#include "device/usbdescriptors.h"
#include "device/xuprotocol.h"
#include "fuzz/fuzzsupport.h"

#include <QSet>

#include <algorithm>
#include <utility>

namespace {

// The offsets of the extension-unit descriptor after the GUID.
constexpr int kNrInPinsOffset = 21;
constexpr int kSourceIdsOffset = 22;
constexpr int kFixedLength = 24; // everything but the p source ids and the n bmControls bytes

bool validExtensionUnit(const std::uint8_t* d, int length)
{
    if (length < kFixedLength)
        return false;
    const int pins = d[kNrInPinsOffset];
    if (kSourceIdsOffset + pins >= length)
        return false;
    const int controlSize = d[kSourceIdsOffset + pins];
    return length >= kFixedLength + pins + controlSize && d[usbdesc::kUnitIdOffset] != 0 &&
           std::equal(xu::kUnitGuid.begin(), xu::kUnitGuid.end(), d + usbdesc::kGuidOffset);
}

// The first configuration as the kernel lays the attribute out: the device descriptor, then each
// configuration descriptor followed by wTotalLength - 9 bytes of its interfaces. [begin, end) of
// its body, or an empty range when the buffer holds no well-formed configuration descriptor.
std::pair<int, int> firstConfiguration(const std::uint8_t* bytes, int size)
{
    for (int offset = 0; offset + 2 <= size;) {
        const int length = bytes[offset];
        if (length < 2 || offset + length > size)
            break;
        if (bytes[offset + 1] == 0x02) { // CONFIGURATION
            const int total = length >= 9 ? bytes[offset + 2] | (bytes[offset + 3] << 8) : 0;
            if (length < 9 || total < length)
                break;
            return {offset + length, std::min(offset + total, size)};
        }
        offset += length;
    }
    return {0, 0};
}

QSet<int> validUnitIds(const QByteArray& buffer)
{
    QSet<int> ids;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.constData());
    const auto [begin, end] = firstConfiguration(bytes, buffer.size());
    bool inVideoControl = false;
    for (int offset = begin; offset + 2 <= end;) {
        const int length = bytes[offset];
        if (length < 2 || offset + length > end)
            break;
        const std::uint8_t* d = bytes + offset;
        if (d[1] == usbdesc::kTypeInterface || d[1] == usbdesc::kTypeInterfaceAssociation) {
            inVideoControl = d[1] == usbdesc::kTypeInterface && length >= usbdesc::kInterfaceLength &&
                             d[usbdesc::kInterfaceClassOffset] == usbdesc::kClassVideo &&
                             d[usbdesc::kInterfaceSubclassOffset] == usbdesc::kSubclassVideoControl;
        } else if (d[1] == usbdesc::kTypeClassSpecificInterface && inVideoControl && length > 2 &&
                   d[usbdesc::kSubtypeOffset] == usbdesc::kVcSubtypeExtensionUnit &&
                   validExtensionUnit(d, length)) {
            ids.insert(d[usbdesc::kUnitIdOffset]);
        }
        offset += length;
    }
    return ids;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The fuzzer's own buffer, without a copy's terminating zero: AddressSanitizer sees every read
    // past the end.
    const QByteArray descriptors =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const int unit = findExtensionUnitId(descriptors, xu::kUnitGuid);
    const QSet<int> valid = validUnitIds(descriptors);
    const QByteArray detail = "found unit " + QByteArray::number(unit) + " in " + descriptors.toHex(' ');
    if (unit < 0)
        fuzz::check(valid.isEmpty(), "a valid extension unit with the vendor GUID is found", detail);
    else
        fuzz::check(valid.contains(unit), "the found unit id belongs to a valid extension-unit descriptor",
                    detail);
    return 0;
}
