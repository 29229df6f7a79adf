// The raw-USB edition's package reading: the marks of the entry names and their log line, the
// model of the image by the first position at which a mark starts, and reading entries from zip
// archives made here with minizip.

#include "mac/macpackage.h"

#include <QTemporaryDir>
#include <QtTest>

#include <zip.h>

namespace {

using Entries = QList<QPair<QString, QByteArray>>;

bool writeZip(const QString& path, const Entries& entries)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        return false;
    bool ok = true;
    for (const auto& entry : entries) {
        const QByteArray name = entry.first.toUtf8();
        ok = ok && zipOpenNewFileInZip64(zip, name.constData(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                                         Z_DEFLATED, Z_DEFAULT_COMPRESSION, 1) == ZIP_OK;
        ok =
            ok && zipWriteInFileInZip(zip, entry.second.constData(), unsigned(entry.second.size())) == ZIP_OK;
        ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
    }
    return zipClose(zip, nullptr) == ZIP_OK && ok;
}

// size filler bytes with each mark written at its offset.
QByteArray imageWith(const QList<QPair<int, QByteArray>>& marks, int size)
{
    QByteArray image(size, '\x01');
    for (const auto& mark : marks)
        image.replace(mark.first, mark.second.size(), mark.second);
    return image;
}

} // namespace

class TstMacPackage : public QObject
{
    Q_OBJECT
private slots:
    void marks_data();
    void marks();
    void model_data();
    void model();
    void archive();
};

void TstMacPackage::marks_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("complete");

    QTest::newRow("complete") << QStringList{"auto_update.txt", "scripts/x", "images/kernel",
                                             "images/miservice.ubifs"}
                              << " bAutoUpdate 1 bBoot 0 bScript 1 bKernel 1 bMiservice 1 bModel 0" << true;
    // One mark per entry, the first kind its name contains.
    QTest::newRow("one mark per entry")
        << QStringList{"auto_update_kernel_scripts", "miservice.ubifs"}
        << " bAutoUpdate 1 bBoot 0 bScript 0 bKernel 0 bMiservice 1 bModel 0" << false;
    QTest::newRow("scripts before kernel")
        << QStringList{"scripts/kernel", "auto_update.txt", "miservice.ubifs"}
        << " bAutoUpdate 1 bBoot 0 bScript 1 bKernel 0 bMiservice 1 bModel 0" << false;
    QTest::newRow("empty") << QStringList()
                           << " bAutoUpdate 0 bBoot 0 bScript 0 bKernel 0 bMiservice 0 bModel 0" << false;
}

void TstMacPackage::marks()
{
    QFETCH(QStringList, names);
    QFETCH(QString, line);
    QFETCH(bool, complete);
    const macpackage::EntryMarks marks = macpackage::markEntries(names);
    QCOMPARE(macpackage::marksLine(marks), line);
    QCOMPARE(marks.complete(), complete);
}

void TstMacPackage::model_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("model");

    QTest::newRow("QB18 before QB17-000: position decides")
        << imageWith({{100, "QB18"}, {200, "QB17-000"}}, 400) << "QB18";
    QTest::newRow("QB17-000 first") << imageWith({{100, "QB17-000"}, {200, "Orbi+TM40"}}, 400) << "QB17";
    QTest::newRow("QB18Z before QB18 at one offset") << imageWith({{50, "QB18Z"}}, 400) << "QB18Z";
    QTest::newRow("Orbi") << imageWith({{0, "Orbi+TM40"}}, 400) << "Orbi";
    QTest::newRow("at the last offset scanned") << imageWith({{379, "QB18"}}, 400) << "QB18";
    QTest::newRow("past the last offset scanned") << imageWith({{380, "QB18"}}, 400) << "";
    QTest::newRow("shorter than the tail") << QByteArray("QB18") << "";
    QTest::newRow("none") << imageWith({}, 400) << "";
}

void TstMacPackage::model()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, model);
    QCOMPARE(macpackage::scanModel(image), model);
}

void TstMacPackage::archive()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("package.zip"));
    const QByteArray image = imageWith({{70000, "QB17-000"}}, 100000);
    QVERIFY(writeZip(path, {{"auto_update.txt", "estar scripts/a\n"},
                            {"scripts/a", "reset\n"},
                            {"images/kernel", QByteArray(5000, 'k')},
                            {"images/miservice.ubifs", image}}));

    QStringList names;
    QVERIFY(macpackage::entryNames(path, &names));
    QCOMPARE(names, QStringList({"auto_update.txt", "scripts/a", "images/kernel", "images/miservice.ubifs"}));
    QVERIFY(macpackage::markEntries(names).complete());
    QByteArray data;
    QVERIFY(macpackage::readEntry(path, QLatin1String(macpackage::kModelImageEntry), &data));
    QCOMPARE(data, image);
    QCOMPARE(macpackage::scanModel(data), QStringLiteral("QB17"));

    // An entry larger than allowed, a missing entry, and a file that is no archive.
    QVERIFY(!macpackage::readEntry(path, QStringLiteral("miservice.ubifs"), &data, 99999));
    QVERIFY(data.isEmpty());
    QVERIFY(!macpackage::readEntry(path, QStringLiteral("nothing"), &data));
    QFile junk(dir.filePath(QStringLiteral("junk.zip")));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(1000, 'j'));
    junk.close();
    QVERIFY(!macpackage::entryNames(junk.fileName(), &names));
    QVERIFY(names.isEmpty());
}

QTEST_GUILESS_MAIN(TstMacPackage)
#include "tst_mac_package.moc"
