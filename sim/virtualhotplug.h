#pragma once

// Camera arrival and removal of the virtual cameras: the capture-device listing of the virtual
// video face is polled and compared with the one before, so that cameras plugged or unplugged
// in the shared state (by another process through the state file, or in this process through
// the rig) are reported within a poll interval, by the names the listing gives them. Removals
// are reported before arrivals. A poll while the rig reports no change (VirtualRig::changeToken)
// costs one stat() of the state file and takes no lock.
//
// The rig and the video face must outlive the monitor.

#include "device/hotplug.h"

#include <QByteArray>
#include <QStringList>
#include <QTimer>

class VideoBackend;
class VirtualRig;

class VirtualHotplugMonitor : public HotplugMonitor
{
    Q_OBJECT
public:
    static constexpr int kPollIntervalMs = 400;

    VirtualHotplugMonitor(VirtualRig& rig, VideoBackend& video, QObject* parent = nullptr);
    bool start() override;

private:
    void poll();
    QStringList listedNames();

    VirtualRig& m_rig;
    VideoBackend& m_video;
    QTimer m_timer;
    QByteArray m_token; // the rig's change token when m_names was listed
    QStringList m_names;
};
