#pragma once

// While it lives, the calling thread runs without effective capabilities, so that file
// permissions mean what they mean for a desktop user even when the tests run as root (root may
// open anything). The capabilities stay permitted and come back at the end of the scope. Only the
// calling thread is affected: use it around calls that open files on that thread.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class WithoutCapabilities
{
public:
    WithoutCapabilities()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct none[2] = {m_saved[0], m_saved[1]};
        none[0].effective = none[1].effective = 0;
        m_dropped = ::syscall(SYS_capset, &m_header, none) == 0;
    }
    ~WithoutCapabilities()
    {
        if (m_dropped)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutCapabilities(const WithoutCapabilities&) = delete;
    WithoutCapabilities& operator=(const WithoutCapabilities&) = delete;
    bool dropped() const { return m_dropped; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_dropped = false;
};
