#include "logging.h"
#include "app/logcategories.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <syslog.h>

namespace {

// Serialises rotation and the open-write-close of the log file, so that lines of different
// threads never interleave and a rotation never races another thread's rotation.
QMutex g_logLock;

// Written once before the handler is installed (tests also set it while no thread logs).
QString g_logFilePath;

std::atomic<DebuggerSink> g_debuggerSink{nullptr};

std::atomic<bool> g_echoToStandardError{false};

int syslogPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_CRIT;
    case QtFatalMsg:
        return LOG_ALERT;
    case QtInfoMsg:
        return LOG_INFO;
    }
    return LOG_ERR;
}

void sendToSyslog(QtMsgType type, const QString& line)
{
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("deckctl", LOG_PID, LOG_USER); });
    syslog(syslogPriority(type), "%s", line.toUtf8().constData());
}

const QRegularExpression& functionNamePattern()
{
    // Built once, on first use; function-local statics are initialised thread-safely.
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QStringLiteral(".*\\s([^\\s]+)\\(.*"));
        re.optimize();
        return re;
    }();
    return pattern;
}

bool hasFileName(const QMessageLogContext& context)
{
    return context.file != nullptr && context.file[0] != '\0';
}

// The number of UTF-8 bytes of text, without converting it.
qint64 utf8Length(const QString& text)
{
    qint64 length = 0;
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c.unicode() < 0x80) {
            length += 1;
        } else if (c.unicode() < 0x800) {
            length += 2;
        } else if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            length += 4;
            ++i;
        } else {
            length += 3; // also a lone surrogate, which the conversion replaces by U+FFFD
        }
    }
    return length;
}

} // namespace

QString ensureFilePath(const QString& path, bool isDirectory, const QByteArray& initialContent)
{
    QString resolved = path;
    if (resolved.startsWith(QLatin1String("~/")))
        resolved = QStringLiteral("%1/%2").arg(QDir::homePath(), resolved.mid(2));
    resolved.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (isDirectory)
        return resolved;

    const int slash = resolved.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString dir = resolved.left(slash);
        if (!QDir().mkpath(dir))
            qCWarning(lcApp).noquote() << "Error, cannot create dir" << dir;
    }
    if (!QFileInfo::exists(resolved)) {
        QFile file(resolved);
        if (file.open(QIODevice::WriteOnly)) {
            file.write(initialContent);
            file.close();
        }
    }
    return resolved;
}

void setLogFilePath(const QString& resolvedPath)
{
    g_logFilePath = resolvedPath;
}

QString logFilePath()
{
    return g_logFilePath;
}

QString logFileTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("-D- ");
    case QtWarningMsg:
        return QStringLiteral("-W- ");
    case QtCriticalMsg:
        return QStringLiteral("-C- ");
    case QtFatalMsg:
        return QStringLiteral("-F- ");
    case QtInfoMsg:
        return QStringLiteral("-I- ");
    }
    return QStringLiteral("-E- ");
}

QString debuggerTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral(" [Debug] ");
    case QtWarningMsg:
        return QStringLiteral(" [Warning] ");
    case QtCriticalMsg:
        return QStringLiteral(" [Critical] ");
    case QtFatalMsg:
        return QStringLiteral(" [Fatal] ");
    case QtInfoMsg:
        return QStringLiteral(" [Info] ");
    }
    return QStringLiteral(" [Error] ");
}

QString shortFunctionName(const char* signature)
{
    const QString whole = QString::fromUtf8(signature);
    const QRegularExpressionMatch match = functionNamePattern().match(whole);
    return match.hasMatch() ? match.captured(1) : whole;
}

QString formatFileLine(QtMsgType type, const QMessageLogContext& context, const QString& message,
                       const QDateTime& when)
{
    const QString stamp = when.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    if (hasFileName(context)) {
        return QStringLiteral("[%1] %2 %3(%4) <<%5>>: %6")
            .arg(stamp, logFileTag(type), QString::fromUtf8(context.file), QString::number(context.line),
                 QString::fromUtf8(context.function), message);
    }
    return QStringLiteral("[%1] %2: %3").arg(stamp, logFileTag(type), message);
}

QString formatDebuggerLine(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (hasFileName(context)) {
        return QStringLiteral("%1(%2):%3<<%4>> %5")
            .arg(QString::fromUtf8(context.file), QString::number(context.line), debuggerTag(type),
                 shortFunctionName(context.function), message);
    }
    return debuggerTag(type) + message;
}

QByteArray boundedLogRecord(const QString& record)
{
    // Each UTF-16 unit is at least one byte of UTF-8, so a short record needs no counting.
    if (record.size() <= kMaxLogRecordBytes / 3)
        return record.toUtf8();
    const qint64 total = utf8Length(record);
    if (total <= kMaxLogRecordBytes)
        return record.toUtf8();
    // Only the head is converted; a surrogate pair is not split.
    int head = kMaxLogRecordBytes;
    if (head < record.size() && record.at(head).isLowSurrogate())
        --head;
    QByteArray bytes = record.left(head).toUtf8();
    // The marker's length depends on the count it shows; a fixed room for it is enough.
    const int markerRoom = int(sizeof(" [") - 1 + 20 + sizeof(" bytes cut]") - 1);
    int keep = std::min(int(bytes.size()), kMaxLogRecordBytes - markerRoom);
    // Back to the start of a character: continuation bytes look like 10xxxxxx.
    while (keep > 0 && keep < bytes.size() && (static_cast<unsigned char>(bytes.at(keep)) & 0xC0) == 0x80)
        --keep;
    bytes.truncate(keep);
    bytes += " [" + QByteArray::number(total - keep) + " bytes cut]";
    return bytes;
}

void appendLogLine(const QString& path, const QString& line)
{
    if (path.isEmpty())
        return;
    const QByteArray bytes = boundedLogRecord(line) + "\r\n";

    QMutexLocker locker(&g_logLock);
    const QFileInfo info(path);
    if (info.exists() && info.size() > kLogRotateSize) {
        // rename() replaces an existing target; a failed rename is ignored, the write goes on.
        const QByteArray live = QFile::encodeName(path);
        const QByteArray first = QFile::encodeName(path + QStringLiteral(".1"));
        const QByteArray second = QFile::encodeName(path + QStringLiteral(".2"));
        std::rename(first.constData(), second.constData());
        std::rename(live.constData(), first.constData());
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    file.write(bytes);
    file.close();
}

void setDebuggerSink(DebuggerSink sink)
{
    g_debuggerSink.store(sink);
}

void setLogEchoToStandardError(bool on)
{
    g_echoToStandardError.store(on);
}

QString formatStandardErrorLine(const QMessageLogContext& context, const QString& message)
{
    const char* category =
        context.category != nullptr && context.category[0] != '\0' ? context.category : "default";
    QString line = QStringLiteral("%1: %2").arg(QString::fromUtf8(category), message);
    // A message that ends its own line (a "\n" at its end) does not get an empty one after it.
    while (line.endsWith(QLatin1Char('\n')))
        line.chop(1);
    return line;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    appendLogLine(g_logFilePath, formatFileLine(type, context, message, QDateTime::currentDateTime()));

    // syslog takes whole records, so the "\r\n" terminator of a debugger line is not sent.
    const QString formatted = formatDebuggerLine(type, context, message);
    const QString debuggerLine = formatted.size() <= kMaxLogRecordBytes / 3
                                     ? formatted
                                     : QString::fromUtf8(boundedLogRecord(formatted));
    if (DebuggerSink sink = g_debuggerSink.load())
        sink(type, debuggerLine);
    else
        sendToSyslog(type, debuggerLine);

    if (g_echoToStandardError.load()) {
        // One write per line, so that lines of different threads do not interleave.
        const QByteArray line = boundedLogRecord(formatStandardErrorLine(context, message)) + '\n';
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }
}
