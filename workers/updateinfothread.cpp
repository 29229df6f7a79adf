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
        const quint64 changesBefore = m_uvc ? m_uvc->settingChanges() : 0;
        int trackingMode = m_trackingMode;
        int flickerState = m_flickerState;
        int value = 0;
        if (m_uvc && m_uvc->getTrackingMode(value))
            trackingMode = value;
        if (m_uvc && m_uvc->getFlickerInfo(value))
            flickerState = value;
        m_dshow.queryControlRanges(m_cameraIndex);
        // Stopped while the camera was being asked: the camera is being closed, nobody wants the
        // report any more.
        if (!isRunning())
            break;
        // The window wrote a setting while the camera was being asked: the answers may predate
        // it, and the window would put the old value back. Ask again next cycle instead. The check
        // and the report go out with no setting written in between.
        bool current = true;
        auto report = [&] {
            current = !m_uvc || m_uvc->settingChanges() == changesBefore;
            if (!current)
                return;
            m_trackingMode = trackingMode;
            m_flickerState = flickerState;
            emit onQueryReport(m_trackingMode, m_flickerState);
        };
        if (m_uvc)
            m_uvc->runExclusive(report);
        else
            report();
        if (!current) {
            qCDebug(lcWorkers) << "Query report left out: a setting was written meanwhile";
            pause(m_interval);
            continue;
        }
        qCDebug(lcWorkers) << "trackingModeState" << m_trackingMode << m_flickerState;
        pause(m_interval);
    }
    emit workFinished();
}

void UpdateInfoThread::stop()
{
    requestStop();
}
