#pragma once

// The process-wide log: every message of every thread goes to a rotating file in the user's
// home directory and to syslog (the system's debugger-style output on Linux), and, when asked
// (deckctl-cli --verbose), to standard error as "<category>: <text>".

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

// A log file is rotated before a write when it is larger than this (a file of exactly this size
// is not rotated).
constexpr qint64 kLogRotateSize = 0x500000;

// One log record (a file line without its "\r\n", or a debugger line) holds at most this many
// bytes of UTF-8; a longer one is cut on a character boundary and ends with the cut marker, so
// that one huge message can never carry the log file far past its rotation size.
constexpr int kMaxLogRecordBytes = 4096;

// Resolves a user path ("~/" prefix, backslashes) and, unless it names a directory, makes sure
// its directory and the file exist (a new file gets initialContent). Returns the resolved path.
QString ensureFilePath(const QString& path, bool isDirectory = false,
                       const QByteArray& initialContent = QByteArray());

// The file the handler writes to. Set it before the handler is installed; it is read without a
// lock afterwards.
void setLogFilePath(const QString& resolvedPath);
QString logFilePath();

// The handler installed with qInstallMessageHandler.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Line formats, exposed for the tests and for anything that must match the file's layout.
QString logFileTag(QtMsgType type);
QString debuggerTag(QtMsgType type);
QString shortFunctionName(const char* signature);
QString formatFileLine(QtMsgType type, const QMessageLogContext& context, const QString& message,
                       const QDateTime& when);
QString formatDebuggerLine(QtMsgType type, const QMessageLogContext& context, const QString& message);

// The record as UTF-8, cut to kMaxLogRecordBytes when longer: the kept part ends on a character
// boundary and is followed by " [N bytes cut]" (the whole stays within the limit).
QByteArray boundedLogRecord(const QString& record);

// Rotates the file when needed and appends one line (bounded as above) and "\r\n" to it. A file that cannot
// be opened loses the line without any report (there is nowhere left to report it).
void appendLogLine(const QString& path, const QString& line);

// Where debugger lines go. The default sends them to syslog with the identity "deckctl"; tests
// may capture them instead. Pass nullptr to restore the default.
using DebuggerSink = void (*)(QtMsgType type, const QString& line);
void setDebuggerSink(DebuggerSink sink);

// Whether the handler also writes each message to standard error as "<category>: <text>" (one
// line, bounded as a file record). Off by default; the file and syslog get every message either
// way. Any thread.
void setLogEchoToStandardError(bool on);
QString formatStandardErrorLine(const QMessageLogContext& context, const QString& message);
