#pragma once

// Where the preview's compressed pictures come from: a camera's capture node through FFmpeg's
// v4l2 input, any other FFmpeg input (a file, for tests and measurements), or, for a virtual
// camera, a moving test picture that is generated and compressed to MJPEG here, so that the
// demonstration mode runs the same decoding and conversion as a real camera.

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

struct AVCodecParameters;
struct AVPacket;

struct StreamSource
{
    enum class Kind
    {
        Input,       // an FFmpeg input: url, inputFormat and options
        TestPicture, // the generated moving test picture of a virtual camera
    };

    Kind kind = Kind::Input;
    QString url;         // what FFmpeg opens: a capture node, a file
    QString inputFormat; // FFmpeg's input format name ("v4l2", "mjpeg"); empty: FFmpeg guesses
    QVector<QPair<QByteArray, QByteArray>> options;
    // A live source (a camera) runs on whether or not the window keeps up: pictures are dropped
    // while the window is behind. A recorded one (a file) waits for the window instead.
    bool live = true;
    // TestPicture: the virtual camera (its index in the rig) that shows it; its "streaming" flag
    // is set while the stream runs, and the stream ends when the camera is unplugged.
    int virtualCamera = -1;
};

// The capture options asked of every camera: MJPEG, 1920x1080, 30 frames per second.
QVector<QPair<QByteArray, QByteArray>> cameraCaptureOptions();
// The source for the camera listed with this friendly name (the first capture device of that
// name): FFmpeg's "v4l2" input on its capture node with cameraCaptureOptions(), or the test picture
// for a virtual camera. A name that is not listed gives an input with an empty url, whose opening
// fails.
StreamSource cameraStreamSource(const QString& friendlyName);
// The generated test picture of virtual camera index, at 1920x1080 and 30 frames per second.
StreamSource testPictureSource(int virtualCamera);

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
