// Camera ids: DShowCameraWrapper::parseVidPid on any text, and the device paths that
// buildDevicePath makes from any identity.
//
// Oracles:
// - an accepted id's vendor and product fields (the text between "vid_" and the first "&", and
//   between "pid_" and the next "&") are hexadecimal numbers that re-format to the parsed values;
// - every path buildDevicePath makes has the shape the hot-plug rules split (four "#" parts, the
//   third of four "&" fields), and its id parses back to the identity's vendor and product.

#include "device/deviceid.h"
#include "device/dshowcamerawrapper.h"
#include "fuzz/fuzzsupport.h"

#include <QStringList>

namespace {

// The field's text is a hexadecimal number whose value is value (leading zeros and case aside).
bool reformatsTo(const QString& field, int value)
{
    if (field.isEmpty() || value < 0)
        return false;
    for (const QChar c : field) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    QString digits = field.toLower();
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    return digits == QString::number(value, 16);
}

void checkParsedId(const QString& id)
{
    int vid = -1;
    int pid = -1;
    if (!DShowCameraWrapper::parseVidPid(id, vid, pid))
        return;
    const QByteArray detail =
        "id: " + id.toUtf8() + "\nvid: " + QByteArray::number(vid) + " pid: " + QByteArray::number(pid);
    const int vendorStart = id.indexOf(QLatin1String("vid_"));
    const int vendorEnd = id.indexOf(QLatin1Char('&'));
    fuzz::check(vendorStart >= 0 && vendorEnd >= vendorStart + 4, "accepted id has a vid_ field", detail);
    const QString vendor = id.mid(vendorStart + 4, vendorEnd - vendorStart - 4);
    fuzz::check(reformatsTo(vendor, vid), "parsed vendor re-formats to the id's vid_ field", detail);

    const QString rest = id.mid(vendorEnd + 1);
    const int productStart = rest.indexOf(QLatin1String("pid_"));
    const int productEnd = rest.indexOf(QLatin1Char('&'));
    fuzz::check(productStart >= 0 && productEnd >= productStart + 4, "accepted id has a pid_ field", detail);
    const QString product = rest.mid(productStart + 4, productEnd - productStart - 4);
    fuzz::check(reformatsTo(product, pid), "parsed product re-formats to the id's pid_ field", detail);
}

void checkBuiltPath(const std::uint8_t* data, std::size_t size)
{
    if (size < 6)
        return;
    UsbVideoNodeIdentity identity;
    identity.vendorId = data[0] | (data[1] << 8);
    identity.productId = data[2] | (data[3] << 8);
    identity.interfaceNumber = data[4];
    identity.captureOrdinal = data[5] % 10;
    // The rest: serial and bus-port text, split at the first zero byte.
    const QByteArray text = fuzz::bytes(data + 6, size - 6);
    const int split = text.indexOf('\0');
    identity.serial = QString::fromUtf8(split < 0 ? text : text.left(split));
    identity.busPort = split < 0 ? QString() : QString::fromUtf8(text.mid(split + 1));

    const QString path = buildDevicePath(identity);
    const QByteArray detail = "path: " + path.toUtf8();
    const QStringList parts = path.split(QLatin1Char('#'));
    fuzz::check(parts.size() == 4, "a built path has four # parts", detail);
    fuzz::check(parts.at(2).split(QLatin1Char('&')).size() == 4,
                "a built path's third part has four & fields", detail);
    const QString id = deviceIdFromPath(path);
    int vid = -1;
    int pid = -1;
    fuzz::check(DShowCameraWrapper::parseVidPid(id, vid, pid), "a built id parses", detail);
    fuzz::check(vid == identity.vendorId && pid == identity.productId,
                "a built id parses to its vendor and product", detail);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    checkParsedId(QString::fromUtf8(fuzz::bytes(data, size)));
    checkBuiltPath(data, size);
    return 0;
}
