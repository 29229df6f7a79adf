#pragma once

// The preview side of the platform: what the preview worker opens for a listed camera. A camera
// of the Linux platform is its capture node through FFmpeg's "v4l2" input; a platform may also
// hand out a generated test picture, which the worker makes and compresses itself (so that it
// runs the same decoding as a camera) and whose stream it reports back through this face.

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

class VideoBackend;

// What the preview worker opens.
struct PreviewInput
{
    enum class Kind
    {
        Input,       // an FFmpeg input: url, inputFormat and options
        TestPicture, // a generated moving test picture, shown by camera virtualCamera
    };

    Kind kind = Kind::Input;
    QString url;         // what FFmpeg opens: a capture node, a file
    QString inputFormat; // FFmpeg's input format name ("v4l2", "mjpeg"); empty: FFmpeg guesses
    QVector<QPair<QByteArray, QByteArray>> options;
    // A live source (a camera) runs on whether or not the window keeps up: pictures are dropped
    // while the window is behind. A recorded one (a file) waits for the window instead.
    bool live = true;
    // TestPicture: the platform's camera (its index) that shows it; the platform is told while
    // the stream runs (PreviewBackend::setStreaming), and the stream ends when the camera is gone.
    int virtualCamera = -1;
};

// The capture options asked of every camera: MJPEG, 1920x1080, 30 frames per second.
QVector<QPair<QByteArray, QByteArray>> cameraCaptureOptions();
// FFmpeg's "v4l2" input on the capture node that video lists first under this friendly name, with
// cameraCaptureOptions(). A name that is not listed gives an input with an empty url, whose opening
// fails.
PreviewInput captureNodeInput(VideoBackend& video, const QString& friendlyName);
// The generated test picture shown by camera index, at 1920x1080 and 30 frames per second.
PreviewInput testPictureInput(int camera);

class PreviewBackend
{
public:
    virtual ~PreviewBackend() = default;
    // The input for the camera listed with this friendly name.
    virtual PreviewInput input(const QString& friendlyName) = 0;
    // A TestPicture input's stream started (on) or ended (off).
    virtual void setStreaming(int camera, bool on);
    // Whether the camera that shows a TestPicture input is still attached.
    virtual bool present(int camera);
};

// The preview of capture devices: every camera is its capture node (captureNodeInput()).
class CaptureNodePreviewBackend : public PreviewBackend
{
public:
    explicit CaptureNodePreviewBackend(VideoBackend& video) : m_video(video) {}
    PreviewInput input(const QString& friendlyName) override;

private:
    VideoBackend& m_video;
};
