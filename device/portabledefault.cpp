// The default platform of a build without the Linux bindings (DECKCTL_RAWUSB_ONLY): the one that
// finds nothing, until a program installs its own.

#include "device/deviceplatform.h"
#include "device/portableplatform.h"

std::unique_ptr<DevicePlatform> createDefaultDevicePlatform()
{
    return createPortablePlatform();
}
