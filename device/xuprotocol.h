#pragma once

// The camera's vendor extension unit: its GUID, its selectors and the 8-byte command blocks
// carried by them. Layouts are given as byte offsets; nothing is copied into packed structs.

#include <array>
#include <cstdint>

namespace xu {

// guidExtensionCode of the unit as it appears in the USB descriptor ({23E49ED0-1178-4F31-AE52-D2FB8A8D3B48}).
constexpr std::array<std::uint8_t, 16> kUnitGuid = {0xD0, 0x9E, 0xE4, 0x23, 0x78, 0x11, 0x31, 0x4F,
                                                    0xAE, 0x52, 0xD2, 0xFB, 0x8A, 0x8D, 0x3B, 0x48};

// Selectors (control numbers) of the unit and the length of their payload.
constexpr int SELECTOR_COMMAND = 1;      // set: a command block
constexpr int SELECTOR_RESPONSE = 2;     // get: the answer to the block sent last
constexpr int SELECTOR_BOOT_COMMAND = 4; // set: restart the camera into its upgrade loader
constexpr int SELECTOR_AUDIO_DATA = 6;   // set: one audio-module transfer packet
constexpr int SELECTOR_AUDIO_STATUS = 7; // get: audio-module upgrade status
constexpr int kBlockLength = 8;
constexpr int kAudioPacketLength = 32;

// The request flags of the Windows kernel-streaming property request, kept as the direction
// argument of the transport so that callers read the same on every platform.
constexpr std::uint32_t kFlagsGet = 0x10000001;
constexpr std::uint32_t kFlagsSet = 0x10000002;

// The transport's result when the camera has no extension unit with our GUID (E_FAIL).
constexpr long kErrorNoUnit = static_cast<long>(0x80004005UL);

// Command block layout.
constexpr int kOffsetCode = 0;
constexpr int kOffsetTag = 1;
constexpr int kOffsetParam = 2; // bytes 2..7
// Answers: a byte value sits at offset 2; 16-bit values at 2..3; versions at 2..7 (three
// big-endian 16-bit numbers).
constexpr int kOffsetValue = 2;
// Loader entry blocks: signature at 3..7.
constexpr int kOffsetSignature = 3;

// A query code is the set code with the top bit set.
constexpr std::uint8_t kQueryBit = 0x80;

// Command codes (set form).
constexpr std::uint8_t XU_HDR = 0x01;
constexpr std::uint8_t XU_ANTI_FLICKER = 0x02;
constexpr std::uint8_t XU_MIC = 0x04;
constexpr std::uint8_t XU_SHUTTER = 0x07;
constexpr std::uint8_t XU_MAX_ZOOM = 0x08;
constexpr std::uint8_t XU_MIRROR = 0x09;
constexpr std::uint8_t XU_PRESET_SAVE = 0x0A;
constexpr std::uint8_t XU_PRESET_LOAD = 0x0B;
constexpr std::uint8_t XU_HD_MODE = 0x0D;
constexpr std::uint8_t XU_TRACKING_MODE = 0x10;
constexpr std::uint8_t XU_FRAMING_EFFECT = 0x11;
constexpr std::uint8_t XU_FRAMING_SPEED = 0x12;
constexpr std::uint8_t XU_AUDIO = 0x20;
constexpr std::uint8_t XU_ENTER_UPGRADE = 0x30;
constexpr std::uint8_t XU_FACTORY_RESET = 0x7F;
// Query-only codes.
constexpr std::uint8_t XU_CAMERA_VERSION = 0x80;
constexpr std::uint8_t XU_FIELD_OF_VIEW = 0x8C;
constexpr std::uint8_t XU_TRACKING_EFFECT_STATE = 0x93;
constexpr std::uint8_t XU_TRACKING_SPEED_STATE = 0x94;
constexpr std::uint8_t XU_AUDIO_VERSION = 0xB0;
constexpr std::uint8_t XU_LOADER_STATE = 0xD0;

// Loader entry blocks.
constexpr std::uint8_t kMainSocLoaderParam = 0x00; // [0x30, tag, 0x00, signature]
constexpr std::uint8_t kBootCommandByte0 = 0x00;   // [0x00, 0xFF, 0x07, signature] on selector 4
constexpr std::uint8_t kBootCommandByte1 = 0xFF;
constexpr std::uint8_t kBootCommandByte2 = 0x07;
// The camera takes both entries in a second form too, which the raw-USB edition sends (see
// mac/macedition.h): the main SoC's with byte 2 = 0x01, and the camera's as the command block
// [0x50, tag, 0x07, signature] on the command selector.
constexpr std::uint8_t kMainSocLoaderParamCommandForm = 0x01;
constexpr std::uint8_t XU_CAMERA_LOADER = 0x50;
constexpr std::uint8_t kCameraLoaderParamCommandForm = 0x07;
// Five bytes that every loader entry block carries, so that a stray block never restarts a
// camera into its loader.
constexpr std::array<std::uint8_t, 5> kLoaderSignature = {0x4C, 0x44, 0x55, 0x50, 0x47}; // "LDUPG"

using Block = std::array<std::uint8_t, kBlockLength>;

constexpr std::uint8_t queryCode(std::uint8_t setCode)
{
    return static_cast<std::uint8_t>(setCode | kQueryBit);
}

} // namespace xu
