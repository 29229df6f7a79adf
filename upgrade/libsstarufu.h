#pragma once

// The mass-storage upgrade protocol of the camera's system-on-chip: one vendor SCSI command
// (0xE8) drives its boot ROM, its updater and its U-Boot boot loader, and a runner executes the
// package's upgrade script line by line against it.
//
// Every operation returns 0 for success and -1 for failure unless said otherwise. The device
// handle is process-wide: discovery sets it, USB_ExitDevice() releases it. Callers must not
// drive the device from two threads at once (the upgrade worker and the recovery watcher take
// turns); the handle itself is guarded so that a discovery never frees a device another thread
// is using.

#include <QString>

#include <cstdint>

enum DeviceState
{
    ROM = 0,
    Updater = 1,
    UBoot = 2,
    Other = 3,
};

namespace sstar {
// Vendor command block: [0xE8, sub-command, 0, 0, 0, 0, length (32-bit big-endian)].
constexpr std::uint8_t kOpcode = 0xE8;
constexpr int kCommandLength = 10;
constexpr int kOffsetSubCommand = 1;
constexpr int kOffsetDataLength = 6;

// Sub-commands.
constexpr int DATA = 1;
constexpr int STATUS = 2;
constexpr int DATA_END = 4;
constexpr int LOADINFO = 5;
constexpr int RUNCMD = 6;

// Status word: good when byte 0 is 0x0D and byte 1 is 0x00.
constexpr int kStatusLength = 4;
constexpr std::uint8_t kStatusGood0 = 0x0D;
constexpr std::uint8_t kStatusGood1 = 0x00;

// Load header: address (LE32), size (LE32), MD5 (16 bytes).
constexpr int kLoadHeaderLength = 24;
constexpr int kOffsetLoadAddress = 0;
constexpr int kOffsetLoadSize = 4;
constexpr int kOffsetLoadMd5 = 8;

// INQUIRY answer fields.
constexpr int kInquiryLength = 36;
constexpr int kOffsetVendor = 8;
constexpr int kVendorLength = 8;
constexpr int kOffsetProduct = 16;
constexpr int kProductLength = 16;

constexpr int kMaxCommandLine = 1023;
constexpr int kMaxTransfer = 65536;
constexpr std::uint32_t kTftpChunk = 32768;
constexpr std::uint32_t kUpdaterChunk = 1024;
constexpr std::uint32_t kBootLoaderAddress = 0xFFFFFFFF;

enum class Direction
{
    ToDevice,
    FromDevice,
};
} // namespace sstar

int libsstarufu_do_sstar_scsi_command(int subCommand, sstar::Direction direction, std::uint8_t* data,
                                      std::uint32_t length);
int USB_ScsiInquiry(std::uint8_t* answer /* kInquiryLength bytes */);
int USB_ScsiRunCmd(const char* text, int length);
int USB_ScsiSendLoadInfo(const std::uint8_t* header /* kLoadHeaderLength bytes */);
int USB_ScsiReadStatus(std::uint8_t* word, int length, int tries);
int USB_ScsiWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize);
// Finds the first accepted boot-stage device for the brand and makes it the process-wide
// handle. Returns whether one was found; state gets its stage (Other when none).
bool USB_ScsiFindDevice(int brandIndex, DeviceState& state);
void USB_ExitDevice();

// Files named by scripts and by the upgrade worker are resolved against this folder (the
// package's working folder), never against the process's current directory.
void setUpgradeFileFolder(const QString& folder);
QString upgradeFileFolder();

int loadFileToAddress(const QString& fileName, std::uint32_t loadAddress);
int sendUpdaterImage(const QString& fileName);
int loadUbootImage(const QString& fileName);
// mode 0: the camera script and nested scripts; mode 1: the main board's script.
int runUpgradeScript(const QString& scriptFile, int mode);
