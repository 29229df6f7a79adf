#pragma once

// The recovery watcher: once a second it looks for a camera of the configured brand that shows
// up as a mass-storage device in a boot stage of its system-on-chip (its boot ROM, its updater or
// its U-Boot boot loader, left there by an interrupted upgrade) and reports the stage so that the
// window can offer the repair. After a report it waits 60 seconds more before it looks again, so
// a stuck camera is reported about once a minute. A device of the brand in a stage it does not
// know (Other) is logged but not reported. Discovery reads the identification the system already
// holds for each drive and talks only to the brand's own devices, so probing once a second does
// not disturb other USB drives.
//
// Runs for the whole life of the window. Thread: the worker's own (see app/worker.h).

#include "upgrade/libsstarufu.h"
#include "app/worker.h"

#include <chrono>
#include <functional>

class AbnormalDetectThread : public Worker
{
    Q_OBJECT
public:
    // The discovery: finds a boot-stage device of the brand, stores its stage; returns whether
    // one was found.
    using Discovery = std::function<bool(int brandIndex, DeviceState& state)>;

    struct Timing
    {
        std::chrono::milliseconds probeInterval{1000}; // between two discoveries
        std::chrono::milliseconds reportPause{60000};  // added after a report
    };

    // manufacturer: the brand index (app/catalogue.h); it selects the accepted device kind.
    explicit AbnormalDetectThread(int manufacturer, QObject* parent = nullptr);

    // Before the worker starts. Tests shorten the waits; the default discovery is
    // USB_ScsiFindDevice.
    void setTiming(const Timing& timing) { m_timing = timing; }
    void setDiscovery(Discovery discovery) { m_discovery = std::move(discovery); }

    // The stage of the last device found (Other when none yet). Worker thread.
    int deviceState() const { return m_dev_state; }

signals:
    void workFinished();
    void workStart();
    // A camera in a boot stage: ROM 0, Updater 1, UBoot 2 (Other 3 is never reported).
    void onDeviceAbnormal(int state);

public slots:
    void start();
    void doWork();
    void stop();

private:
    int m_manufacturer;
    int m_dev_state = Other;
    Timing m_timing;
    Discovery m_discovery;
};
