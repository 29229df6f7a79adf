#pragma once

// deckctl-mac, the raw-USB edition: how its device layer is put together, and every way in which
// it behaves differently from deckctl (the V4L2/SCSI-generic edition). This header is the one
// place where those differences are written down; nothing else in mac/ carries a literal that
// differs from the other edition.
//
// Design
//  - Command blocks: mac/ builds its 8-byte blocks from device/xuprotocol.h (codes, offsets,
//    selectors, loader signature), the same definitions UVCExtensionUnit uses. Only the tag
//    source, the fallbacks of failed queries and the two loader entry forms below differ.
//  - UVC requests: device/usbcontrolpipe.h describes a control transfer by its setup packet
//    (request codes, unit ids, selectors as named constants) behind an abstract uvc::ControlPipe.
//    mac/libusbcontrolpipe sends them with libusb (real usbfs, or usbfs emulated by umockdev in
//    the tests); sim/virtualusb answers them from the virtual camera in process. The request
//    code in mac/uvccameradevices is the same against both.
//  - Bulk-only transport and the vendor SCSI command: device/botframing.h (wrapper layouts and
//    the stall rules) and upgrade/libsstarufu (the 0xE8 command block and its sub-commands) are
//    the definitions this edition reuses; its own tag counters, retries and messages sit in
//    mac/ next to this header, named after the constants below.
//  - Boot stages: mac/sstarbulkhost (wrappers, tags, stalls), mac/sstardevicetable (two slots
//    over device/usbbulkdevice.h: libusb in mac/libusbbulkbus, the virtual camera in sim/) and
//    mac/scsiconnect (the upgrade steps, and the script runner of upgrade/upgradescript.h driven
//    through a ScriptTarget of this edition's form).
//  - Packages: mac/macpackage reads the zip archive with minizip (entry-name marks, model scan) and
//    unpacks it with the shared extractor (upgrade/zip7z.h).
//  - Upgrade sequencing: mac/macupgrade (a worker: main board, audio module, camera entry, fixed
//    waits, the walk for the one device in U-Boot, repair from a boot stage); deckctl-mac's
//    upgrade and recover run it through the command-line tool's upgrade engine
//    (programs/deckctl-mac/macupgradeengine).
//  - The command line: deckctl-mac runs the cli/ commands over the same device objects as
//    deckctl-cli; programs/deckctl-mac picks the raw-USB platform instead of the kernel's.

#include "device/xuprotocol.h"

#include <cstdint>

namespace macedition {

// Byte 1 of every command block: a fresh random number 0..89 instead of deckctl's counter.
constexpr int kTagModulus = 90;

// What a failed vendor query reports instead of leaving the caller's value untouched.
constexpr int kFallbackByte = 3;
constexpr int kFallbackTrackingMode = 10;
constexpr int kFallbackMaxZoom = 5;
// (versions: an empty text)

// What a failed standard-control read reports.
constexpr int kFallbackStandard = 0;
constexpr int kFallbackZoomCurrent = 100;

// Loader entry blocks of this edition (deckctl uses [0x30, tag, 0x00, signature] and the boot
// command on selector 4).
constexpr std::uint8_t kMainSocLoaderParam =
    xu::kMainSocLoaderParamCommandForm;                          // [0x30, tag, 0x01, signature]
constexpr std::uint8_t kCameraLoaderCode = xu::XU_CAMERA_LOADER; // [0x50, tag, 0x07, signature] on selector 1
constexpr std::uint8_t kCameraLoaderParam = xu::kCameraLoaderParamCommandForm;

// Time-out of one control transfer: the platform's default for a synchronous request.
constexpr int kControlTimeoutMs = 5000;

// Bulk-only transport (mac/sstarbulkhost.h). deckctl keeps one tag counter for every command and
// judges the whole status wrapper; this edition keeps one counter for INQUIRY and one for the
// vendor command, both starting at 0, and compares only the status wrapper's length and tag.
constexpr int kBulkTimeoutMs = 10000; // every phase of a command (deckctl: 120 s per command)
constexpr std::uint32_t kFirstTag = 0;
// INQUIRY returns 1 (not 0) when it worked, and 0 when there is nothing to ask or no buffer.
constexpr int kInquiryAnswered = 1;
constexpr int kInquiryNotAsked = 0;

// Command lines this edition sends with their terminating zero (deckctl sends the text only):
// the local "reset" sequence (lengths 28, 8 and 6) and the upgrade marker before an upgrade.
constexpr const char* kResetSequence[] = {"setenv ota_upgrade_status 0", "saveenv", "reset"};
constexpr const char kUpdateCommand[] = "setenv ota_upgrade_status 3";
constexpr int kUpdateCommandLength = sizeof kUpdateCommand; // 28

// Vendor identifications (INQUIRY) of the boot stages this edition accepts, by prefix.
constexpr const char* kAcceptedVendors[] = {"PX", "GC", "QB18"};

// After the image of a load the device is given size / kLoadPauseDivisorUs microseconds before
// the status read (deckctl: size / 20480 milliseconds).
constexpr unsigned kLoadPauseDivisorUs = 20;

// The upgrade looks for its boot-stage device among the USB devices of this vendor.
constexpr int kBootStageVendorId = 0x1d6b;

// After the boot loader's load the device restarts as U-Boot: it is looked for this many times,
// this far apart (a bound where the other edition's window waited without one).
constexpr int kUbootReturnTries = 120;
constexpr int kUbootReturnWaitMs = 500;

// Upgrade sequencing. Instead of looking for the boot-stage device until it shows up, the upgrade
// waits fixed times after an entry block: after the main-SoC entry before the main board's
// script, and after the camera entry before the camera's script.
constexpr int kMainBoardEntryWaitMs = 8000;
constexpr int kCameraEntryWaitMs = 6000;
// Both scripts have this name; the camera's lies in the package folder, the main board's in its
// "images" folder (folders are given with their trailing slash).
constexpr const char kUpgradeScript[] = "auto_update.txt";
constexpr const char kCameraScriptFolder[] = "/";
constexpr const char kMainBoardScriptFolder[] = "/images/";
// Which models upgrade their audio module first: a camera title holding one of these (a "QB18Z"
// title holds "QB18" as well).
constexpr const char* kAudioFirstModels[] = {"QB17", "QB18"};

} // namespace macedition
