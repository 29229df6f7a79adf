#include "cameracontroltable.h"

#include <QMutexLocker>

CameraControlTable& CameraControlTable::instance()
{
    static CameraControlTable table;
    return table;
}

CameraControlTable::CameraControlTable()
{
    reset();
}

ControlValues CameraControlTable::initialValues(CameraControl control)
{
    switch (control) {
    case CameraControl::Zoom:
        return {100, 800, 100, 100};
    case CameraControl::Pan:
    case CameraControl::Tilt:
        return {-20, 20, 0, 0};
    case CameraControl::Brightness:
        return {0, 100, 50, 50};
    case CameraControl::Contrast:
        return {0, 100, 50, 50};
    case CameraControl::Hue:
        return {0, 30, 15, 15};
    case CameraControl::Saturation:
        return {0, 127, 63, 63};
    case CameraControl::Sharpness:
        return {0, 255, 0, 0};
    }
    return {};
}

void CameraControlTable::reset()
{
    QMutexLocker locker(&m_lock);
    for (int i = 0; i < kCameraControlCount; ++i)
        m_values[static_cast<size_t>(i)] = initialValues(static_cast<CameraControl>(i));
}

ControlValues CameraControlTable::get(CameraControl control) const
{
    QMutexLocker locker(&m_lock);
    return m_values[static_cast<size_t>(control)];
}

void CameraControlTable::setRange(CameraControl control, int minimum, int maximum, int defaultValue)
{
    QMutexLocker locker(&m_lock);
    ControlValues& values = m_values[static_cast<size_t>(control)];
    values.minimum = minimum;
    values.maximum = maximum;
    values.defaultValue = defaultValue;
}

void CameraControlTable::setCurrent(CameraControl control, int current)
{
    QMutexLocker locker(&m_lock);
    m_values[static_cast<size_t>(control)].current = current;
}
