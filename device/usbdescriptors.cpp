#include "usbdescriptors.h"

#include <algorithm>

int findExtensionUnitId(const QByteArray& descriptors, const std::array<std::uint8_t, 16>& guid)
{
    using namespace usbdesc;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(descriptors.constData());
    const int size = descriptors.size();
    bool inVideoControl = false;
    for (int offset = 0; offset + 2 <= size;) {
        const int length = bytes[offset];
        if (length < 2 || offset + length > size)
            break;
        const std::uint8_t type = bytes[offset + 1];
        if (type == kTypeInterface && length >= kInterfaceLength) {
            inVideoControl = bytes[offset + kInterfaceClassOffset] == kClassVideo &&
                             bytes[offset + kInterfaceSubclassOffset] == kSubclassVideoControl;
        } else if (type == kTypeClassSpecificInterface && inVideoControl &&
                   length >= kExtensionUnitMinLength &&
                   bytes[offset + kSubtypeOffset] == kVcSubtypeExtensionUnit &&
                   std::equal(guid.begin(), guid.end(), bytes + offset + kGuidOffset)) {
            return bytes[offset + kUnitIdOffset];
        }
        offset += length;
    }
    return -1;
}
