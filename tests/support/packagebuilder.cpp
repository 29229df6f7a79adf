#include "packagebuilder.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : data) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

constexpr quint32 kLocalHeaderSignature = 0x04034b50;
constexpr quint32 kCentralHeaderSignature = 0x02014b50;
constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint16 kVersion = 20;
constexpr quint16 kHostUnix = 3;
constexpr quint16 kFlagUtf8Names = 0x0800;
constexpr quint16 kDosDate1980 = 0x21;
constexpr quint16 kFlagEncrypted = 0x0001;
constexpr quint16 kMethodStore = 0;
constexpr quint16 kMethodDeflate = 8;
// Traditional zip encryption puts a 12-byte header before the data.
constexpr int kEncryptionHeaderSize = 12;

// Raw deflate data: qCompress() gives a 4-byte length, a 2-byte zlib header, the deflate stream
// and a 4-byte checksum.
QByteArray deflated(const QByteArray& data)
{
    const QByteArray zlib = qCompress(data, 9);
    return zlib.mid(6, zlib.size() - 10);
}

struct Packed
{
    QByteArray name;
    QByteArray stored;
    quint16 flags;
    quint16 method;
    quint32 crc;
    quint32 unpackedSize;
};

Packed pack(const ZipTestEntry& entry)
{
    Packed packed;
    packed.name = entry.name.toUtf8();
    packed.flags = quint16(kFlagUtf8Names | (entry.encrypted ? kFlagEncrypted : 0));
    packed.method = entry.deflate ? kMethodDeflate : kMethodStore;
    packed.stored = entry.deflate ? deflated(entry.data) : entry.data;
    if (entry.encrypted)
        packed.stored.prepend(QByteArray(kEncryptionHeaderSize, '\x5a'));
    packed.crc = crc32(entry.data) ^ (entry.wrongCrc ? 0xFFFFFFFFu : 0u);
    packed.unpackedSize = quint32(entry.declaredSize >= 0 ? entry.declaredSize : entry.data.size());
    return packed;
}

} // namespace

bool writeStoredZip(const QString& path, const QVector<ZipTestEntry>& entries)
{
    QByteArray archive;
    QDataStream out(&archive, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);

    QVector<Packed> packedEntries;
    QVector<quint32> offsets;
    for (const ZipTestEntry& entry : entries) {
        const Packed packed = pack(entry);
        packedEntries.append(packed);
        offsets.append(quint32(archive.size()));
        out << kLocalHeaderSignature << kVersion << packed.flags << packed.method << quint16(0)
            << kDosDate1980 << packed.crc << quint32(packed.stored.size()) << packed.unpackedSize
            << quint16(packed.name.size()) << quint16(0);
        out.writeRawData(packed.name.constData(), packed.name.size());
        out.writeRawData(packed.stored.constData(), packed.stored.size());
    }
    const quint32 centralOffset = quint32(archive.size());
    for (int i = 0; i < entries.size(); ++i) {
        const ZipTestEntry& entry = entries.at(i);
        const Packed& packed = packedEntries.at(i);
        const quint16 madeBy = entry.unixMode != 0 ? quint16((kHostUnix << 8) | kVersion) : kVersion;
        out << kCentralHeaderSignature << madeBy << kVersion << packed.flags << packed.method << quint16(0)
            << kDosDate1980 << packed.crc << quint32(packed.stored.size()) << packed.unpackedSize
            << quint16(packed.name.size()) << quint16(0) << quint16(0) << quint16(0) << quint16(0)
            << quint32(entry.unixMode << 16) << offsets.at(i);
        out.writeRawData(packed.name.constData(), packed.name.size());
    }
    const quint32 centralSize = quint32(archive.size()) - centralOffset;
    out << kEndSignature << quint16(0) << quint16(0) << quint16(entries.size()) << quint16(entries.size())
        << centralSize << centralOffset << quint16(0);

    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(archive) == archive.size();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, '\0');
    quint32 x = 2463534242u + static_cast<quint32>(seed);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x & 0xFF);
    }
    return bytes;
}

QString md5Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}
