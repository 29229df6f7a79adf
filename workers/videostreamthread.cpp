#include "videostreamthread.h"

#include "app/logcategories.h"
#include "workers/ffmpegsupport.h"
#include "workers/previewdecoder.h"

#include <QCoreApplication>
#include <QDebug>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
}

namespace {

// How long a recorded source waits before it looks again whether the window took a picture.
constexpr std::chrono::milliseconds kWindowWait{2};
// The wait after the stream ended until the window stops the worker; pause() wakes on stop().
constexpr std::chrono::hours kIdleWait{1};

struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

} // namespace

VideoStreamThread::VideoStreamThread(const QString& deviceName, QObject* parent)
    : VideoStreamThread(cameraStreamSource(deviceName), parent)
{
}

VideoStreamThread::VideoStreamThread(StreamSource source, QObject* parent)
    : Worker(parent), m_source(std::move(source)), m_url(m_source.url),
      m_inFlight(std::make_shared<std::atomic<int>>(0))
{
    // Runs on the application's main thread (the window's) just before the window's own slot for
    // the same picture, both being queued there in connection order: a picture is in flight from
    // its emission until the window's thread takes it up.
    if (QCoreApplication* application = QCoreApplication::instance()) {
        connect(
            this, &VideoStreamThread::onReader, application,
            [inFlight = m_inFlight] { inFlight->fetch_sub(1, std::memory_order_acq_rel); },
            Qt::QueuedConnection);
    }
}

VideoStreamThread::~VideoStreamThread() = default;

void VideoStreamThread::setTargetSize(QSize area)
{
    const quint64 width = static_cast<quint32>(std::max(area.width(), 0));
    const quint64 height = static_cast<quint32>(std::max(area.height(), 0));
    m_targetSize.store(width << 32 | height, std::memory_order_relaxed);
}

QSize VideoStreamThread::targetSize() const
{
    const quint64 packed = m_targetSize.load(std::memory_order_relaxed);
    return QSize(static_cast<int>(packed >> 32), static_cast<int>(packed & 0xFFFFFFFFu));
}

VideoStreamThread::Statistics VideoStreamThread::statistics() const
{
    Statistics statistics;
    statistics.read = m_read.load();
    statistics.decoded = m_decoded.load();
    statistics.emitted = m_emitted.load();
    statistics.dropped = m_dropped.load();
    statistics.readFailures = m_readFailures.load();
    return statistics;
}

void VideoStreamThread::start()
{
    setRunning();
    emit workStart();
    doWork();
}

void VideoStreamThread::stop()
{
    requestStop();
}

void VideoStreamThread::doWork()
{
    // Not started (or stopped already): no camera is opened just to be closed again.
    if (!isRunning()) {
        emit workFinished();
        return;
    }
    initFfmpeg();
    qCDebug(lcPreview).noquote() << "video input:" << m_url;
    Ending ending = Ending::Failed;
    {
        std::unique_ptr<PacketSource> source = openPacketSource(m_source, [this] { return !isRunning(); });
        if (!source)
            return;
        PreviewDecoder decoder;
        if (!decoder.open(source->parameters()))
            return;
        ending = readLoop(*source, decoder);
        // The decoder, the source and with it the device are released here.
    }
    switch (ending) {
    case Ending::Failed:
        return;
    case Ending::StreamEnded:
        while (pause(kIdleWait)) {
        }
        break;
    case Ending::Stopped:
        break;
    }
    emit workFinished();
}

VideoStreamThread::Ending VideoStreamThread::readLoop(PacketSource& source, PreviewDecoder& decoder)
{
    std::unique_ptr<AVPacket, PacketDeleter> packetOwner(av_packet_alloc());
    AVPacket* packet = packetOwner.get();
    if (!packet)
        return Ending::Failed;
    const bool intraOnly = decoder.isIntraOnly();
    bool readFailureLogged = false;
    int decodeErrorsInRow = 0;

    while (isRunning()) {
        decoder.setTargetSize(targetSize());
        int result = source.read(packet);
        if (result < 0) {
            switch (classifyReadFailure(result)) {
            case ReadFailure::Retry:
                pause(kRetryWait);
                continue;
            case ReadFailure::BackOff:
                ++m_readFailures;
                if (!readFailureLogged) {
                    qCDebug(lcPreview, "Reading the video stream failed: %s\n",
                            qUtf8Printable(ffmpegErrorText(result)));
                    readFailureLogged = true;
                }
                pause(kReadBackOff);
                continue;
            case ReadFailure::End:
                if (!isRunning())
                    return Ending::Stopped; // a read interrupted by stop()
                if (result == AVERROR(ENODEV))
                    qCDebug(lcPreview, "Video device is gone.\n");
                else
                    qCDebug(lcPreview, "Video stream ended.\n");
                return Ending::StreamEnded;
            }
        }
        readFailureLogged = false;
        ++m_read;
        if (packet->size <= 0) {
            // An empty buffer (a camera marks a damaged transfer so): nothing to decode.
            av_packet_unref(packet);
            continue;
        }
        if (intraOnly && !roomForPicture()) {
            ++m_dropped;
            av_packet_unref(packet);
            continue;
        }

        result = decoder.send(packet);
        av_packet_unref(packet);
        bool decoded = false;
        if (result >= 0) {
            while ((result = decoder.receive()) == 0) {
                decoded = true;
                ++m_decoded;
                emitPicture(decoder);
            }
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                result = 0;
        }
        if (result < 0) {
            if (decodeErrorsInRow++ == 0)
                qCDebug(lcPreview, "Decode Error.\n");
            if (decodeErrorsInRow >= kMaxDecodeErrorsInRow) {
                qCDebug(lcPreview, "%d pictures in a row could not be decoded; the preview ends.\n",
                        decodeErrorsInRow);
                return Ending::Failed;
            }
        } else if (decoded) {
            decodeErrorsInRow = 0;
        }
    }
    return Ending::Stopped;
}

bool VideoStreamThread::roomForPicture()
{
    if (m_source.live)
        return m_inFlight->load(std::memory_order_acquire) < kMaxPicturesInFlight;
    while (m_inFlight->load(std::memory_order_acquire) >= kMaxPicturesInFlight) {
        if (!pause(kWindowWait))
            return false;
    }
    return true;
}

void VideoStreamThread::emitPicture(PreviewDecoder& decoder)
{
    if (!roomForPicture()) {
        ++m_dropped;
        return;
    }
    QImage image = decoder.convert();
    if (image.isNull())
        return;
    const QPixmap pixmap = QPixmap::fromImage(std::move(image));
    if (pixmap.isNull()) {
        if (!m_pixmapFailureLogged) {
            qCDebug(lcPreview, "The preview's pictures cannot be made on this platform.\n");
            m_pixmapFailureLogged = true;
        }
        return;
    }
    m_inFlight->fetch_add(1, std::memory_order_acq_rel);
    ++m_emitted;
    emit onReader(pixmap);
}
