#pragma once

// Access to the client's memory from an ioctl handler, shared by the emulated camera and loader
// nodes. Include only in sources that include <umockdev.h> first (GIO headers clash with Qt's
// keywords).

#include <cstddef>
#include <cstring>
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

// The value of type T at the start of the client's data.
template <typename T> T load(const UMockdevIoctlData* data)
{
    T value;
    std::memcpy(&value, data->data, sizeof value);
    return value;
}
template <typename T> T load(const DataPtr& data)
{
    return load<T>(data.get());
}

// Writes value over the start of the client's data.
template <typename T> void store(UMockdevIoctlData* data, const T& value)
{
    std::memcpy(data->data, &value, sizeof value);
}
template <typename T> void store(const DataPtr& data, const T& value)
{
    store(data.get(), value);
}

} // namespace umockdev_data
