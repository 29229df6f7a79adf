#include "ziptestutil.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

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

} // namespace

bool writeStoredZip(const QString& path, const QVector<ZipTestEntry>& entries)
{
    QByteArray archive;
    QDataStream out(&archive, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);

    QVector<quint32> offsets;
    for (const ZipTestEntry& entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        const quint32 crc = crc32(entry.data) ^ (entry.wrongCrc ? 0xFFFFFFFFu : 0u);
        offsets.append(quint32(archive.size()));
        out << kLocalHeaderSignature << kVersion << kFlagUtf8Names << quint16(0) << quint16(0) << kDosDate1980
            << crc << quint32(entry.data.size()) << quint32(entry.data.size()) << quint16(name.size())
            << quint16(0);
        out.writeRawData(name.constData(), name.size());
        out.writeRawData(entry.data.constData(), entry.data.size());
    }
    const quint32 centralOffset = quint32(archive.size());
    for (int i = 0; i < entries.size(); ++i) {
        const ZipTestEntry& entry = entries.at(i);
        const QByteArray name = entry.name.toUtf8();
        const quint32 crc = crc32(entry.data) ^ (entry.wrongCrc ? 0xFFFFFFFFu : 0u);
        const quint16 madeBy = entry.unixMode != 0 ? quint16((kHostUnix << 8) | kVersion) : kVersion;
        out << kCentralHeaderSignature << madeBy << kVersion << kFlagUtf8Names << quint16(0) << quint16(0)
            << kDosDate1980 << crc << quint32(entry.data.size()) << quint32(entry.data.size())
            << quint16(name.size()) << quint16(0) << quint16(0) << quint16(0) << quint16(0)
            << quint32(entry.unixMode << 16) << offsets.at(i);
        out.writeRawData(name.constData(), name.size());
    }
    const quint32 centralSize = quint32(archive.size()) - centralOffset;
    out << kEndSignature << quint16(0) << quint16(0) << quint16(entries.size()) << quint16(entries.size())
        << centralSize << centralOffset << quint16(0);

    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(archive) == archive.size();
}

QString sevenZipProgram()
{
    for (const char* name : {"7zz", "7z"}) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!program.isEmpty())
            return program;
    }
    return QString();
}

int addFolderWith7z(const QString& archive, const QString& folder, const QStringList& switches)
{
    const QString program = sevenZipProgram();
    if (program.isEmpty())
        return -1;
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProgram(program);
    process.setArguments(QStringList{QStringLiteral("a"), QStringLiteral("-tzip")} + switches +
                         QStringList{QFileInfo(archive).absoluteFilePath(), QStringLiteral("*")});
    process.start(QIODevice::ReadOnly);
    // Generous bounds: they only matter when something is badly wrong.
    if (!process.waitForStarted(60000) || !process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}
