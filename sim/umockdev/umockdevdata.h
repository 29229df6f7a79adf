#pragma once

// Access to the client's memory from an ioctl handler, shared by the emulated camera and loader
// nodes. Include only in sources that include <umockdev.h> first (GIO headers clash with Qt's
// keywords).

#include <cstddef>
#include <memory>

namespace umockdev_data {

struct DataUnref
{
    void operator()(UMockdevIoctlData* data) const { umockdev_ioctl_data_unref(data); }
};
using DataPtr = std::unique_ptr<UMockdevIoctlData, DataUnref>;

// A local copy of length bytes that the pointer at offset inside parent points to in the client;
// written back to the client when the ioctl completes. nullptr for a null or unreadable pointer.
inline DataPtr resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    DataPtr data(umockdev_ioctl_data_resolve(parent, offset, length, &error));
    if (error)
        g_error_free(error);
    if (data && (data->data == nullptr || static_cast<std::size_t>(data->data_len) < length))
        data.reset();
    return data;
}

} // namespace umockdev_data
