// Test-only preload library for real V4L2 clients started against emulated device nodes.
//
// umockdev's preload library tracks the descriptors of emulated nodes in a fixed-size table and
// aborts the process when it overflows. Clients such as v4l2-compliance open a node many times
// on purpose (to check that several opens are allowed); this library makes every open that
// would leave kMaxDescriptor or more descriptors open fail with EMFILE instead, as a process at
// its descriptor limit would see, so the client carries on and reports what it found.
//
// Loaded ahead of umockdev's library (LD_PRELOAD="<this>:libumockdev-preload.so.0"); each wrapper
// calls the next definition, which is umockdev's. Built without sanitizers: the clients are not.

#undef _FORTIFY_SOURCE
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kMaxDescriptor = 30;

using OpenFunction = int (*)(const char*, int, ...);
using OpenAtFunction = int (*)(int, const char*, int, ...);
using OpenCheckedFunction = int (*)(const char*, int);

// fd, or -1 with EMFILE when fd is at or above the cap (the descriptor is closed again).
int capped(int fd)
{
    if (fd >= kMaxDescriptor) {
        ::close(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

template <typename Function> Function next(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

// The mode argument that open() takes only when it may create a file.
mode_t modeOf(int flags, va_list arguments)
{
    if (flags & (O_CREAT | O_TMPFILE))
        return static_cast<mode_t>(va_arg(arguments, int));
    return 0;
}

int missing()
{
    errno = ENOSYS;
    return -1;
}

} // namespace

extern "C" {

int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);

int open(const char* path, int flags, ...)
{
    static const auto real = next<OpenFunction>("open");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return real ? capped(real(path, flags, mode)) : missing();
}

int open64(const char* path, int flags, ...)
{
    static const auto real = next<OpenFunction>("open64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return real ? capped(real(path, flags, mode)) : missing();
}

int openat(int directory, const char* path, int flags, ...)
{
    static const auto real = next<OpenAtFunction>("openat");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return real ? capped(real(directory, path, flags, mode)) : missing();
}

int openat64(int directory, const char* path, int flags, ...)
{
    static const auto real = next<OpenAtFunction>("openat64");
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return real ? capped(real(directory, path, flags, mode)) : missing();
}

// The forms that _FORTIFY_SOURCE builds call.
int __open_2(const char* path, int flags)
{
    static const auto real = next<OpenCheckedFunction>("__open_2");
    return real ? capped(real(path, flags)) : missing();
}

int __open64_2(const char* path, int flags)
{
    static const auto real = next<OpenCheckedFunction>("__open64_2");
    return real ? capped(real(path, flags)) : missing();
}

} // extern "C"
