#include "previewdecoder.h"

#include "app/logcategories.h"
#include "workers/ffmpegsupport.h"

#include <QDebug>

#include <algorithm>
#include <ctime>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kMaxLowres = 3;
constexpr int kRowAlignment = 64; // bytes; lets the converter use its aligned stores
// Choosing between a reduced decoding and a full decoding that the converter scales down: each
// is measured on kProbePictures pictures, the cheaper one is kept for kKeepPictures pictures, and
// then both are measured again, since the cost follows the picture's content.
constexpr int kProbePictures = PreviewDecoder::kProbePictures;
constexpr int kKeepPictures = PreviewDecoder::kKeepPictures;

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// JPEG's full-range formats as the plain format plus the range.
AVPixelFormat plainFormat(AVPixelFormat format, bool* fullRange)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        *fullRange = true;
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        *fullRange = true;
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        *fullRange = true;
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        *fullRange = true;
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        *fullRange = true;
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

int colourMatrix(AVColorSpace space)
{
    switch (space) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        return SWS_CS_ITU601; // JPEG's own matrix, and what an unmarked camera stream uses
    }
}

struct ConverterKey
{
    int width = 0;
    int height = 0;
    int format = AV_PIX_FMT_NONE;
    bool fullRange = false;
    int matrix = 0;
    QSize output;

    bool operator==(const ConverterKey& o) const
    {
        return width == o.width && height == o.height && format == o.format && fullRange == o.fullRange &&
               matrix == o.matrix && output == o.output;
    }
};

} // namespace

QSize fittedPictureSize(QSize full, QSize area)
{
    if (area.isEmpty() || full.isEmpty())
        return full;
    QSize fitted = full.scaled(area, Qt::KeepAspectRatio);
    fitted.setWidth(std::max(fitted.width(), 1));
    fitted.setHeight(std::max(fitted.height(), 1));
    return fitted;
}

int lowresFor(QSize full, QSize wanted, int maxLowres)
{
    for (int k = std::min(maxLowres, kMaxLowres); k > 0; --k) {
        const int width = AV_CEIL_RSHIFT(full.width(), k);
        const int height = AV_CEIL_RSHIFT(full.height(), k);
        if (width >= wanted.width() && height >= wanted.height())
            return k;
    }
    return 0;
}

struct PreviewDecoder::Private
{
    enum class Route
    {
        ProbeReduced, // measuring the reduced decoding
        ProbeFull,    // measuring the full decoding, scaled by the converter
        Keep,         // using the cheaper one
    };

    AVCodecParameters* parameters = nullptr;
    const AVCodec* codec = nullptr;
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* converter = nullptr;
    ConverterKey converterKey;
    QSize full;   // the stream's picture size
    QSize target; // the area to fit pictures into; empty: full size
    int lowres = 0;
    bool conversionFailureLogged = false;

    // The choice of the size reduction for the current area.
    int allowedLowres = 0; // the largest reduction the area allows
    Route route = Route::ProbeReduced;
    int routePictures = 0; // pictures converted since the route began
    qint64 reducedCostNs = 0;
    qint64 fullCostNs = 0;
    int keptLowres = 0;
    qint64 sendStartNs = -1; // thread CPU time when the packet of the coming picture was sent

    bool openContext(int reduction)
    {
        avcodec_free_context(&context);
        context = avcodec_alloc_context3(codec);
        if (!context || avcodec_parameters_to_context(context, parameters) < 0)
            return false;
        context->lowres = reduction;
        if (avcodec_open2(context, codec, nullptr) < 0)
            return false;
        lowres = reduction;
        return true;
    }

    int wantedLowres()
    {
        // Only pictures that stand alone survive the decoder's reopening when the route changes.
        const int allowed = full.isEmpty() || target.isEmpty() || !intraOnly()
                                ? 0
                                : lowresFor(full, fittedPictureSize(full, target), codec->max_lowres);
        if (allowed != allowedLowres) {
            allowedLowres = allowed;
            startProbing();
        }
        if (allowed == 0)
            return 0;
        switch (route) {
        case Route::ProbeReduced:
            return allowed;
        case Route::ProbeFull:
            return 0;
        case Route::Keep:
            return keptLowres;
        }
        return 0;
    }

    bool intraOnly() const
    {
        const AVCodecDescriptor* descriptor = codec ? avcodec_descriptor_get(codec->id) : nullptr;
        return descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    }

    void startProbing()
    {
        route = Route::ProbeReduced;
        routePictures = 0;
        reducedCostNs = 0;
        fullCostNs = 0;
    }

    // One picture was converted: its cost counts for the route that made it.
    void pictureDone()
    {
        if (allowedLowres == 0 || sendStartNs < 0)
            return;
        const qint64 cost = threadCpuNs() - sendStartNs;
        sendStartNs = -1;
        ++routePictures;
        switch (route) {
        case Route::ProbeReduced:
            reducedCostNs += cost;
            if (routePictures == kProbePictures) {
                route = Route::ProbeFull;
                routePictures = 0;
            }
            break;
        case Route::ProbeFull:
            fullCostNs += cost;
            if (routePictures == kProbePictures) {
                keptLowres = reducedCostNs <= fullCostNs ? allowedLowres : 0;
                route = Route::Keep;
                routePictures = 0;
            }
            break;
        case Route::Keep:
            if (routePictures == kKeepPictures)
                startProbing();
            break;
        }
    }
};

PreviewDecoder::PreviewDecoder() : d(std::make_unique<Private>()) {}

PreviewDecoder::~PreviewDecoder()
{
    close();
}

bool PreviewDecoder::open(const AVCodecParameters* parameters)
{
    close();
    d->codec = avcodec_find_decoder(parameters->codec_id);
    if (!d->codec) {
        qCDebug(lcPreview, "Codec not found.\n");
        return false;
    }
    d->parameters = avcodec_parameters_alloc();
    d->frame = av_frame_alloc();
    if (!d->parameters || !d->frame || avcodec_parameters_copy(d->parameters, parameters) < 0) {
        qCDebug(lcPreview, "Could not open codec.\n");
        close();
        return false;
    }
    d->full = QSize(parameters->width, parameters->height);
    if (!d->openContext(d->wantedLowres())) {
        qCDebug(lcPreview, "Could not open codec.\n");
        close();
        return false;
    }
    return true;
}

void PreviewDecoder::close()
{
    sws_freeContext(d->converter);
    d->converter = nullptr;
    d->converterKey = ConverterKey();
    av_frame_free(&d->frame);
    avcodec_free_context(&d->context);
    avcodec_parameters_free(&d->parameters);
    d->codec = nullptr;
    d->lowres = 0;
    d->full = QSize();
    d->conversionFailureLogged = false;
    d->allowedLowres = 0;
    d->startProbing();
    d->sendStartNs = -1;
}

void PreviewDecoder::setTargetSize(QSize area)
{
    d->target = area;
}

bool PreviewDecoder::isIntraOnly() const
{
    return d->intraOnly();
}

int PreviewDecoder::lowres() const
{
    return d->lowres;
}

int PreviewDecoder::send(const AVPacket* packet)
{
    if (!d->context)
        return AVERROR(EINVAL);
    const int wanted = d->wantedLowres();
    if (wanted != d->lowres && !d->openContext(wanted)) {
        qCDebug(lcPreview, "Could not open codec.\n");
        avcodec_free_context(&d->context);
        return AVERROR(EINVAL);
    }
    d->sendStartNs = threadCpuNs();
    return avcodec_send_packet(d->context, packet);
}

int PreviewDecoder::receive()
{
    if (!d->context)
        return AVERROR(EINVAL);
    const int result = avcodec_receive_frame(d->context, d->frame);
    // A stream that did not state its size in its header gets it from its first picture.
    if (result == 0 && d->full.isEmpty())
        d->full = QSize(d->frame->width << d->lowres, d->frame->height << d->lowres);
    return result;
}

QSize PreviewDecoder::outputSize() const
{
    const QSize full = d->full.isEmpty() && d->frame ? QSize(d->frame->width, d->frame->height) : d->full;
    return fittedPictureSize(full, d->target);
}

QImage PreviewDecoder::convert()
{
    const AVFrame* frame = d->frame;
    if (!frame || frame->width <= 0 || frame->height <= 0)
        return QImage();
    ConverterKey key;
    key.width = frame->width;
    key.height = frame->height;
    key.fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    key.format = plainFormat(static_cast<AVPixelFormat>(frame->format), &key.fullRange);
    key.matrix = colourMatrix(frame->colorspace);
    key.output = outputSize();

    if (!d->converter || !(key == d->converterKey)) {
        sws_freeContext(d->converter);
        d->converter =
            sws_getContext(key.width, key.height, static_cast<AVPixelFormat>(key.format), key.output.width(),
                           key.output.height(), AV_PIX_FMT_RGB32, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (d->converter) {
            const int* coefficients = sws_getCoefficients(key.matrix);
            sws_setColorspaceDetails(d->converter, coefficients, key.fullRange ? 1 : 0, coefficients, 1, 0,
                                     1 << 16, 1 << 16);
        }
        d->converterKey = key;
    }
    if (!d->converter) {
        if (!d->conversionFailureLogged) {
            const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(key.format));
            qCDebug(lcPreview, "Cannot convert %dx%d %s pictures to 32-bit colour\n", key.width, key.height,
                    name ? name : "unknown");
            d->conversionFailureLogged = true;
        }
        return QImage();
    }

    const int width = key.output.width();
    const int height = key.output.height();
    const int bytesPerLine = FFALIGN(width * 4, kRowAlignment);
    auto* pixels =
        static_cast<uchar*>(av_malloc(static_cast<size_t>(bytesPerLine) * static_cast<size_t>(height)));
    if (!pixels)
        return QImage();
    QImage picture(pixels, width, height, bytesPerLine, QImage::Format_RGB32, &av_free, pixels);
    uint8_t* const planes[4] = {pixels, nullptr, nullptr, nullptr};
    const int strides[4] = {bytesPerLine, 0, 0, 0};
    sws_scale(d->converter, frame->data, frame->linesize, 0, frame->height, planes, strides);
    d->pictureDone();
    return picture;
}
