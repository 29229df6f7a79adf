#pragma once

// Camera arrival and removal as the window reacts to them. A monitor reports every capture
// interface that appears or goes, by its device name in the shape of VideoDeviceInfo::devicePath
// ("\\?\usb#vid_1d6b&pid_0113&mi_00#<serial>&<bus-port>&0&0000#{65e8773d-...}\global"), so the
// window's rules (four "#" parts, the third with four "&" fields, "0000" for the first capture
// node of a camera) apply to it unchanged. A removal carries the name the device had while it
// was present.
//
// Thread: created, started and destroyed on the GUI thread; its signal is emitted there.

#include <QObject>
#include <QString>

class HotplugMonitor : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~HotplugMonitor() override = default;

    // Starts watching. Returns false (and logs the reason once) when the source of the events
    // cannot be set up; the program then works without hot-plug.
    virtual bool start() = 0;

signals:
    // plug: true for an arrival, false for a removal.
    void devicePlugged(bool plug, const QString& deviceName);
};

// A monitor that never reports anything: for platforms without a hot-plug source.
class SilentHotplugMonitor : public HotplugMonitor
{
    Q_OBJECT
public:
    using HotplugMonitor::HotplugMonitor;
    bool start() override { return true; }
};
