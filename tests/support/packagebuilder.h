#pragma once

// Package contents for the tests: zip archives written byte by byte: ordinary packages as well as hostile
// ones (paths that leave the output folder, links, special files, wrong checksums, headers that
// lie about sizes, encrypted entries), which no archiver produces on purpose. No archiver program
// is needed.

#include <QByteArray>
#include <QString>
#include <QVector>

struct ZipTestEntry
{
    QString name;
    QByteArray data;
    // POSIX mode including the file type bits (0100644 a file, 0120777 a link whose data is its
    // target). 0: the entry carries no POSIX mode (made on MS-DOS/Windows).
    quint32 unixMode = 0;
    // Store a checksum that does not match the data.
    bool wrongCrc = false;
    // Compress the data (deflate) instead of storing it.
    bool deflate = false;
    // The unpacked size the headers declare; -1: the data's real size.
    qint64 declaredSize = -1;
    // Mark the entry as encrypted (traditional zip encryption; the data is not really encrypted).
    bool encrypted = false;
};

// Writes a zip archive with the entries in the given order. Returns false when the file cannot be
// written.
bool writeStoredZip(const QString& path, const QVector<ZipTestEntry>& entries);

// Creates a file (and its folders) with the given contents.
bool writeFile(const QString& path, const QByteArray& data);

// size bytes that differ along the file (seed picks the sequence), so that a lost, doubled or
// misplaced chunk changes the MD5.
QByteArray pattern(int size, int seed = 1);

// The MD5 of bytes in lowercase hex.
QString md5Hex(const QByteArray& bytes);
