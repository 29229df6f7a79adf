#pragma once

// The 16-bit fields of the USB descriptors that the virtual devices present: little-endian.

#include <QByteArray>
#include <QtEndian>

namespace usbwords {

inline void appendWord(QByteArray& out, int value)
{
    char bytes[2];
    qToLittleEndian<quint16>(static_cast<quint16>(value), bytes);
    out.append(bytes, 2);
}

} // namespace usbwords
