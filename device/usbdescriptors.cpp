#include "usbdescriptors.h"

#include <QtEndian>
#include <algorithm>

namespace {

using namespace usbdesc;

// The descriptors of one configuration: [begin, end) after its configuration descriptor.
struct ConfigurationRange
{
    int begin = 0;
    int end = 0;
};

// Finds the configuration whose bConfigurationValue is value (-1: the first one). The walk goes
// from configuration to configuration by wTotalLength, so no descriptor inside a configuration is
// mistaken for the start of the next one. A configuration that announces more bytes than the
// buffer holds ends at the buffer's end.
bool findConfiguration(const std::uint8_t* bytes, int size, int value, ConfigurationRange* range)
{
    for (int offset = 0; offset + kMinimumLength <= size;) {
        const int length = bytes[offset + kLengthOffset];
        if (length < kMinimumLength || length > size - offset)
            return false;
        if (bytes[offset + kTypeOffset] != kTypeConfiguration) {
            offset += length; // the device descriptor, or anything else between configurations
            continue;
        }
        if (length < kConfigurationLength)
            return false;
        const int total = qFromLittleEndian<quint16>(bytes + offset + kConfigurationTotalLengthOffset);
        if (total < length)
            return false;
        if (value < 0 || bytes[offset + kConfigurationValueOffset] == value) {
            range->begin = offset + length;
            range->end = std::min(offset + total, size);
            return true;
        }
        offset += total;
    }
    return false;
}

// Calls visit(offset, length, type) for every descriptor of range in order, until visit returns
// false or a descriptor is malformed (shorter than two bytes, or reaching past the range).
template <typename Visit>
void forEachDescriptor(const std::uint8_t* bytes, const ConfigurationRange& range, Visit visit)
{
    for (int offset = range.begin; offset + kMinimumLength <= range.end;) {
        const int length = bytes[offset + kLengthOffset];
        if (length < kMinimumLength || length > range.end - offset)
            return;
        if (!visit(offset, length, bytes[offset + kTypeOffset]))
            return;
        offset += length;
    }
}

// Interface numbers [first, first + count) of one video function.
struct InterfaceSpan
{
    int first = 0;
    int count = 0;
    bool contains(int number) const { return number >= first && number < first + count; }
};

// The function that interface belongs to: the first interface association that contains it,
// otherwise the interface alone.
InterfaceSpan functionOf(const std::uint8_t* bytes, const ConfigurationRange& range, int interface)
{
    InterfaceSpan function{interface, 1};
    forEachDescriptor(bytes, range, [&](int offset, int length, std::uint8_t type) {
        if (type != kTypeInterfaceAssociation || length < kAssociationLength)
            return true;
        const InterfaceSpan association{bytes[offset + kAssociationFirstInterfaceOffset],
                                        bytes[offset + kAssociationInterfaceCountOffset]};
        if (!association.contains(interface))
            return true;
        function = association;
        return false;
    });
    return function;
}

// An extension unit the driver would take: a defined unit id (0 means none) and a bLength that
// holds its source ids and control bytes, so that nothing of it lies beyond the descriptor.
bool wellFormedExtensionUnit(const std::uint8_t* unit, int length)
{
    const int pins = unit[kNrInPinsOffset];
    if (unit[kUnitIdOffset] == 0 || kSourceIdsOffset + pins >= length)
        return false;
    const int controlSize = unit[kSourceIdsOffset + pins];
    return length >= kExtensionUnitFixedLength + pins + controlSize;
}

} // namespace

int findExtensionUnitId(const QByteArray& descriptors, const std::array<std::uint8_t, 16>& guid,
                        const UsbFunctionLocation& location)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(descriptors.constData());
    ConfigurationRange configuration;
    if (!findConfiguration(bytes, descriptors.size(), location.configurationValue, &configuration))
        return -1;
    const bool anyInterface = location.interfaceNumber < 0;
    const InterfaceSpan function =
        anyInterface ? InterfaceSpan() : functionOf(bytes, configuration, location.interfaceNumber);

    int unit = -1;
    bool inVideoControl = false; // inside a VideoControl interface of the function
    forEachDescriptor(bytes, configuration, [&](int offset, int length, std::uint8_t type) {
        if (type == kTypeInterface || type == kTypeInterfaceAssociation) {
            inVideoControl = type == kTypeInterface && length >= kInterfaceLength &&
                             bytes[offset + kInterfaceClassOffset] == kClassVideo &&
                             bytes[offset + kInterfaceSubclassOffset] == kSubclassVideoControl &&
                             (anyInterface || function.contains(bytes[offset + kInterfaceNumberOffset]));
        } else if (type == kTypeClassSpecificInterface && inVideoControl &&
                   length >= kExtensionUnitMinLength &&
                   bytes[offset + kSubtypeOffset] == kVcSubtypeExtensionUnit &&
                   std::equal(guid.begin(), guid.end(), bytes + offset + kGuidOffset) &&
                   wellFormedExtensionUnit(bytes + offset, length)) {
            unit = bytes[offset + kUnitIdOffset];
            return false;
        }
        return true;
    });
    return unit;
}
