// Measures what one preview picture costs, on generated 1080p MJPEG streams like a camera's: a
// clean 4:2:0 stream and a noisy 4:2:2 one. For each stream, in one run:
//   (a) FFmpeg's decoding alone, at full size: the reference cost of showing this stream;
//   (b) the pipeline as first designed: full-size conversion to BGRA (bicubic), a deep copy, a
//       pixmap, and the window's smooth scaling into a 960x540 preview area;
//   (c) ours as built (PreviewDecoder fitted to the 960x540 area, then the pixmap the worker
//       hands over and the window's scaling, which has nothing left to do), with its stages;
// and, for reference, ours at full size (a window that does not tell the worker its area).
// Prints wall-clock and CPU milliseconds per frame (CPU of the whole process, all threads) and
// the ratio (c)/(a).
//
// Usage: preview_bench [frames per stream, default 120]. Needs the ffmpeg program to generate the
// streams.

#include "workers/ffmpegsupport.h"
#include "workers/previewdecoder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace {

const QSize kPreviewArea(960, 540);

struct Stream
{
    Stream(QString streamName, QString sourceGraph, QString format)
        : name(std::move(streamName)), graph(std::move(sourceGraph)), pixelFormat(std::move(format))
    {
    }

    QString name;
    QString graph;       // the ffmpeg program's lavfi source
    QString pixelFormat; // JPEG's full-range format to encode in
    AVCodecParameters* parameters = nullptr;
    std::vector<AVPacket*> packets;
    qint64 bytes = 0;
};

struct Figures
{
    double wallMs = 0; // per frame
    double cpuMs = 0;  // per frame
};

double processCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs pass over all packets, as often as needed for about a second of measurement.
Figures measure(const Stream& stream, const std::function<void(const AVPacket*)>& perPacket)
{
    const int frames = static_cast<int>(stream.packets.size());
    for (const AVPacket* packet : stream.packets) // warm-up: caches, allocations, lazy set-up
        perPacket(packet);
    int passes = 0;
    QElapsedTimer wall;
    const double cpuStart = processCpuMs();
    wall.start();
    do {
        for (const AVPacket* packet : stream.packets)
            perPacket(packet);
        ++passes;
    } while (wall.elapsed() < 1000);
    const double wallMs = static_cast<double>(wall.nsecsElapsed()) / 1e6;
    const double cpuMs = processCpuMs() - cpuStart;
    return {wallMs / (passes * frames), cpuMs / (passes * frames)};
}

bool generate(const QString& ffmpeg, const QString& path, const Stream& stream, int frames)
{
    QProcess process;
    process.start(ffmpeg,
                  {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                   QStringLiteral("-y"), QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                   stream.graph, QStringLiteral("-frames:v"), QString::number(frames), QStringLiteral("-c:v"),
                   QStringLiteral("mjpeg"), QStringLiteral("-q:v"), QStringLiteral("3"),
                   QStringLiteral("-pix_fmt"), stream.pixelFormat, QStringLiteral("-f"),
                   QStringLiteral("mjpeg"), path});
    if (!process.waitForFinished(300000) || process.exitCode() != 0) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", process.readAllStandardError().constData());
        return false;
    }
    return true;
}

bool load(const QString& path, Stream* stream)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.toUtf8().constData(), av_find_input_format("mjpeg"), nullptr) < 0)
        return false;
    bool ok = avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams > 0;
    if (ok) {
        stream->parameters = avcodec_parameters_alloc();
        avcodec_parameters_copy(stream->parameters, format->streams[0]->codecpar);
        AVPacket* packet = av_packet_alloc();
        while (av_read_frame(format, packet) >= 0) {
            stream->bytes += packet->size;
            stream->packets.push_back(av_packet_clone(packet));
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        ok = !stream->packets.empty();
    }
    avformat_close_input(&format);
    return ok;
}

AVCodecContext* openDecoder(const Stream& stream)
{
    const AVCodec* codec = avcodec_find_decoder(stream.parameters->codec_id);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(context, stream.parameters);
    if (avcodec_open2(context, codec, nullptr) < 0)
        avcodec_free_context(&context);
    return context;
}

// Decodes one packet; calls onFrame for every picture.
void decode(AVCodecContext* context, AVFrame* frame, const AVPacket* packet,
            const std::function<void(const AVFrame*)>& onFrame)
{
    if (avcodec_send_packet(context, packet) < 0)
        return;
    while (avcodec_receive_frame(context, frame) == 0) {
        onFrame(frame);
        av_frame_unref(frame);
    }
}

Figures decodeAlone(const Stream& stream)
{
    AVCodecContext* context = openDecoder(stream);
    AVFrame* frame = av_frame_alloc();
    const Figures figures = measure(
        stream, [&](const AVPacket* packet) { decode(context, frame, packet, [](const AVFrame*) {}); });
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return figures;
}

// As first designed: the stream's own format straight into the converter, full-size BGRA,
// wrapped, deep-copied, made a pixmap, and the window's smooth scaling.
Figures firstDesignPipeline(const Stream& stream, qint64* checksum)
{
    AVCodecContext* context = openDecoder(stream);
    AVFrame* frame = av_frame_alloc();
    const int width = stream.parameters->width;
    const int height = stream.parameters->height;
    SwsContext* converter = nullptr;
    std::vector<uint8_t> buffer(
        static_cast<size_t>(av_image_get_buffer_size(AV_PIX_FMT_BGRA, width, height, 1)));
    uint8_t* planes[4] = {};
    int strides[4] = {};
    av_image_fill_arrays(planes, strides, buffer.data(), AV_PIX_FMT_BGRA, width, height, 1);
    const Figures figures = measure(stream, [&](const AVPacket* packet) {
        decode(context, frame, packet, [&](const AVFrame* picture) {
            if (!converter)
                converter = sws_getContext(width, height, static_cast<AVPixelFormat>(picture->format), width,
                                           height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
            sws_scale(converter, picture->data, picture->linesize, 0, height, planes, strides);
            const QImage wrapped(buffer.data(), width, height, QImage::Format_RGB32);
            const QImage copy = wrapped.copy();
            if (copy.isNull())
                return;
            const QPixmap pixmap = QPixmap::fromImage(copy);
            const QPixmap shown = pixmap.scaled(kPreviewArea, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            *checksum += shown.width();
        });
    });
    sws_freeContext(converter);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return figures;
}

struct Stages
{
    qint64 decodeNs = 0;
    qint64 convertNs = 0;
    qint64 pixmapNs = 0;
    qint64 frames = 0;
};

// The worker's decoding and conversion as built, then what the worker and the window do with
// the picture.
Figures ourPipeline(const Stream& stream, QSize area, qint64* checksum, Stages* stages, int* lowres)
{
    PreviewDecoder decoder;
    decoder.open(stream.parameters);
    decoder.setTargetSize(area);
    QElapsedTimer stage;
    const Figures figures = measure(stream, [&](const AVPacket* packet) {
        stage.start();
        if (decoder.send(packet) < 0)
            return;
        while (decoder.receive() == 0) {
            stages->decodeNs += stage.nsecsElapsed();
            stage.start();
            QImage picture = decoder.convert();
            stages->convertNs += stage.nsecsElapsed();
            stage.start();
            const QPixmap pixmap = QPixmap::fromImage(std::move(picture));
            const QPixmap shown =
                area.isEmpty() ? pixmap : pixmap.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            *checksum += shown.width();
            stages->pixmapNs += stage.nsecsElapsed();
            ++stages->frames;
            stage.start();
        }
    });
    *lowres = decoder.lowres();
    return figures;
}

void printRow(const char* label, const Figures& figures)
{
    std::printf("  %-66s %8.2f %12.2f\n", label, figures.wallMs, figures.cpuMs);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const int frames = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 120;
    const QString ffmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
    if (ffmpeg.isEmpty()) {
        std::fprintf(stderr, "the ffmpeg program is needed to generate the streams\n");
        return 1;
    }
    initFfmpeg();
    // The first design's converter warns about the JPEG formats on every stream; keep the output
    // to the figures.
    av_log_set_level(AV_LOG_ERROR);

    QTemporaryDir directory;
    std::vector<Stream> streams = {
        {QStringLiteral("clean 4:2:0"), QStringLiteral("testsrc2=size=1920x1080:rate=30"),
         QStringLiteral("yuvj420p")},
        {QStringLiteral("noisy 4:2:2"),
         QStringLiteral("testsrc2=size=1920x1080:rate=30,noise=alls=12:allf=t+u"),
         QStringLiteral("yuvj422p")},
    };
    std::printf("preview cost per frame, 1920x1080 MJPEG, preview area %dx%d, %d frames per stream\n",
                kPreviewArea.width(), kPreviewArea.height(), frames);
    for (Stream& stream : streams) {
        const QString path = directory.filePath(stream.pixelFormat + QStringLiteral(".mjpeg"));
        if (!generate(ffmpeg, path, stream, frames) || !load(path, &stream)) {
            std::fprintf(stderr, "cannot prepare the %s stream\n", qPrintable(stream.name));
            return 1;
        }
        qint64 checksum = 0;
        const Figures alone = decodeAlone(stream);
        const Figures firstDesign = firstDesignPipeline(stream, &checksum);
        Stages stages;
        int lowres = 0;
        const Figures ours = ourPipeline(stream, kPreviewArea, &checksum, &stages, &lowres);
        Stages fullStages;
        int fullLowres = 0;
        const Figures oursFull = ourPipeline(stream, QSize(), &checksum, &fullStages, &fullLowres);

        std::printf("\n%s: %s, %lld KiB per frame on average\n", qPrintable(stream.name),
                    qPrintable(stream.graph),
                    static_cast<long long>(stream.bytes / static_cast<qint64>(stream.packets.size()) / 1024));
        std::printf("  %-66s %8s %12s\n", "pipeline", "ms/frame", "CPU ms/frame");
        printRow("(a) FFmpeg decode alone, full size", alone);
        printRow("(b) first design: full BGRA, copy, pixmap, smooth scale to area", firstDesign);
        printRow("(c) ours as built: fitted to the area", ours);
        const double frames_ = static_cast<double>(std::max<qint64>(stages.frames, 1));
        std::printf(
            "      of which decode (size reduction %d) %.2f, convert %.2f, pixmap and window scaling %.2f\n",
            lowres, static_cast<double>(stages.decodeNs) / 1e6 / frames_,
            static_cast<double>(stages.convertNs) / 1e6 / frames_,
            static_cast<double>(stages.pixmapNs) / 1e6 / frames_);
        printRow("    ours at full size (no area given; the window scales)", oursFull);
        std::printf("  ratio (c)/(a): %.2f wall, %.2f CPU; (c)/(b): %.2f wall\n", ours.wallMs / alone.wallMs,
                    ours.cpuMs / alone.cpuMs, ours.wallMs / firstDesign.wallMs);
        if (checksum == 0)
            std::printf("  (no picture was produced)\n");
        for (AVPacket* packet : stream.packets)
            av_packet_free(&packet);
        avcodec_parameters_free(&stream.parameters);
    }
    return 0;
}
