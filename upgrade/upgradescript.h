#pragma once

// The upgrade script runner ("auto_update.txt" and the scripts it nests) and the rules for the
// file names that scripts and the upgrade worker use. The runner sends its command lines and file
// loads through the vendor protocol of libsstarufu.h.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>

namespace sstar {
constexpr int kMaxScriptNesting = 8; // "estar" levels below the top script
// A script larger than this is refused before any of its lines runs.
constexpr qint64 kMaxScriptSize = 1024 * 1024;
// Of one script line, at most this many bytes (after normalising) are kept; a longer line is
// longer than any command line or file name the runner can use, and fails the script unless it
// is a comment.
constexpr int kMaxScriptLineKept = 8192;
} // namespace sstar

// Files named by scripts and by the upgrade worker are resolved against folder (the package's
// working folder, or its "images" subfolder for the main board), never against the process's
// current directory. The worker may also pass absolute names. Names inside a script must stay
// within root, the package's working folder (folder itself when root is empty): an absolute
// name, or one whose ".." or symbolic links lead outside root, is refused. So "../kernel" in the
// main board's script is the package's kernel, while "../../x" is refused.
void setUpgradeFileFolder(const QString& folder, const QString& root = QString());
QString upgradeFileFolder();
QString upgradeFileRoot();
// A name the worker passes: an absolute name as it is, another one within the upgrade folder.
// Empty (and logged) for an empty name or when no folder is set.
QString resolveUpgradeFile(const QString& name);

// Runs the script. mode 0: the camera script and nested scripts ("reset" sends the local reset
// sequence); mode 1: the main board's script ("reset" is an ordinary command line). Other modes
// fail.
int runUpgradeScript(const QString& scriptFile, int mode);

// Called before each line that acts on the device (not a comment, not "estar"), with its number
// among all such lines of the script and of the scripts it nests, counted before the first line
// runs. A line that ends a script ("reset") ends the count of that script.
using ScriptLineProgress = std::function<void(int line, int lines)>;
// runUpgradeScript() that tells progress which line it is at.
int runUpgradeScript(const QString& scriptFile, int mode, const ScriptLineProgress& progress);

// What the runner's lines do on a device, and which of its own lines the runner logs. The
// runner of runUpgradeScript() above drives libsstarufu's process-wide device; the raw-USB
// edition brings its own target (mac/).
class ScriptTarget
{
public:
    virtual ~ScriptTarget() = default;
    // One command line (without a terminating zero) and its status word: whether it was good.
    // The runner makes up to sstar::kCommandAttempts attempts.
    virtual bool runCommandLine(const QByteArray& line) = 0;
    // "reset" where it is local: the boot loader's upgrade marker is cleared and stored, then
    // the device restarts; nothing answers.
    virtual void runResetSequence() = 0;
    // A "tftp" load of the resolved file at address: 0, or -1.
    virtual int loadFile(const QString& path, std::uint32_t address) = 0;
    // Whether "reset" is local in this mode (otherwise an ordinary command line).
    virtual bool resetIsLocal(int mode) const { return mode == 0; }
    // Whether the runner logs "%s [retry %d]", "Think ok.", "USB scsi run cmd timeout." and the
    // failures of nested scripts and loads.
    virtual bool logsOutcomes() const { return true; }
};
int runUpgradeScript(const QString& scriptFile, int mode, const ScriptLineProgress& progress,
                     ScriptTarget& target);
