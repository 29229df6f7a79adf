#pragma once

// What every fuzz target shares: a quiet Qt application for the process, and the oracle check
// that turns a violated property into a finding (an abort, which libFuzzer saves as a crash).

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// Reports a violated property with the input's context and stops the run as a finding.
[[noreturn]] inline void fail(const char* property, const QByteArray& detail = QByteArray())
{
    std::fprintf(stderr, "\n==FUZZ ORACLE== %s\n%s\n", property, detail.constData());
    std::fflush(stderr);
    std::abort();
}

inline void check(bool condition, const char* property, const QByteArray& detail = QByteArray())
{
    if (!condition)
        fail(property, detail);
}

inline void quietMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

// The process-wide QCoreApplication (some parsers use Qt's process and file services), with the
// log messages of the code under test dropped: the fuzzer's own output stays readable and fast.
// Call from LLVMFuzzerInitialize.
inline void startApplication(int* argc, char*** argv)
{
    // Never destroyed: libFuzzer ends the process with exit(), after Qt's own statics are gone.
    static QCoreApplication* application = nullptr;
    if (!application) {
        application = new QCoreApplication(*argc, *argv);
        QCoreApplication::setApplicationName(QStringLiteral("deckctl-fuzz"));
    }
    if (qEnvironmentVariableIsEmpty("DECKCTL_FUZZ_VERBOSE"))
        qInstallMessageHandler(quietMessages);
}

inline QByteArray bytes(const std::uint8_t* data, std::size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Writes a file of the fuzz set-up, with its folders; a set-up that cannot be written ends the run.
inline void putFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!writeFile(path, content))
        fail("cannot set up the fuzz folder", path.toUtf8());
}

} // namespace fuzz
