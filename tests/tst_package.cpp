#include "tests/support/logcapture.h"
#include "tests/support/packagebuilder.h"
#include "upgrade/package.h"
#include "upgrade/zip7z.h"

#include <QtTest>

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>

#include <memory>

using Placements = QVector<QPair<qint64, QByteArray>>;
Q_DECLARE_METATYPE(Placements)
Q_DECLARE_METATYPE(PackageOutcome)
Q_DECLARE_METATYPE(ZipTestEntry)
using FileMap = QMap<QString, QByteArray>;
Q_DECLARE_METATYPE(FileMap)

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// Every entry below root with its kind and contents, links not followed.
QMap<QString, QString> snapshot(const QString& root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        const QString relative = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink()) {
            entries.insert(relative, QStringLiteral("link ") + info.symLinkTarget());
        } else if (info.isDir()) {
            entries.insert(relative, QStringLiteral("folder"));
        } else {
            QFile file(info.filePath());
            const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("?");
            entries.insert(relative, QStringLiteral("file ") +
                                         QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
        }
    }
    return entries;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A small image with the marker inside filler bytes.
QByteArray imageWith(const QByteArray& marker)
{
    QByteArray image(4096, 'u');
    image.replace(1000, marker.size(), marker);
    return image;
}

// A complete package for the QB18 (model index 7).
FileMap fullPackage(const QByteArray& image = imageWith("QB18"))
{
    return {
        {QStringLiteral("auto_update.txt"), "estar scripts/[[kernel.es\n"},
        {QStringLiteral("scripts/[[kernel.es"), "tftp 0x21000000 kernel\n"},
        {QStringLiteral("kernel"), QByteArray(3000, 'k')},
        {QStringLiteral("miservice.ubifs"), image},
        {QStringLiteral("boot/ipl.bin"), "ipl"},
        {QStringLiteral("cis.bin"), "cis"},
        {QStringLiteral("u-boot.bin"), "uboot"},
        {QStringLiteral("xmos.dfu"), "xmos"},
        {QStringLiteral("usb_updater.bin"), "updater A"},
        {QStringLiteral("images/auto_update.txt"), "board script A"},
    };
}

FileMap without(FileMap files, const QString& prefix)
{
    for (auto it = files.begin(); it != files.end();) {
        if (it.key() == prefix || it.key().startsWith(prefix + QLatin1Char('/')))
            it = files.erase(it);
        else
            ++it;
    }
    return files;
}

// The four required entries of a package as stored entries, the image naming the QB18.
QVector<ZipTestEntry> requiredStoredEntries()
{
    return {
        {QStringLiteral("auto_update.txt"), "estar\n", 0100644, false},
        {QStringLiteral("scripts/run.es"), "reset\n", 0100644, false},
        {QStringLiteral("kernel"), "kernel", 0100644, false},
        {QStringLiteral("miservice.ubifs"), imageWith("QB18"), 0100644, false},
    };
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_work;
    QByteArray m_path;

    QString rootPath(const QString& name) const { return m_root->filePath(name); }
    QString workPath(const QString& name) const { return m_work + QLatin1Char('/') + name; }

    // Packs the files into a zip archive of their own, compressed, with file modes.
    QString makePackage(const QString& name, const FileMap& files)
    {
        QVector<ZipTestEntry> entries;
        for (auto it = files.begin(); it != files.end(); ++it)
            entries.append({it.key(), it.value(), 0100644, false, true});
        const QString archive = rootPath(name + QStringLiteral(".zip"));
        return writeStoredZip(archive, entries) ? archive : QString();
    }

    // Every path that unpacking files gives: the files and the folders above them, with
    // backslashes taken as folder separators.
    static QStringList unpackedPaths(const FileMap& files)
    {
        QSet<QString> paths;
        for (auto it = files.begin(); it != files.end(); ++it) {
            const QString path = QString(it.key()).replace(QLatin1Char('\\'), QLatin1Char('/'));
            paths.insert(path);
            for (int slash = path.indexOf(QLatin1Char('/')); slash > 0; slash = path.indexOf('/', slash + 1))
                paths.insert(path.left(slash));
        }
        QStringList sorted = paths.values();
        sorted.sort();
        return sorted;
    }

    // Strays that an earlier package or someone else left in the working folder.
    void writeStrays()
    {
        QVERIFY(writeFile(workPath(QStringLiteral("second.DFU")), "stray audio image"));
        QVERIFY(writeFile(workPath(QStringLiteral(".hidden.dfu")), "hidden audio image"));
        QVERIFY(writeFile(workPath(QStringLiteral("rootfs.img")), QByteArray(100000, 'r')));
        QVERIFY(writeFile(workPath(QStringLiteral("old/deep/stale.txt")), "stale"));
        QVERIFY(writeFile(rootPath(QStringLiteral("outside/keep.txt")), "outside"));
        QVERIFY(QFile::link(rootPath(QStringLiteral("outside")), workPath(QStringLiteral("outside-link"))));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        m_path = qgetenv("PATH");
    }

    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        m_work = rootPath(QStringLiteral("work/upgrade"));
        QVERIFY(QDir().mkpath(m_work));
        setUpgradeWorkFolder(m_work);
        QCOMPARE(upgradeWorkFolder(), m_work);
    }

    void cleanup()
    {
        qputenv("PATH", m_path);
        setUpgradeWorkFolder(QString());
        QVERIFY(QFileInfo(rootPath(QStringLiteral("outside/keep.txt"))).isFile() ||
                !QFileInfo::exists(rootPath(QStringLiteral("outside"))));
        Zip7z::setMaxUnpackedSize(0);
        m_root.reset();
    }

    // --- working folder -------------------------------------------------------------------

    void workFolderIsPerUserAndNeverTheProgramDirectory()
    {
        setUpgradeWorkFolder(QString());
        const QString folder = upgradeWorkFolder();
        QCOMPARE(folder, defaultUpgradeWorkFolder());
        QVERIFY(QDir::isAbsolutePath(folder));
        QVERIFY(folder.endsWith(QStringLiteral("/upgrade")));
        QVERIFY(folder.startsWith(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)));
        QVERIFY(QDir(folder) != QDir(QCoreApplication::applicationDirPath()));
        QVERIFY(QDir(folder) != QDir(QDir::currentPath()));

        // A relative folder is made absolute.
        const QString current = QDir::currentPath();
        setUpgradeWorkFolder(QStringLiteral("relative/upgrade"));
        QCOMPARE(upgradeWorkFolder(), QDir::cleanPath(current + QStringLiteral("/relative/upgrade")));
        // Folders that the clean-up must never empty are refused.
        const QString home = QDir::homePath();
        const QString program = QCoreApplication::applicationDirPath();
        const QStringList refused = {QStringLiteral("/"), home, QFileInfo(home).absolutePath(), program,
                                     QFileInfo(program).absolutePath()};
        for (const QString& unsafe : refused) {
            LogCapture log;
            setUpgradeWorkFolder(unsafe);
            QVERIFY2(log.contains(QStringLiteral("Refusing")), qPrintable(unsafe));
            QCOMPARE(upgradeWorkFolder(), QDir::cleanPath(current + QStringLiteral("/relative/upgrade")));
        }
    }

    // --- model detection -------------------------------------------------------------------

    void detectPackageModel_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<Placements>("placements");
        QTest::addColumn<bool>("found");
        QTest::addColumn<int>("model");

        const qint64 small = 4096;
        const qint64 window = kModelSearchWindow;
        QTest::newRow("PX-K27-000") << small << Placements{{10, "PX-K27-000"}} << true << 0;
        QTest::newRow("ARDEN 320") << small << Placements{{10, "ARDEN 320"}} << true << 2;
        QTest::newRow("ARDEN 330") << small << Placements{{10, "ARDEN 330"}} << true << 3;
        QTest::newRow("QB17-000") << small << Placements{{10, "QB17-000"}} << true << 4;
        QTest::newRow("Orbi+TM40") << small << Placements{{10, "Orbi+TM40"}} << true << 5;
        QTest::newRow("QB18Z") << small << Placements{{10, "QB18Z"}} << true << 6;
        QTest::newRow("QB18") << small << Placements{{10, "QB18-"}} << true << 7;
        QTest::newRow("at offset 0") << small << Placements{{0, "QB17-000"}} << true << 4;

        // The pattern order decides, not the position.
        QTest::newRow("QB18 before QB18Z")
            << small << Placements{{100, "QB18-"}, {2000, "QB18Z"}} << true << 6;
        QTest::newRow("ARDEN 320 before PX-K27-000")
            << small << Placements{{10, "ARDEN 320"}, {3000, "PX-K27-000"}} << true << 0;
        QTest::newRow("QB17-000 before ARDEN 330")
            << small << Placements{{10, "QB17-000"}, {3000, "ARDEN 330"}} << true << 3;

        // One byte of any value between "Zephyr" and "TM45".
        QTest::newRow("Zephyr zero byte TM45")
            << small << Placements{{10, QByteArray("Zephyr\0TM45", 11)}} << true << 8;
        QTest::newRow("Zephyr 0xFF TM45") << small << Placements{{10, "Zephyr\xffTM45"}} << true << 8;
        QTest::newRow("Zephyr blank TM45") << small << Placements{{10, "Zephyr TM45"}} << true << 8;
        QTest::newRow("Zephyr question mark TM45") << small << Placements{{10, "Zephyr?TM45"}} << true << 8;
        QTest::newRow("Zephyr without a byte between")
            << small << Placements{{10, "ZephyrTM45"}} << false << 0;
        QTest::newRow("Zephyr with two bytes between")
            << small << Placements{{10, "Zephyr--TM45"}} << false << 0;

        // The plus sign is a byte like any other.
        QTest::newRow("Orbi with another byte") << small << Placements{{10, "OrbiXTM40"}} << false << 0;
        QTest::newRow("case matters") << small << Placements{{10, "qb18z arden 320"}} << false << 0;
        QTest::newRow("truncated patterns")
            << small << Placements{{10, "ARDEN 32-QB1-PX-K27-00-QB17-00"}} << false << 0;
        QTest::newRow("empty image") << qint64(0) << Placements{} << false << 0;

        // The last start offset that is tested, and the first one that is not.
        QTest::newRow("at the last tested offset")
            << window << Placements{{kModelSearchLastOffset, "QB18"}} << true << 7;
        QTest::newRow("Zephyr at the last tested offset")
            << window << Placements{{kModelSearchLastOffset, "Zephyr-TM45"}} << true << 8;
        QTest::newRow("past the last tested offset")
            << window << Placements{{kModelSearchLastOffset + 1, "QB18"}} << false << 0;

        // Longer images: the last block and the rest of the block before it are searched.
        QTest::newRow("12 MiB, only in the first block")
            << 12 * kMiB << Placements{{1000, "QB18"}} << false << 0;
        QTest::newRow("12 MiB, in the last block")
            << 12 * kMiB << Placements{{10 * kMiB + 1000, "QB18"}} << true << 7;
        QTest::newRow("12 MiB, in the tail of the previous block")
            << 12 * kMiB << Placements{{5 * kMiB + 3 * kMiB, "QB17-000"}} << true << 4;
        QTest::newRow("12 MiB, previous block under the last one")
            << 12 * kMiB << Placements{{5 * kMiB + 1000, "QB18"}} << false << 0;
        QTest::newRow("window + 100, first block tail")
            << window + 100 << Placements{{1000, "QB18"}} << true << 7;
        QTest::newRow("window + 100, first block head")
            << window + 100 << Placements{{10, "QB18"}} << false << 0;
        QTest::newRow("window + 100, last block and stale tail meet")
            << window + 100 << Placements{{window + 98, "QB"}, {100, "18"}} << true << 7;
        QTest::newRow("across the block boundary")
            << window + 100 << Placements{{window - 2, "QB18"}} << false << 0;
        QTest::newRow("two whole blocks, only in the first")
            << 2 * window << Placements{{1000, "QB18"}} << false << 0;
        QTest::newRow("two whole blocks, in the second")
            << 2 * window << Placements{{window + 1000, "QB18"}} << true << 7;
    }

    void detectPackageModel()
    {
        QFETCH(qint64, size);
        QFETCH(Placements, placements);
        QFETCH(bool, found);
        QFETCH(int, model);

        QByteArray image(int(size), '\0');
        for (const auto& placement : placements)
            image.replace(int(placement.first), placement.second.size(), placement.second);
        QCOMPARE(image.size(), int(size));
        QVERIFY(writeFile(workPath(QStringLiteral("miservice.ubifs")), image));

        int detected = 123;
        LogCapture log;
        QCOMPARE(::detectPackageModel(detected), found);
        QCOMPARE(detected, found ? model : 123);
        QVERIFY(log.contains(QStringLiteral("model file: ") + workPath(QStringLiteral("miservice.ubifs"))));
    }

    void detectPackageModel_unreadable_data()
    {
        QTest::addColumn<bool>("asFolder");
        QTest::newRow("missing image") << false;
        QTest::newRow("folder instead of a file") << true;
    }

    void detectPackageModel_unreadable()
    {
        QFETCH(bool, asFolder);
        if (asFolder) {
            QVERIFY(QDir().mkpath(workPath(QStringLiteral("miservice.ubifs"))));
            QVERIFY(writeFile(workPath(QStringLiteral("miservice.ubifs/QB18")), "QB18"));
        }
        int model = 123;
        LogCapture log;
        QVERIFY(!::detectPackageModel(model));
        QCOMPARE(model, 123);
        QVERIFY(log.contains(QStringLiteral("can't open file")) ||
                log.contains(QStringLiteral("Cannot read the model image")));
    }

    // --- file operations ---------------------------------------------------------------------

    void deletePath_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("result");
        QTest::addColumn<bool>("logged");
        QTest::newRow("empty path") << "empty" << false << false;
        QTest::newRow("missing path") << "missing" << false << false;
        QTest::newRow("file") << "file" << true << true;
        QTest::newRow("folder with contents") << "folder" << true << true;
        QTest::newRow("link to a folder") << "link" << true << true;
        QTest::newRow("dangling link") << "dangling" << true << true;
    }

    void deletePath()
    {
        QFETCH(QString, kind);
        QFETCH(bool, result);
        QFETCH(bool, logged);

        const QString target = rootPath(QStringLiteral("target"));
        QVERIFY(writeFile(target + QStringLiteral("/keep.txt"), "keep"));
        QString path = workPath(QStringLiteral("entry"));
        if (kind == QLatin1String("empty")) {
            path.clear();
        } else if (kind == QLatin1String("file")) {
            QVERIFY(writeFile(path, "data"));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(writeFile(path + QStringLiteral("/a/b/c.txt"), "deep"));
            QVERIFY(writeFile(path + QStringLiteral("/d.txt"), "flat"));
        } else if (kind == QLatin1String("link")) {
            QVERIFY(QFile::link(target, path));
        } else if (kind == QLatin1String("dangling")) {
            QVERIFY(QFile::link(rootPath(QStringLiteral("gone")), path));
        }

        LogCapture log;
        QCOMPARE(::deletePath(path), result);
        QCOMPARE(!LogCapture::lines().isEmpty(), logged);
        if (logged)
            QCOMPARE(LogCapture::lines().first(), QStringLiteral("DeletePath: ") + path);
        if (kind == QLatin1String("file"))
            QVERIFY(log.contains(QStringLiteral("removeFinished: ") + path));
        QVERIFY(!QFileInfo(workPath(QStringLiteral("entry"))).exists());
        QVERIFY(!QFileInfo(workPath(QStringLiteral("entry"))).isSymLink());
        // What a link pointed to is never touched.
        QCOMPARE(readFile(target + QStringLiteral("/keep.txt")), QByteArray("keep"));
    }

    void pathExists_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("exists");
        QTest::newRow("empty") << "empty" << false;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("file") << "file" << true;
        QTest::newRow("folder") << "folder" << true;
    }

    void pathExists()
    {
        QFETCH(QString, kind);
        QFETCH(bool, exists);
        QString path = workPath(QStringLiteral("entry"));
        if (kind == QLatin1String("empty"))
            path.clear();
        else if (kind == QLatin1String("file"))
            QVERIFY(writeFile(path, "x"));
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkpath(path));
        QCOMPARE(::pathExists(path), exists);
    }

    void removeUpgradeFiles_data()
    {
        // How the two entries that a later package may rely on are found in the working folder.
        QTest::addColumn<QString>("loaders");
        // The clearing at the end of an outcome (clearUpgradeWorkFolder) instead of the clean-up.
        QTest::addColumn<bool>("completely");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("updater file and images folder")
            << "plain" << false
            << QStringList({"images", "images/auto_update.txt", "images/chip.img", "usb_updater.bin"});
        QTest::newRow("no loaders") << "none" << false << QStringList();
        QTest::newRow("updater as a folder, images as a file") << "swapped" << false << QStringList();
        QTest::newRow("both as links to outside") << "links" << false << QStringList();
        QTest::newRow("end of an outcome: updater file and images folder")
            << "plain" << true << QStringList();
        QTest::newRow("end of an outcome: both as links to outside") << "links" << true << QStringList();
    }

    void removeUpgradeFiles()
    {
        QFETCH(QString, loaders);
        QFETCH(bool, completely);
        QFETCH(QStringList, kept);
        // Every entry a package names, some as folders with contents, and strays of every kind.
        const QStringList packageEntries = {"auto_update.txt", "boot/ipl.bin", "scripts/a/b.es",
                                            "kernel/zImage",   "cis.bin",      "u-boot.bin",
                                            "miservice.ubifs", "xmos.dfu"};
        for (const QString& name : packageEntries)
            QVERIFY(writeFile(workPath(name), "x"));
        writeStrays();
        if (loaders == QLatin1String("plain")) {
            QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "updater"));
            QVERIFY(writeFile(workPath(QStringLiteral("images/auto_update.txt")), "board"));
            QVERIFY(writeFile(workPath(QStringLiteral("images/chip.img")), "chip"));
        } else if (loaders == QLatin1String("swapped")) {
            QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin/inner")), "x"));
            QVERIFY(writeFile(workPath(QStringLiteral("images")), "x"));
        } else if (loaders == QLatin1String("links")) {
            QVERIFY(writeFile(rootPath(QStringLiteral("outside/usb_updater.bin")), "outside"));
            QVERIFY(QFile::link(rootPath(QStringLiteral("outside/usb_updater.bin")),
                                workPath(QStringLiteral("usb_updater.bin"))));
            QVERIFY(QFile::link(rootPath(QStringLiteral("outside")), workPath(QStringLiteral("images"))));
        }
        // Beside the working folder (where the program could live): never touched.
        for (const QString& name : QStringList{"boot", "kernel", "scripts", "auto_update.txt"})
            QVERIFY(writeFile(rootPath(QStringLiteral("work/") + name), "program"));
        const auto beside = snapshot(rootPath(QStringLiteral("work")));
        const auto outside = snapshot(rootPath(QStringLiteral("outside")));
        QVERIFY(!outside.isEmpty());

        LogCapture log;
        if (completely)
            QVERIFY(::clearUpgradeWorkFolder());
        else
            ::removeUpgradeFiles();
        QCOMPARE(LogCapture::lines().value(0), QStringLiteral("REMOVE UPGRADEFILE!!!"));
        QVERIFY(log.contains(QStringLiteral("DeletePath: ") + workPath(QStringLiteral("second.DFU"))));

        QCOMPARE(snapshot(m_work).keys(), kept);
        auto expected = beside;
        for (auto it = expected.begin(); it != expected.end();)
            it = it.key().startsWith(QLatin1String("upgrade/")) ? expected.erase(it) : std::next(it);
        for (const QString& name : kept)
            expected.insert(QStringLiteral("upgrade/") + name,
                            beside.value(QStringLiteral("upgrade/") + name));
        QCOMPARE(snapshot(rootPath(QStringLiteral("work"))), expected);
        // What the links pointed to is still there.
        QCOMPARE(snapshot(rootPath(QStringLiteral("outside"))), outside);
    }

    void removeUpgradeFilesLeavesAForeignFolderAlone()
    {
        // The working folder itself is a link: emptying it would empty the folder it points to.
        const QString elsewhere = rootPath(QStringLiteral("elsewhere"));
        QVERIFY(writeFile(elsewhere + QStringLiteral("/precious.txt"), "precious"));
        QVERIFY(QDir(m_work).removeRecursively());
        QVERIFY(QFile::link(elsewhere, m_work));
        const auto before = snapshot(elsewhere);

        LogCapture log;
        ::removeUpgradeFiles();
        QVERIFY(log.contains(QStringLiteral("is a symbolic link")));
        QCOMPARE(snapshot(elsewhere), before);
        // Nor does the clearing at the end of an outcome.
        QVERIFY(!::clearUpgradeWorkFolder());
        QCOMPARE(snapshot(elsewhere), before);
        QCOMPARE(
            packageOutcomeName(::preparePackage(makePackage(QStringLiteral("full"), fullPackage()), true, 7)),
            QStringLiteral("PackageFormatWrong"));
        QCOMPARE(snapshot(elsewhere), before);
    }

    void checkUpgradeFiles_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::addColumn<bool>("complete");
        QTest::newRow("all present") << QString() << true;
        QTest::newRow("no auto_update.txt") << "auto_update.txt" << false;
        QTest::newRow("no scripts") << "scripts" << false;
        QTest::newRow("no kernel") << "kernel" << false;
        QTest::newRow("no miservice.ubifs") << "miservice.ubifs" << false;
    }

    void checkUpgradeFiles()
    {
        QFETCH(QString, missing);
        QFETCH(bool, complete);
        // scripts as a folder, kernel as a file: either kind counts.
        const FileMap files = {
            {"auto_update.txt", "a"}, {"scripts/x.es", "s"}, {"kernel", "k"}, {"miservice.ubifs", "m"}};
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (missing.isEmpty() || !it.key().startsWith(missing))
                QVERIFY(writeFile(workPath(it.key()), it.value()));
        }
        // The board's copy inside "images" does not stand in for a missing entry.
        QVERIFY(writeFile(workPath(QStringLiteral("images/auto_update.txt")), "board"));
        LogCapture log;
        QCOMPARE(::checkUpgradeFiles(), complete);
        QVERIFY(LogCapture::lines().isEmpty());
    }

    void listFilesBySuffix()
    {
        for (const QString& name :
             QStringList{"b.DFU", "a.dfu", "x.tar.dfu", "c.Dfu.bak", "d.txt", "dfu", ".dfu", ".x.dfu"})
            QVERIFY(writeFile(workPath(name), "x"));
        QVERIFY(QDir().mkpath(workPath(QStringLiteral("folder.dfu"))));
        QVERIFY(QFile::link(workPath(QStringLiteral("a.dfu")), workPath(QStringLiteral("link.dfu"))));
        QVERIFY(writeFile(workPath(QStringLiteral("images/inner.dfu")), "x"));

        QFileInfoList found = {QFileInfo(QStringLiteral("/stale/entry.dfu"))};
        // Hidden files count like any other.
        QCOMPARE(::listFilesBySuffix(QStringLiteral("dfu"), found), 5);
        QStringList names;
        for (const QFileInfo& info : found)
            names << info.fileName();
        QCOMPARE(names, QStringList({".dfu", ".x.dfu", "a.dfu", "b.DFU", "x.tar.dfu"}));
        QCOMPARE(found.first().absolutePath(), m_work);

        QCOMPARE(::listFilesBySuffix(QStringLiteral("BAK"), found), 1);
        QCOMPARE(found.first().fileName(), QStringLiteral("c.Dfu.bak"));
        QCOMPARE(::listFilesBySuffix(QStringLiteral("bin"), found), 0);
        QVERIFY(found.isEmpty());
    }

    // --- unpacking ------------------------------------------------------------------------------

    void unpackingNeedsNoArchiverProgram()
    {
        const QString archive = makePackage(QStringLiteral("full"), fullPackage());
        QVERIFY(!archive.isEmpty());
        const QString emptyBin = rootPath(QStringLiteral("empty-bin"));
        QVERIFY(QDir().mkpath(emptyBin));
        qputenv("PATH", emptyBin.toLocal8Bit());

        QString message = QStringLiteral("stale");
        QVERIFY(Zip7z::prepareTools(message));
        QCOMPARE(message, QStringLiteral("The file check is complete and normal."));
        const QString output = rootPath(QStringLiteral("out"));
        QVERIFY(Zip7z::extract(archive, output, message));
        QCOMPARE(readFile(output + QStringLiteral("/scripts/[[kernel.es")),
                 QByteArray("tftp 0x21000000 kernel\n"));
        QCOMPARE(packageOutcomeName(::preparePackage(archive, true, 7)), QStringLiteral("PackageReady"));
    }

    void extractKeepsInnerPaths()
    {
        const FileMap files = fullPackage();
        const QString archive = makePackage(QStringLiteral("full"), files);
        QVERIFY(!archive.isEmpty());
        const QString output = rootPath(QStringLiteral("out"));
        QVERIFY(writeFile(output + QStringLiteral("/kernel"), "older kernel"));

        QString message;
        QVERIFY(Zip7z::extract(archive, output, message));
        QVERIFY(!message.isEmpty());
        for (auto it = files.begin(); it != files.end(); ++it)
            QCOMPARE(readFile(output + QLatin1Char('/') + it.key()), it.value());
    }

    void extractRelativeArchiveNamedLikeASwitch()
    {
        const QString archive = makePackage(QStringLiteral("-pkg"), fullPackage());
        QVERIFY(!archive.isEmpty());
        const QString current = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_root->path()));
        QString message;
        const bool extracted = Zip7z::extract(QStringLiteral("-pkg.zip"), QStringLiteral("out"), message);
        QVERIFY(QDir::setCurrent(current));
        QVERIFY(extracted);
        QCOMPARE(readFile(rootPath(QStringLiteral("out/usb_updater.bin"))), QByteArray("updater A"));
    }

    // --- package preparation -----------------------------------------------------------------

    void preparePackage_data()
    {
        QTest::addColumn<FileMap>("files");
        QTest::addColumn<bool>("checkModel");
        QTest::addColumn<int>("cameraModel");
        QTest::addColumn<PackageOutcome>("outcome");

        const FileMap full = fullPackage();
        QTest::newRow("ready") << full << true << 7 << PackageOutcome::PackageReady;
        QTest::newRow("ready, Zephyr")
            << fullPackage(imageWith("Zephyr_TM45")) << true << 8 << PackageOutcome::PackageReady;
        QTest::newRow("ready without optional entries")
            << without(without(without(full, "boot"), "usb_updater.bin"), "images") << true << 7
            << PackageOutcome::PackageReady;
        QTest::newRow("mismatch") << full << true << 6 << PackageOutcome::PackageMismatch;
        QTest::newRow("mismatch, unknown camera") << full << true << 255 << PackageOutcome::PackageMismatch;
        QTest::newRow("corrupted") << fullPackage(imageWith("no model here")) << true << 7
                                   << PackageOutcome::PackageCorrupted;
        QTest::newRow("recovery skips the model")
            << fullPackage(imageWith("no model here")) << false << 255 << PackageOutcome::PackageReady;
        for (const QString& entry : QStringList{"auto_update.txt", "scripts", "kernel", "miservice.ubifs"}) {
            QTest::addRow("no %s", qPrintable(entry))
                << without(full, entry) << true << 7 << PackageOutcome::PackageFormatWrong;
            QTest::addRow("recovery, no %s", qPrintable(entry))
                << without(full, entry) << false << 7 << PackageOutcome::PackageFormatWrong;
        }
        FileMap nested;
        for (auto it = full.begin(); it != full.end(); ++it)
            nested.insert(QStringLiteral("firmware/") + it.key(), it.value());
        QTest::newRow("entries one folder down") << nested << true << 7 << PackageOutcome::PackageFormatWrong;
        // Made on Windows: backslashes between folders fill the folders.
        FileMap backslashes;
        for (auto it = full.begin(); it != full.end(); ++it)
            backslashes.insert(QString(it.key()).replace(QLatin1Char('/'), QLatin1Char('\\')), it.value());
        backslashes.insert(QStringLiteral("images\\logo\\logo.bin"), "logo");
        QTest::newRow("backslashes between folders")
            << backslashes << true << 7 << PackageOutcome::PackageReady;
        QTest::newRow("backslashes, recovery")
            << without(backslashes, "usb_updater.bin") << false << 255 << PackageOutcome::PackageReady;
    }

    void preparePackage()
    {
        QFETCH(FileMap, files);
        QFETCH(bool, checkModel);
        QFETCH(int, cameraModel);
        QFETCH(PackageOutcome, outcome);

        const QString archive = makePackage(QStringLiteral("package"), files);
        QVERIFY(!archive.isEmpty());
        const QString current = QDir::currentPath();
        writeStrays();

        QString reason = QStringLiteral("stale");
        QCOMPARE(packageOutcomeName(::preparePackage(archive, checkModel, cameraModel, &reason)),
                 packageOutcomeName(outcome));
        QCOMPARE(reason.isEmpty(), outcome == PackageOutcome::PackageReady);
        QCOMPARE(QDir::currentPath(), current);
        // The working folder holds the package and nothing else: no strays, no staging folder.
        QCOMPARE(snapshot(m_work).keys(), unpackedPaths(files));
        for (auto it = files.begin(); it != files.end(); ++it)
            QCOMPARE(readFile(workPath(QString(it.key()).replace(QLatin1Char('\\'), QLatin1Char('/')))),
                     it.value());
    }

    void preparePackageReplacesThePreviousPackage()
    {
        FileMap first = fullPackage();
        first.insert(QStringLiteral("images/only-first.txt"), "first");
        const QString archiveA = makePackage(QStringLiteral("a"), first);
        QCOMPARE(packageOutcomeName(::preparePackage(archiveA, true, 7)), QStringLiteral("PackageReady"));

        // Without scripts and without the kept entries: the stale scripts of the first package
        // must not complete it, the kept entries stay.
        const QString archiveB =
            makePackage(QStringLiteral("b"),
                        without(without(without(fullPackage(), "scripts"), "usb_updater.bin"), "images"));
        QCOMPARE(packageOutcomeName(::preparePackage(archiveB, true, 7)),
                 QStringLiteral("PackageFormatWrong"));
        QVERIFY(!QFileInfo::exists(workPath(QStringLiteral("scripts"))));
        QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("updater A"));

        // A complete package without usb_updater.bin uses the kept one; its images folder replaces
        // the kept one as a whole, so no board file of the first package is left behind.
        FileMap third = without(fullPackage(imageWith("QB18Z")), "usb_updater.bin");
        third.insert(QStringLiteral("images/auto_update.txt"), "board script C");
        const QString archiveC = makePackage(QStringLiteral("c"), third);
        QCOMPARE(packageOutcomeName(::preparePackage(archiveC, true, 6)), QStringLiteral("PackageReady"));
        QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("updater A"));
        QCOMPARE(readFile(workPath(QStringLiteral("images/auto_update.txt"))), QByteArray("board script C"));
        QVERIFY(!QFileInfo::exists(workPath(QStringLiteral("images/only-first.txt"))));
        QCOMPARE(readFile(workPath(QStringLiteral("miservice.ubifs"))), imageWith("QB18Z"));
        QStringList expected = unpackedPaths(third) << QStringLiteral("usb_updater.bin");
        expected.sort();
        QCOMPARE(snapshot(m_work).keys(), expected);
    }

    void preparePackageWithADamagedEntry_data()
    {
        QTest::addColumn<ZipTestEntry>("image");
        QTest::addColumn<PackageOutcome>("outcome");
        const ZipTestEntry image = requiredStoredEntries().last();
        const auto changed = [image](bool wrongCrc, bool deflate, qint64 declaredSize) {
            ZipTestEntry entry = image;
            entry.wrongCrc = wrongCrc;
            entry.deflate = deflate;
            entry.declaredSize = declaredSize;
            return entry;
        };
        QTest::newRow("intact") << image << PackageOutcome::PackageReady;
        QTest::newRow("intact, deflated") << changed(false, true, -1) << PackageOutcome::PackageReady;
        QTest::newRow("wrong checksum") << changed(true, false, -1) << PackageOutcome::PackageFormatWrong;
        QTest::newRow("wrong checksum, deflated")
            << changed(true, true, -1) << PackageOutcome::PackageFormatWrong;
        QTest::newRow("declares more than it holds")
            << changed(false, true, image.data.size() + 1) << PackageOutcome::PackageFormatWrong;
    }

    void preparePackageWithADamagedEntry()
    {
        QFETCH(ZipTestEntry, image);
        QFETCH(PackageOutcome, outcome);
        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));

        QVector<ZipTestEntry> entries = requiredStoredEntries();
        entries.prepend({QStringLiteral("usb_updater.bin"), "new", 0100644, false});
        entries.last() = image;
        const QString archive = rootPath(QStringLiteral("stored.zip"));
        QVERIFY(writeStoredZip(archive, entries));

        LogCapture log;
        QCOMPARE(packageOutcomeName(::preparePackage(archive, true, 7)), packageOutcomeName(outcome));
        if (outcome == PackageOutcome::PackageFormatWrong) {
            QVERIFY(log.contains(QStringLiteral("Cannot extract the upgrade package")));
            QVERIFY(log.contains(QStringLiteral("damaged entry \"miservice.ubifs\"")));
            // Nothing of the damaged package reaches the working folder.
            QCOMPARE(snapshot(m_work).keys(), QStringList({"usb_updater.bin"}));
            QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("previous"));
        } else {
            QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("new"));
            QCOMPARE(readFile(workPath(QStringLiteral("scripts/run.es"))), QByteArray("reset\n"));
            QCOMPARE(readFile(workPath(QStringLiteral("miservice.ubifs"))), image.data);
            QCOMPARE(snapshot(m_work).size(), 6);
        }
    }

    void preparePackageOfAFileThatIsNoZip_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("reason");
        QTest::newRow("text") << QByteArray("this is not an archive\n") << true
                              << "not a readable zip archive";
        QTest::newRow("empty file") << QByteArray() << true << "not a readable zip archive";
        QTest::newRow("truncated zip")
            << QByteArray("PK\x03\x04\x14\x00\x00\x00") << true << "unreadable entry after 0 entries";
        QTest::newRow("missing file") << QByteArray() << false << "upgrade package not found";
    }

    void preparePackageOfAFileThatIsNoZip()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
        QFETCH(QString, reason);
        // A complete previous package: its required entries must not make the bad one pass.
        const FileMap previous = fullPackage();
        for (auto it = previous.begin(); it != previous.end(); ++it)
            QVERIFY(writeFile(workPath(it.key()), it.value()));
        const QString archive = rootPath(QStringLiteral("bad.zip"));
        if (create)
            QVERIFY(writeFile(archive, content));

        LogCapture log;
        QCOMPARE(packageOutcomeName(::preparePackage(archive, true, 7)),
                 QStringLiteral("PackageFormatWrong"));
        QVERIFY(log.contains(QStringLiteral("Cannot extract the upgrade package")));
        QVERIFY2(log.contains(reason), qPrintable(LogCapture::lines().join('\n')));
        QCOMPARE(snapshot(m_work).keys(),
                 QStringList({"images", "images/auto_update.txt", "usb_updater.bin"}));
    }

    // --- unsafe packages -------------------------------------------------------------------------

    void unsafePackage_data()
    {
        QTest::addColumn<ZipTestEntry>("extra");
        // The refusal's reason as logged; empty: the package is accepted.
        QTest::addColumn<QString>("reason");

        // Harmless entries: accepted, so the refusals below are the hostile entry's doing.
        QTest::newRow("control: dots in names") << ZipTestEntry{"scripts/..hidden..es", "x", 0100644} << "";
        QTest::newRow("control: file without mode") << ZipTestEntry{"boot/ipl.bin", "x", 0} << "";
        QTest::newRow("control: backslashes between folders") << ZipTestEntry{"boot\\ipl.bin", "x", 0} << "";
        QTest::newRow("control: non-ASCII name") << ZipTestEntry{"scripts/sch\u00f6n.es", "x", 0100644} << "";
        // libarchive reads a named-pipe mode in a zip as a plain file (archivers write it by
        // mistake); a plain file is what is written, never a pipe.
        QTest::newRow("control: named-pipe mode") << ZipTestEntry{"cis.bin", "x", 0010644} << "";
        QTest::newRow("control: deflated")
            << ZipTestEntry{"cis.bin", QByteArray(5000, 'c'), 0100644, false, true} << "";

        QTest::newRow("parent folder") << ZipTestEntry{"../evil.txt", "evil", 0100644} << "parent-folder";
        QTest::newRow("two parent folders")
            << ZipTestEntry{"../../evil.txt", "evil", 0100644} << "parent-folder";
        QTest::newRow("parent folder inside")
            << ZipTestEntry{"scripts/../../evil.txt", "evil", 0100644} << "parent-folder";
        QTest::newRow("parent folder, backslashes")
            << ZipTestEntry{"..\\..\\evil.txt", "evil", 0} << "parent-folder";
        QTest::newRow("parent folder inside, backslashes")
            << ZipTestEntry{"scripts\\..\\..\\evil.txt", "evil", 0} << "parent-folder";
        QTest::newRow("absolute path")
            << ZipTestEntry{"@ROOT@/outside/evil.txt", "evil", 0100644} << "absolute path";
        QTest::newRow("absolute system path")
            << ZipTestEntry{"/etc/deckctl-evil.txt", "evil", 0100644} << "absolute path";
        QTest::newRow("absolute path, backslashes")
            << ZipTestEntry{"\\evil.txt", "evil", 0} << "absolute path";
        QTest::newRow("network path")
            << ZipTestEntry{"\\\\server\\share\\evil.txt", "evil", 0} << "absolute path";
        QTest::newRow("drive letter") << ZipTestEntry{"C:\\evil.txt", "evil", 0} << "absolute path";
        QTest::newRow("link to a folder outside")
            << ZipTestEntry{"images", "@ROOT@", 0120777} << "link entry";
        QTest::newRow("relative link upwards") << ZipTestEntry{"boot", "../..", 0120777} << "link entry";
        QTest::newRow("link to a system file")
            << ZipTestEntry{"cis.bin", "/etc/passwd", 0120777} << "link entry";
        QTest::newRow("character device") << ZipTestEntry{"device", "", 0020644} << "special file";
        QTest::newRow("block device") << ZipTestEntry{"device", "", 0060644} << "special file";
        QTest::newRow("socket") << ZipTestEntry{"socket", "", 0140755} << "special file";
        QTest::newRow("set-user-id program")
            << ZipTestEntry{"boot/tool", "#!/bin/sh\n", 0104755} << "set-user-id";
        QTest::newRow("set-group-id program")
            << ZipTestEntry{"boot/tool", "#!/bin/sh\n", 0102755} << "set-group-id";
        // A name with a newline: refused as what it is, and logged on one line.
        QTest::newRow("newline in a name")
            << ZipTestEntry{"scripts/run\n.es", "x", 0100644} << "control character: \"scripts/run\\n.es\"";
        QTest::newRow("newline before a parent folder")
            << ZipTestEntry{"a\n../../evil.txt", "evil", 0100644} << "control character";
        QTest::newRow("tab in a name") << ZipTestEntry{"kernel\tx", "x", 0100644} << "control character";
        QTest::newRow("encrypted") << ZipTestEntry{"cis.bin", "cis", 0100644, false, false, -1, true}
                                   << "encrypted entry";
        // The header says 100 bytes; the data inflates to 4 MiB.
        QTest::newRow("header lies about the size")
            << ZipTestEntry{"boot/zeros.bin", QByteArray(int(4 * kMiB), '\0'), 0100644, false, true, 100}
            << "more data than its header declares (100 bytes): \"boot/zeros.bin\"";
    }

    void unsafePackage()
    {
        QFETCH(ZipTestEntry, extra);
        QFETCH(QString, reason);
        extra.name.replace(QStringLiteral("@ROOT@"), m_root->path());
        extra.data.replace("@ROOT@", m_root->path().toUtf8());

        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));
        QVector<ZipTestEntry> entries = requiredStoredEntries();
        entries.append(extra);
        const QString archive = rootPath(QStringLiteral("hostile.zip"));
        QVERIFY(writeStoredZip(archive, entries));
        const auto before = snapshot(m_root->path());

        LogCapture log;
        QString why;
        const PackageOutcome outcome = ::preparePackage(archive, true, 7, &why);
        if (reason.isEmpty()) {
            QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageReady"));
            const QString path = QString(extra.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
            QCOMPARE(readFile(workPath(path)), extra.data);
            return;
        }
        QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageFormatWrong"));
        QVERIFY2(log.contains(QStringLiteral("Refusing the upgrade package")), qPrintable(why));
        QVERIFY2(log.contains(reason), qPrintable(LogCapture::lines().join('\n')));
        QVERIFY2(why.contains(reason), qPrintable(why));
        // Every log line is one line.
        for (const QString& line : LogCapture::lines())
            QVERIFY2(!line.contains(QLatin1Char('\n')), qPrintable(line));
        QCOMPARE(snapshot(m_root->path()), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/etc/deckctl-evil.txt")));
    }

    void sizeBound_data()
    {
        // The bound relative to the bytes the package really unpacks to; -1: the default bound.
        QTest::addColumn<qint64>("boundBelowTotal");
        // What the header of the big entry declares; -1: its real size.
        QTest::addColumn<qint64>("declaredSize");
        QTest::addColumn<QString>("reason");
        QTest::newRow("one byte over the bound") << qint64(1) << qint64(-1) << "exceeds the limit";
        QTest::newRow("exactly the bound") << qint64(0) << qint64(-1) << "";
        QTest::newRow("default bound") << qint64(-1) << qint64(-1) << "";
        // The declared sizes fit the bound with room to spare; the bytes written would not.
        QTest::newRow("header hides the size")
            << 2 * kMiB << qint64(1000) << "more data than its header declares";
    }

    void sizeBound()
    {
        QFETCH(qint64, boundBelowTotal);
        QFETCH(qint64, declaredSize);
        QFETCH(QString, reason);

        QVector<ZipTestEntry> entries = requiredStoredEntries();
        entries.append({QStringLiteral("boot/zeros.bin"), QByteArray(int(4 * kMiB), '\0'), 0100644, false,
                        true, declaredSize});
        qint64 total = 0;
        for (const ZipTestEntry& entry : entries)
            total += entry.data.size();
        const QString archive = rootPath(QStringLiteral("package.zip"));
        QVERIFY(writeStoredZip(archive, entries));
        QVERIFY(QFileInfo(archive).size() < total / 4);
        if (boundBelowTotal >= 0)
            Zip7z::setMaxUnpackedSize(total - boundBelowTotal);

        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));
        const auto before = snapshot(m_root->path());
        LogCapture log;
        const PackageOutcome outcome = ::preparePackage(archive, true, 7);
        if (reason.isEmpty()) {
            QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageReady"));
            QCOMPARE(readFile(workPath(QStringLiteral("boot/zeros.bin"))).size(), int(4 * kMiB));
            return;
        }
        QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageFormatWrong"));
        QVERIFY(log.contains(QStringLiteral("Refusing the upgrade package")));
        QVERIFY2(log.contains(reason), qPrintable(LogCapture::lines().join('\n')));
        QCOMPARE(snapshot(m_root->path()), before);
    }

    void checkPackageEntry_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<uint>("mode");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("soFar");
        QTest::addColumn<QString>("flags");
        // The path written, with a trailing "/" for a folder; empty when refused.
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");

        const qint64 none = 0;
        QTest::newRow("file") << "kernel" << 0100644u << qint64(600) << none << ""
                              << "kernel"
                              << "";
        QTest::newRow("file in folders") << "scripts/a/b.es" << 0100644u << qint64(1) << none << ""
                                         << "scripts/a/b.es"
                                         << "";
        QTest::newRow("folder") << "scripts/" << 040755u << qint64(0) << none << ""
                                << "scripts/"
                                << "";
        QTest::newRow("folder without type") << "scripts/" << 0u << qint64(0) << none << ""
                                             << "scripts/"
                                             << "";
        QTest::newRow("file without type") << "boot/ipl.bin" << 0u << qint64(3) << none << ""
                                           << "boot/ipl.bin"
                                           << "";
        QTest::newRow("backslashes") << "images\\logo.bin" << 0u << qint64(3) << none << ""
                                     << "images/logo.bin"
                                     << "";
        QTest::newRow("folder with a backslash") << "images\\" << 0u << qint64(0) << none << ""
                                                 << "images/"
                                                 << "";
        QTest::newRow("mixed separators and dots")
            << "./images\\\\sub/./logo.bin" << 0100644u << qint64(3) << none << ""
            << "images/sub/logo.bin"
            << "";
        QTest::newRow("dots inside names") << "..hidden../..." << 0100644u << qint64(3) << none << ""
                                           << "..hidden../..."
                                           << "";
        QTest::newRow("non-ASCII") << "scripts/sch\u00f6n.es" << 0100644u << qint64(3) << none << ""
                                   << "scripts/sch\u00f6n.es"
                                   << "";
        QTest::newRow("sticky bit") << "kernel" << 0101644u << qint64(3) << none << ""
                                    << "kernel"
                                    << "";
        QTest::newRow("32 folders deep") << QString("a/").repeated(31) + "f" << 0100644u << qint64(3) << none
                                         << "" << QString("a/").repeated(31) + "f"
                                         << "";

        // The running total.
        QTest::newRow("sizes add up to the bound") << "kernel" << 0100644u << qint64(400) << qint64(600) << ""
                                                   << "kernel"
                                                   << "";
        QTest::newRow("sizes add up past the bound")
            << "kernel" << 0100644u << qint64(401) << qint64(600) << ""
            << ""
            << "exceeds the limit of 1000 bytes";
        QTest::newRow("huge size") << "kernel" << 0100644u << qint64(9223372036854775807) << qint64(1) << ""
                                   << ""
                                   << "exceeds the limit";
        QTest::newRow("empty file at the bound") << "kernel" << 0100644u << qint64(0) << qint64(1000) << ""
                                                 << "kernel"
                                                 << "";
        QTest::newRow("folder sizes do not count")
            << "scripts/" << 040755u << qint64(5000) << qint64(1000) << ""
            << "scripts/"
            << "";
        QTest::newRow("unknown size") << "kernel" << 0100644u << qint64(-1) << none << ""
                                      << ""
                                      << "unknown size";
        QTest::newRow("bad running total") << "kernel" << 0100644u << qint64(1) << qint64(-5) << ""
                                           << ""
                                           << "exceeds the limit";

        // Kinds and permissions.
        QTest::newRow("symbolic link") << "kernel" << 0120777u << qint64(4) << none << ""
                                       << ""
                                       << "link entry";
        QTest::newRow("hard link") << "kernel" << 0100644u << qint64(0) << none << "hardlink"
                                   << ""
                                   << "link entry";
        QTest::newRow("block device") << "kernel" << 060644u << qint64(0) << none << ""
                                      << ""
                                      << "special file";
        QTest::newRow("character device") << "kernel" << 020644u << qint64(0) << none << ""
                                          << ""
                                          << "special file";
        QTest::newRow("named pipe") << "kernel" << 010644u << qint64(0) << none << ""
                                    << ""
                                    << "special file";
        QTest::newRow("socket") << "kernel" << 0140755u << qint64(0) << none << ""
                                << ""
                                << "special file";
        QTest::newRow("set-user-id") << "kernel" << 0104755u << qint64(3) << none << ""
                                     << ""
                                     << "set-user-id";
        QTest::newRow("set-group-id") << "kernel" << 0102755u << qint64(3) << none << ""
                                      << ""
                                      << "set-group-id";
        QTest::newRow("set-group-id folder") << "boot/" << 042755u << qint64(0) << none << ""
                                             << ""
                                             << "set-group-id";
        QTest::newRow("encrypted") << "kernel" << 0100644u << qint64(3) << none << "encrypted"
                                   << ""
                                   << "encrypted entry";

        // Where it would go.
        QTest::newRow("absolute") << "/kernel" << 0100644u << qint64(3) << none << ""
                                  << ""
                                  << "absolute path";
        QTest::newRow("absolute, backslash") << "\\kernel" << 0100644u << qint64(3) << none << ""
                                             << ""
                                             << "absolute path";
        QTest::newRow("network path") << "\\\\server\\kernel" << 0u << qint64(3) << none << ""
                                      << ""
                                      << "absolute path";
        QTest::newRow("drive letter") << "c:kernel" << 0u << qint64(3) << none << ""
                                      << ""
                                      << "absolute path";
        QTest::newRow("drive letter, backslash") << "C:\\kernel" << 0u << qint64(3) << none << ""
                                                 << ""
                                                 << "absolute path";
        QTest::newRow("parent folder") << "a/../../kernel" << 0100644u << qint64(3) << none << ""
                                       << ""
                                       << "parent-folder";
        QTest::newRow("parent folder, backslash") << "..\\kernel" << 0u << qint64(3) << none << ""
                                                  << ""
                                                  << "parent-folder";
        QTest::newRow("parent folder inside, backslashes")
            << "scripts\\..\\..\\kernel" << 0u << qint64(3) << none << ""
            << ""
            << "parent-folder";
        QTest::newRow("parent folder alone") << ".." << 040755u << qint64(0) << none << ""
                                             << ""
                                             << "parent-folder";
        QTest::newRow("parent folder last") << "scripts/.." << 040755u << qint64(0) << none << ""
                                            << ""
                                            << "parent-folder";
        QTest::newRow("no name") << "" << 0100644u << qint64(3) << none << ""
                                 << ""
                                 << "without a name";
        QTest::newRow("only dots") << "./." << 040755u << qint64(0) << none << ""
                                   << ""
                                   << "without a name";
        QTest::newRow("33 folders deep")
            << QString("a/").repeated(32) + "f" << 0100644u << qint64(3) << none << ""
            << ""
            << "more than 32 folders deep";
        QTest::newRow("too long") << QString(1025, QLatin1Char('n')) << 0100644u << qint64(3) << none << ""
                                  << ""
                                  << "longer than 1024 characters";

        // Control characters: refused, and shown escaped in the reason.
        QTest::newRow("newline") << "kernel\nPath = kernel" << 0100644u << qint64(3) << none << ""
                                 << ""
                                 << "control character: \"kernel\\nPath = kernel\"";
        QTest::newRow("carriage return") << "kernel\r" << 0100644u << qint64(3) << none << ""
                                         << ""
                                         << "control character: \"kernel\\r\"";
        QTest::newRow("escape") << "kernel\x1b[2J" << 0100644u << qint64(3) << none << ""
                                << ""
                                << "control character: \"kernel\\x1b[2J\"";
        QTest::newRow("delete") << "kernel\x7f" << 0100644u << qint64(3) << none << ""
                                << ""
                                << "control character";
        QTest::newRow("zero") << QString::fromUtf8("ker\0nel", 7) << 0100644u << qint64(3) << none << ""
                              << ""
                              << "control character";
    }

    void checkPackageEntry()
    {
        QFETCH(QString, name);
        QFETCH(uint, mode);
        QFETCH(qint64, size);
        QFETCH(qint64, soFar);
        QFETCH(QString, flags);
        QFETCH(QString, path);
        QFETCH(QString, reason);

        PackageEntry entry;
        entry.name = name;
        entry.mode = mode;
        entry.size = size;
        entry.hardLink = flags == QLatin1String("hardlink");
        entry.encrypted = flags == QLatin1String("encrypted");
        const PackageEntryVerdict verdict = ::checkPackageEntry(entry, soFar, 1000);
        QCOMPARE(verdict.accepted, !path.isEmpty());
        if (verdict.accepted) {
            QVERIFY(verdict.reason.isEmpty());
            QCOMPARE(verdict.path + (verdict.folder ? "/" : ""), path);
        } else {
            QVERIFY(verdict.path.isEmpty());
            QVERIFY2(verdict.reason.contains(reason), qPrintable(verdict.reason));
            QVERIFY(!verdict.reason.contains(QLatin1Char('\n')));
        }
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
