#pragma once

// The upgrade package is unpacked by the system's 7-Zip console program (Debian package `7zip`,
// program `7zz`, or `p7zip-full`, program `7z`), started as a separate process without a shell.
//
// Before anything is written the archive is listed, and an archive that could write outside the
// output folder or grow beyond a size bound is refused: entries with absolute paths or ".."
// components, links, special files, encrypted entries, or a total unpacked size above the bound.
//
// All operations block the calling thread; any thread may call them.

#include <QByteArray>
#include <QObject>
#include <QString>

class Zip7z : public QObject
{
    // Only here for the translation context of the two messages below.
    Q_OBJECT

public:
    // Largest total unpacked size of a package that is extracted.
    static constexpr qint64 kDefaultMaxUnpackedSize = qint64(1) << 30;
    // Waits for the 7-Zip process: its start, a listing, an extraction (a package of 1 GiB on a
    // slow disk takes minutes, so the extraction gets more than the historical 30 s).
    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kListTimeoutMs = 60000;
    static constexpr int kExtractTimeoutMs = 300000;

    // Finds the 7-Zip program ("7zz", then "7z") in PATH. On success message is "The file check
    // is complete and normal." (translated); without a 7-Zip program message is empty and the
    // result is false.
    static bool prepareTools(QString& message);

    // Lists the archive, refuses it when it is unsafe (see above), then extracts it with its inner
    // paths into outputFolder, overwriting existing files. Returns true only when the archive was
    // accepted and 7-Zip finished in time with exit code 0. message becomes 7-Zip's standard output
    // of the extraction; without a 7-Zip program it is the check message followed by "Unable to
    // perform decompression" (translated). Every failure is logged once here.
    static bool extract(const QString& archive, const QString& outputFolder, QString& message);

    // The 7-Zip program that prepareTools() would use, as an absolute path; empty when none.
    static QString findProgram();

    // The size bound that extract() applies; a value <= 0 restores kDefaultMaxUnpackedSize.
    static void setMaxUnpackedSize(qint64 bytes);
    static qint64 maxUnpackedSize();
};

// Checks the output of "7zz l -slt -ba" (one "Key = Value" line per property, records separated
// by blank lines). Returns true when every entry may be extracted and their sizes add up to no
// more than maxUnpackedSize; otherwise reason says why (fixed English text and the entry's path).
// A listing this parser does not understand is refused, too.
bool inspectArchiveListing(const QByteArray& listing, qint64 maxUnpackedSize, QString& reason);
