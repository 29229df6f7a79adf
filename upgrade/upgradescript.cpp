#include "upgradescript.h"

#include "app/logcategories.h"
#include "upgrade/libsstarufu.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace {

QMutex g_folderLock;     // guards g_upgradeFolder and g_upgradeRoot
QString g_upgradeFolder; // names resolve against this folder
QString g_upgradeRoot;   // names in scripts must stay within this folder

QString folder()
{
    QMutexLocker locker(&g_folderLock);
    return g_upgradeFolder;
}

QString root()
{
    QMutexLocker locker(&g_folderLock);
    return g_upgradeRoot.isEmpty() ? g_upgradeFolder : g_upgradeRoot;
}

bool within(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

// A name the worker passes: absolute names as they are, others within the upgrade folder.
QString resolveCallerFile(const QString& name)
{
    if (name.isEmpty()) {
        qCDebug(lcUpgrade, "no file name given\n");
        return QString();
    }
    if (QDir::isAbsolutePath(name))
        return QDir::cleanPath(name);
    const QString base = folder();
    if (base.isEmpty()) {
        qCDebug(lcUpgrade, "no upgrade file folder is set for %s\n", qUtf8Printable(name));
        return QString();
    }
    return QDir::cleanPath(base + QLatin1Char('/') + name);
}

// A name a script gives: relative to the upgrade folder, and within the root folder also after
// following links.
QString resolveScriptFile(const QByteArray& word)
{
    const QString name = QFile::decodeName(word);
    const QString base = folder();
    const QString limit = QDir::cleanPath(root());
    if (name.isEmpty())
        return QString();
    if (base.isEmpty()) {
        qCDebug(lcUpgrade, "no upgrade file folder is set for %s\n", word.constData());
        return QString();
    }
    if (QDir::isAbsolutePath(name)) {
        qCDebug(lcUpgrade, "absolute file name refused in a script: %s\n", word.constData());
        return QString();
    }
    const QString path = QDir::cleanPath(QDir::cleanPath(base) + QLatin1Char('/') + name);
    const QString canonicalRoot = QFileInfo(limit).canonicalFilePath();
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    // The root itself is no file to load; a name must lead below it.
    const bool inside =
        path != limit && within(path, limit) &&
        (canonicalPath.isEmpty() || (!canonicalRoot.isEmpty() && canonicalPath != canonicalRoot &&
                                     within(canonicalPath, canonicalRoot)));
    if (!inside) {
        qCDebug(lcUpgrade, "file name leads outside the upgrade folder, refused: %s\n", word.constData());
        return QString();
    }
    return path;
}

// The lines of a script, each normalised as it is read: blanks and tabs trimmed at both ends,
// every inner run of them replaced by one blank. A line is read in pieces, so that one huge line
// is never held whole: of each line at most sstar::kMaxScriptLineKept normalised bytes are kept.
class ScriptLines
{
public:
    explicit ScriptLines(QFile& file) : m_file(file) {}

    // The next line (without its "\n" or "\r\n"); cut tells whether bytes were dropped. false
    // at the end of the script, or when reading failed (failed() then says so).
    bool next(QByteArray* line, bool* cut)
    {
        line->clear();
        *cut = false;
        if (m_file.atEnd())
            return false;
        bool pendingBlank = false;
        bool pendingReturn = false; // a "\r" that ends the line if "\n" follows
        std::array<char, 4096> piece{};
        for (;;) {
            const qint64 count = m_file.readLine(piece.data(), qint64(piece.size()));
            if (count <= 0) {
                m_failed = !m_file.atEnd();
                return !m_failed;
            }
            m_read += count;
            bool ended = false;
            for (qint64 i = 0; i < count; ++i) {
                char c = piece[size_t(i)];
                if (c == '\n') {
                    ended = true;
                    break;
                }
                if (pendingReturn) {
                    // The "\r" was inside the line, not the end of it: it is an ordinary byte.
                    pendingReturn = false;
                    keep('\r', &pendingBlank, line, cut);
                }
                if (c == '\r') {
                    pendingReturn = true;
                    continue;
                }
                keep(c, &pendingBlank, line, cut);
            }
            if (ended || m_file.atEnd())
                return true;
        }
    }

    qint64 bytesRead() const { return m_read; }
    bool failed() const { return m_failed; }

private:
    static void keep(char c, bool* pendingBlank, QByteArray* line, bool* cut)
    {
        if (c == ' ' || c == '\t') {
            *pendingBlank = !line->isEmpty();
            return;
        }
        const int needed = *pendingBlank ? 2 : 1;
        if (line->size() + needed > sstar::kMaxScriptLineKept) {
            *cut = true;
            return;
        }
        if (*pendingBlank)
            line->append(' ');
        *pendingBlank = false;
        line->append(c);
    }

    QFile& m_file;
    qint64 m_read = 0;
    bool m_failed = false;
};

// A load address in hexadecimal with an optional "0x", within 32 bits.
bool parseLoadAddress(const QByteArray& word, std::uint32_t* address)
{
    QByteArray digits = word;
    if (digits.startsWith("0x") || digits.startsWith("0X"))
        digits = digits.mid(2);
    if (digits.isEmpty())
        return false;
    std::uint64_t value = 0;
    for (const char c : digits) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > UINT32_MAX)
            return false;
    }
    *address = static_cast<std::uint32_t>(value);
    return true;
}

void runCommandText(const char* text)
{
    USB_ScsiRunCmd(text, static_cast<int>(std::strlen(text)));
}

// libsstarufu's process-wide device.
class ProcessDeviceTarget : public ScriptTarget
{
public:
    bool runCommandLine(const QByteArray& line) override
    {
        USB_ScsiRunCmd(line.constData(), line.size());
        std::array<std::uint8_t, sstar::kStatusLength> word{};
        USB_ScsiReadStatus(word.data(), int(word.size()), sstar::kStatusTries);
        return sstar::statusGood(word.data());
    }
    void runResetSequence() override
    {
        runCommandText("setenv ota_upgrade_status 0");
        runCommandText("saveenv");
        runCommandText("reset");
    }
    int loadFile(const QString& path, std::uint32_t address) override
    {
        return sstar::loadImageFile(path, address, true);
    }
};

// The line count of one run for its progress callback.
struct LineCounter
{
    const ScriptLineProgress* progress = nullptr;
    int line = 0;
    int lines = 0;

    void next()
    {
        if (!progress || !*progress)
            return;
        ++line;
        (*progress)(line, std::max(line, lines));
    }
};

bool isSkipped(const QByteArray& line)
{
    return line.isEmpty() || line.startsWith('#') || line.startsWith('%');
}

// The lines of the script at path (and of the scripts it nests) that act on the device, as the
// runner goes through them: "estar" counts its script's lines, a "reset" in mode 0 is the last
// line of its script. Where the runner would refuse a script or a line, the count ends. Each
// script is read once per count (counted), whatever its nesting, so a package cannot make the
// count cost more than reading its scripts.
int countScriptLines(const QString& path, int mode, int depth, QHash<QString, int>* counted)
{
    if (depth > sstar::kMaxScriptNesting || path.isEmpty())
        return 0;
    const QString key = QString::number(mode) + path;
    const auto known = counted->constFind(key);
    if (known != counted->constEnd())
        return known.value();
    counted->insert(key, 0); // a script that nests itself adds nothing
    QFile script(path);
    if (!QFileInfo(path).isFile() || !script.open(QIODevice::ReadOnly) ||
        script.size() > sstar::kMaxScriptSize)
        return 0;
    ScriptLines lines(script);
    QByteArray line;
    bool cut = false;
    int count = 0;
    while (lines.next(&line, &cut) && lines.bytesRead() <= sstar::kMaxScriptSize) {
        if (isSkipped(line))
            continue;
        if (cut)
            break;
        const QList<QByteArray> words = line.split(' ');
        if (words.first() == "estar") {
            const QString nested = resolveScriptFile(words.value(1));
            if (nested.isEmpty())
                break;
            count += countScriptLines(nested, 0, depth + 1, counted);
            continue;
        }
        ++count;
        if (words.first() == "reset" && mode == 0)
            break;
    }
    counted->insert(key, count);
    return count;
}

int runScript(const QString& path, int mode, int depth, LineCounter* counter, ScriptTarget& target)
{
    if (depth > sstar::kMaxScriptNesting) {
        qCDebug(lcUpgrade, "scripts nested deeper than %d levels: %s\n", sstar::kMaxScriptNesting,
                qUtf8Printable(path));
        return -1;
    }
    if (path.isEmpty())
        return -1; // the name was refused, and the refusal logged
    QFile script(path);
    if (!QFileInfo(path).isFile() || !script.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpgrade, "open script fail: %s\n",
                qUtf8Printable(QStringLiteral("%1: %2").arg(path, script.error() == QFileDevice::NoError
                                                                      ? QStringLiteral("not a regular file")
                                                                      : script.errorString())));
        return -1;
    }
    // A script is a few kilobytes; a huge one is refused before any of its lines runs.
    if (script.size() > sstar::kMaxScriptSize) {
        qCDebug(lcUpgrade, "script is larger than %lld bytes, refused: %s (%lld bytes)\n",
                static_cast<long long>(sstar::kMaxScriptSize), qUtf8Printable(path),
                static_cast<long long>(script.size()));
        return -1;
    }
    ScriptLines lines(script);
    QByteArray line;
    bool cut = false;
    while (lines.next(&line, &cut)) {
        if (lines.bytesRead() > sstar::kMaxScriptSize) {
            // The file grew while it was read.
            qCDebug(lcUpgrade, "script is larger than %lld bytes, refused: %s\n",
                    static_cast<long long>(sstar::kMaxScriptSize), qUtf8Printable(path));
            return -1;
        }
        if (isSkipped(line))
            continue;
        qCDebug(lcUpgrade, "%s\n", line.constData());
        if (cut) {
            qCDebug(lcUpgrade, "command is too long to support. cmd: %s\n", line.constData());
            return -1;
        }

        const QList<QByteArray> words = line.split(' ');
        const QByteArray& first = words.first();
        if (first == "estar") {
            const QByteArray name = words.value(1);
            const QString nested = resolveScriptFile(name);
            if (nested.isEmpty() || runScript(nested, 0, depth + 1, counter, target) != 0) {
                if (target.logsOutcomes())
                    qCDebug(lcUpgrade, "parse script fail: %s\n", name.constData());
                return -1;
            }
            continue;
        }
        counter->next();
        if (first == "tftp") {
            const QByteArray name = words.value(2);
            std::uint32_t address = 0;
            if (!parseLoadAddress(words.value(1), &address) || name.isEmpty()) {
                qCDebug(lcUpgrade, "tftp needs a 32-bit hexadecimal load address and a file name: %s\n",
                        line.constData());
                return -1;
            }
            const QString file = resolveScriptFile(name);
            if (file.isEmpty() || target.loadFile(file, address) != 0) {
                if (target.logsOutcomes())
                    qCDebug(lcUpgrade, "load file fail: %s\n", name.constData());
                return -1;
            }
            continue;
        }
        if (first == "reset" && target.resetIsLocal(mode)) {
            // The boot loader's upgrade marker is cleared and stored before the restart, which
            // answers no status.
            target.runResetSequence();
            return 0;
        }

        if (line.size() > sstar::kMaxCommandLine) {
            qCDebug(lcUpgrade, "command is too long to support. cmd: %s\n", line.constData());
            return -1;
        }
        bool confirmed = false;
        for (int attempt = 1; attempt <= sstar::kCommandAttempts && !confirmed; ++attempt) {
            confirmed = target.runCommandLine(line);
            if (!confirmed && target.logsOutcomes())
                qCDebug(lcUpgrade, "%s [retry %d]\n", line.constData(), attempt);
        }
        if (confirmed)
            continue;
        if (line == "reset" || line == "saveenv") {
            // The device restarts instead of answering.
            if (target.logsOutcomes())
                qCDebug(lcUpgrade, "Think ok.\n");
            return 0;
        }
        if (target.logsOutcomes())
            qCDebug(lcUpgrade, "USB scsi run cmd timeout.\n");
        return -1;
    }
    if (lines.failed()) {
        qCDebug(lcUpgrade, "cannot read script %s: %s\n", qUtf8Printable(path),
                qUtf8Printable(script.errorString()));
        return -1;
    }
    return 0;
}

} // namespace

void setUpgradeFileFolder(const QString& folder, const QString& rootFolder)
{
    QMutexLocker locker(&g_folderLock);
    g_upgradeFolder = folder;
    g_upgradeRoot = rootFolder;
}

QString upgradeFileFolder()
{
    return folder();
}

QString upgradeFileRoot()
{
    return root();
}

QString resolveUpgradeFile(const QString& name)
{
    return resolveCallerFile(name);
}

int runUpgradeScript(const QString& scriptFile, int mode)
{
    return runUpgradeScript(scriptFile, mode, ScriptLineProgress());
}

int runUpgradeScript(const QString& scriptFile, int mode, const ScriptLineProgress& progress)
{
    ProcessDeviceTarget target;
    return runUpgradeScript(scriptFile, mode, progress, target);
}

int runUpgradeScript(const QString& scriptFile, int mode, const ScriptLineProgress& progress,
                     ScriptTarget& target)
{
    if (mode != 0 && mode != 1) {
        qCDebug(lcUpgrade, "unknown script mode %d\n", mode);
        return -1;
    }
    const QString path = resolveCallerFile(scriptFile);
    LineCounter counter;
    if (progress) {
        counter.progress = &progress;
        QHash<QString, int> counted;
        counter.lines = countScriptLines(path, mode, 0, &counted);
    }
    return runScript(path, mode, 0, &counter, target);
}
