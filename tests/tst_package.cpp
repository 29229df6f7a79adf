#include "upgrade/package.h"
#include "upgrade/zip7z.h"
#include "ziptestutil.h"

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

// Collects every log message while it exists.
class LogCapture
{
public:
    LogCapture() : m_previous(qInstallMessageHandler(&LogCapture::handler)) { lines().clear(); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static QStringList& lines()
    {
        static QStringList captured;
        return captured;
    }
    bool contains(const QString& fragment) const
    {
        for (const QString& line : lines()) {
            if (line.contains(fragment))
                return true;
        }
        return false;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        lines().append(message);
    }
    QtMessageHandler m_previous;
};

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

    // Stages the files in a folder of their own and has the real 7-Zip pack them.
    QString makePackage(const QString& name, const FileMap& files, const QStringList& switches = {})
    {
        const QString stage = rootPath(QStringLiteral("stage-") + name);
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (!writeFile(stage + QLatin1Char('/') + it.key(), it.value()))
                return QString();
        }
        const QString archive = rootPath(name + QStringLiteral(".zip"));
        return addFolderWith7z(archive, stage, switches) == 0 ? archive : QString();
    }

    void requireSevenZip()
    {
        if (sevenZipProgram().isEmpty())
            QSKIP("7-Zip (7zz or 7z) is not installed");
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

        // A relative folder is made absolute; the root directory is refused.
        const QString current = QDir::currentPath();
        setUpgradeWorkFolder(QStringLiteral("relative/upgrade"));
        QCOMPARE(upgradeWorkFolder(), QDir::cleanPath(current + QStringLiteral("/relative/upgrade")));
        {
            LogCapture log;
            setUpgradeWorkFolder(QStringLiteral("/"));
            QVERIFY(log.contains(QStringLiteral("Refusing the root directory")));
        }
        QCOMPARE(upgradeWorkFolder(), QDir::cleanPath(current + QStringLiteral("/relative/upgrade")));
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

    void removeUpgradeFiles()
    {
        // Every package entry, some as folders with contents, plus files that are not the package's.
        const QStringList removed = {"auto_update.txt", "boot/ipl.bin", "scripts/a/b.es",  "kernel/zImage",
                                     "cis.bin",         "u-boot.bin",   "miservice.ubifs", "xmos.dfu"};
        for (const QString& name : removed)
            QVERIFY(writeFile(workPath(name), "x"));
        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "updater"));
        QVERIFY(writeFile(workPath(QStringLiteral("images/auto_update.txt")), "board"));
        QVERIFY(writeFile(workPath(QStringLiteral("other.dfu")), "other"));
        // Beside the working folder (where the program could live): never touched.
        for (const QString& name : QStringList{"boot", "kernel", "scripts", "auto_update.txt"})
            QVERIFY(writeFile(rootPath(QStringLiteral("work/") + name), "program"));
        const auto beside = snapshot(rootPath(QStringLiteral("work")));

        LogCapture log;
        ::removeUpgradeFiles();
        QCOMPARE(LogCapture::lines().value(0), QStringLiteral("REMOVE UPGRADEFILE!!!"));

        auto expected = beside;
        for (auto it = expected.begin(); it != expected.end();) {
            const QString name = it.key();
            bool gone = false;
            for (const QString& entry : removed)
                gone = gone || name == QStringLiteral("upgrade/") + entry.section('/', 0, 0) ||
                       name.startsWith(QStringLiteral("upgrade/") + entry.section('/', 0, 0) + '/');
            it = gone ? expected.erase(it) : std::next(it);
        }
        QCOMPARE(snapshot(rootPath(QStringLiteral("work"))), expected);
        QVERIFY(expected.contains(QStringLiteral("upgrade/usb_updater.bin")));
        QVERIFY(expected.contains(QStringLiteral("upgrade/images/auto_update.txt")));
        QVERIFY(expected.contains(QStringLiteral("boot")));
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
             QStringList{"b.DFU", "a.dfu", "x.tar.dfu", "c.Dfu.bak", "d.txt", "dfu", ".dfu"})
            QVERIFY(writeFile(workPath(name), "x"));
        QVERIFY(QDir().mkpath(workPath(QStringLiteral("folder.dfu"))));
        QVERIFY(QFile::link(workPath(QStringLiteral("a.dfu")), workPath(QStringLiteral("link.dfu"))));
        QVERIFY(writeFile(workPath(QStringLiteral("images/inner.dfu")), "x"));

        QFileInfoList found = {QFileInfo(QStringLiteral("/stale/entry.dfu"))};
        QCOMPARE(::listFilesBySuffix(QStringLiteral("dfu"), found), 4);
        QStringList names;
        for (const QFileInfo& info : found)
            names << info.fileName();
        QCOMPARE(names, QStringList({".dfu", "a.dfu", "b.DFU", "x.tar.dfu"}));
        QCOMPARE(found.first().absolutePath(), m_work);

        QCOMPARE(::listFilesBySuffix(QStringLiteral("BAK"), found), 1);
        QCOMPARE(found.first().fileName(), QStringLiteral("c.Dfu.bak"));
        QCOMPARE(::listFilesBySuffix(QStringLiteral("bin"), found), 0);
        QVERIFY(found.isEmpty());
    }

    // --- 7-Zip ---------------------------------------------------------------------------------

    void prepareToolsFindsSevenZip()
    {
        requireSevenZip();
        QString message = QStringLiteral("stale");
        QVERIFY(Zip7z::prepareTools(message));
        QCOMPARE(message, QStringLiteral("The file check is complete and normal."));
        QVERIFY(QFileInfo(Zip7z::findProgram()).isExecutable());
    }

    void withoutSevenZip()
    {
        requireSevenZip();
        const QString archive = makePackage(QStringLiteral("full"), fullPackage());
        QVERIFY(!archive.isEmpty());
        const QString emptyBin = rootPath(QStringLiteral("empty-bin"));
        QVERIFY(QDir().mkpath(emptyBin));
        qputenv("PATH", emptyBin.toLocal8Bit());

        QString message = QStringLiteral("stale");
        QVERIFY(!Zip7z::prepareTools(message));
        QVERIFY(message.isEmpty());
        QVERIFY(Zip7z::findProgram().isEmpty());

        const QString output = rootPath(QStringLiteral("out"));
        {
            LogCapture log;
            QVERIFY(!Zip7z::extract(archive, output, message));
            QVERIFY(log.contains(QStringLiteral("No 7-Zip program")));
        }
        QCOMPARE(message, QStringLiteral("Unable to perform decompression"));
        QVERIFY(!QFileInfo::exists(output));

        QCOMPARE(packageOutcomeName(::preparePackage(archive, true, 7)),
                 QStringLiteral("PackageFormatWrong"));
        QVERIFY(snapshot(m_work).isEmpty());
    }

    void extractKeepsInnerPaths()
    {
        requireSevenZip();
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
        requireSevenZip();
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
    }

    void preparePackage()
    {
        requireSevenZip();
        QFETCH(FileMap, files);
        QFETCH(bool, checkModel);
        QFETCH(int, cameraModel);
        QFETCH(PackageOutcome, outcome);

        const QString archive = makePackage(QStringLiteral("package"), files);
        QVERIFY(!archive.isEmpty());
        const QString current = QDir::currentPath();

        QCOMPARE(packageOutcomeName(::preparePackage(archive, checkModel, cameraModel)),
                 packageOutcomeName(outcome));
        QCOMPARE(QDir::currentPath(), current);
        QVERIFY(!QFileInfo::exists(m_work + QStringLiteral(".incoming")));
        if (outcome != PackageOutcome::PackageFormatWrong) {
            for (auto it = files.begin(); it != files.end(); ++it)
                QCOMPARE(readFile(workPath(it.key())), it.value());
        }
    }

    void preparePackageReplacesThePreviousPackage()
    {
        requireSevenZip();
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

        // A complete package without usb_updater.bin uses the kept one; its images are merged.
        FileMap third = without(fullPackage(imageWith("QB18Z")), "usb_updater.bin");
        third.insert(QStringLiteral("images/auto_update.txt"), "board script C");
        const QString archiveC = makePackage(QStringLiteral("c"), third);
        QCOMPARE(packageOutcomeName(::preparePackage(archiveC, true, 6)), QStringLiteral("PackageReady"));
        QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("updater A"));
        QCOMPARE(readFile(workPath(QStringLiteral("images/auto_update.txt"))), QByteArray("board script C"));
        QCOMPARE(readFile(workPath(QStringLiteral("images/only-first.txt"))), QByteArray("first"));
        QCOMPARE(readFile(workPath(QStringLiteral("miservice.ubifs"))), imageWith("QB18Z"));
    }

    void preparePackageWithADamagedEntry_data()
    {
        QTest::addColumn<bool>("damaged");
        QTest::addColumn<PackageOutcome>("outcome");
        QTest::newRow("intact") << false << PackageOutcome::PackageReady;
        QTest::newRow("damaged image") << true << PackageOutcome::PackageFormatWrong;
    }

    void preparePackageWithADamagedEntry()
    {
        requireSevenZip();
        QFETCH(bool, damaged);
        QFETCH(PackageOutcome, outcome);
        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));

        QVector<ZipTestEntry> entries = requiredStoredEntries();
        entries.prepend({QStringLiteral("usb_updater.bin"), "new", 0100644, false});
        entries.last().wrongCrc = damaged;
        const QString archive = rootPath(QStringLiteral("stored.zip"));
        QVERIFY(writeStoredZip(archive, entries));

        LogCapture log;
        QCOMPARE(packageOutcomeName(::preparePackage(archive, true, 7)), packageOutcomeName(outcome));
        if (damaged) {
            QVERIFY(log.contains(QStringLiteral("Cannot extract the upgrade package")));
            // Nothing of the damaged package reaches the working folder.
            QCOMPARE(snapshot(m_work).keys(), QStringList({"usb_updater.bin"}));
            QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("previous"));
        } else {
            QCOMPARE(readFile(workPath(QStringLiteral("usb_updater.bin"))), QByteArray("new"));
            QCOMPARE(readFile(workPath(QStringLiteral("scripts/run.es"))), QByteArray("reset\n"));
        }
        QVERIFY(!QFileInfo::exists(m_work + QStringLiteral(".incoming")));
    }

    void preparePackageOfAFileThatIsNoZip_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("create");
        QTest::newRow("text") << QByteArray("this is not an archive\n") << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("truncated zip") << QByteArray("PK\x03\x04\x14\x00\x00\x00") << true;
        QTest::newRow("missing file") << QByteArray() << false;
    }

    void preparePackageOfAFileThatIsNoZip()
    {
        requireSevenZip();
        QFETCH(QByteArray, content);
        QFETCH(bool, create);
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
        QVERIFY(log.contains(create ? QStringLiteral("Cannot list the upgrade package")
                                    : QStringLiteral("Upgrade package not found")));
        QCOMPARE(snapshot(m_work).keys(),
                 QStringList({"images", "images/auto_update.txt", "usb_updater.bin"}));
    }

    // --- unsafe packages -------------------------------------------------------------------------

    void unsafePackage_data()
    {
        QTest::addColumn<ZipTestEntry>("extra");
        QTest::addColumn<bool>("refused");

        // Harmless names that merely contain dots: accepted, so the refusals below are the
        // hostile entry's doing.
        QTest::newRow("control: dots in names")
            << ZipTestEntry{"scripts/..hidden..es", "x", 0100644, false} << false;
        QTest::newRow("control: file without mode") << ZipTestEntry{"boot/ipl.bin", "x", 0, false} << false;

        QTest::newRow("parent folder") << ZipTestEntry{"../evil.txt", "evil", 0100644, false} << true;
        QTest::newRow("two parent folders") << ZipTestEntry{"../../evil.txt", "evil", 0100644, false} << true;
        QTest::newRow("parent folder inside")
            << ZipTestEntry{"scripts/../../evil.txt", "evil", 0100644, false} << true;
        QTest::newRow("parent folder, backslashes")
            << ZipTestEntry{"..\\..\\evil.txt", "evil", 0, false} << true;
        QTest::newRow("absolute path")
            << ZipTestEntry{"@ROOT@/outside/evil.txt", "evil", 0100644, false} << true;
        QTest::newRow("absolute system path")
            << ZipTestEntry{"/etc/deckctl-evil.txt", "evil", 0100644, false} << true;
        QTest::newRow("drive letter") << ZipTestEntry{"C:\\evil.txt", "evil", 0, false} << true;
        QTest::newRow("link to a folder outside") << ZipTestEntry{"images", "@ROOT@", 0120777, false} << true;
        QTest::newRow("relative link upwards") << ZipTestEntry{"boot", "../..", 0120777, false} << true;
        QTest::newRow("link to a system file")
            << ZipTestEntry{"cis.bin", "/etc/passwd", 0120777, false} << true;
        QTest::newRow("named pipe") << ZipTestEntry{"fifo", "", 0010644, false} << true;
        QTest::newRow("character device") << ZipTestEntry{"device", "", 0020644, false} << true;
        QTest::newRow("set-user-id program")
            << ZipTestEntry{"boot/tool", "#!/bin/sh\n", 0104755, false} << true;
    }

    void unsafePackage()
    {
        requireSevenZip();
        QFETCH(ZipTestEntry, extra);
        QFETCH(bool, refused);
        extra.name.replace(QStringLiteral("@ROOT@"), m_root->path());
        extra.data.replace("@ROOT@", m_root->path().toUtf8());

        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));
        QVector<ZipTestEntry> entries = requiredStoredEntries();
        entries.append(extra);
        const QString archive = rootPath(QStringLiteral("hostile.zip"));
        QVERIFY(writeStoredZip(archive, entries));
        const auto before = snapshot(m_root->path());

        LogCapture log;
        const PackageOutcome outcome = ::preparePackage(archive, true, 7);
        if (!refused) {
            QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageReady"));
            return;
        }
        QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageFormatWrong"));
        QVERIFY(log.contains(QStringLiteral("Refusing the upgrade package")));
        QCOMPARE(snapshot(m_root->path()), before);
        QVERIFY(!QFileInfo::exists(QStringLiteral("/etc/deckctl-evil.txt")));
    }

    void unsafePackageMadeBySevenZip_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<qint64>("boundBelowTotal");
        QTest::addColumn<bool>("refused");
        QTest::newRow("stored symbolic link") << "link" << qint64(-1) << true;
        QTest::newRow("encrypted") << "encrypted" << qint64(-1) << true;
        QTest::newRow("bomb: one byte over the bound") << "bomb" << qint64(1) << true;
        QTest::newRow("bomb: exactly the bound") << "bomb" << qint64(0) << false;
        QTest::newRow("bomb: default bound") << "bomb" << qint64(-1) << false;
    }

    void unsafePackageMadeBySevenZip()
    {
        requireSevenZip();
        QFETCH(QString, kind);
        QFETCH(qint64, boundBelowTotal);
        QFETCH(bool, refused);

        FileMap files = fullPackage();
        QStringList switches;
        qint64 total = 0;
        if (kind == QLatin1String("bomb"))
            files.insert(QStringLiteral("boot/zeros.bin"), QByteArray(int(4 * kMiB), '\0'));
        for (const QByteArray& data : files)
            total += data.size();
        const QString stage = rootPath(QStringLiteral("stage-package"));
        QVERIFY(QDir().mkpath(stage));
        if (kind == QLatin1String("link")) {
            QVERIFY(QFile::link(m_root->path(), stage + QStringLiteral("/escape")));
            switches << QStringLiteral("-snl");
        } else if (kind == QLatin1String("encrypted")) {
            switches << QStringLiteral("-psecret");
        }
        const QString archive = makePackage(QStringLiteral("package"), files, switches);
        QVERIFY(!archive.isEmpty());
        if (boundBelowTotal >= 0)
            Zip7z::setMaxUnpackedSize(total - boundBelowTotal);
        QVERIFY(QFileInfo(archive).size() < total / 4 || kind != QLatin1String("bomb"));

        QVERIFY(writeFile(workPath(QStringLiteral("usb_updater.bin")), "previous"));
        const auto before = snapshot(m_root->path());
        LogCapture log;
        const PackageOutcome outcome = ::preparePackage(archive, true, 7);
        if (!refused) {
            QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageReady"));
            QCOMPARE(readFile(workPath(QStringLiteral("boot/zeros.bin"))).size(), int(4 * kMiB));
            return;
        }
        QCOMPARE(packageOutcomeName(outcome), QStringLiteral("PackageFormatWrong"));
        QVERIFY(log.contains(QStringLiteral("Refusing the upgrade package")));
        QCOMPARE(snapshot(m_root->path()), before);
    }

    void inspectArchiveListing_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<qint64>("bound");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("reason");

        const QByteArray file =
            "Path = kernel\nFolder = -\nSize = 600\nAttributes =  -rw-r--r--\nEncrypted = -\n";
        const QByteArray folder = "Path = scripts\nFolder = +\nSize = \nAttributes = D drwxr-xr-x\n";
        QTest::newRow("empty listing") << QByteArray() << qint64(1000) << true << QString();
        QTest::newRow("file and folder") << file + "\n" + folder << qint64(1000) << true << QString();
        QTest::newRow("Windows line ends")
            << QByteArray(file).replace("\n", "\r\n") << qint64(1000) << true << QString();
        QTest::newRow("sizes add up to the bound")
            << file + "\n" + QByteArray(file).replace("600", "400") << qint64(1000) << true << QString();
        QTest::newRow("sizes add up past the bound") << file + "\n" + QByteArray(file).replace("600", "401")
                                                     << qint64(1000) << false << "exceeds the limit";
        QTest::newRow("huge size") << QByteArray(file).replace("600", "9223372036854775807") << qint64(1000)
                                   << false << "exceeds the limit";
        QTest::newRow("two huge sizes") << QByteArray(file).replace("600", "999") + "\n" +
                                               QByteArray(file).replace("600", "9223372036854775807")
                                        << qint64(1000) << false << "exceeds the limit";
        QTest::newRow("negative size")
            << QByteArray(file).replace("600", "-5") << qint64(1000) << false << "unknown size";
        QTest::newRow("size missing")
            << QByteArray("Path = kernel\nFolder = -\n") << qint64(1000) << false << "unknown size";
        QTest::newRow("symbolic link property") << file + "Symbolic Link = /etc\n"
                                                << qint64(1000) << false << "link entry";
        QTest::newRow("hard link property") << file + "Hard Link = kernel2\n"
                                            << qint64(1000) << false << "link entry";
        QTest::newRow("Windows reparse point")
            << QByteArray(file).replace(" -rw-r--r--", "AL") << qint64(1000) << false << "link entry";
        QTest::newRow("POSIX link mode")
            << QByteArray(file).replace("-rw-r--r--", "lrwxrwxrwx") << qint64(1000) << false << "link entry";
        QTest::newRow("block device") << QByteArray(file).replace("-rw-r--r--", "brw-r--r--") << qint64(1000)
                                      << false << "special file";
        QTest::newRow("set-group-id")
            << QByteArray(file).replace("-rw-r--r--", "-rwxr-sr-x") << qint64(1000) << false << "set-user-id";
        QTest::newRow("encrypted") << QByteArray(file).replace("Encrypted = -", "Encrypted = +")
                                   << qint64(1000) << false << "encrypted";
        QTest::newRow("absolute path")
            << QByteArray(file).replace("kernel", "/kernel") << qint64(1000) << false << "absolute path";
        QTest::newRow("drive letter")
            << QByteArray(file).replace("kernel", "c:kernel") << qint64(1000) << false << "absolute path";
        QTest::newRow("parent folder") << QByteArray(file).replace("kernel", "a/../../kernel") << qint64(1000)
                                       << false << "parent-folder";
        QTest::newRow("no name") << QByteArray(file).replace("kernel", "") << qint64(1000) << false
                                 << "without a name";
        QTest::newRow("line without a property") << file + "garbage\n"
                                                 << qint64(1000) << false << "unreadable";
        QTest::newRow("repeated property") << file + "Size = 1\n" << qint64(1000) << false << "repeated";
        QTest::newRow("record without a path") << file + "\nSize = 1\n"
                                               << qint64(1000) << false << "without a path";
        QTest::newRow("link after a harmless entry")
            << file + "\n" + QByteArray(file).replace("-rw-r--r--", "lrwxrwxrwx") << qint64(1000) << false
            << "link entry";
    }

    void inspectArchiveListing()
    {
        QFETCH(QByteArray, listing);
        QFETCH(qint64, bound);
        QFETCH(bool, accepted);
        QFETCH(QString, reason);
        QString why = QStringLiteral("stale");
        QCOMPARE(::inspectArchiveListing(listing, bound, why), accepted);
        if (accepted)
            QVERIFY(why.isEmpty());
        else
            QVERIFY2(why.contains(reason), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
