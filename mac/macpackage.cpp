#include "macpackage.h"

#include "maclogging.h"
#include "upgrade/zip7z.h"

#include <QDir>
#include <QFile>

#include <unzip.h>

#include <cstring>
#include <memory>

namespace macpackage {

namespace {

struct ZipCloser
{
    void operator()(void* zip) const { unzClose(zip); }
};
using Zip = std::unique_ptr<void, ZipCloser>;

Zip openZip(const QString& archive)
{
    return Zip(unzOpen64(QFile::encodeName(archive).constData()));
}

// The current entry's name, or an empty string when its information cannot be read.
QString currentName(void* zip, unz_file_info64* info)
{
    char name[1024] = {};
    if (unzGetCurrentFileInfo64(zip, info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK)
        return QString();
    return QString::fromUtf8(name);
}

} // namespace

EntryMarks markEntries(const QStringList& names)
{
    EntryMarks marks;
    bool* flags[] = {&marks.autoUpdate, &marks.script, &marks.kernel, &marks.miservice};
    for (const QString& name : names) {
        for (std::size_t i = 0; i < kEntryMarks.size(); ++i) {
            if (name.contains(QLatin1String(kEntryMarks[i]))) {
                *flags[i] = true;
                break;
            }
        }
    }
    return marks;
}

QString marksLine(const EntryMarks& marks)
{
    return QString::asprintf(" bAutoUpdate %d bBoot %d bScript %d bKernel %d bMiservice %d bModel %d",
                             int(marks.autoUpdate), 0, int(marks.script), int(marks.kernel),
                             int(marks.miservice), 0);
}

QString scanModel(const QByteArray& image)
{
    const qint64 last = qint64(image.size()) - kScanTail;
    for (qint64 offset = 0; offset <= last; ++offset) {
        for (const ModelMark& mark : kModelMarks) {
            const auto length = static_cast<std::size_t>(std::strlen(mark.bytes));
            if (std::memcmp(image.constData() + offset, mark.bytes, length) == 0)
                return QLatin1String(mark.model);
        }
    }
    return QString();
}

bool entryNames(const QString& archive, QStringList* names)
{
    names->clear();
    Zip zip = openZip(archive);
    if (!zip)
        return false;
    for (int result = unzGoToFirstFile(zip.get()); result == UNZ_OK; result = unzGoToNextFile(zip.get())) {
        unz_file_info64 info{};
        const QString name = currentName(zip.get(), &info);
        if (name.isEmpty())
            return false;
        names->append(name);
    }
    return true;
}

bool readEntry(const QString& archive, const QString& fragment, QByteArray* data, qint64 maxSize)
{
    data->clear();
    Zip zip = openZip(archive);
    if (!zip)
        return false;
    for (int result = unzGoToFirstFile(zip.get()); result == UNZ_OK; result = unzGoToNextFile(zip.get())) {
        unz_file_info64 info{};
        if (!currentName(zip.get(), &info).contains(fragment))
            continue;
        if (static_cast<qint64>(info.uncompressed_size) > maxSize || unzOpenCurrentFile(zip.get()) != UNZ_OK)
            return false;
        // The stored size is only a claim: the data is read until its end, within maxSize.
        char buffer[65536];
        int got = 0;
        while ((got = unzReadCurrentFile(zip.get(), buffer, sizeof buffer)) > 0) {
            if (data->size() + qint64(got) > maxSize) {
                unzCloseCurrentFile(zip.get());
                data->clear();
                return false;
            }
            data->append(buffer, got);
        }
        // A bad checksum shows when the entry is closed.
        const int closed = unzCloseCurrentFile(zip.get());
        if (got < 0 || closed != UNZ_OK) {
            data->clear();
            return false;
        }
        return true;
    }
    return false;
}

PackageOutcome preparePackage(const QString& archive, bool checkModel, const QString& cameraTitle,
                              QString* reason)
{
    QString why;
    const auto outcome = [&](PackageOutcome result) {
        if (reason)
            *reason = why;
        if (result != PackageOutcome::PackageReady)
            qCWarning(lcMac).noquote() << "Package" << archive << "refused:" << why;
        return result;
    };
    QStringList names;
    if (!entryNames(archive, &names)) {
        why = QStringLiteral("not a zip archive");
        return outcome(PackageOutcome::PackageFormatWrong);
    }
    const EntryMarks marks = markEntries(names);
    qCInfo(lcMac).noquote() << marksLine(marks);
    if (!marks.complete()) {
        const bool present[] = {marks.autoUpdate, marks.script, marks.kernel, marks.miservice};
        for (std::size_t i = 0; i < kEntryMarks.size(); ++i) {
            if (!present[i]) {
                why = QStringLiteral("no entry name holds %1").arg(QLatin1String(kEntryMarks[i]));
                break;
            }
        }
        return outcome(PackageOutcome::PackageFormatWrong);
    }

    const QString folder = upgradeWorkFolder();
    if (!QDir().mkpath(folder)) {
        why = QStringLiteral("cannot create the working folder %1").arg(folder);
        return outcome(PackageOutcome::PackageFormatWrong);
    }
    // Nothing of an earlier package may complete or disturb this one.
    if (!clearUpgradeWorkFolder()) {
        why = QStringLiteral("cannot empty the working folder %1").arg(folder);
        return outcome(PackageOutcome::PackageFormatWrong);
    }
    QString message;
    if (!Zip7z::extract(archive, folder, message, &why))
        return outcome(PackageOutcome::PackageFormatWrong);
    if (!checkModel)
        return outcome(PackageOutcome::PackageReady);

    QByteArray image;
    if (!readEntry(archive, QLatin1String(kModelImageEntry), &image)) {
        why = QStringLiteral("%1 cannot be read (or is larger than %2 bytes)")
                  .arg(QLatin1String(kModelImageEntry))
                  .arg(kMaxModelImage);
        return outcome(PackageOutcome::PackageCorrupted);
    }
    const QString model = scanModel(image);
    if (model.isEmpty()) {
        why = QStringLiteral("no known model in %1").arg(QLatin1String(kModelImageEntry));
        return outcome(PackageOutcome::PackageCorrupted);
    }
    if (!cameraTitle.isEmpty() && !cameraTitle.contains(model)) {
        why = QStringLiteral("the package is for %1, the camera is %2").arg(model, cameraTitle);
        return outcome(PackageOutcome::PackageMismatch);
    }
    return outcome(PackageOutcome::PackageReady);
}

} // namespace macpackage
