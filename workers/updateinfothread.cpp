#include "updateinfothread.h"

#include "app/logcategories.h"
#include "device/uvcextensionunit.h"

UpdateInfoThread::UpdateInfoThread(int model, int cameraIndex, UVCExtensionUnit* uvc, QObject* parent)
    : Worker(parent), m_model(model), m_cameraIndex(cameraIndex), m_uvc(uvc), m_dshow(nullptr, this)
{
}

void UpdateInfoThread::start()
{
    setRunning();
    emit workStart();
    doWork();
}

void UpdateInfoThread::doWork()
{
    while (isRunning()) {
        // A failed query leaves its value as it was; the extension unit has logged the failure.
        int value = 0;
        if (m_uvc && m_uvc->getTrackingMode(value))
            m_trackingMode = value;
        if (m_uvc && m_uvc->getFlickerInfo(value))
            m_flickerState = value;
        m_dshow.queryControlRanges(m_cameraIndex);
        // Stopped while the camera was being asked: the camera is being closed, nobody wants the
        // report any more.
        if (!isRunning())
            break;
        emit onQueryReport(m_trackingMode, m_flickerState);
        qCDebug(lcWorkers) << "trackingModeState" << m_trackingMode << m_flickerState;
        pause(m_interval);
    }
    emit workFinished();
}

void UpdateInfoThread::stop()
{
    requestStop();
}
