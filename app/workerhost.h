#pragma once

// The owner's side of a worker: creates the worker's thread, wires thread and worker, starts
// them, and stops and deletes them again. Every worker of the programs is started and stopped
// through this class: one WorkerHost per worker slot of the window, one for the command-line
// tool's upgrade.
//
// Start (start()):
//   1. a QThread without parent; the worker is given without parent;
//   2. the worker moves to the thread;
//   3. the thread's started() runs the worker's start();
//   4. the thread's finished() deletes the thread (deleteLater);
//   5. the worker's workFinished() deletes the worker (deleteLater);
//   6. the worker's destruction quits the thread;
//   7. the caller connects the worker's report signal (connectReport);
//   8. the thread starts, with inherited priority unless told otherwise.
// Stop (stop()): the worker's stop(), the thread's quit(), a wait for the thread without time
// limit, deletion of the thread, and both pointers forgotten. A worker whose loop ended without
// workFinished() (the preview after a failed open) is deleted here as well, so it does not leak.
//
// Because every pause of a worker wakes at once on stop(), stop() returns as soon as the device
// request in progress (if any) has returned.
//
// A caller that must not block on a step stop() does not cut (the command-line tool, on a
// signal) asks with requestStop(), waits for the thread's finished() as long as it likes, and
// either stop()s (the thread has ended) or abandon()s the worker to a process about to end.
//
// Owner's thread only (the GUI thread in the window). Destroying the host stops its worker.

#include "app/worker.h"

#include <QPointer>
#include <QThread>

#include <memory>
#include <utility>

class WorkerHost
{
public:
    WorkerHost() = default;
    ~WorkerHost();
    WorkerHost(const WorkerHost&) = delete;
    WorkerHost& operator=(const WorkerHost&) = delete;

    // Stops the worker held so far, if any, then starts worker as described above and returns
    // it. W declares the worker's start() slot and workFinished() signal; connectReport(W*)
    // connects its report signal to the window.
    template <class W, class ConnectReport>
    W* start(W* worker, ConnectReport&& connectReport, QThread::Priority priority = QThread::InheritPriority)
    {
        stop();
        auto* thread = new QThread;
        worker->moveToThread(thread);
        QObject::connect(thread, &QThread::started, worker, &W::start);
        QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        QObject::connect(worker, &W::workFinished, worker, &QObject::deleteLater);
        QObject::connect(worker, &QObject::destroyed, thread, &QThread::quit);
        std::forward<ConnectReport>(connectReport)(worker);
        hold(worker, thread);
        thread->start(priority);
        return worker;
    }

    // Stops and deletes the worker and its thread as described above; nothing when none runs.
    void stop();
    // Asks the worker to stop (its waits end at once, it begins no further step) without waiting
    // for it; nothing when none runs.
    void requestStop();
    // Forgets the worker and its thread without stopping, waiting for or deleting them: for a
    // process that ends (_exit) while a worker is still busy in a step it cannot leave. The
    // thread and the worker are left to the end of the process.
    void abandon();

    // A worker and its thread are held (from start() to stop()).
    bool isActive() const { return !m_thread.isNull(); }
    // The worker held, valid until stop(): workers delete themselves only after their stop().
    Worker* worker() const { return m_worker.data(); }
    QThread* thread() const { return m_thread.data(); }

private:
    void hold(Worker* worker, QThread* thread);

    QPointer<Worker> m_worker;
    QPointer<QThread> m_thread;
    std::shared_ptr<WorkerSwitch> m_switch; // stops the worker without touching the worker object
};
