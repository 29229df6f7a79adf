#include "macpackage.h"

#include "maclogging.h"

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

} // namespace macpackage
