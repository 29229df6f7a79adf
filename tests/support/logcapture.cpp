#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex g_lock; // guards everything below
QStringList g_lines;
QStringList g_debuggerLines;
LogCapture::Form g_form = LogCapture::Form::Message;
bool g_forwardWarnings = false;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    QtMessageHandler forwardTo = nullptr;
    {
        QMutexLocker locker(&g_lock);
        if (g_form == LogCapture::Form::Kind)
            g_lines << (type == QtInfoMsg    ? QStringLiteral("I ")
                        : type == QtDebugMsg ? QStringLiteral("D ")
                                             : QStringLiteral("W ")) +
                           message;
        else
            g_lines << message;
        if (g_forwardWarnings && type != QtDebugMsg && type != QtInfoMsg)
            forwardTo = g_previous;
    }
    if (forwardTo)
        forwardTo(type, context, message);
}

} // namespace

LogCapture::LogCapture(Form form, bool forwardWarnings)
{
    {
        QMutexLocker locker(&g_lock);
        g_lines.clear();
        g_form = form;
        g_forwardWarnings = forwardWarnings;
    }
    m_previous = qInstallMessageHandler(capture);
    QMutexLocker locker(&g_lock);
    g_previous = m_previous;
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
    QMutexLocker locker(&g_lock);
    g_previous = nullptr;
}

QStringList LogCapture::lines()
{
    QMutexLocker locker(&g_lock);
    return g_lines;
}

void LogCapture::clear()
{
    QMutexLocker locker(&g_lock);
    g_lines.clear();
}

int LogCapture::count(const QString& line)
{
    QMutexLocker locker(&g_lock);
    return static_cast<int>(g_lines.count(line));
}

bool LogCapture::contains(const QString& fragment)
{
    QMutexLocker locker(&g_lock);
    for (const QString& line : qAsConst(g_lines)) {
        if (line.contains(fragment))
            return true;
    }
    return false;
}

void LogCapture::recordDebuggerLine(QtMsgType, const QString& line)
{
    QMutexLocker locker(&g_lock);
    g_debuggerLines << line;
}

QStringList LogCapture::debuggerLines()
{
    QMutexLocker locker(&g_lock);
    return g_debuggerLines;
}

void LogCapture::clearDebuggerLines()
{
    QMutexLocker locker(&g_lock);
    g_debuggerLines.clear();
}
