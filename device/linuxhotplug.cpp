#include "linuxhotplug.h"

#include "app/logcategories.h"
#include "device/linuxvideobackend.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <libudev.h>

namespace {

// Events after udev's rules ran: the node has its permissions by then and can be probed.
constexpr const char* kEventSource = "udev";
constexpr const char* kSubsystem = "video4linux";

} // namespace

LinuxHotplugMonitor::LinuxHotplugMonitor(QObject* parent) : HotplugMonitor(parent) {}

LinuxHotplugMonitor::~LinuxHotplugMonitor()
{
    stop();
}

void LinuxHotplugMonitor::stop()
{
    delete m_notifier; // before the socket it watches goes
    m_notifier = nullptr;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    m_monitor = nullptr;
    if (m_udev)
        udev_unref(m_udev);
    m_udev = nullptr;
}

bool LinuxHotplugMonitor::start()
{
    if (m_notifier)
        return true;
    // error: a positive errno.
    auto fail = [this](const char* step, int error) {
        qCWarning(lcDevice).noquote()
            << QStringLiteral("camera arrival and removal cannot be watched: %1 failed: %2")
                   .arg(QLatin1String(step), QString::fromLocal8Bit(std::strerror(error)));
        stop();
        return false;
    };
    m_udev = udev_new();
    if (!m_udev)
        return fail("udev_new", errno);
    m_monitor = udev_monitor_new_from_netlink(m_udev, kEventSource);
    if (!m_monitor)
        return fail("udev_monitor_new_from_netlink", errno);
    if (const int result = udev_monitor_filter_add_match_subsystem_devtype(m_monitor, kSubsystem, nullptr))
        return fail("udev_monitor_filter_add_match_subsystem_devtype", -result);
    if (const int result = udev_monitor_enable_receiving(m_monitor))
        return fail("udev_monitor_enable_receiving", -result);
    const int fd = udev_monitor_get_fd(m_monitor);
    if (fd < 0)
        return fail("udev_monitor_get_fd", -fd);
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &LinuxHotplugMonitor::readEvents);
    // Listed after the monitor is on, so that a node added in between is announced by its event.
    takeListing();
    return true;
}

void LinuxHotplugMonitor::takeListing()
{
    for (const LinuxCaptureNode& node : LinuxVideoBackend::listCaptureNodes())
        m_names.insert(node.syspath, node.info.devicePath);
}

void LinuxHotplugMonitor::readEvents()
{
    // The socket does not block: every event waiting is read, then the notifier fires again.
    while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
        const char* action = udev_device_get_action(device);
        const QString syspath = QString::fromUtf8(udev_device_get_syspath(device));
        udev_device_unref(device);
        if (!action)
            continue;
        if (std::strcmp(action, "add") == 0) {
            // Only the listing decides what the new node is (a name kept from a removal that was
            // never read does not count).
            m_names.remove(syspath);
            takeListing();
            const QString name = m_names.value(syspath);
            qCDebug(lcDevice).noquote() << "video node added:" << syspath << name;
            if (!name.isEmpty())
                emit devicePlugged(true, name);
        } else if (std::strcmp(action, "remove") == 0) {
            const QString name = m_names.take(syspath);
            qCDebug(lcDevice).noquote() << "video node removed:" << syspath << name;
            if (!name.isEmpty())
                emit devicePlugged(false, name);
        }
    }
}
