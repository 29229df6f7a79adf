#include "cliupgrade.h"

#include "app/globals.h"
#include "app/settings.h"
#include "app/workerhost.h"
#include "cli/cli.h"
#include "upgrade/libsstarufu.h"
#include "upgrade/package.h"
#include "upgrade/upgradeprogress.h"
#include "upgrade/upgradethread.h"

#include <memory>
#include <vector>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

QString packageMessage(PackageOutcome outcome)
{
    switch (outcome) {
    case PackageOutcome::PackageFormatWrong:
        return QStringLiteral("Unable to upgrade. The format of firmware file is not correct.");
    case PackageOutcome::PackageCorrupted:
        return QStringLiteral("Unable to upgrade. The upgrade file is corrupted.");
    case PackageOutcome::PackageMismatch:
        return QStringLiteral("Unable to upgrade. The upgrade version does not match this device.");
    case PackageOutcome::PackageReady:
        break;
    }
    return QString();
}

// The write end of the self-pipe that the signal handler writes to; -1 while none is set up.
volatile sig_atomic_t g_signalWriteFd = -1;

// Only async-signal-safe calls here: the signal number goes into the pipe, and the event loop
// reads it from there.
extern "C" void onStopSignal(int signal)
{
    const int savedErrno = errno;
    const int fd = g_signalWriteFd;
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        const ssize_t written = ::write(fd, &byte, 1);
        static_cast<void>(written); // a full pipe already holds a signal to act on
    }
    errno = savedErrno;
}

// While it lives, SIGINT and SIGTERM no longer end the process: each becomes a byte to read
// from readFd(). The previous handlers come back when it goes.
class StopSignals
{
public:
    StopSignals()
    {
        // pipe() and fcntl() rather than pipe2(), which macOS lacks.
        if (::pipe(m_pipe) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
            return;
        }
        for (const int fd : m_pipe) {
            if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
                ::close(m_pipe[0]);
                ::close(m_pipe[1]);
                m_pipe[0] = m_pipe[1] = -1;
                return;
            }
        }
        g_signalWriteFd = m_pipe[1];
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &m_previousInt);
        ::sigaction(SIGTERM, &action, &m_previousTerm);
    }
    ~StopSignals()
    {
        if (m_pipe[0] < 0)
            return;
        ::sigaction(SIGINT, &m_previousInt, nullptr);
        ::sigaction(SIGTERM, &m_previousTerm, nullptr);
        g_signalWriteFd = -1;
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool valid() const { return m_pipe[0] >= 0; }
    int readFd() const { return m_pipe[0]; }
    // The first signal received since the last call, 0 for none; the pipe is emptied.
    int take()
    {
        int first = 0;
        unsigned char bytes[16];
        ssize_t count = 0;
        while (valid() && (count = ::read(m_pipe[0], bytes, sizeof bytes)) > 0) {
            if (first == 0)
                first = bytes[0];
        }
        return first;
    }

private:
    int m_pipe[2] = {-1, -1};
    struct sigaction m_previousInt = {};
    struct sigaction m_previousTerm = {};
};

// The width of the terminal on standard error; 0 when unknown.
int terminalColumns()
{
    struct winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

// How the run's progress is printed: on a terminal one line that is rewritten in place with the
// step, the percentage and the seconds so far; into a file or a pipe a plain line each time the
// step changes (a transfer's growing percentage is one step, each script line another).
class ProgressPrinter
{
public:
    ProgressPrinter(QTextStream& out, bool terminal) : m_out(out), m_terminal(terminal) { m_elapsed.start(); }

    void step(const UpgradeProgress& progress)
    {
        const bool changed = !m_any || !sameUpgradeStep(m_current, progress);
        m_any = true;
        m_current = progress;
        // A step's later reports (a transfer's growing count) replace its entry.
        if (changed)
            m_taken.push_back(progress);
        else
            m_taken.back() = progress;
        if (m_terminal) {
            tick();
        } else if (changed) {
            m_out << stepLine() << '\n';
            m_out.flush();
        }
    }

    // Once a second on a terminal: the time so far.
    void tick()
    {
        if (!m_terminal)
            return;
        const qint64 seconds = m_elapsed.elapsed() / 1000;
        QString line = m_any ? QStringLiteral("%1 (%2 s)").arg(stepLine()).arg(seconds)
                             : QStringLiteral("%1: upgrading, %2 s; do not unplug the camera")
                                   .arg(programName())
                                   .arg(seconds);
        // A line longer than the terminal would wrap, and "\r" would no longer reach its start.
        const int columns = terminalColumns();
        if (columns > 1 && line.size() >= columns)
            line.truncate(columns - 1);
        m_out << '\r' << line.leftJustified(m_shownWidth);
        m_out.flush();
        m_shownWidth = line.size();
    }

    bool terminal() const { return m_terminal; }
    // Each step reported so far, in order, as last reported.
    const std::vector<UpgradeProgress>& taken() const { return m_taken; }

private:
    QString stepLine() const
    {
        return QStringLiteral("%1: [%2%] %3")
            .arg(programName())
            .arg(m_current.percent, 3)
            .arg(upgradeStepText(m_current));
    }

    QTextStream& m_out;
    const bool m_terminal;
    QElapsedTimer m_elapsed;
    UpgradeProgress m_current;
    std::vector<UpgradeProgress> m_taken;
    bool m_any = false;
    int m_shownWidth = 0;
};

QString signalName(int signal)
{
    return signal == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT");
}

QString interruptedMessage(int signal, const QString& archive, bool abandoned)
{
    const QString repair =
        QStringLiteral("if the camera does not come back as a camera, repair it with \"%1 recover %2\"")
            .arg(programName(), archive);
    if (abandoned)
        return QStringLiteral("interrupted by %1: the upgrade step under way could not be stopped, the tool "
                              "quit without waiting for it; %2")
            .arg(signalName(signal), repair);
    return QStringLiteral("interrupted by %1: the upgrade was stopped; %2").arg(signalName(signal), repair);
}

// deckctl-cli's engine: the window's package preparation and upgrade worker.
class ThreadEngine : public UpgradeEngine
{
public:
    PackageOutcome prepare(const UpgradeRequest& request, QString* reason) override
    {
        return preparePackage(request.archive, request.unit != nullptr, request.cameraModel, reason);
    }
    void start(WorkerHost& host, const UpgradeRequest& request, const UpgradeSink& sink) override
    {
        const int brandIndex = SettingsStore::application().brandIndex();
        host.start(new UpgradeThread(brandIndex, request.cameraModel, request.unit != nullptr, request.unit),
                   [&sink](UpgradeThread* worker) { connectUpgradeWorker(worker, sink); });
    }
    void finish() override { USB_ExitDevice(); }
};

std::unique_ptr<UpgradeEngine>& installedEngine()
{
    static std::unique_ptr<UpgradeEngine> engine = std::make_unique<ThreadEngine>();
    return engine;
}

} // namespace

void setUpgradeEngine(std::unique_ptr<UpgradeEngine> engine)
{
    installedEngine() = engine ? std::move(engine) : std::make_unique<ThreadEngine>();
}

UpgradeResult runUpgrade(const UpgradeRequest& request, QTextStream& progress)
{
    const QString& archive = request.archive;
    UVCExtensionUnit* const unit = request.unit;
    UpgradeEngine& engine = *installedEngine();
    UpgradeResult result;
    StopSignals stopSignals;
    progress << programName() << ": preparing " << archive << '\n';
    progress.flush();
    QString reason;
    const PackageOutcome outcome = engine.prepare(request, &reason);
    if (const int signal = stopSignals.take()) {
        // Interrupted while the package was prepared: the camera was not touched.
        clearUpgradeWorkFolder();
        result.status = 1;
        result.interruptedBy = signal;
        result.message = QStringLiteral("interrupted by %1 before the upgrade began; the camera was not "
                                        "changed")
                             .arg(signalName(signal));
        return result;
    }
    if (outcome != PackageOutcome::PackageReady) {
        if (!reason.isEmpty())
            progress << programName() << ": " << reason << '\n';
        progress.flush();
        clearUpgradeWorkFolder();
        result.status = 1;
        result.message = packageMessage(outcome);
        return result;
    }

    g_bOpenCamera = unit != nullptr;
    QEventLoop loop;
    bool reported = false;
    // The worker runs as the window's workers do: on its own thread, deleting itself when done,
    // and its thread with it; the host stops it without touching the worker object.
    WorkerHost host;

    // The first SIGINT or SIGTERM asks the worker to stop: its waits end at once, and it begins no
    // further step. A step that stop() does not cut (a script line, a transfer) is given
    // kStopGraceMs to end; a second signal or the end of that time gives up on the worker.
    QTimer grace;
    grace.setSingleShot(true);
    grace.setInterval(kStopGraceMs);
    QObject::connect(&grace, &QTimer::timeout, [&] {
        result.workerAbandoned = true;
        loop.quit();
    });
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (stopSignals.valid()) {
        signalNotifier = std::make_unique<QSocketNotifier>(stopSignals.readFd(), QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            const int signal = stopSignals.take();
            if (signal == 0)
                return;
            if (result.interruptedBy != 0) {
                result.workerAbandoned = true;
                loop.quit();
                return;
            }
            result.interruptedBy = signal;
            progress << "\n"
                     << programName() << ": " << signalName(signal) << " received; stopping the upgrade\n";
            progress.flush();
            host.requestStop();
            grace.start();
        });
    }

    ProgressPrinter printer(progress, ::isatty(STDERR_FILENO) == 1);
    QTimer ticker;
    ticker.setInterval(1000);
    QObject::connect(&ticker, &QTimer::timeout, [&printer] { printer.tick(); });
    progress << programName() << ": upgrading; do not unplug the camera\n";
    progress.flush();
    if (printer.terminal())
        ticker.start();
    // The loop ends when the worker's thread has ended (or on giving up on it, above).
    UpgradeSink sink;
    sink.context = &loop;
    sink.finished = [&loop] { loop.quit(); };
    sink.report = [&](bool success, const QString& message) {
        reported = true;
        result.success = success;
        result.message = message;
    };
    sink.step = [&printer](const UpgradeProgress& step) { printer.step(step); };
    engine.start(host, request, sink);
    loop.exec();
    ticker.stop();
    grace.stop();
    signalNotifier.reset();
    if (printer.terminal())
        progress << '\n';
    result.steps = printer.taken();
    if (result.workerAbandoned && host.isActive() && !host.thread()->isFinished()) {
        // The worker still drives the device and reads the package: nothing it uses may be
        // released. The caller ends the process without tearing anything down.
        host.abandon();
        result.status = 1;
        result.success = false;
        result.message = interruptedMessage(result.interruptedBy, archive, true);
        return result;
    }
    result.workerAbandoned = false;
    host.stop();

    engine.finish();
    clearUpgradeWorkFolder();
    g_bOpenCamera = false;
    if (result.interruptedBy != 0 && !result.success) {
        result.status = 1;
        result.message = interruptedMessage(result.interruptedBy, archive, false);
        return result;
    }
    if (!reported) {
        // The worker ended without a result (a refused entry block, a boot stage it could not
        // climb): tell the user instead of pretending success.
        result.message = QStringLiteral("The upgrade ended without a result; see ~/.ld/ld.log.");
    }
    result.status = result.success ? 0 : 1;
    return result;
}

} // namespace cli
