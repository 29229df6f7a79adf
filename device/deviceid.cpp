#include "deviceid.h"

namespace {

// The capture-interface class GUID that the shape carries as its last part.
const QString kCaptureClassSuffix = QStringLiteral("{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global");

// Keeps a field free of the separators "#" and "&" (and of anything else unusual): lower-case
// letters and digits only, "0" when nothing is left.
QString safeField(const QString& text, const QString& extraAllowed = QString())
{
    QString out;
    for (const QChar c : text.toLower()) {
        if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
            (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || extraAllowed.contains(c))
            out.append(c);
    }
    return out.isEmpty() ? QStringLiteral("0") : out;
}

} // namespace

QString buildDevicePath(const UsbVideoNodeIdentity& identity)
{
    auto hex = [](int value, int width) {
        return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0'));
    };
    return QStringLiteral("\\\\?\\usb#vid_%1&pid_%2&mi_%3#%4&%5&0&%6#%7")
        .arg(hex(identity.vendorId & 0xFFFF, 4), hex(identity.productId & 0xFFFF, 4),
             hex(identity.interfaceNumber & 0xFF, 2), safeField(identity.serial),
             safeField(identity.busPort, QStringLiteral("-.")),
             QStringLiteral("%1").arg(identity.captureOrdinal, 4, 10, QLatin1Char('0')), kCaptureClassSuffix);
}

QString deviceIdFromPath(const QString& devicePath)
{
    const int first = devicePath.indexOf(QLatin1Char('#'));
    const int last = devicePath.lastIndexOf(QLatin1Char('#'));
    if (first < 0 || last <= first)
        return QString();
    return devicePath.mid(first + 1, last - first - 1);
}
