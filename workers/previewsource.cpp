#include "previewsource.h"

#include "app/logcategories.h"
#include "device/deviceplatform.h"
#include "device/previewbackend.h"
#include "workers/ffmpegsupport.h"

#include <QDebug>

#include <cerrno>
#include <chrono>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace {

using Clock = std::chrono::steady_clock;

// The test picture: FFmpeg's moving test pattern, brought to full range so that it
// can be compressed as JPEG's full-range YUV without any further conversion.
const char kTestPictureGraph[] = "testsrc2=size=1920x1080:rate=30,scale=out_range=full,format=yuv420p";
constexpr int kTestPictureRate = 30;
// The first pictures are compressed as they are shown and kept; after this many, the kept
// pictures are shown again in a loop, so that a running demonstration costs no more than a
// camera would (decoding only).
constexpr int kTestPictureLoop = 90;
constexpr int kTestPictureQuality = 5;   // JPEG quantiser scale
constexpr int kPresenceCheckPeriod = 15; // pictures between two looks at the showing camera
// A generator that fell this far behind its schedule starts a new one instead of catching up.
constexpr std::chrono::milliseconds kMaxLag{100};

// The platform is asked each time, as the one in use may be replaced between streams.
void setStreaming(int camera, bool on)
{
    devicePlatform().preview().setStreaming(camera, on);
}

bool cameraPresent(int camera)
{
    return devicePlatform().preview().present(camera);
}

// An FFmpeg input; only packets of its first video stream are passed on.
class InputSource : public PacketSource
{
public:
    explicit InputSource(std::function<bool()> interrupted) : m_interrupted(std::move(interrupted)) {}
    ~InputSource() override { avformat_close_input(&m_format); }

    bool open(const StreamSource& source)
    {
        m_format = avformat_alloc_context();
        if (!m_format) {
            qCDebug(lcPreview, "Couldn't open input stream.\n");
            return false;
        }
        m_format->interrupt_callback.callback = &InputSource::interruptCallback;
        m_format->interrupt_callback.opaque = this;
        // A camera's reads return at once when no picture is ready, so that a camera that stops
        // delivering never blocks the worker (the worker waits between reads itself).
        if (source.live)
            m_format->flags |= AVFMT_FLAG_NONBLOCK;

        const AVInputFormat* inputFormat = nullptr;
        if (!source.inputFormat.isEmpty()) {
            inputFormat = av_find_input_format(source.inputFormat.toUtf8().constData());
            if (!inputFormat) {
                avformat_free_context(m_format);
                m_format = nullptr;
                qCDebug(lcPreview, "Couldn't open input stream.\n");
                return false;
            }
        }
        AVDictionary* options = nullptr;
        for (const auto& option : source.options)
            av_dict_set(&options, option.first.constData(), option.second.constData(), 0);
        // On failure avformat_open_input() frees the context and clears the pointer; either way
        // it leaves behind the options it did not use.
        const int opened =
            avformat_open_input(&m_format, source.url.toUtf8().constData(), inputFormat, &options);
        av_dict_free(&options);
        if (opened < 0) {
            qCDebug(lcPreview, "Couldn't open input stream.\n");
            return false;
        }
        // A camera's header already tells codec and picture size, and probing reads on a
        // non-blocking camera would spin until its first picture arrives; other inputs are probed.
        if (!(source.live && headerDescribesVideo()) && avformat_find_stream_info(m_format, nullptr) < 0) {
            qCDebug(lcPreview, "Couldn't find stream information.\n");
            return false;
        }
        for (unsigned i = 0; i < m_format->nb_streams; ++i) {
            if (m_format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                m_stream = static_cast<int>(i);
                break;
            }
        }
        if (m_stream < 0) {
            qCDebug(lcPreview, "Couldn't find a video stream.\n");
            return false;
        }
        return true;
    }

    const AVCodecParameters* parameters() const override { return m_format->streams[m_stream]->codecpar; }

    int read(AVPacket* packet) override
    {
        for (;;) {
            const int result = av_read_frame(m_format, packet);
            if (result < 0)
                return result;
            if (packet->stream_index == m_stream)
                return 0;
            av_packet_unref(packet);
        }
    }

private:
    bool headerDescribesVideo() const
    {
        for (unsigned i = 0; i < m_format->nb_streams; ++i) {
            const AVCodecParameters* parameters = m_format->streams[i]->codecpar;
            if (parameters->codec_type == AVMEDIA_TYPE_VIDEO && parameters->codec_id != AV_CODEC_ID_NONE &&
                parameters->width > 0 && parameters->height > 0)
                return true;
        }
        return false;
    }

    static int interruptCallback(void* opaque)
    {
        const auto* self = static_cast<const InputSource*>(opaque);
        return self->m_interrupted && self->m_interrupted() ? 1 : 0;
    }

    std::function<bool()> m_interrupted;
    AVFormatContext* m_format = nullptr;
    int m_stream = -1;
};

// A test picture stream: FFmpeg's test source, compressed to MJPEG at a camera's rate.
class TestPictureSource : public PacketSource
{
public:
    explicit TestPictureSource(int camera) : m_camera(camera) {}

    ~TestPictureSource() override
    {
        for (AVPacket* packet : m_kept)
            av_packet_free(&packet);
        av_packet_free(&m_rawPacket);
        av_frame_free(&m_frame);
        avcodec_free_context(&m_encoder);
        avcodec_free_context(&m_rawDecoder);
        avcodec_parameters_free(&m_parameters);
        avformat_close_input(&m_input);
        if (m_streaming)
            setStreaming(m_camera, false);
    }

    bool open()
    {
        if (!setUp()) {
            qCDebug(lcPreview, "Couldn't open input stream.\n");
            return false;
        }
        setStreaming(m_camera, true);
        m_streaming = true;
        m_start = Clock::now();
        return true;
    }

    const AVCodecParameters* parameters() const override { return m_parameters; }

    int read(AVPacket* packet) override
    {
        const Clock::time_point now = Clock::now();
        Clock::time_point due = dueTime(m_shown);
        if (now < due)
            return AVERROR(EAGAIN);
        if (now - due > kMaxLag)
            m_start = now - (due - m_start);
        if (m_shown % kPresenceCheckPeriod == 0 && !cameraPresent(m_camera))
            return AVERROR(ENODEV);
        if (static_cast<int>(m_kept.size()) < kTestPictureLoop) {
            AVPacket* compressed = av_packet_alloc();
            const int result = compressed ? compressNext(compressed) : AVERROR(ENOMEM);
            if (result < 0) {
                av_packet_free(&compressed);
                return result;
            }
            m_kept.push_back(compressed);
        }
        const int result = av_packet_ref(packet, m_kept[static_cast<size_t>(m_shown % kTestPictureLoop)]);
        if (result < 0)
            return result;
        packet->pts = packet->dts = m_shown;
        ++m_shown;
        return 0;
    }

private:
    bool setUp()
    {
        if (avformat_open_input(&m_input, kTestPictureGraph, av_find_input_format("lavfi"), nullptr) < 0 ||
            m_input->nb_streams < 1)
            return false;
        const AVCodecParameters* raw = m_input->streams[0]->codecpar;
        const AVCodec* rawCodec = avcodec_find_decoder(raw->codec_id);
        const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        if (!rawCodec || !mjpeg)
            return false;
        m_rawDecoder = avcodec_alloc_context3(rawCodec);
        if (!m_rawDecoder || avcodec_parameters_to_context(m_rawDecoder, raw) < 0 ||
            avcodec_open2(m_rawDecoder, rawCodec, nullptr) < 0)
            return false;
        m_encoder = avcodec_alloc_context3(mjpeg);
        if (!m_encoder)
            return false;
        m_encoder->width = raw->width;
        m_encoder->height = raw->height;
        // The graph delivers full-range 4:2:0, which is what JPEG's own 4:2:0 format holds.
        m_encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
        m_encoder->color_range = AVCOL_RANGE_JPEG;
        m_encoder->time_base = AVRational{1, kTestPictureRate};
        m_encoder->flags |= AV_CODEC_FLAG_QSCALE;
        m_encoder->global_quality = FF_QP2LAMBDA * kTestPictureQuality;
        if (avcodec_open2(m_encoder, mjpeg, nullptr) < 0)
            return false;
        m_parameters = avcodec_parameters_alloc();
        m_rawPacket = av_packet_alloc();
        m_frame = av_frame_alloc();
        return m_parameters && m_rawPacket && m_frame &&
               avcodec_parameters_from_context(m_parameters, m_encoder) >= 0;
    }

    int compressNext(AVPacket* compressed)
    {
        int result = 0;
        while ((result = avcodec_receive_frame(m_rawDecoder, m_frame)) == AVERROR(EAGAIN)) {
            result = av_read_frame(m_input, m_rawPacket);
            if (result < 0)
                return result;
            result = avcodec_send_packet(m_rawDecoder, m_rawPacket);
            av_packet_unref(m_rawPacket);
            if (result < 0)
                return result;
        }
        if (result < 0)
            return result;
        m_frame->format = AV_PIX_FMT_YUVJ420P;
        m_frame->color_range = AVCOL_RANGE_JPEG;
        m_frame->pts = static_cast<int64_t>(m_kept.size());
        m_frame->quality = m_encoder->global_quality;
        result = avcodec_send_frame(m_encoder, m_frame);
        av_frame_unref(m_frame);
        if (result < 0)
            return result;
        return avcodec_receive_packet(m_encoder, compressed);
    }

    Clock::time_point dueTime(std::int64_t picture) const
    {
        return m_start + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::microseconds(picture * 1000000 / kTestPictureRate));
    }

    int m_camera;
    bool m_streaming = false;
    AVFormatContext* m_input = nullptr;
    AVCodecContext* m_rawDecoder = nullptr;
    AVCodecContext* m_encoder = nullptr;
    AVCodecParameters* m_parameters = nullptr;
    AVPacket* m_rawPacket = nullptr;
    AVFrame* m_frame = nullptr;
    std::vector<AVPacket*> m_kept;
    std::int64_t m_shown = 0;
    Clock::time_point m_start;
};

} // namespace

PacketSource::~PacketSource() = default;

StreamSource cameraStreamSource(const QString& friendlyName)
{
    return devicePlatform().preview().input(friendlyName);
}

ReadFailure classifyReadFailure(int error)
{
    if (error == AVERROR(EAGAIN))
        return ReadFailure::Retry;
    if (error == AVERROR_EOF || error == AVERROR(ENODEV) || error == AVERROR_EXIT)
        return ReadFailure::End;
    return ReadFailure::BackOff;
}

std::unique_ptr<PacketSource> openPacketSource(const StreamSource& source, std::function<bool()> interrupted)
{
    initFfmpeg();
    if (source.kind == StreamSource::Kind::TestPicture) {
        auto testPicture = std::make_unique<TestPictureSource>(source.virtualCamera);
        if (!testPicture->open())
            return nullptr;
        return testPicture;
    }
    auto input = std::make_unique<InputSource>(std::move(interrupted));
    if (!input->open(source))
        return nullptr;
    return input;
}
