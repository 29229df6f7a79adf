#pragma once

// Reading USB descriptors as the kernel exposes them in the usb_device's sysfs "descriptors"
// attribute: the device descriptor followed by every configuration, each with all its interface,
// class-specific and vendor-specific descriptors (wTotalLength bytes per configuration).

#include <QByteArray>

#include <array>
#include <cstdint>

namespace usbdesc {
constexpr std::uint8_t kTypeConfiguration = 0x02;
constexpr std::uint8_t kTypeInterface = 0x04;
constexpr std::uint8_t kTypeInterfaceAssociation = 0x0B;
constexpr std::uint8_t kTypeClassSpecificInterface = 0x24;
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;
constexpr std::uint8_t kVcSubtypeExtensionUnit = 0x06;
// Every descriptor: bLength, bDescriptorType.
constexpr int kLengthOffset = 0;
constexpr int kTypeOffset = 1;
constexpr int kMinimumLength = 2;
// Configuration descriptor offsets.
constexpr int kConfigurationTotalLengthOffset = 2; // wTotalLength, little-endian
constexpr int kConfigurationValueOffset = 5;
constexpr int kConfigurationLength = 9;
// Interface association descriptor offsets.
constexpr int kAssociationFirstInterfaceOffset = 2;
constexpr int kAssociationInterfaceCountOffset = 3;
constexpr int kAssociationLength = 8;
// Interface descriptor offsets.
constexpr int kInterfaceNumberOffset = 2;
constexpr int kInterfaceClassOffset = 5;
constexpr int kInterfaceSubclassOffset = 6;
constexpr int kInterfaceLength = 9;
// Extension-unit descriptor offsets.
constexpr int kSubtypeOffset = 2;
constexpr int kUnitIdOffset = 3;
constexpr int kGuidOffset = 4;
constexpr int kExtensionUnitMinLength = 24; // up to bNumControls at least
constexpr int kNrInPinsOffset = 21;         // bNrInPins (p)
constexpr int kSourceIdsOffset = 22;        // baSourceID[p], then bControlSize (n), bmControls[n], iExtension
constexpr int kExtensionUnitFixedLength = 24; // the descriptor without its p source ids and n control bytes
} // namespace usbdesc

// Which part of the descriptors a video node belongs to.
struct UsbFunctionLocation
{
    // bConfigurationValue of the active configuration; -1: the first configuration.
    int configurationValue = -1;
    // bInterfaceNumber of the interface the node hangs off (uvcvideo puts its nodes under the
    // VideoControl interface). The node's video function is the interface association that
    // contains this interface, or the interface alone when no association does.
    // -1: every VideoControl interface of the configuration.
    int interfaceNumber = -1;
};

// The bUnitID of the first extension unit whose guidExtensionCode equals guid, inside a
// VideoControl interface of the function at location; -1 when there is none. A device with two
// video functions has an extension unit in each: only the node's own function counts.
// Malformed input (zero, short or overlong lengths) ends the walk; nothing is read past the end.
int findExtensionUnitId(const QByteArray& descriptors, const std::array<std::uint8_t, 16>& guid,
                        const UsbFunctionLocation& location = UsbFunctionLocation());
