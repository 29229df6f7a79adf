#pragma once

// The raw-USB edition's reading of an upgrade package (a zip archive, read with minizip): which
// of the required entries its names show, and the camera model its "miservice.ubifs" image
// names, found by position (the first offset at which any model's mark starts decides; deckctl
// searches mark by mark).

#include "upgrade/package.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>

namespace macpackage {

// Each entry name marks at most one kind, the first of these it contains.
constexpr std::array<const char*, 4> kEntryMarks = {"auto_update", "scripts", "kernel", "miservice.ubifs"};
constexpr const char* kModelImageEntry = "miservice.ubifs";

// Model marks in the order they are tested at each offset, with the model each names.
struct ModelMark
{
    const char* bytes;
    const char* model;
};
constexpr std::array<ModelMark, 4> kModelMarks = {{
    {"Orbi+TM40", "Orbi"},
    {"QB17-000", "QB17"},
    {"QB18Z", "QB18Z"},
    {"QB18", "QB18"},
}};
// The scan stops this many bytes before the end of the image: the last offset tested is the
// length minus kScanTail.
constexpr int kScanTail = 21;
// The model image is read whole; a larger entry is refused (a package's image is tens of MB).
constexpr qint64 kMaxModelImage = 256LL * 1024 * 1024;

struct EntryMarks
{
    bool autoUpdate = false;
    bool script = false;
    bool kernel = false;
    bool miservice = false;

    bool complete() const { return autoUpdate && script && kernel && miservice; }
};

EntryMarks markEntries(const QStringList& names);
// " bAutoUpdate %d bBoot %d bScript %d bKernel %d bMiservice %d bModel %d" (boot and model 0).
QString marksLine(const EntryMarks& marks);
// The model of the first offset at which a mark starts; empty when none does.
QString scanModel(const QByteArray& image);

// The names of the archive's entries; false when it cannot be read as a zip archive.
bool entryNames(const QString& archive, QStringList* names);
// The data of the first entry whose name contains fragment, whole; false when there is none, it
// cannot be read, or it is larger than maxSize.
bool readEntry(const QString& archive, const QString& fragment, QByteArray* data,
               qint64 maxSize = kMaxModelImage);

// The edition's whole preparation of a package in the upgrade working folder (upgrade/package.h):
//  1. the entry names give the marks, and the marks line is logged;
//  2. without all four marks the package is refused (PackageFormatWrong);
//  3. the archive is unpacked by the shared extractor (upgrade/zip7z.h: every entry checked, staged,
//     moved into place only when all of it was written); a failure is PackageFormatWrong;
//  4. with checkModel, the model image is scanned: no model is PackageCorrupted, a model that a
//     non-empty cameraTitle does not contain is PackageMismatch.
// For every outcome but PackageReady, reason (when given) says why in fixed English text.
PackageOutcome preparePackage(const QString& archive, bool checkModel, const QString& cameraTitle,
                              QString* reason = nullptr);

} // namespace macpackage
