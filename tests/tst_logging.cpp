#include "app/logging.h"
#include "tests/support/logcapture.h"

#include <QtTest>

#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <set>
#include <vector>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFileOfSize(const QString& path, qint64 size, char fill)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.write(QByteArray(static_cast<int>(size), fill)) == size);
}

const QDateTime kWhen(QDate(2026, 1, 5), QTime(9, 3, 7, 42));

// Installs the handler on a fresh log file and restores the test framework's handler afterwards.
class HandlerScope
{
public:
    explicit HandlerScope(const QString& path)
    {
        setLogFilePath(path);
        setDebuggerSink(LogCapture::recordDebuggerLine);
        LogCapture::clearDebuggerLines();
        m_previous = qInstallMessageHandler(logMessageHandler);
    }
    ~HandlerScope()
    {
        qInstallMessageHandler(m_previous);
        setDebuggerSink(nullptr);
        setLogFilePath(QString());
    }

private:
    QtMessageHandler m_previous = nullptr;
};

} // namespace

class TstLogging : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void fileLineFormats_data();
    void fileLineFormats();
    void debuggerLineFormats_data();
    void debuggerLineFormats();
    void shortFunctionNames_data();
    void shortFunctionNames();

    void handlerWritesFileAndDebuggerLines();
    void rotation_data();
    void rotation();
    void deletedFileIsRecreated();
    void unwritableDirectoryWarnsOnce();
    void ensureFilePathResolvesUserPaths();
    void concurrentLoggingKeepsEveryLineWhole();
    void longRecordsAreCut_data();
    void longRecordsAreCut();
    void hugeMessagesKeepTheRotation();

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_log;
};

void TstLogging::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_log = m_dir->filePath(QStringLiteral("ld.log"));
}

void TstLogging::fileLineFormats_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withContext");
    QTest::addColumn<QString>("expected");
    const QString longForm =
        QStringLiteral("[2026-01-05 09:03:07.042] %1 camera.src(88) <<void Camera::open()>>: text");
    const QString shortForm = QStringLiteral("[2026-01-05 09:03:07.042] %1: text");
    const QVector<QPair<int, QString>> tags = {{QtDebugMsg, "-D- "},    {QtWarningMsg, "-W- "},
                                               {QtCriticalMsg, "-C- "}, {QtFatalMsg, "-F- "},
                                               {QtInfoMsg, "-I- "},     {7, "-E- "}};
    for (const auto& tag : tags) {
        QTest::addRow("long %d", tag.first) << tag.first << true << longForm.arg(tag.second);
        QTest::addRow("short %d", tag.first) << tag.first << false << shortForm.arg(tag.second);
    }
}

void TstLogging::fileLineFormats()
{
    QFETCH(int, type);
    QFETCH(bool, withContext);
    QFETCH(QString, expected);
    const QMessageLogContext context =
        withContext ? QMessageLogContext("camera.src", 88, "void Camera::open()", "default")
                    : QMessageLogContext();
    QCOMPARE(formatFileLine(static_cast<QtMsgType>(type), context, QStringLiteral("text"), kWhen), expected);
}

void TstLogging::debuggerLineFormats_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("withContext");
    QTest::addColumn<QString>("expected");
    QTest::newRow("warning with context")
        << int(QtWarningMsg) << true << "camera.src(88): [Warning] <<Camera::open>> text";
    QTest::newRow("info without context") << int(QtInfoMsg) << false << " [Info] text";
    QTest::newRow("debug without context") << int(QtDebugMsg) << false << " [Debug] text";
    QTest::newRow("critical") << int(QtCriticalMsg) << false << " [Critical] text";
    QTest::newRow("fatal") << int(QtFatalMsg) << false << " [Fatal] text";
    QTest::newRow("other type") << 9 << false << " [Error] text";
}

void TstLogging::debuggerLineFormats()
{
    QFETCH(int, type);
    QFETCH(bool, withContext);
    QFETCH(QString, expected);
    const QMessageLogContext context =
        withContext ? QMessageLogContext("camera.src", 88, "void Camera::open()", "default")
                    : QMessageLogContext();
    QCOMPARE(formatDebuggerLine(static_cast<QtMsgType>(type), context, QStringLiteral("text")), expected);
}

void TstLogging::shortFunctionNames_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QString>("expected");
    QTest::newRow("member") << "void Camera::open()"
                            << "Camera::open";
    QTest::newRow("no blank before the parenthesis") << "main(int,char**)"
                                                     << "main(int,char**)";
    QTest::newRow("blanks in the parameters") << "int main(int, char **)"
                                              << "main";
    QTest::newRow("const member with parameters") << "QString Foo::bar(const QString &) const"
                                                  << "Foo::bar";
    QTest::newRow("empty") << ""
                           << "";
}

void TstLogging::shortFunctionNames()
{
    QFETCH(QString, signature);
    QFETCH(QString, expected);
    QCOMPARE(shortFunctionName(signature.toUtf8().constData()), expected);
}

void TstLogging::handlerWritesFileAndDebuggerLines()
{
    {
        HandlerScope scope(m_log);
        QMessageLogger().info("- System Start!"); // no context, as in a release build
        QMessageLogger("camera.src", 88, "void Camera::open()").warning("text");
    }
    const QList<QByteArray> lines = readAll(m_log).split('\n');
    QCOMPARE(lines.size(), 3); // two lines, each ending in "\r\n"
    QVERIFY(lines.at(2).isEmpty());
    const QRegularExpression stamp(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] "));
    QVERIFY(stamp.match(QString::fromUtf8(lines.at(0))).hasMatch());
    QVERIFY2(lines.at(0).endsWith("] -I- : - System Start!\r"), lines.at(0));
    QVERIFY2(lines.at(1).endsWith("] -W-  camera.src(88) <<void Camera::open()>>: text\r"), lines.at(1));
    QCOMPARE(LogCapture::debuggerLines(),
             QStringList({" [Info] - System Start!", "camera.src(88): [Warning] <<Camera::open>> text"}));
}

void TstLogging::rotation_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("rotates");
    QTest::newRow("exactly 5 MiB stays") << qint64(5242880) << false;
    QTest::newRow("one byte more rotates") << qint64(5242881) << true;
}

void TstLogging::rotation()
{
    QFETCH(qint64, size);
    QFETCH(bool, rotates);
    writeFileOfSize(m_log, size, 'L');
    writeFileOfSize(m_log + ".1", 10, '1');
    writeFileOfSize(m_log + ".2", 20, '2');

    appendLogLine(m_log, QStringLiteral("next"));

    if (rotates) {
        QCOMPARE(readAll(m_log), QByteArray("next\r\n"));
        QCOMPARE(QFileInfo(m_log + ".1").size(), size);
        QCOMPARE(readAll(m_log + ".2"), QByteArray(10, '1')); // the old ".2" is gone
        QVERIFY(!QFile::exists(m_log + ".3"));
    } else {
        QCOMPARE(QFileInfo(m_log).size(), size + 6);
        QCOMPARE(readAll(m_log + ".1"), QByteArray(10, '1'));
        QCOMPARE(readAll(m_log + ".2"), QByteArray(20, '2'));
    }
}

void TstLogging::deletedFileIsRecreated()
{
    appendLogLine(m_log, QStringLiteral("first"));
    QVERIFY(QFile::remove(m_log));
    appendLogLine(m_log, QStringLiteral("second"));
    QCOMPARE(readAll(m_log), QByteArray("second\r\n"));
}

void TstLogging::unwritableDirectoryWarnsOnce()
{
    // A regular file where a directory should be: not even root can create the directory.
    const QString blocker = m_dir->filePath(QStringLiteral("blocker"));
    writeFileOfSize(blocker, 1, 'x');
    const QString wanted = blocker + QStringLiteral("/sub/ld.log");

    QTest::ignoreMessage(QtWarningMsg,
                         qPrintable(QStringLiteral("Error, cannot create dir %1/sub").arg(blocker)));
    const QString resolved = ensureFilePath(wanted);
    QCOMPARE(resolved, wanted);

    HandlerScope scope(resolved);
    QMessageLogger().info("lost line");
    QVERIFY(!QFile::exists(resolved));
    QCOMPARE(LogCapture::debuggerLines(),
             QStringList(" [Info] lost line")); // the debugger line still goes out
}

void TstLogging::ensureFilePathResolvesUserPaths()
{
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", m_dir->path().toUtf8());
    const QString resolved = ensureFilePath(QStringLiteral("~/.ld\\sub\\ld.log"), false, "seed");
    const QString directory = ensureFilePath(QStringLiteral("~/nothing\\here"), true);
    qputenv("HOME", oldHome);

    QCOMPARE(resolved, m_dir->path() + QStringLiteral("/.ld/sub/ld.log"));
    QCOMPARE(readAll(resolved), QByteArray("seed"));
    QCOMPARE(directory, m_dir->path() + QStringLiteral("/nothing/here"));
    QVERIFY(!QFile::exists(directory));

    // An existing file keeps its content; "~" elsewhere than at the start is left alone.
    appendLogLine(resolved, QStringLiteral("x"));
    ensureFilePath(resolved, false, "other");
    QCOMPARE(readAll(resolved), QByteArray("seedx\r\n"));
    QCOMPARE(ensureFilePath(m_dir->filePath(QStringLiteral("a~/b")), true),
             m_dir->filePath(QStringLiteral("a~/b")));
}

void TstLogging::concurrentLoggingKeepsEveryLineWhole()
{
    // Start just under the rotation size so that the threads also race through a rotation.
    const QByteArray filler = QByteArray(98, 'p') + "\r\n";
    {
        QFile file(m_log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        while (file.size() + filler.size() <= kLogRotateSize - 2000)
            file.write(filler);
    }
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    {
        HandlerScope scope(m_log);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([t] {
                for (int i = 0; i < kLines; ++i)
                    QMessageLogger().info("thread %d line %d %s", t, i, QByteArray(40, 'z').constData());
            }));
            threads.back()->start();
        }
        for (auto& thread : threads)
            QVERIFY(thread->wait(60000));
    }

    std::set<QByteArray> seen;
    const QRegularExpression shape(
        QStringLiteral("^\\[[0-9: .-]{23}\\] -I- : thread \\d line \\d+ z{40}\r$"));
    int lineCount = 0;
    for (const QString& path : {m_log, m_log + ".1", m_log + ".2"}) {
        for (const QByteArray& line : readAll(path).split('\n')) {
            if (line.isEmpty() || line.startsWith('p'))
                continue;
            ++lineCount;
            QVERIFY2(shape.match(QString::fromUtf8(line)).hasMatch(), line.constData());
            seen.insert(line.mid(line.indexOf("thread")));
        }
    }
    QCOMPARE(lineCount, kThreads * kLines);
    QCOMPARE(int(seen.size()), kThreads * kLines);
    QVERIFY(QFile::exists(m_log + ".1")); // the rotation did happen
}

void TstLogging::longRecordsAreCut_data()
{
    QTest::addColumn<QString>("unit"); // repeated to make the message
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("cut");
    // The short file form adds "[yyyy-MM-dd hh:mm:ss.zzz] -I- : ", 32 bytes, to the message.
    QTest::newRow("fits exactly") << "a" << kMaxLogRecordBytes - 32 << false;
    QTest::newRow("one byte over") << "a" << kMaxLogRecordBytes - 31 << true;
    QTest::newRow("50 KB of ASCII") << "a" << 50000 << true;
    QTest::newRow("two-byte characters") << QStringLiteral("\u00e9") << 30000 << true;
    QTest::newRow("three-byte characters") << QStringLiteral("\u20ac") << 30000 << true;
    QTest::newRow("four-byte characters") << QStringLiteral("\U0001F600") << 30000 << true;
    QTest::newRow("mixed") << QStringLiteral("a\u00e9\u20ac\U0001F600") << 5000 << true;
}

void TstLogging::longRecordsAreCut()
{
    QFETCH(QString, unit);
    QFETCH(int, count);
    QFETCH(bool, cut);
    const QString message = unit.repeated(count);
    {
        HandlerScope scope(m_log);
        QMessageLogger().info("%s", qUtf8Printable(message));
    }
    QByteArray line = readAll(m_log);
    QVERIFY(line.endsWith("\r\n"));
    line.chop(2);
    QVERIFY2(line.size() <= kMaxLogRecordBytes, qPrintable(QString::number(line.size())));
    const QByteArray whole = formatFileLine(QtInfoMsg, QMessageLogContext(), message, kWhen).toUtf8();
    const QByteArray prefix = QByteArray("] -I- : ");
    QVERIFY(line.contains(prefix));
    if (!cut) {
        QCOMPARE(line.size(), whole.size());
        QVERIFY(line.endsWith(message.toUtf8()));
        return;
    }
    const QRegularExpression marker(QStringLiteral(" \\[(\\d+) bytes cut\\]$"));
    const QRegularExpressionMatch match = marker.match(QString::fromUtf8(line));
    QVERIFY2(match.hasMatch(), line.right(40).constData());
    const QByteArray kept = line.left(line.size() - match.capturedLength(0));
    // Cut on a character boundary: the kept bytes are valid UTF-8 and a prefix of the record.
    QCOMPARE(QString::fromUtf8(kept).toUtf8(), kept);
    QVERIFY(!QString::fromUtf8(kept).contains(QChar::ReplacementCharacter));
    const QByteArray keptMessage = kept.mid(kept.indexOf(prefix) + prefix.size());
    QVERIFY(message.toUtf8().startsWith(keptMessage));
    QVERIFY(keptMessage.size() > kMaxLogRecordBytes - 100); // little room is wasted
    QCOMPARE(match.captured(1).toLongLong(), qint64(whole.size() - kept.size()));

    // The debugger line is bounded the same way.
    QCOMPARE(LogCapture::debuggerLines().size(), 1);
    QVERIFY(LogCapture::debuggerLines().first().toUtf8().size() <= kMaxLogRecordBytes);
    const bool debuggerCut =
        formatDebuggerLine(QtInfoMsg, QMessageLogContext(), message).toUtf8().size() > kMaxLogRecordBytes;
    QCOMPARE(LogCapture::debuggerLines().first().endsWith(QLatin1String(" bytes cut]")), debuggerCut);
}

void TstLogging::hugeMessagesKeepTheRotation()
{
    // Just under the rotation size, then messages of 2 MB each: every file stays within the
    // rotation size and one record.
    writeFileOfSize(m_log, kLogRotateSize - 10, 'L');
    {
        HandlerScope scope(m_log);
        const QByteArray huge(2 * 1024 * 1024, 'h');
        for (int i = 0; i < 4; ++i)
            QMessageLogger().debug("%s", huge.constData());
    }
    for (const QString& path : {m_log, m_log + ".1", m_log + ".2"}) {
        const qint64 size = QFileInfo(path).size();
        QVERIFY2(size <= kLogRotateSize + kMaxLogRecordBytes + 2,
                 qPrintable(QStringLiteral("%1: %2").arg(path).arg(size)));
    }
    const QList<QByteArray> lines = readAll(m_log).split('\n');
    QVERIFY(lines.first().endsWith(" bytes cut]\r"));
}

QTEST_GUILESS_MAIN(TstLogging)
#include "tst_logging.moc"
