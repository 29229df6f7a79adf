#include "virtualhotplug.h"

#include "device/videobackend.h"
#include "sim/virtualrig.h"

VirtualHotplugMonitor::VirtualHotplugMonitor(VirtualRig& rig, VideoBackend& video, QObject* parent)
    : HotplugMonitor(parent), m_rig(rig), m_video(video)
{
    m_timer.setInterval(kPollIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &VirtualHotplugMonitor::poll);
}

bool VirtualHotplugMonitor::start()
{
    if (m_timer.isActive())
        return true;
    // The token first: a change made while listing shows at the next poll.
    m_token = m_rig.changeToken();
    m_names = listedNames();
    m_timer.start();
    return true;
}

QStringList VirtualHotplugMonitor::listedNames()
{
    QStringList names;
    for (const VideoDeviceInfo& device : m_video.listCaptureDevices())
        names << device.devicePath;
    return names;
}

void VirtualHotplugMonitor::poll()
{
    const QByteArray token = m_rig.changeToken();
    if (token == m_token)
        return;
    m_token = token;
    const QStringList before = m_names;
    m_names = listedNames();
    for (const QString& name : before) {
        if (!m_names.contains(name))
            emit devicePlugged(false, name);
    }
    for (const QString& name : qAsConst(m_names)) {
        if (!before.contains(name))
            emit devicePlugged(true, name);
    }
}
