#include "workerhost.h"

WorkerHost::~WorkerHost()
{
    stop();
}

void WorkerHost::hold(Worker* worker, QThread* thread)
{
    m_worker = worker;
    m_thread = thread;
    m_switch = worker->runSwitch();
}

void WorkerHost::requestStop()
{
    if (m_switch)
        m_switch->stop();
}

void WorkerHost::abandon()
{
    m_worker.clear();
    m_thread.clear();
    m_switch.reset();
}

void WorkerHost::stop()
{
    requestStop();
    if (QThread* thread = m_thread.data()) {
        thread->quit();
        thread->wait();
        // The thread has ended: its worker either deleted itself (workFinished() was processed
        // when the thread finished) or its loop returned without workFinished(). Such a worker
        // belongs to no running thread any more and can be deleted from here.
        delete m_worker.data();
        delete thread;
    }
    abandon();
}
