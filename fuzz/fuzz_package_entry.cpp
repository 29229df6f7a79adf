// Upgrade package entries: Zip7z::extract of the input, written as a zip file, into an output
// folder of its own.
//
// Oracles:
// - nothing is written outside the output folder: the folder around it (the archive's folder,
//   with files and folders beside the output folder) and the process's current directory are
//   the same before and after;
// - nothing inside the output folder is a link, and everything in it stays inside it;
// - a package that is refused ("Unable to perform decompression") leaves nothing written at all.

#include "fuzz/fuzzsupport.h"
#include "upgrade/zip7z.h"

#include <QDateTime>
#include <QDirIterator>
#include <QStringList>
#include <QTemporaryDir>

namespace {

QTemporaryDir* g_root = nullptr;

// Every entry below folder (links not followed) with its kind, and for files and links their size
// and modification time; the names listed in skip (relative to folder) are left out, with their
// contents.
QStringList snapshot(const QString& folder, const QStringList& skip, bool recursive)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(folder).relativeFilePath(path);
        bool skipped = false;
        for (const QString& name : skip)
            skipped = skipped || relative == name || relative.startsWith(name + QLatin1Char('/'));
        if (skipped)
            continue;
        const QFileInfo info = it.fileInfo();
        // Folders by name only: their times change with any new entry, also a build's elsewhere.
        if (info.isDir() && !info.isSymLink())
            entries << relative + QStringLiteral(" dir");
        else
            entries << QStringLiteral("%1 %2 %3 %4")
                           .arg(relative, info.isSymLink() ? QStringLiteral("link") : QStringLiteral("file"))
                           .arg(info.size())
                           .arg(info.lastModified().toMSecsSinceEpoch());
    }
    entries.sort();
    return entries;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    g_root = new QTemporaryDir();
    if (!g_root->isValid())
        fuzz::fail("no temporary folder");
    // Names that an archive might try to reach from the output folder.
    fuzz::putFile(g_root->filePath(QStringLiteral("evil.txt")), "before\n");
    fuzz::putFile(g_root->filePath(QStringLiteral("beside/auto_update.txt")), "before\n");
    fuzz::putFile(g_root->filePath(QStringLiteral("out2/kernel")), "before\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString root = g_root->path();
    const QString out = root + QStringLiteral("/out");
    const QString archive = root + QStringLiteral("/package.zip");
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    fuzz::putFile(archive, fuzz::bytes(data, size));

    const QStringList skip = {QStringLiteral("out"), QStringLiteral("package.zip")};
    const QStringList aroundBefore = snapshot(root, skip, true);
    const QStringList currentBefore = snapshot(QDir::currentPath(), {}, false);

    QString message;
    const bool extracted = Zip7z::extract(archive, out, message);

    const QStringList written = snapshot(out, {}, true);
    const QByteArray detail = "extracted: " + QByteArray(extracted ? "yes" : "no") +
                              "\nmessage: " + message.toUtf8().left(2000) + "\nwritten:\n" +
                              written.join(QLatin1Char('\n')).toUtf8();
    fuzz::check(snapshot(root, skip, true) == aroundBefore, "nothing is written beside the output folder",
                detail + "\naround now:\n" + snapshot(root, skip, true).join(QLatin1Char('\n')).toUtf8());
    fuzz::check(snapshot(QDir::currentPath(), {}, false) == currentBefore,
                "nothing is written into the current directory", detail);
    const QString canonicalOut = QFileInfo(out).canonicalFilePath();
    QDirIterator it(out, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        fuzz::check(!info.isSymLink(), "no extracted entry is a link", detail);
        fuzz::check(info.canonicalFilePath().startsWith(canonicalOut + QLatin1Char('/')),
                    "every extracted entry stays inside the output folder", detail);
    }
    if (!extracted && message.endsWith(QLatin1String("Unable to perform decompression")))
        fuzz::check(written.isEmpty(), "a refused package writes nothing", detail);
    return 0;
}
