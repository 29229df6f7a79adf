#pragma once

// Reading USB configuration descriptors (as the kernel exposes them in the usb_device's sysfs
// "descriptors" attribute: the device descriptor followed by the configuration descriptors).

#include <QByteArray>

#include <array>
#include <cstdint>

namespace usbdesc {
constexpr std::uint8_t kTypeInterface = 0x04;
constexpr std::uint8_t kTypeClassSpecificInterface = 0x24;
constexpr std::uint8_t kClassVideo = 0x0E;
constexpr std::uint8_t kSubclassVideoControl = 0x01;
constexpr std::uint8_t kVcSubtypeExtensionUnit = 0x06;
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
} // namespace usbdesc

// The bUnitID of the first extension unit, inside a VideoControl interface, whose
// guidExtensionCode equals guid; -1 when there is none. Malformed input (zero or overlong
// lengths) ends the walk; nothing is read past the end.
int findExtensionUnitId(const QByteArray& descriptors, const std::array<std::uint8_t, 16>& guid);
