#include "worker.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

void WorkerSwitch::setRunning()
{
    QMutexLocker locker(&m_mutex);
    if (!m_stopRequested)
        m_isRunning.store(true, std::memory_order_release);
}

void WorkerSwitch::stop()
{
    QMutexLocker locker(&m_mutex);
    m_stopRequested = true;
    m_isRunning.store(false, std::memory_order_release);
    m_wake.wakeAll();
}

bool WorkerSwitch::pause(std::chrono::milliseconds duration)
{
    QMutexLocker locker(&m_mutex);
    const QDeadlineTimer deadline(duration.count(), Qt::PreciseTimer);
    // wait() may also return early without a wake-up; the loop re-checks both conditions.
    while (m_isRunning.load(std::memory_order_acquire) && !deadline.hasExpired())
        m_wake.wait(&m_mutex, deadline);
    return m_isRunning.load(std::memory_order_acquire);
}

bool WorkerSwitch::stopRequested() const
{
    QMutexLocker locker(&m_mutex);
    return m_stopRequested;
}

bool WorkerSwitch::pauseUnlessStopped(std::chrono::milliseconds duration)
{
    QMutexLocker locker(&m_mutex);
    if (duration.count() <= 0) // (a negative count would make the deadline "forever")
        return !m_stopRequested;
    const QDeadlineTimer deadline(duration.count(), Qt::PreciseTimer);
    while (!m_stopRequested && !deadline.hasExpired())
        m_wake.wait(&m_mutex, deadline);
    return !m_stopRequested;
}

Worker::Worker(QObject* parent) : QObject(parent), m_switch(std::make_shared<WorkerSwitch>()) {}

Worker::~Worker() = default;
