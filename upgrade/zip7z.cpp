#include "zip7z.h"

#include "app/logcategories.h"
#include "folderremoval.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>

namespace {

std::atomic<qint64> g_maxUnpackedSize{Zip7z::kDefaultMaxUnpackedSize};

// How much of the archive file libarchive reads at a time.
constexpr std::size_t kReadBlockSize = 64 * 1024;

// Only plain files and folders are written, with these permissions (less the umask).
constexpr int kFilePermissions = 0644;
constexpr int kFolderPermissions = 0755;

// libarchive refuses ".." components and any path that runs through a symbolic link. It also has a
// flag that refuses absolute paths, but it has no option for a base folder: relative paths resolve
// against the process's current directory, which this program never changes. So every entry is
// written under its full path in the staging folder, built from the relative path that
// checkPackageEntry accepted; an absolute entry name never gets that far. No owner, permission,
// time, ACL, file-flag or extended-attribute restore.
constexpr int kWriteOptions = ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS;

// The staging folder inside the output folder; a random suffix is appended.
const char* const kStagingPrefix = ".incoming-";

struct ArchiveDeleter
{
    void operator()(archive* handle) const { archive_free(handle); }
};
using ArchiveHandle = std::unique_ptr<archive, ArchiveDeleter>;

struct EntryDeleter
{
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};
using EntryHandle = std::unique_ptr<archive_entry, EntryDeleter>;

// A name for messages and the log: control characters written as escapes, so that one entry is
// one line whatever its name holds.
QString shownName(const QString& name)
{
    QString shown;
    shown.reserve(name.size() + 2);
    shown += QLatin1Char('"');
    for (const QChar c : name) {
        if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    shown += QLatin1Char('"');
    return shown;
}

PackageEntryVerdict refused(const QString& why, const QString& name)
{
    PackageEntryVerdict verdict;
    verdict.reason = QStringLiteral("%1: %2").arg(why, shownName(name));
    return verdict;
}

QString libarchiveError(archive* handle)
{
    const char* text = archive_error_string(handle);
    return text != nullptr ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

QString sizeLimitReason(qint64 maxUnpackedSize)
{
    return QStringLiteral("unpacked size exceeds the limit of %1 bytes").arg(maxUnpackedSize);
}

// The entry's name as the checks see it: libarchive's UTF-8 form, otherwise the name in the
// local encoding.
QString entryName(archive_entry* entry)
{
    if (const char* utf8 = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(utf8);
    if (const char* local = archive_entry_pathname(entry))
        return QFile::decodeName(local);
    return QString();
}

// One unpacking of one archive into one staging folder.
class Unpacker
{
public:
    Unpacker(const QString& staging, qint64 maxUnpackedSize)
        : m_staging(staging), m_maxUnpackedSize(maxUnpackedSize)
    {
    }

    // Reads, checks and writes every entry. On failure reason says why; refusal tells a package
    // that is unsafe apart from one that cannot be read or written.
    bool run(const QString& archivePath, QString& reason, bool& refusal);

    int entries() const { return m_entries; }
    qint64 unpacked() const { return m_unpacked; }

private:
    bool writeEntry(archive* reader, archive* writer, archive_entry* entry, QString& reason, bool& refusal);
    bool copyData(archive* reader, archive* writer, const PackageEntry& entry, QString& reason,
                  bool& refusal);

    QString m_staging;
    qint64 m_maxUnpackedSize;
    int m_entries = 0;
    qint64 m_unpacked = 0;
};

bool Unpacker::run(const QString& archivePath, QString& reason, bool& refusal)
{
    refusal = false;
    const ArchiveHandle reader(archive_read_new());
    const ArchiveHandle writer(archive_write_disk_new());
    if (!reader || !writer) {
        reason = QStringLiteral("out of memory");
        return false;
    }
    archive_read_support_format_zip(reader.get());
    archive_write_disk_set_options(writer.get(), kWriteOptions);
    if (archive_read_open_filename(reader.get(), QFile::encodeName(archivePath).constData(),
                                   kReadBlockSize) != ARCHIVE_OK) {
        reason = QStringLiteral("not a readable zip archive: %1").arg(libarchiveError(reader.get()));
        return false;
    }
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        // A warning here is about the name's character set; the name is checked below anyway.
        if (status < ARCHIVE_WARN) {
            reason = QStringLiteral("unreadable entry after %1 entries: %2")
                         .arg(m_entries)
                         .arg(libarchiveError(reader.get()));
            return false;
        }
        if (++m_entries > Zip7z::kMaxEntries) {
            refusal = true;
            reason = QStringLiteral("more than %1 entries").arg(Zip7z::kMaxEntries);
            return false;
        }
        if (!writeEntry(reader.get(), writer.get(), entry, reason, refusal))
            return false;
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        reason = QStringLiteral("cannot finish writing: %1").arg(libarchiveError(writer.get()));
        return false;
    }
    return true;
}

bool Unpacker::writeEntry(archive* reader, archive* writer, archive_entry* entry, QString& reason,
                          bool& refusal)
{
    PackageEntry described;
    described.name = entryName(entry);
    described.mode = archive_entry_mode(entry);
    described.hardLink = archive_entry_hardlink(entry) != nullptr;
    described.encrypted = archive_entry_is_encrypted(entry) != 0;
    described.size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (archive_entry_symlink(entry) != nullptr)
        described.mode = (described.mode & ~quint32(S_IFMT)) | S_IFLNK;

    const PackageEntryVerdict verdict = checkPackageEntry(described, m_unpacked, m_maxUnpackedSize);
    if (!verdict.accepted) {
        refusal = true;
        reason = verdict.reason;
        return false;
    }
    // Exactly the checked path is written; a name that this system's file-name encoding cannot
    // carry unchanged would be written as another name, so it is refused.
    const QByteArray target = QFile::encodeName(m_staging + QLatin1Char('/') + verdict.path);
    if (QFile::decodeName(target) != m_staging + QLatin1Char('/') + verdict.path) {
        refusal = true;
        reason = QStringLiteral("entry name that cannot be written on this system: %1")
                     .arg(shownName(described.name));
        return false;
    }
    // Longer paths would make libarchive change the process's current directory.
    if (target.size() >= PATH_MAX) {
        refusal = true;
        reason = QStringLiteral("entry path too long: %1").arg(shownName(described.name));
        return false;
    }

    const EntryHandle written(archive_entry_new());
    archive_entry_copy_pathname(written.get(), target.constData());
    archive_entry_set_filetype(written.get(), verdict.folder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(written.get(), verdict.folder ? kFolderPermissions : kFilePermissions);
    if (!verdict.folder)
        archive_entry_set_size(written.get(), described.size);
    if (archive_write_header(writer, written.get()) != ARCHIVE_OK) {
        reason =
            QStringLiteral("cannot write %1: %2").arg(shownName(described.name), libarchiveError(writer));
        return false;
    }
    if (!verdict.folder && !copyData(reader, writer, described, reason, refusal))
        return false;
    if (archive_write_finish_entry(writer) != ARCHIVE_OK) {
        reason =
            QStringLiteral("cannot write %1: %2").arg(shownName(described.name), libarchiveError(writer));
        return false;
    }
    return true;
}

bool Unpacker::copyData(archive* reader, archive* writer, const PackageEntry& entry, QString& reason,
                        bool& refusal)
{
    qint64 written = 0;
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF)
            break;
        // A warning here means damaged data (a wrong checksum or length).
        if (status != ARCHIVE_OK) {
            reason =
                QStringLiteral("damaged entry %1: %2").arg(shownName(entry.name), libarchiveError(reader));
            return false;
        }
        if (offset < 0) {
            reason = QStringLiteral("damaged entry %1: negative offset").arg(shownName(entry.name));
            return false;
        }
        // The bytes that actually come out bound the entry, not its header: a header that
        // declares less than the data holds is refused before the surplus is written, and so is
        // data that takes the package past the size bound.
        const qint64 end = std::max(written, qint64(offset) + qint64(size));
        if (end > entry.size) {
            refusal = true;
            reason = QStringLiteral("entry holds more data than its header declares (%1 bytes): %2")
                         .arg(entry.size)
                         .arg(shownName(entry.name));
            return false;
        }
        if (end > m_maxUnpackedSize - m_unpacked) {
            refusal = true;
            reason = sizeLimitReason(m_maxUnpackedSize);
            return false;
        }
        if (size > 0 && archive_write_data_block(writer, block, size, offset) < 0) {
            reason =
                QStringLiteral("cannot write %1: %2").arg(shownName(entry.name), libarchiveError(writer));
            return false;
        }
        written = end;
    }
    if (written != entry.size) {
        reason = QStringLiteral("damaged entry %1: %2 bytes instead of %3")
                     .arg(shownName(entry.name))
                     .arg(written)
                     .arg(entry.size);
        return false;
    }
    m_unpacked += written;
    return true;
}

bool isAbsoluteName(const QString& name)
{
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return true;
    // A drive letter ("C:..."): absolute on the system the archive came from.
    return name.size() >= 2 && name.at(1) == QLatin1Char(':') && name.at(0).isLetter();
}

bool hasControlCharacter(const QString& name)
{
    return std::any_of(name.cbegin(), name.cend(),
                       [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

// Moves every entry of the staging folder into the output folder; each replaces what is there.
bool moveIntoPlace(const QString& staging, const QString& output, const QString& stagingName, QString& reason)
{
    const QStringList names =
        QDir(staging).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    if (names.contains(stagingName)) {
        reason = QStringLiteral("entry named like the staging folder: %1").arg(shownName(stagingName));
        return false;
    }
    for (const QString& name : names) {
        const QString target = output + QLatin1Char('/') + name;
        QString error;
        if (!removeTree(target, error)) {
            reason = QStringLiteral("cannot replace the previous %1: %2").arg(shownName(name), error);
            return false;
        }
        if (std::rename(QFile::encodeName(staging + QLatin1Char('/') + name).constData(),
                        QFile::encodeName(target).constData()) != 0) {
            reason = QStringLiteral("cannot move %1 into place: %2")
                         .arg(shownName(name), QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

} // namespace

PackageEntryVerdict checkPackageEntry(const PackageEntry& entry, qint64 unpackedSoFar, qint64 maxUnpackedSize)
{
    const QString& name = entry.name;
    if (name.isEmpty())
        return refused(QStringLiteral("entry without a name"), name);
    if (hasControlCharacter(name))
        return refused(QStringLiteral("entry name with a control character"), name);
    if (isAbsoluteName(name))
        return refused(QStringLiteral("entry with an absolute path"), name);

    // Archives made on Windows separate folders with backslashes; both separators count, so that
    // "images\logo.bin" lands in the images folder and "..\x" is seen as the ".." it is.
    const QStringList parts =
        QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    QStringList components;
    for (const QString& part : parts) {
        if (part == QLatin1String(".."))
            return refused(QStringLiteral("entry with a parent-folder (..) component"), name);
        if (!part.isEmpty() && part != QLatin1String("."))
            components.append(part);
    }
    if (components.isEmpty())
        return refused(QStringLiteral("entry without a name"), name);
    if (components.size() > kMaxPackageEntryDepth)
        return refused(QStringLiteral("entry nested more than %1 folders deep").arg(kMaxPackageEntryDepth),
                       name);
    const QString path = components.join(QLatin1Char('/'));
    if (path.size() > kMaxPackageEntryPathLength)
        return refused(QStringLiteral("entry path longer than %1 characters").arg(kMaxPackageEntryPathLength),
                       name);

    if (entry.hardLink)
        return refused(QStringLiteral("link entry"), name);
    if (entry.encrypted)
        return refused(QStringLiteral("encrypted entry"), name);
    const quint32 type = entry.mode & quint32(S_IFMT);
    bool folder = false;
    if (type == quint32(S_IFDIR)) {
        folder = true;
    } else if (type == 0) {
        // No type recorded: a name that ends with a separator is a folder.
        folder = name.endsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('\\'));
    } else if (type == quint32(S_IFLNK)) {
        return refused(QStringLiteral("link entry"), name);
    } else if (type != quint32(S_IFREG)) {
        return refused(QStringLiteral("special file entry"), name);
    }
    if ((entry.mode & quint32(S_ISUID | S_ISGID)) != 0)
        return refused(QStringLiteral("entry with set-user-id or set-group-id permission"), name);

    if (!folder) {
        if (entry.size < 0)
            return refused(QStringLiteral("entry of unknown size"), name);
        // Written so that it cannot overflow: unpackedSoFar never exceeds the bound.
        if (unpackedSoFar < 0 || unpackedSoFar > maxUnpackedSize ||
            entry.size > maxUnpackedSize - unpackedSoFar)
            return refused(sizeLimitReason(maxUnpackedSize), name);
    }

    PackageEntryVerdict verdict;
    verdict.accepted = true;
    verdict.folder = folder;
    verdict.path = path;
    return verdict;
}

bool Zip7z::prepareTools(QString& message)
{
    message = tr("The file check is complete and normal.");
    return true;
}

bool Zip7z::extract(const QString& archive, const QString& outputFolder, QString& message, QString* reason)
{
    message.clear();
    QString why;
    bool refusal = false;
    const auto fail = [&]() {
        if (refusal)
            qCWarning(lcUpgrade).noquote() << "Refusing the upgrade package" << archive << "-" << why;
        else
            qCWarning(lcUpgrade).noquote() << "Cannot extract the upgrade package" << archive << "-" << why;
        message = tr("Unable to perform decompression");
        if (reason)
            *reason = refusal ? QStringLiteral("refused: %1").arg(why) : why;
        return false;
    };

    if (archive.isEmpty() || outputFolder.isEmpty()) {
        why = QStringLiteral("no upgrade package or output folder given");
        return fail();
    }
    const QString archivePath = QFileInfo(archive).absoluteFilePath();
    if (!QFileInfo(archivePath).isFile()) {
        why = QStringLiteral("upgrade package not found: %1").arg(archivePath);
        return fail();
    }
    if (!QDir().mkpath(outputFolder)) {
        why = QStringLiteral("cannot create %1").arg(outputFolder);
        return fail();
    }
    // The canonical path: libarchive refuses to write through any symbolic link on the way.
    const QString output = QFileInfo(outputFolder).canonicalFilePath();
    QByteArray stagingTemplate =
        QFile::encodeName(output + QLatin1Char('/') + QLatin1String(kStagingPrefix)) + "XXXXXX";
    if (output.isEmpty() || ::mkdtemp(stagingTemplate.data()) == nullptr) {
        why = QStringLiteral("cannot create a staging folder in %1: %2")
                  .arg(outputFolder, QString::fromLocal8Bit(std::strerror(errno)));
        return fail();
    }
    const QString staging = QFile::decodeName(stagingTemplate);

    Unpacker unpacker(staging, maxUnpackedSize());
    bool done = unpacker.run(archivePath, why, refusal);
    if (done)
        done = moveIntoPlace(staging, output, QFileInfo(staging).fileName(), why);
    QString leftover;
    if (!removeTree(staging, leftover))
        qCWarning(lcUpgrade).noquote() << "Cannot remove the staging folder" << staging << "-" << leftover;
    if (!done)
        return fail();
    message =
        QStringLiteral("%1 entries, %2 bytes unpacked").arg(unpacker.entries()).arg(unpacker.unpacked());
    return true;
}

void Zip7z::setMaxUnpackedSize(qint64 bytes)
{
    g_maxUnpackedSize = bytes > 0 ? bytes : kDefaultMaxUnpackedSize;
}

qint64 Zip7z::maxUnpackedSize()
{
    return g_maxUnpackedSize;
}
