#pragma once

// Camera arrival and removal on Linux: a udev monitor on the video4linux subsystem, read on the
// GUI thread through a QSocketNotifier. Each added or removed capture node is reported by the
// device path the listing (LinuxVideoBackend) gives it, so the removal of a camera carries the
// id the listing gave that camera. Metadata nodes and nodes that are not USB capture nodes are
// not reported.
//
// A removed node is gone from sysfs by the time its event is read, so its name is taken from
// what the monitor saw while it was present: the listing at start, and again at every arrival.

#include "device/hotplug.h"

#include <QHash>
#include <QString>

struct udev;
struct udev_monitor;
class QSocketNotifier;

class LinuxHotplugMonitor : public HotplugMonitor
{
    Q_OBJECT
public:
    explicit LinuxHotplugMonitor(QObject* parent = nullptr);
    ~LinuxHotplugMonitor() override;

    bool start() override;

private:
    void readEvents();
    // Takes over the names of the capture nodes present now; names of nodes that went away stay
    // until their removal is read.
    void takeListing();
    void stop();

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    QHash<QString, QString> m_names; // device path by the node's sysfs path
};
