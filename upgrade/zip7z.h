#pragma once

// The upgrade package is unpacked in this process with libarchive; no archiver program is needed.
//
// Every entry is checked as it is read (checkPackageEntry below), and what is written is exactly
// the checked path below the output folder: entries with absolute paths or ".." components,
// links, special files, set-user-id or set-group-id entries, encrypted entries, names with
// control characters, and a package whose unpacked bytes exceed a bound are refused. A backslash
// separates folders, as in archives made on Windows. Only plain files and folders are written,
// with fixed permissions; owners, permissions, times and extended attributes of the archive are
// not restored.
//
// The entries are unpacked into a staging folder inside the output folder and moved into place
// only when the whole archive was written, so a refused or damaged package leaves nothing behind.
//
// All operations block the calling thread; any thread may call them.

#include <QObject>
#include <QString>

class Zip7z : public QObject
{
    // Only here for the translation context of the two messages below.
    Q_OBJECT

public:
    // Largest number of bytes that one package may unpack to.
    static constexpr qint64 kDefaultMaxUnpackedSize = qint64(1) << 30;
    // Most entries one package may hold.
    static constexpr int kMaxEntries = 10000;

    // Nothing to prepare any more: the archive is read in this process. message becomes "The file
    // check is complete and normal." (translated); returns true.
    static bool prepareTools(QString& message);

    // Unpacks the archive with its inner paths into outputFolder (created when missing). Each
    // top-level entry of the archive replaces whatever of that name outputFolder held (a folder
    // as a whole, not merged). Returns true only when every entry was accepted and written; then
    // message tells how many entries and bytes. Otherwise message is "Unable to perform
    // decompression" (translated), reason (when given) says why in fixed English text naming the
    // entry, and the failure is logged once here; nothing of a refused or unreadable archive
    // reaches outputFolder (only a failure while moving the entries into place can leave some).
    static bool extract(const QString& archive, const QString& outputFolder, QString& message,
                        QString* reason = nullptr);

    // The size bound that extract() applies; a value <= 0 restores kDefaultMaxUnpackedSize.
    static void setMaxUnpackedSize(qint64 bytes);
    static qint64 maxUnpackedSize();
};

// One package entry as the archive describes it.
struct PackageEntry
{
    QString name;          // the name as stored; "/" or "\" between folders
    quint32 mode = 0;      // POSIX file type and permission bits; type 0 when the archive has none
    bool hardLink = false; // the entry is a hard link to another entry
    bool encrypted = false;
    qint64 size = -1; // declared unpacked size; -1 when unknown
};

// What checkPackageEntry decided about one entry.
struct PackageEntryVerdict
{
    bool accepted = false;
    bool folder = false; // a folder is written, not a file
    QString path;        // where it goes, relative to the output folder, "/" between folders
    QString reason;      // why it was refused: fixed English text and the entry's name
};

// Folder levels and characters that one entry's path may have.
constexpr int kMaxPackageEntryDepth = 32;
constexpr int kMaxPackageEntryPathLength = 1024;

/// Decides whether one package entry may be unpacked, and to which relative path. Pure: it looks
/// at nothing but its arguments, so it can be fuzzed on its own. unpackedSoFar is the number of
/// bytes already written for the entries before this one; a file whose declared size takes the
/// total past maxUnpackedSize is refused (the extraction also bounds the bytes it actually writes).
PackageEntryVerdict checkPackageEntry(const PackageEntry& entry, qint64 unpackedSoFar,
                                      qint64 maxUnpackedSize);
