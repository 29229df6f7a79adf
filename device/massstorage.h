#pragma once

// The mass-storage side of the platform as the upgrade protocol needs it: list the SCSI devices
// that USB mass storage attached, with the identification the system already read from them,
// and open one to send it SCSI commands.
//
// Listing opens nothing, so a user's own USB drives are never disturbed; a device is only
// touched (claimed) by the first command sent to it. Functions return 0 or a negative errno and
// do not log; the caller, who knows what it was doing, logs once.

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>

// One SCSI device as the listing reports it.
struct MassStorageCandidate
{
    QString key; // opaque: what MassStorageBackend::open() takes; a new key after re-enumeration
    // The INQUIRY vendor (8 bytes) and product (16 bytes) identification as the kernel shows them:
    // every byte from the first zero byte on, and every non-printable byte, reads as a blank. A
    // boot ROM, whose product identification starts with a zero byte, shows blanks only.
    QByteArray vendor;
    QByteArray product;
    // The USB vendor and product id of the device that carries it; 0 when unknown.
    int vendorId = 0;
    int productId = 0;
};

enum class ScsiDirection
{
    None,
    ToDevice,
    FromDevice,
};

// An opened mass-storage device. Not thread-safe: one caller at a time.
class MassStorageDevice
{
public:
    virtual ~MassStorageDevice() = default;
    // Sends one SCSI command block (1 to 16 bytes) with its data phase of length bytes and waits
    // for the device's status, each transfer for at most timeoutMs. Returns 0 when the device
    // took the command and answered it with a matching status wrapper, whatever the SCSI status
    // it reports; host-to-device data must have gone whole, device-to-host data may come short
    // (the bytes not sent are left as they were). Errors: -ENODEV (the device is gone), -EPIPE
    // (stalled), -EPROTO (no valid status wrapper for this command), -ETIMEDOUT, -EIO, -EINVAL.
    virtual int scsiCommand(const std::uint8_t* cdb, int cdbLength, ScsiDirection direction,
                            std::uint8_t* data, std::uint32_t length, int timeoutMs) = 0;
};

class MassStorageBackend
{
public:
    virtual ~MassStorageBackend() = default;
    // The SCSI devices of USB mass-storage interfaces, in a stable order. Opens nothing.
    virtual QVector<MassStorageCandidate> listDevices() = 0;
    // Opens a listed device; nothing is claimed before its first command. On failure returns
    // nullptr and stores a negative errno in *error.
    virtual std::unique_ptr<MassStorageDevice> open(const QString& key, int* error) = 0;
    // Whether this user may use a listed device: 0, or a negative errno (-EACCES when the
    // permissions of its node refuse it, as before a udev rule gave access). Opens and closes the
    // device's node and claims nothing; meant for a device the caller means to use, not for every
    // listed one. The default grants access.
    virtual int checkAccess(const QString& key)
    {
        static_cast<void>(key);
        return 0;
    }
};
