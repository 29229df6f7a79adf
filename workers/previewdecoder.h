#pragma once

// Decoding of the preview stream and conversion of its pictures to 32-bit colour.
//
// Pictures come out as QImage::Format_RGB32 (FFmpeg's AV_PIX_FMT_RGB32: B, G, R, 0xFF in memory
// on little-endian machines), either at the stream's full size or already fitted into the area
// the window shows them in (setTargetSize()): the picture then has exactly the size the window's
// aspect-keeping scaling would give it, so the window's scaling has nothing left to do.
//
// Cost: when the target area is at most half (a quarter, an eighth) of the stream's size in both
// directions, the decoder can be asked for a picture of that reduced size (FFmpeg's "lowres"),
// which skips much of the inverse transform and all of the full-size output, leaving the colour
// conversion little or no scaling to do. On detailed, noisy pictures the reduced transform can
// cost more than the full one saves, so the decoder measures both routes (its thread's CPU time
// from sending a packet to the converted picture, over a few pictures each), keeps the cheaper
// one for a while and measures again. Both routes give pictures of the same size. JPEG's
// full-range YUV formats (yuvj420p, yuvj422p, ...) are handed to the converter as their plain YUV
// formats with the full range set explicitly, which is
// the converter's supported way of describing them.
//
// Not thread-safe: one thread at a time (the preview worker's).

#include <QImage>
#include <QSize>

#include <memory>

struct AVCodecParameters;
struct AVPacket;

class PreviewDecoder
{
public:
    PreviewDecoder();
    ~PreviewDecoder();
    PreviewDecoder(const PreviewDecoder&) = delete;
    PreviewDecoder& operator=(const PreviewDecoder&) = delete;

    // Finds and opens a decoder for the stream. Logs "Codec not found.\n" or "Could not open
    // codec.\n" on failure.
    bool open(const AVCodecParameters* parameters);
    void close();

    // The area pictures are fitted into, keeping the aspect ratio; an empty size (the default)
    // keeps the stream's full size. Takes effect from the next packet.
    void setTargetSize(QSize area);
    // True when the codec's pictures do not depend on each other (MJPEG): a packet whose picture
    // would be dropped need not be decoded at all.
    bool isIntraOnly() const;
    // The size reduction the decoder currently works with (0: full size, 1: half, ...).
    int lowres() const;
    // Pictures a route is measured on before the choice, and kept for after it.
    static constexpr int kProbePictures = 15;
    static constexpr int kKeepPictures = 300;

    // Sends one packet to the decoder (the decoder is first reopened when the target area calls
    // for another size reduction). Returns 0 or a negative AVERROR; not logged, except a failed
    // reopening ("Could not open codec.\n").
    int send(const AVPacket* packet);
    // Takes the next decoded picture: 0, AVERROR(EAGAIN) when the decoder needs more packets, or
    // another negative AVERROR.
    int receive();
    // The picture received last, converted; a null image when the conversion failed (logged once
    // per stream).
    QImage convert();
    // Its size after conversion (before convert() is called).
    QSize outputSize() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The picture size the window's aspect-keeping scaling of a full picture into area gives
// (QSize::scaled with Qt::KeepAspectRatio, at least 1x1); full when area is empty.
QSize fittedPictureSize(QSize full, QSize area);
// The largest size reduction (0..maxLowres) whose picture still covers wanted in both directions.
int lowresFor(QSize full, QSize wanted, int maxLowres);
