#include "zip7z.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QVector>

#include <atomic>

namespace {

std::atomic<qint64> g_maxUnpackedSize{Zip7z::kDefaultMaxUnpackedSize};

// Longest piece of 7-Zip's error output that goes into one log line.
constexpr int kMaxLoggedOutput = 2000;

struct ToolRun
{
    bool started = false;
    bool finished = false;
    bool crashed = false;
    int exitCode = -1;
    QString error;
    QByteArray output;
    QByteArray errorOutput;

    bool succeeded() const { return finished && !crashed && exitCode == 0; }
};

// Starts program without a shell and waits for it within the given bounds; a run that takes
// longer is killed.
ToolRun runTool(const QString& program, const QStringList& arguments, int finishTimeoutMs)
{
    ToolRun run;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.start(QIODevice::ReadWrite);
    if (!process.waitForStarted(Zip7z::kStartTimeoutMs)) {
        run.error = process.errorString();
        process.kill();
        process.waitForFinished(Zip7z::kStartTimeoutMs);
        return run;
    }
    run.started = true;
    // 7-Zip asks for a password on standard input; with the channel closed it gives up instead of
    // waiting for an answer that never comes.
    process.closeWriteChannel();
    const bool done = process.waitForFinished(finishTimeoutMs) || process.state() == QProcess::NotRunning;
    if (!done) {
        process.kill();
        process.waitForFinished(Zip7z::kStartTimeoutMs);
        run.output = process.readAllStandardOutput();
        run.errorOutput = process.readAllStandardError();
        run.error = QStringLiteral("timed out");
        return run;
    }
    run.finished = true;
    run.crashed = process.exitStatus() == QProcess::CrashExit;
    run.exitCode = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.errorOutput = process.readAllStandardError();
    return run;
}

QString loggedOutput(const QByteArray& output)
{
    return QString::fromLocal8Bit(output).simplified().left(kMaxLoggedOutput);
}

void logToolFailure(const char* what, const QString& archive, const ToolRun& run, int finishTimeoutMs)
{
    if (!run.started) {
        qWarning().noquote() << what << "- 7-Zip did not start:" << run.error << archive;
    } else if (!run.finished) {
        qWarning().noquote() << what << "- 7-Zip did not finish within" << finishTimeoutMs / 1000
                             << "s and was stopped:" << archive;
    } else if (run.crashed) {
        qWarning().noquote() << what << "- 7-Zip crashed:" << archive << loggedOutput(run.errorOutput);
    } else {
        qWarning().noquote() << what << "- 7-Zip failed with exit code" << run.exitCode << ":" << archive
                             << loggedOutput(run.errorOutput);
    }
}

// One entry of a "-slt" listing, with the properties that decide whether it may be extracted.
struct ListedEntry
{
    QString path;
    QString folder;
    QString size;
    QString attributes;
    QString symbolicLink;
    QString hardLink;
    QString encrypted;
    QStringList keys;
};

bool parseListing(const QByteArray& listing, QVector<ListedEntry>& entries, QString& reason)
{
    entries.clear();
    ListedEntry current;
    bool open = false;
    const auto finish = [&]() {
        if (open)
            entries.append(current);
        current = ListedEntry();
        open = false;
    };

    const QStringList lines = QString::fromLocal8Bit(listing).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.isEmpty()) {
            finish();
            continue;
        }
        const int separator = line.indexOf(QLatin1String(" ="));
        if (separator <= 0) {
            reason = QStringLiteral("unreadable archive listing line: %1").arg(line.left(200));
            return false;
        }
        const QString key = line.left(separator);
        QString value = line.mid(separator + 2);
        if (value.startsWith(QLatin1Char(' ')))
            value.remove(0, 1);

        if (key == QLatin1String("Path") && open && current.keys.contains(key))
            finish();
        if (current.keys.contains(key)) {
            reason = QStringLiteral("unreadable archive listing: repeated property %1").arg(key);
            return false;
        }
        open = true;
        current.keys.append(key);
        if (key == QLatin1String("Path"))
            current.path = value;
        else if (key == QLatin1String("Folder"))
            current.folder = value;
        else if (key == QLatin1String("Size"))
            current.size = value;
        else if (key == QLatin1String("Attributes"))
            current.attributes = value;
        else if (key == QLatin1String("Symbolic Link"))
            current.symbolicLink = value;
        else if (key == QLatin1String("Hard Link"))
            current.hardLink = value;
        else if (key == QLatin1String("Encrypted"))
            current.encrypted = value;
    }
    finish();
    for (const ListedEntry& entry : entries) {
        if (!entry.keys.contains(QLatin1String("Path"))) {
            reason = QStringLiteral("unreadable archive listing: entry without a path");
            return false;
        }
    }
    return true;
}

// A POSIX mode as 7-Zip shows it: a type character and nine permission characters.
bool isModeToken(const QString& token)
{
    if (token.size() != 10)
        return false;
    for (int i = 1; i < token.size(); ++i) {
        if (!QStringLiteral("rwxsStT-").contains(token.at(i)))
            return false;
    }
    return true;
}

bool isAbsolutePath(const QString& path)
{
    if (path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')))
        return true;
    // A drive letter ("C:..."): absolute on the system the archive came from.
    return path.size() >= 2 && path.at(1) == QLatin1Char(':') && path.at(0).isLetter();
}

bool hasParentComponent(const QString& path)
{
    // Archives made on Windows separate folders with backslashes.
    const QStringList components = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')).split('/');
    return components.contains(QStringLiteral(".."));
}

// Why this entry must not be extracted; empty when it may.
QString unsafeEntryReason(const ListedEntry& entry)
{
    if (entry.path.isEmpty())
        return QStringLiteral("entry without a name");
    if (isAbsolutePath(entry.path))
        return QStringLiteral("entry with an absolute path");
    if (hasParentComponent(entry.path))
        return QStringLiteral("entry with a parent-folder (..) component");
    if (!entry.symbolicLink.isEmpty() || !entry.hardLink.isEmpty())
        return QStringLiteral("link entry");
    if (entry.encrypted == QLatin1String("+"))
        return QStringLiteral("encrypted entry");

    const QStringList tokens = entry.attributes.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& token : tokens) {
        if (isModeToken(token)) {
            const QChar type = token.at(0);
            if (type == QLatin1Char('l'))
                return QStringLiteral("link entry");
            if (type != QLatin1Char('-') && type != QLatin1Char('d') && type != QLatin1Char('0'))
                return QStringLiteral("special file entry");
            if (token.at(3).toLower() == QLatin1Char('s') || token.at(6).toLower() == QLatin1Char('s'))
                return QStringLiteral("entry with set-user-id or set-group-id permission");
        } else if (token.contains(QLatin1Char('L'))) {
            // Windows attribute letters: "L" marks a reparse point (a link).
            return QStringLiteral("link entry");
        }
    }
    return QString();
}

} // namespace

bool inspectArchiveListing(const QByteArray& listing, qint64 maxUnpackedSize, QString& reason)
{
    reason.clear();
    QVector<ListedEntry> entries;
    if (!parseListing(listing, entries, reason))
        return false;

    qint64 total = 0;
    for (const ListedEntry& entry : entries) {
        const QString unsafe = unsafeEntryReason(entry);
        if (!unsafe.isEmpty()) {
            reason = QStringLiteral("%1: %2").arg(unsafe, entry.path);
            return false;
        }
        qint64 size = 0;
        if (!(entry.folder == QLatin1String("+") && entry.size.isEmpty())) {
            bool isNumber = false;
            size = entry.size.toLongLong(&isNumber);
            if (!isNumber || size < 0) {
                reason = QStringLiteral("entry of unknown size: %1").arg(entry.path);
                return false;
            }
        }
        // Both terms stay at or below the bound, so the sum cannot overflow.
        if (size > maxUnpackedSize || total + size > maxUnpackedSize) {
            reason = QStringLiteral("unpacked size exceeds the limit of %1 bytes").arg(maxUnpackedSize);
            return false;
        }
        total += size;
    }
    return true;
}

QString Zip7z::findProgram()
{
    for (const char* name : {"7zz", "7z"}) {
        const QString program = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!program.isEmpty())
            return program;
    }
    return QString();
}

bool Zip7z::prepareTools(QString& message)
{
    if (findProgram().isEmpty()) {
        qWarning("No 7-Zip program (7zz or 7z) found in PATH");
        message.clear();
        return false;
    }
    message = tr("The file check is complete and normal.");
    return true;
}

bool Zip7z::extract(const QString& archive, const QString& outputFolder, QString& message)
{
    message.clear();
    QString checkMessage;
    const auto refuse = [&]() {
        message = checkMessage + tr("Unable to perform decompression");
        return false;
    };
    if (!prepareTools(checkMessage))
        return refuse();
    const QString program = findProgram();

    if (archive.isEmpty() || outputFolder.isEmpty()) {
        qWarning("No upgrade package or output folder given");
        return refuse();
    }
    // An absolute path cannot be mistaken for one of 7-Zip's switches.
    const QString archivePath = QFileInfo(archive).absoluteFilePath();
    const QString outputPath = QFileInfo(outputFolder).absoluteFilePath();
    if (!QFileInfo(archivePath).isFile()) {
        qWarning().noquote() << "Upgrade package not found:" << archivePath;
        return refuse();
    }

    // The same archive type for the listing and the extraction, so both read the same entries.
    const QString archiveType = QStringLiteral("-tzip");
    const ToolRun listing = runTool(
        program,
        {QStringLiteral("l"), QStringLiteral("-slt"), QStringLiteral("-ba"), archiveType, archivePath},
        kListTimeoutMs);
    if (!listing.succeeded()) {
        logToolFailure("Cannot list the upgrade package", archivePath, listing, kListTimeoutMs);
        return refuse();
    }
    QString reason;
    if (!inspectArchiveListing(listing.output, maxUnpackedSize(), reason)) {
        qWarning().noquote() << "Refusing the upgrade package" << archivePath << "-" << reason;
        return refuse();
    }

    const ToolRun extraction = runTool(program,
                                       {QStringLiteral("x"), QStringLiteral("-y"), archiveType, archivePath,
                                        QStringLiteral("-o") + outputPath},
                                       kExtractTimeoutMs);
    message = QString::fromLocal8Bit(extraction.output);
    if (!extraction.succeeded()) {
        logToolFailure("Cannot extract the upgrade package", archivePath, extraction, kExtractTimeoutMs);
        return false;
    }
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
