#pragma once

// A platform with no operating-system bindings: no capture devices, a sound server without
// sinks (every speaker reads as absent), no boot-stage mass-storage devices, a preview that
// cannot open, and no hot-plug events. It is the inner platform of a program that brings its own
// video face (deckctl-mac's raw USB) where the Linux bindings are not built (DECKCTL_RAWUSB_ONLY,
// as on macOS), and the default platform of such a build.

#include "device/deviceplatform.h"

#include <memory>

std::unique_ptr<DevicePlatform> createPortablePlatform();
