#pragma once

// The list of cameras and their standard controls (pan, tilt, zoom and the picture controls).
// Pan and tilt are exchanged in degrees (the kernel's arc-seconds are converted here), zoom and
// the picture controls in the camera's units.
//
// One capture device is bound process-wide for the single reads and writes (the opened
// camera); reading all ranges binds a device of its own. The bound device is guarded by a lock,
// and the shared control table has its own, so the window and the query worker may call in
// from their threads.

#include <QObject>
#include <QString>
#include <QVector>

#include <cstdint>
#include <memory>

class VideoBackend;
class VideoDeviceHandle;
struct ControlRange;

struct CameraEntry
{
    int index = -1; // position among all listed capture devices, microphones included
    QString id;     // the device path's middle part (see deviceIdFromPath)
    QString name;   // friendly name
};

// DirectShow-style property ids the window uses.
namespace camera_control_id {
constexpr int Pan = 0;
constexpr int Tilt = 1;
constexpr int Zoom = 3;
} // namespace camera_control_id
namespace video_proc_amp_id {
constexpr int Brightness = 0;
constexpr int Contrast = 1;
constexpr int Hue = 2;
constexpr int Saturation = 3;
constexpr int Sharpness = 4;
} // namespace video_proc_amp_id

class DShowCameraWrapper : public QObject
{
    Q_OBJECT
public:
    explicit DShowCameraWrapper(VideoBackend* backend = nullptr, QObject* parent = nullptr);

    // Lists the cameras (devices whose name contains "MIC" in any case are left out) and returns
    // how many there are.
    int listVideoDevices(QVector<CameraEntry>& entries);
    // Binds the device whose id and name equal the given ones; stores its position in index.
    bool openCameraFilter(const QString& id, const QString& name, int& index);
    void releaseCameraFilter();
    bool hasBoundFilter() const;
    // Opens the device at the given position into filter.
    bool bindFilterByIndex(int index, std::unique_ptr<VideoDeviceHandle>& filter);
    // Reads range and current value of all eight controls of the device at index into the
    // control table.
    bool queryControlRanges(int index);

    // Single reads and writes through the bound device. Reads store the value as the control's
    // current value. All return false when no device is bound or the camera refused.
    bool getCameraControl(int id, int& value);
    bool getVideoProcAmp(int id, int& value);
    bool setCameraControl(int id, int value);
    bool setVideoProcAmp(int id, int value);
    // Switches an amplifier control to automatic mode (where the camera has one), passing value.
    bool setVideoProcAmpAuto(int id, int value);
    // Range, step and default of one control of the bound device, in the units above (a step
    // finer than one unit counts as one). False when no device is bound or the camera has no
    // such control.
    bool getCameraControlRange(int id, ControlRange& range);
    bool getVideoProcAmpRange(int id, ControlRange& range);

    // Vendor and product id out of an id such as "vid_1d6b&pid_0102&mi_00#...".
    static bool parseVidPid(const QString& id, int& vid, int& pid);

private:
    VideoBackend* m_backend;
};
