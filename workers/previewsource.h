#pragma once

// Where the preview's compressed pictures come from: a camera's capture node through FFmpeg's
// v4l2 input, any other FFmpeg input (a file, for tests and measurements), or, when the platform
// hands one out, a moving test picture that is generated and compressed to MJPEG here, so that
// the demonstration mode runs the same decoding and conversion as a real camera.

#include "device/previewbackend.h"

#include <QString>

#include <functional>
#include <memory>

struct AVCodecParameters;
struct AVPacket;

// What the preview opens: the input the platform hands out for a camera
// (DevicePlatform::preview()), or any FFmpeg input (a file).
using StreamSource = PreviewInput;

// The source for the camera listed with this friendly name, as the device platform hands it out:
// for a camera, FFmpeg's "v4l2" input on its capture node with cameraCaptureOptions(); a name that
// is not listed gives an input with an empty url, whose opening fails.
StreamSource cameraStreamSource(const QString& friendlyName);

// What a failed packet read means for the reading loop.
enum class ReadFailure
{
    Retry,   // nothing there yet (EAGAIN): wait a moment and read again
    BackOff, // a failed read: wait longer, then read again
    End,     // the stream has ended or the device is gone: stop reading
};
ReadFailure classifyReadFailure(int error);

class PacketSource
{
public:
    virtual ~PacketSource();
    // The video stream's parameters.
    virtual const AVCodecParameters* parameters() const = 0;
    // Fills packet with the next packet of the video stream; 0 or a negative AVERROR. Packets of
    // other streams are released and skipped.
    virtual int read(AVPacket* packet) = 0;
};

// Opens source and finds its video stream. interrupted() is asked by FFmpeg while it waits for
// data; true makes the wait end with AVERROR_EXIT. Logs "Couldn't open input stream.\n",
// "Couldn't find stream information.\n" or "Couldn't find a video stream.\n" on failure and
// returns nullptr.
std::unique_ptr<PacketSource> openPacketSource(const StreamSource& source, std::function<bool()> interrupted);
