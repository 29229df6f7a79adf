#include "startup.h"
#include "app/logcategories.h"

#include <QDebug>
#include <QDir>
#include <QFont>
#include <QProcess>
#include <QSocketNotifier>
#include <QTranslator>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

int concludeEventLoop(int loopResult, const QString& program, const DetachedLauncher& launcher)
{
    if (loopResult != RestartExitCode)
        return loopResult;
    if (launcher(program))
        return 0;
    // Nothing replaces this process: say so instead of exiting as if all went well.
    qCritical().noquote() << "Restart failed, cannot start" << program;
    return 1;
}

bool startDetachedProcess(const QString& program)
{
    return QProcess::startDetached(program, QStringList());
}

void registerFontSubstitutions()
{
    // Preferred stand-ins first; the font database takes the first one that is installed.
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
                               {QStringLiteral("Noto Sans"), QStringLiteral("Cantarell"),
                                QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("Noto Sans CJK SC")});
    QFont::insertSubstitutions(QStringLiteral("Microsoft YaHei"),
                               {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Sans SC"),
                                QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("WenQuanYi Zen Hei"),
                                QStringLiteral("Droid Sans Fallback"), QStringLiteral("DejaVu Sans")});
}

QString applicationFontFamily(bool languageCN)
{
    return languageCN ? QStringLiteral("Microsoft YaHei") : QStringLiteral("Segoe UI");
}

bool loadTranslation(QTranslator& translator, const QString& installedDataDir)
{
    if (translator.load(kTranslationFileName))
        return true;
    return !installedDataDir.isEmpty() && translator.load(kTranslationFileName, installedDataDir);
}

namespace {
int g_signalPipe[2] = {-1, -1};

void forwardSignal(int signalNumber)
{
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Only async-signal-safe calls here; a full pipe drops the byte, one is enough.
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject* parent) : QObject(parent)
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcApp) << "Cannot watch termination signals";
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::readSignal);

    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void UnixSignalWatcher::readSignal()
{
    unsigned char byte = 0;
    while (::read(g_signalPipe[0], &byte, 1) == 1)
        emit terminationRequested(byte);
}
