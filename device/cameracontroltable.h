#pragma once

// Minimum, maximum, default and current value of the eight standard controls, shared by the
// window (which builds its sliders from it) and the query worker (which refreshes it). Pan and
// tilt are in degrees, zoom in hundredths (100 = 1.0x); the rest in the camera's own units.
// Every access takes the table's lock, so a reader never sees half an update.

#include <QMutex>

#include <array>

enum class CameraControl
{
    Pan,
    Tilt,
    Zoom,
    Brightness,
    Contrast,
    Hue,
    Saturation,
    Sharpness,
};
constexpr int kCameraControlCount = 8;

struct ControlValues
{
    int minimum = 0;
    int maximum = 0;
    int defaultValue = 0;
    int current = 0;
};

class CameraControlTable
{
public:
    // The table of this process, holding the values shown before any camera was read.
    static CameraControlTable& instance();

    ControlValues get(CameraControl control) const;
    void setRange(CameraControl control, int minimum, int maximum, int defaultValue);
    void setCurrent(CameraControl control, int current);
    // Back to the values before the first reading.
    void reset();

    static ControlValues initialValues(CameraControl control);

private:
    CameraControlTable();
    mutable QMutex m_lock; // guards m_values
    std::array<ControlValues, kCameraControlCount> m_values;
};
