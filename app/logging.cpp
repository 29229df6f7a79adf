#include "logging.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

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
            qWarning().noquote() << "Error, cannot create dir" << dir;
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

void appendLogLine(const QString& path, const QString& line)
{
    if (path.isEmpty())
        return;
    const QByteArray bytes = line.toUtf8() + "\r\n";

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

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    appendLogLine(g_logFilePath, formatFileLine(type, context, message, QDateTime::currentDateTime()));

    // syslog takes whole records, so the "\r\n" terminator of a debugger line is not sent.
    const QString debuggerLine = formatDebuggerLine(type, context, message);
    if (DebuggerSink sink = g_debuggerSink.load())
        sink(type, debuggerLine);
    else
        sendToSyslog(type, debuggerLine);
}
