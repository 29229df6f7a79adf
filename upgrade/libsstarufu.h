#pragma once

// The mass-storage upgrade protocol of the camera's system-on-chip: one vendor SCSI command
// (0xE8) drives its boot ROM, its updater and its U-Boot boot loader, and a runner executes the
// package's upgrade script line by line against it.
//
// Every operation returns 0 for success and -1 for failure unless said otherwise. The device
// handle is process-wide: discovery sets it, USB_ExitDevice() releases it. Callers must not
// drive the device from two threads at once (the upgrade worker and the recovery watcher take
// turns); the handle itself is guarded so that a discovery never frees a device another thread
// is using. The device comes from devicePlatform().massStorage(); release the handle with
// USB_ExitDevice() before installing another platform.
//
// A device that has gone away (unplugged, or restarted and re-enumerated) is not asked again: the
// retries below are for a device that is still there.
//
// Which devices discovery accepts for a brand is brandpolicy.h's rule; the script runner and the
// rules for the file names it and the worker use are in upgradescript.h.

#include "upgrade/upgradescript.h" // the script runner and its file name rules

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <array>
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

// INQUIRY (operation code 0x12, allocation length in byte 4) and its answer's fields.
constexpr std::uint8_t kInquiryOpcode = 0x12;
constexpr int kInquiryCommandLength = 6;
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

// Retries and waits.
constexpr int kStatusTries = 10;                   // status reads per USB_ScsiReadStatus (tries 0)
constexpr int kStatusRetryMs = 100;                // between status reads
constexpr int kMaxChunkRepetitions = 100;          // repeated chunks per USB_ScsiWrite
constexpr int kChunkRetryMs = 100;                 // before a chunk is repeated
constexpr int kTransportFailureWaitMs = 500;       // after a refused command line or load header
constexpr int kLoadAttempts = 5;                   // per file load
constexpr int kCommandAttempts = 5;                // per boot-loader command line
constexpr std::uint32_t kLoadPauseDivisor = 20480; // pause after the image: size / this, in ms
constexpr int kCommandTimeoutMs = 120000;          // per vendor command
constexpr int kInquiryTimeoutMs = 2000;

enum class Direction
{
    ToDevice,
    FromDevice,
};

// Whether a status word (kStatusLength bytes) reports success.
bool statusGood(const std::uint8_t* word);
// The stage an INQUIRY's product identification (kProductLength bytes) tells: a zero first byte
// is the boot ROM, "UPD" the updater, "UBO" U-Boot.
DeviceState stateFromProduct(const std::uint8_t* product);
// A file to load, whole; false (and logged) when it cannot be read or exceeds 32 bits of size.
bool readLoadImage(const QString& path, QByteArray* image);
// The load header of image at address: address, size, MD5.
std::array<std::uint8_t, kLoadHeaderLength> loadHeader(std::uint32_t address, const QByteArray& image);
// The file load procedure for a path already resolved (see upgradescript.h): load header, image
// in kTftpChunk chunks, a pause of size / 20480 ms, status; up to kLoadAttempts attempts. -1 when
// the file cannot be read, or, with requireGoodStatus, when no attempt got a good status word.
int loadImageFile(const QString& path, std::uint32_t loadAddress, bool requireGoodStatus);
} // namespace sstar

// One vendor command block with its data phase of length bytes (at most kMaxTransfer) to the
// process-wide device. 0 when the transport carried it; for FromDevice the answer is copied into
// data only then (bytes the device did not send keep their values).
int libsstarufu_do_sstar_scsi_command(int subCommand, sstar::Direction direction, std::uint8_t* data,
                                      std::uint32_t length);
// INQUIRY; the whole answer (kInquiryLength bytes) is returned.
int USB_ScsiInquiry(std::uint8_t* answer);
// RUNCMD with the text (no terminating zero). Waits 500 ms after a transport failure and returns
// 0 all the same: the status word tells the outcome. -1 only for a missing text or a length
// outside 0..kMaxTransfer.
int USB_ScsiRunCmd(const char* text, int length);
// LOADINFO with the kLoadHeaderLength bytes; like USB_ScsiRunCmd, 0 unless header is missing.
int USB_ScsiSendLoadInfo(const std::uint8_t* header);
// Fills word with 0xFF, then reads STATUS until the transport carries it, at most tries times
// (kStatusTries when tries is 0 or less), 100 ms apart. Returns 0 whatever the outcome; the caller
// judges the word. -1 only for a missing word or a length outside 1..kMaxTransfer.
int USB_ScsiReadStatus(std::uint8_t* word, int length, int tries);
// Sends the data in chunks: DATA for every chunk but the last, DATA_END for the last (also for a
// single chunk). A refused chunk is repeated after 100 ms, up to kMaxChunkRepetitions times for
// the whole transfer. Zero bytes send nothing and succeed; a chunk size of 0 or above
// kMaxTransfer fails.
int USB_ScsiWrite(const std::uint8_t* data, std::uint32_t length, std::uint32_t chunkSize);
// Finds the first accepted boot-stage device for the brand and makes it the process-wide
// handle. Returns whether one was found; state gets its stage (Other when none).
//
// The listing's identification (read by the system without opening anything) selects the
// devices whose vendor the brand accepts; only those are opened, and an INQUIRY through the
// opened device confirms the vendor and gives the full product identification, whose first byte
// tells a boot ROM (0x00, which the system's copy shows as a blank). A device that already is
// the handle is asked through that handle. When nothing is found the previous handle is
// released.
bool USB_ScsiFindDevice(int brandIndex, DeviceState& state);
void USB_ExitDevice();

// A boot-stage device that discovery would accept, as the listing shows it.
struct BootStageDevice
{
    QString key; // the mass-storage listing's key
    DeviceState state = Other;
    int vendorId = 0; // USB ids; 0 when unknown
    int productId = 0;
    int accessError = 0; // 0, or -errno: this user may not open it (-EACCES without the rule)
};
// Every boot-stage device that discovery accepts for the brand, in the listing's order, from the
// identification: nothing is claimed or logged, the process-wide handle is untouched (an accepted
// device's node is opened and closed again to learn whether this user may use it).
QVector<BootStageDevice> listBootStageDevices(int brandIndex);
// "ROM", "Updater", "U-Boot" or "Other".
QString deviceStateName(DeviceState state);

// Loads the file at the address (the script's "tftp"): load header, image in kTftpChunk chunks,
// a pause of size / 20480 ms, status; up to five attempts. Returns -1 when the file cannot be
// read or when no attempt got a good status word.
int loadFileToAddress(const QString& fileName, std::uint32_t loadAddress);
// Sends the updater image to a boot ROM in kUpdaterChunk chunks, without header or status.
// Returns -1 when the file cannot be read or the image could not be delivered.
int sendUpdaterImage(const QString& fileName);
// Loads the boot loader at kBootLoaderAddress like loadFileToAddress, but a missing good status
// is no failure: the updater restarts into the boot loader instead of answering. -1 only when
// the file cannot be read.
int loadUbootImage(const QString& fileName);
