// Measures the main window on two virtual cameras, in process, at the window's default size on
// the screen it runs on:
//   (a) switching cameras: from a click on the other camera in listWidgetCamera until that
//       camera's controls are enabled (its name in labelDevModel, the zoom slider and the
//       tracking-mode list enabled); median and maximum over a number of switches, once with
//       the preview off and once while it runs (a switch closes the running preview);
//   (b) the longest stall of the GUI thread while the preview runs and the query worker polls:
//       a 1 ms precise timer on the GUI thread, the gap between its ticks beyond 1 ms is the
//       stall;
//   (c) CPU time per preview frame shown: the process's CPU time during a run divided by the
//       pictures painted in labPreview, with the CPU time of the same window without preview
//       (the query and recovery workers) as a baseline; next to FFmpeg's decoding alone of the
//       same virtual test stream (the test picture's packets, read once, decoded again and
//       again on one thread), and to the decoding and conversion the preview worker does
//       (PreviewDecoder fitted to the preview area).
// Prints a short table. Targets: (a) under 300 ms, (b) under 16 ms.
//
// Usage: window_bench [seconds of preview for (b) and (c), default 10] [switches, default 10].
// The platform is offscreen unless QT_QPA_PLATFORM says otherwise (xcb under Xvfb gives the
// 1280x800 screen's default window size). The brand is read from the settings file beside the
// executable, as the program does, and two cameras of that brand are made.

#include "app/globals.h"
#include "app/logging.h"
#include "app/settings.h"
#include "app/startup.h"
#include "device/cameracontroltable.h"
#include "device/deviceplatform.h"
#include "device/previewbackend.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "ui/mainwindow.h"
#include "workers/ffmpegsupport.h"
#include "workers/previewdecoder.h"
#include "workers/previewsource.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFont>
#include <QLabel>
#include <QListWidget>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr int kSwitchTimeoutMs = 10000;
constexpr int kPreviewTimeoutMs = 10000;
constexpr int kPauseBetweenSwitchesMs = 300;
// The test picture's first pictures are generated and compressed as they are shown; after this
// long it loops over the kept ones, as cheap as a camera's stream.
constexpr int kPreviewWarmUpMs = 4000;
constexpr int kBaselineMs = 5000;
// Packets of the test picture read for the decoding figure: its whole loop (3 s at 30 per second).
constexpr int kTestPicturePackets = 90;
constexpr int kDecodeMeasureMs = 2000;
// A preview area smaller than this shows nothing worth measuring; the window is then measured at
// the size the window takes on a 1280x800 screen (80 % and 74.48 % of it).
const QSize kSmallestPreview(32, 18);
const QSize kFallbackWindowSize(1024, 595);

double cpuMs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}
double processCpuMs()
{
    return cpuMs(CLOCK_PROCESS_CPUTIME_ID);
}
double threadCpuMs()
{
    return cpuMs(CLOCK_THREAD_CPUTIME_ID);
}

void dropDebuggerLine(QtMsgType, const QString&) {}

// The machine's load (the first three fields of /proc/loadavg): stalls on a loaded machine are
// partly waits for a core.
QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Counts the pictures painted in a widget.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

class Bench
{
public:
    explicit Bench(MainWindow& window) : m_window(window) {}

    template <class T> T* widget(const char* name) const
    {
        T* found = m_window.findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }

    // The camera of row is open with its controls usable.
    bool controlsEnabledFor(int row) const
    {
        const QString name =
            widget<QListWidget>("listWidgetCamera")->item(row)->data(Qt::UserRole + 1).toString();
        return widget<QLabel>("labelDevModel")->text() == name &&
               widget<QSlider>("sliderZoom")->isEnabled() &&
               widget<QComboBox>("comboBoxTrackMode")->isEnabled();
    }

    // Milliseconds from the click on row to its controls enabled; negative on a time-out.
    double switchTo(int row)
    {
        auto* list = widget<QListWidget>("listWidgetCamera");
        const QPoint point = list->visualItemRect(list->item(row)).center();
        QElapsedTimer elapsed;
        elapsed.start();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, point);
        while (!controlsEnabledFor(row)) {
            if (elapsed.elapsed() > kSwitchTimeoutMs)
                return -1;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        }
        return static_cast<double>(elapsed.nsecsElapsed()) / 1e6;
    }

    bool startPreview()
    {
        auto* preview = widget<QLabel>("labPreview");
        preview->clear();
        QTest::mouseClick(widget<QLabel>("labelTips"), Qt::LeftButton);
        QElapsedTimer waited;
        waited.start();
        while (preview->pixmap(Qt::ReturnByValue).isNull()) {
            if (waited.elapsed() > kPreviewTimeoutMs)
                return false;
            QTest::qWait(10);
        }
        return true;
    }

    void stopPreview()
    {
        auto* stop = widget<QLabel>("labelStop");
        QTest::mouseClick(stop, Qt::LeftButton);
        QTest::qWait(200);
    }

    int currentRow() const { return widget<QListWidget>("listWidgetCamera")->currentRow(); }

private:
    MainWindow& m_window;
};

struct SwitchFigures
{
    double medianMs = 0;
    double maxMs = 0;
    int failed = 0;
};

SwitchFigures measureSwitches(Bench& bench, int switches, bool previewing)
{
    std::vector<double> times;
    SwitchFigures figures;
    for (int i = 0; i < switches; ++i) {
        if (previewing && !bench.startPreview()) {
            ++figures.failed;
            continue;
        }
        const int row = bench.currentRow() == 0 ? 1 : 0;
        const double ms = bench.switchTo(row);
        if (ms < 0)
            ++figures.failed;
        else
            times.push_back(ms);
        QTest::qWait(kPauseBetweenSwitchesMs);
    }
    figures.medianMs = median(times);
    figures.maxMs = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
    return figures;
}

struct StallFigures
{
    double maxGapMs = 0;
    double p99GapMs = 0;
    int over16 = 0;
    int ticks = 0;
    // The GUI thread's own CPU time within one gap: the work that held the event loop, as
    // opposed to time the thread waited for a core (a loaded machine).
    double maxBusyMs = 0;
    double busyOfLongestGapMs = 0;
};

// Runs the event loop for durationMs with a 1 ms precise timer and records the gaps between its
// ticks, with the GUI thread's CPU time within each.
StallFigures measureStalls(int durationMs)
{
    std::vector<double> gaps;
    gaps.reserve(static_cast<size_t>(durationMs) * 2);
    StallFigures figures;
    QElapsedTimer clock;
    qint64 last = -1;
    double lastCpu = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const double cpu = threadCpuMs();
        if (last >= 0) {
            const double gap = static_cast<double>(now - last) / 1e6;
            const double busy = cpu - lastCpu;
            if (gaps.empty() || gap > figures.maxGapMs) {
                figures.maxGapMs = gap;
                figures.busyOfLongestGapMs = busy;
            }
            figures.maxBusyMs = std::max(figures.maxBusyMs, busy);
            gaps.push_back(gap);
        }
        last = now;
        lastCpu = cpu;
    });
    QEventLoop loop;
    QTimer::singleShot(durationMs, &loop, &QEventLoop::quit);
    clock.start();
    probe.start();
    loop.exec();
    probe.stop();

    figures.ticks = static_cast<int>(gaps.size());
    if (gaps.empty())
        return figures;
    std::sort(gaps.begin(), gaps.end());
    figures.p99GapMs = gaps[gaps.size() * 99 / 100];
    figures.over16 = static_cast<int>(gaps.end() - std::upper_bound(gaps.begin(), gaps.end(), 16.0));
    return figures;
}

struct CpuFigures
{
    double cpuMsPerFrame = 0;
    double netCpuMsPerFrame = 0; // less the window's CPU time without preview
    double framesPerSecond = 0;
    double baselineCpuMsPerSecond = 0;
    int frames = 0;
};

// CPU time of the process over durationMs of running event loop.
double cpuOver(int durationMs)
{
    const double start = processCpuMs();
    QTest::qWait(durationMs);
    return processCpuMs() - start;
}

struct DecodeFigures
{
    double aloneCpuMs = 0;  // full-size decoding, per picture
    double workerCpuMs = 0; // PreviewDecoder fitted to the area: decoding and conversion
    int lowres = 0;
    QSize outputSize;
    bool ok = false;
};

// Calls perPacket over all packets, as often as needed for kDecodeMeasureMs of measurement;
// returns this thread's CPU milliseconds per packet.
template <class F> double perPacketCpu(const std::vector<AVPacket*>& packets, F perPacket)
{
    for (const AVPacket* packet : packets) // warm-up
        perPacket(packet);
    QElapsedTimer wall;
    int passes = 0;
    const double start = threadCpuMs();
    wall.start();
    do {
        for (const AVPacket* packet : packets)
            perPacket(packet);
        ++passes;
    } while (wall.elapsed() < kDecodeMeasureMs);
    return (threadCpuMs() - start) / (passes * static_cast<double>(packets.size()));
}

DecodeFigures measureDecoding(int camera, QSize area)
{
    DecodeFigures figures;
    std::unique_ptr<PacketSource> source = openPacketSource(testPictureInput(camera), [] { return false; });
    if (!source)
        return figures;
    std::vector<AVPacket*> packets;
    AVPacket* packet = av_packet_alloc();
    QElapsedTimer waited;
    waited.start();
    while (static_cast<int>(packets.size()) < kTestPicturePackets && waited.elapsed() < 20000) {
        const int result = source->read(packet);
        if (result == AVERROR(EAGAIN)) {
            QTest::qSleep(2);
            continue;
        }
        if (result < 0)
            break;
        packets.push_back(av_packet_clone(packet));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (static_cast<int>(packets.size()) == kTestPicturePackets) {
        const AVCodecParameters* parameters = source->parameters();
        const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
        AVCodecContext* context = avcodec_alloc_context3(codec);
        AVFrame* frame = av_frame_alloc();
        if (context && frame && avcodec_parameters_to_context(context, parameters) >= 0 &&
            avcodec_open2(context, codec, nullptr) >= 0) {
            figures.aloneCpuMs = perPacketCpu(packets, [&](const AVPacket* p) {
                if (avcodec_send_packet(context, p) < 0)
                    return;
                while (avcodec_receive_frame(context, frame) == 0)
                    av_frame_unref(frame);
            });
            PreviewDecoder decoder;
            if (decoder.open(parameters)) {
                decoder.setTargetSize(area);
                qint64 pixels = 0;
                figures.workerCpuMs = perPacketCpu(packets, [&](const AVPacket* p) {
                    if (decoder.send(p) < 0)
                        return;
                    while (decoder.receive() == 0)
                        pixels += decoder.convert().width();
                });
                figures.lowres = decoder.lowres();
                figures.outputSize = decoder.outputSize();
                figures.ok = pixels > 0;
            }
        }
        av_frame_free(&frame);
        avcodec_free_context(&context);
    }
    for (AVPacket* kept : packets)
        av_packet_free(&kept);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("deckctl"));
    const QStringList arguments = QCoreApplication::arguments();
    const int seconds = arguments.size() > 1 ? std::max(1, arguments.at(1).toInt()) : 10;
    const int switches = arguments.size() > 2 ? std::max(1, arguments.at(2).toInt()) : 10;

    // As the program starts, with the log in a temporary directory.
    languageCN = false;
    registerFontSubstitutions();
    QApplication::setFont(QFont(applicationFontFamily(false), kApplicationFontPointSize));
    QTemporaryDir logDir;
    setLogFilePath(logDir.filePath(QStringLiteral("ld.log")));
    setDebuggerSink(&dropDebuggerLine);
    qInstallMessageHandler(logMessageHandler);
    initFfmpeg();

    // Two cameras of the brand the settings name.
    const int brand = SettingsStore::application().brandIndex();
    const QVector<int> models = brand == 0   ? QVector<int>{7, 6}
                                : brand == 1 ? QVector<int>{5, 8}
                                             : QVector<int>{};
    if (models.isEmpty()) {
        std::fprintf(stderr, "window_bench: brand %d of the settings lists no camera\n", brand);
        return 1;
    }
    QVector<VirtualCamera> cameras;
    for (int i = 0; i < models.size(); ++i) {
        cameras.append(VirtualCamera(models.at(i)));
        cameras.last().setBusPort(QStringLiteral("1-%1").arg(i + 1));
    }
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::make_unique<VirtualRig>(cameras)));

    int status = 0;
    {
        MainWindow window;
        window.show();
        if (!QTest::qWaitForWindowExposed(&window, 5000)) {
            std::fprintf(stderr, "window_bench: the window was not exposed\n");
            return 1;
        }
        QTest::qWait(500);
        Bench bench(window);
        if (bench.widget<QListWidget>("listWidgetCamera")->count() != 2) {
            std::fprintf(stderr, "window_bench: the camera list does not hold two cameras\n");
            return 1;
        }
        auto* preview = bench.widget<QLabel>("labPreview");
        const QScreen* screen = window.screen();
        std::printf("window_bench: platform %s, screen %dx%d, window %dx%d, preview area %dx%d\n",
                    qPrintable(QGuiApplication::platformName()), screen->size().width(),
                    screen->size().height(), window.width(), window.height(), preview->width(),
                    preview->height());
        if (preview->width() < kSmallestPreview.width() || preview->height() < kSmallestPreview.height()) {
            // A window this narrow leaves the preview no room (the offscreen platform's 800x600
            // screen): measure at the size a 1280x800 screen gives the window instead.
            window.resize(kFallbackWindowSize);
            QTest::qWait(500);
            std::printf("window_bench: no room for the preview at this size; measured at %dx%d (the default "
                        "size on a 1280x800 screen), preview area %dx%d\n",
                        window.width(), window.height(), preview->width(), preview->height());
        }

        // (a)
        bench.switchTo(1); // warm-up: both cameras opened once
        QTest::qWait(kPauseBetweenSwitchesMs);
        const SwitchFigures idle = measureSwitches(bench, switches, false);
        const SwitchFigures previewing = measureSwitches(bench, switches, true);

        // (c) baseline: the window with a camera open, no preview.
        const double baselineCpu = cpuOver(kBaselineMs);

        // (b) and (c): the preview at the window's default size.
        if (!bench.startPreview()) {
            std::fprintf(stderr, "window_bench: the preview did not start\n");
            return 1;
        }
        QTest::qWait(kPreviewWarmUpMs);
        const StallFigures stalls = measureStalls(seconds * 1000);
        PaintCounter painted(preview);
        const double cpu = cpuOver(seconds * 1000);
        CpuFigures perFrame;
        perFrame.frames = painted.count;
        perFrame.framesPerSecond = painted.count / static_cast<double>(seconds);
        perFrame.baselineCpuMsPerSecond = baselineCpu * 1000.0 / kBaselineMs;
        if (painted.count > 0) {
            perFrame.cpuMsPerFrame = cpu / painted.count;
            perFrame.netCpuMsPerFrame = (cpu - perFrame.baselineCpuMsPerSecond * seconds) / painted.count;
        }
        bench.stopPreview();
        const int openCamera = 0; // the rig's first camera shows the first test picture
        const DecodeFigures decoding = measureDecoding(openCamera, preview->size());

        std::printf("\n%-64s %10s %10s\n", "", "median", "max");
        std::printf(
            "%-64s %8.1f ms %7.1f ms%s\n",
            qPrintable(QStringLiteral("(a) switch camera, click to controls enabled, %1x").arg(switches)),
            idle.medianMs, idle.maxMs, idle.failed ? "  (some switches failed)" : "");
        std::printf("%-64s %8.1f ms %7.1f ms%s\n", "    the same while the preview runs", previewing.medianMs,
                    previewing.maxMs, previewing.failed ? "  (some switches failed)" : "");
        std::printf("%-64s %10s %10s\n", "", "max", "99th pct");
        std::printf(
            "%-64s %8.1f ms %7.1f ms  (%d gaps over 16 ms in %d ticks)\n",
            qPrintable(QStringLiteral("(b) GUI thread stall, %1 s of preview and polling").arg(seconds)),
            stalls.maxGapMs, stalls.p99GapMs, stalls.over16, stalls.ticks);
        std::printf("%-64s %8.1f ms  (in the longest gap: %.1f ms)\n",
                    "    GUI thread's own CPU time within one gap, at most", stalls.maxBusyMs,
                    stalls.busyOfLongestGapMs);
        std::printf("%-64s %10s\n", "", "CPU/frame");
        std::printf("%-64s %8.2f ms  (%d frames, %.1f per s)\n",
                    "(c) window with preview, process CPU per frame shown", perFrame.cpuMsPerFrame,
                    perFrame.frames, perFrame.framesPerSecond);
        std::printf("%-64s %8.2f ms  (baseline %.1f ms CPU per s without preview)\n",
                    "    less the window's CPU without preview", perFrame.netCpuMsPerFrame,
                    perFrame.baselineCpuMsPerSecond);
        if (decoding.ok) {
            std::printf("%-64s %8.2f ms\n", "    FFmpeg decoding alone, same test stream, full size",
                        decoding.aloneCpuMs);
            std::printf("%-64s %8.2f ms  (size reduction %d, %dx%d)\n",
                        "    worker's decoding and conversion fitted to the preview area",
                        decoding.workerCpuMs, decoding.lowres, decoding.outputSize.width(),
                        decoding.outputSize.height());
        } else {
            std::printf("    the test stream could not be decoded alone\n");
            status = 1;
        }
        std::printf("targets: (a) under 300 ms, (b) under 16 ms; load average at the end: %s\n",
                    qPrintable(loadAverage()));
    }
    installDevicePlatform(nullptr);
    return status;
}
