#pragma once

// Which boot-stage devices discovery accepts for a brand: the vendor identification of their
// INQUIRY answer must start with the chip's own prefix, or with the loader vendor prefix of one
// of the brand's models in the model table (the models whose vendor id is the brand's).

#include <QByteArray>

namespace brand_policy {
// The chip's own vendor identification prefix, which every brand accepts.
inline constexpr char kChipVendorPrefix[] = "GC";
} // namespace brand_policy

// Whether discovery accepts a device with this vendor identification (compared byte for byte)
// for the configured brand index. A brand index that the brand table does not hold accepts
// nothing.
bool loaderVendorAccepted(int brandIndex, const QByteArray& vendor);
