#pragma once

// Archives for the package tests: ordinary ones made by the real 7-Zip from a staged folder, and
// hostile ones (paths that leave the output folder, links, special files, wrong checksums) written
// byte by byte, since no archiver produces those on purpose.

#include <QByteArray>
#include <QString>
#include <QStringList>
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
};

// Writes a zip archive with the entries stored uncompressed. Returns false when the file cannot
// be written.
bool writeStoredZip(const QString& path, const QVector<ZipTestEntry>& entries);

// The 7-Zip program of this machine ("7zz" or "7z"), empty when none is installed.
QString sevenZipProgram();

// Runs "7zz a -tzip <switches> <archive> *" in folder, so that the archive holds the folder's
// contents with paths relative to it. Returns 7-Zip's exit code, or -1 when it did not run.
int addFolderWith7z(const QString& archive, const QString& folder, const QStringList& switches = {});

// Creates a file (and its folders) with the given contents.
bool writeFile(const QString& path, const QByteArray& data);
