#pragma once

// The Linux binding of the mass-storage side. Listing reads the SCSI devices in sysfs through
// libudev: their "vendor" and "model" attributes hold the INQUIRY identification the kernel read,
// and the USB interface above them gives the interface number and its bulk endpoints. Nothing is
// opened while listing. Commands go to the USB device that owns the SCSI device, with libusb and
// the bulk-only transport (botframing.h): the interface is claimed on the first command
// (detaching the kernel's driver from that interface only) and released, with the driver
// re-attached, when the device object is destroyed.

#include "device/massstorage.h"

#include <QMutex>

#include <cstdint>
#include <memory>

// What a key names: the USB device by bus number and address (a re-enumerated device gets a new
// address and so a new key), its bulk-only interface and that interface's bulk endpoints.
struct LinuxMassStorageKey
{
    int bus = 0;
    int address = 0;
    int interfaceNumber = 0;
    std::uint8_t endpointIn = 0;
    std::uint8_t endpointOut = 0;
};

// "usb:<bus>:<address>:<interface>:<in endpoint hex>:<out endpoint hex>"
QString formatLinuxMassStorageKey(const LinuxMassStorageKey& key);
bool parseLinuxMassStorageKey(const QString& text, LinuxMassStorageKey* key);

class LinuxMassStorageBackend : public MassStorageBackend
{
public:
    LinuxMassStorageBackend();
    ~LinuxMassStorageBackend() override;
    LinuxMassStorageBackend(const LinuxMassStorageBackend&) = delete;
    LinuxMassStorageBackend& operator=(const LinuxMassStorageBackend&) = delete;

    QVector<MassStorageCandidate> listDevices() override;
    std::unique_ptr<MassStorageDevice> open(const QString& key, int* error) override;
    int checkAccess(const QString& key) override;

    class UsbContext;

private:
    std::shared_ptr<UsbContext> context(int* error);

    QMutex m_lock; // guards m_context
    // libusb, started on the first open; opened devices share it, so it lives as long as they do.
    std::shared_ptr<UsbContext> m_context;
};
