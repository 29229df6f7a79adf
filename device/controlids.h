#pragma once

// The ids of the standard camera controls that VideoDeviceHandle names them by: the V4L2 control
// ids of the Linux kernel's ABI, spelt out here so that the parts that only carry the ids (the
// camera wrapper, the raw-USB layer, the virtual camera) build without the Linux headers. The
// Linux video binding checks them against the kernel's header (linuxvideobackend.cpp).

#include <cstdint>

namespace v4l2 {

constexpr std::uint32_t kCidBrightness = 0x00980900;
constexpr std::uint32_t kCidContrast = 0x00980901;
constexpr std::uint32_t kCidSaturation = 0x00980902;
constexpr std::uint32_t kCidHue = 0x00980903;
constexpr std::uint32_t kCidAutoBrightness = 0x00980920;
constexpr std::uint32_t kCidHueAuto = 0x00980919;
constexpr std::uint32_t kCidSharpness = 0x0098091b;
constexpr std::uint32_t kCidPanAbsolute = 0x009a0908;
constexpr std::uint32_t kCidTiltAbsolute = 0x009a0909;
constexpr std::uint32_t kCidFocusAbsolute = 0x009a090a;
constexpr std::uint32_t kCidFocusAuto = 0x009a090c;
constexpr std::uint32_t kCidZoomAbsolute = 0x009a090d;

} // namespace v4l2
