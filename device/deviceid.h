#pragma once

// Device paths and camera ids in the one shape the whole program parses:
//   \\?\usb#vid_1d6b&pid_0113&mi_00#<serial>&<bus-port>&0&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\global
// The id is the text between the first and the last "#". Hot-plug names have the same shape:
// four "#" parts, the third of them four "&" fields, the last "0000" for a device's first
// capture node.

#include <QString>

struct UsbVideoNodeIdentity
{
    int vendorId = 0;
    int productId = 0;
    int interfaceNumber = 0;
    QString serial;         // may be empty
    QString busPort;        // the USB device's kernel name, for example "1-2.3"
    int captureOrdinal = 0; // 0 for the device's first capture node
};

QString buildDevicePath(const UsbVideoNodeIdentity& identity);
// The part between the first and the last "#"; empty when there is no such pair.
QString deviceIdFromPath(const QString& devicePath);
