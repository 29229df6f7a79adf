#include "abnormaldetectthread.h"

#include "app/logcategories.h"

AbnormalDetectThread::AbnormalDetectThread(int manufacturer, QObject* parent)
    : Worker(parent), m_manufacturer(manufacturer), m_discovery(&USB_ScsiFindDevice)
{
}

void AbnormalDetectThread::start()
{
    setRunning();
    emit workStart();
    doWork();
}

void AbnormalDetectThread::doWork()
{
    qCDebug(lcWorkers) << "m_manufacturer:" << m_manufacturer;
    while (isRunning()) {
        DeviceState state = Other;
        const bool found = m_discovery(m_manufacturer, state);
        m_dev_state = state;
        if (found) {
            qCDebug(lcWorkers) << "m_dev_state:" << m_dev_state;
            if (m_dev_state != Other) {
                emit onDeviceAbnormal(m_dev_state);
                if (!pause(m_timing.reportPause))
                    break;
            }
        }
        pause(m_timing.probeInterval);
    }
    emit workFinished();
}

void AbnormalDetectThread::stop()
{
    requestStop();
}
