#include "brandpolicy.h"

#include "app/catalogue.h"

bool loaderVendorAccepted(int brandIndex, const QByteArray& vendor)
{
    const BrandSelection brand = brandFromIndex(brandIndex);
    if (brand.vendorId == 0)
        return false;
    if (vendor.startsWith(brand_policy::kChipVendorPrefix))
        return true;
    for (const CameraModel& model : modelTable()) {
        if (model.vendorId == brand.vendorId && !model.loaderVendorPrefix.isEmpty() &&
            vendor.startsWith(model.loaderVendorPrefix))
            return true;
    }
    return false;
}
