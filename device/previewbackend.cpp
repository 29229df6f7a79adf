#include "previewbackend.h"

#include "device/videobackend.h"

namespace {

const char kCameraInputFormat[] = "v4l2";

} // namespace

QVector<QPair<QByteArray, QByteArray>> cameraCaptureOptions()
{
    return {{"input_format", "mjpeg"}, {"video_size", "1920x1080"}, {"framerate", "30"}};
}

PreviewInput captureNodeInput(VideoBackend& video, const QString& friendlyName)
{
    PreviewInput input;
    input.inputFormat = QString::fromLatin1(kCameraInputFormat);
    input.options = cameraCaptureOptions();
    for (const VideoDeviceInfo& device : video.listCaptureDevices()) {
        if (device.friendlyName == friendlyName) {
            input.url = device.node;
            break;
        }
    }
    return input;
}

PreviewInput testPictureInput(int camera)
{
    PreviewInput input;
    input.kind = PreviewInput::Kind::TestPicture;
    input.url = QStringLiteral("testsrc2");
    input.virtualCamera = camera;
    return input;
}

void PreviewBackend::setStreaming(int /*camera*/, bool /*on*/) {}

// No camera of a platform without test pictures shows one.
bool PreviewBackend::present(int /*camera*/)
{
    return false;
}

PreviewInput CaptureNodePreviewBackend::input(const QString& friendlyName)
{
    return captureNodeInput(m_video, friendlyName);
}
