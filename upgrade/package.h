#pragma once

// The firmware upgrade package: a zip archive that is unpacked into a working folder of its own,
// checked for its required entries and for the camera model it is meant for, and cleared away
// again before the next package and after every upgrade.
//
// The working folder is a per-user folder (~/.local/share/deckctl/upgrade), never the program's
// directory: a package must not be able to overwrite the program, its settings or its tools. The
// folder belongs to the upgrade alone, so the clean-up empties it, whatever names a package
// brought, except for the two entries that a later package may rely on: "usb_updater.bin" and the
// "images" folder. At the end of an outcome (clearUpgradeWorkFolder()) those two go as well. The process's
// current directory is never changed; every package path is the working folder, a slash and the entry name.
//
// Everything runs on the caller's thread. The working folder is shared with the upgrade worker,
// which reads it later; callers must not prepare a new package while an upgrade runs.

#include <QByteArray>
#include <QFileInfoList>
#include <QString>

#include <optional>

// Entry names inside a package.
namespace package_entries {
inline const QString kAutoUpdate = QStringLiteral("auto_update.txt");
inline const QString kScripts = QStringLiteral("scripts");
inline const QString kKernel = QStringLiteral("kernel");
inline const QString kMiservice = QStringLiteral("miservice.ubifs");
inline const QString kBoot = QStringLiteral("boot");
inline const QString kCis = QStringLiteral("cis.bin");
inline const QString kUboot = QStringLiteral("u-boot.bin");
inline const QString kXmos = QStringLiteral("xmos.dfu");
// Kept between packages: a later package without them uses the previous ones.
inline const QString kUsbUpdater = QStringLiteral("usb_updater.bin");
inline const QString kImages = QStringLiteral("images");
} // namespace package_entries

// Model detection reads the image in blocks of this size into one buffer of this size.
constexpr qint64 kModelSearchWindow = 0x500000;
// The last start offset in that buffer at which a model pattern is tested.
constexpr qint64 kModelSearchLastOffset = 0x4FFFEB;

enum class PackageOutcome
{
    PackageFormatWrong,
    PackageCorrupted,
    PackageMismatch,
    PackageReady,
};

// "PackageFormatWrong" and so on, for logs and the command-line tool.
QString packageOutcomeName(PackageOutcome outcome);

// The working folder: the one set with setUpgradeWorkFolder(), otherwise
// defaultUpgradeWorkFolder(). Always an absolute path.
QString upgradeWorkFolder();
// Sets the working folder (tests, the command-line tool); an empty folder restores the default. A
// folder that must never be emptied (the root, the home folder or a folder above it, the program's
// folder or one above it) is refused and logged, and the setting stays as it was.
void setUpgradeWorkFolder(const QString& folder);
// The user's application data location followed by "/upgrade".
QString defaultUpgradeWorkFolder();

// Logs "REMOVE UPGRADEFILE!!!" and empties the working folder: every entry goes, hidden ones and
// names no package lists included, except "usb_updater.bin" when it is a regular file and "images"
// when it is a real folder. Symbolic links are removed as links, never followed. A working folder
// that is a symbolic link itself, or one that setUpgradeWorkFolder() would refuse, is not touched
// (logged).
void removeUpgradeFiles();

// The clean-up at the end of an upgrade outcome (a refused or declined package, a finished or
// failed run): logs "REMOVE UPGRADEFILE!!!" and empties the working folder completely,
// "usb_updater.bin" and "images" included, so that nothing of a package stays once the user has
// been told the outcome. The same safety rules as removeUpgradeFiles(): links are removed as links,
// a working folder that is a link or that setUpgradeWorkFolder() would refuse is not touched.
// Returns true when the folder is empty (or does not exist).
bool clearUpgradeWorkFolder();

// false for an empty path or a path that does not exist (nothing logged). Otherwise removes the
// file, or the folder with all its contents, and returns true, also when the removal failed (that
// is logged). A symbolic link is removed itself; what it points to is never touched, also not
// when it lies inside the folder.
bool deletePath(const QString& path);

// false for an empty string; otherwise whether a file or a folder of that path exists.
bool pathExists(const QString& path);

// Whether auto_update.txt, scripts, kernel and miservice.ubifs all exist in the working folder,
// tested in that order up to the first missing one.
bool checkUpgradeFiles();

// Finds which camera model the package's miservice.ubifs is meant for. Returns true with model
// set to the catalogue's model index when a model pattern is found; false when none is found or
// the image cannot be read, model then stays untouched.
bool detectPackageModel(int& model);
// The search of detectPackageModel over one window (at most kModelSearchWindow bytes; the rest of
// the window counts as zeros): the model index of the first pattern, in table order, found at a
// start offset up to kModelSearchLastOffset; nullopt when none is.
std::optional<int> modelInSearchWindow(const QByteArray& window);

// Empties out, then appends the working folder's regular files (no links, no folders; hidden files
// count) whose suffix (after the last dot) equals suffix ignoring case, in the listing's name
// order. Returns how many.
int listFilesBySuffix(const QString& suffix, QFileInfoList& out);
// The same in folder.
int listFilesBySuffix(const QString& folder, const QString& suffix, QFileInfoList& out);

// The whole preparation of a package, for the window and the command-line tool: clean-up,
// extraction into the working folder, presence check and, with checkModel, the model check
// against cameraModel (a catalogue model index). An archive that is refused or cannot be
// extracted completely gives PackageFormatWrong and leaves nothing of itself behind. For every
// outcome but PackageReady, reason (when given) says why in fixed English text.
PackageOutcome preparePackage(const QString& archive, bool checkModel, int cameraModel,
                              QString* reason = nullptr);
