#pragma once

// The common part of every background worker (the monitors, the preview, the upgrade): a QObject
// (not a thread) that its host (WorkerHost) moves to a QThread of its own, with a running flag and a mutex,
// started by the thread's `started` signal and stopped from any thread.
//
// Every concrete worker declares, itself and in this order, its signals workFinished(),
// workStart() and its report signal, then its slots start(), doWork() and stop(). moc numbers a
// class's methods in declaration order after those of its base classes, so this base declares
// no signals or slots of its own: the concrete worker's meta-object then lists exactly these six,
// at the indices 0 to 5 counted from its methodOffset().
//
// Stopping never waits for a pause: the pauses of the loops wait on a condition that stop()
// wakes, so a host that stops a worker and then waits for its thread waits at most for the
// device request (or upgrade step) in progress, never for a sleep.
//
// The running switch is shared (std::shared_ptr) with the WorkerHost, so the window or the
// command-line tool can stop a worker even while the worker is deleting itself on its own thread.

#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <chrono>
#include <memory>

// The running flag and the wake-up of a worker's pauses.
class WorkerSwitch
{
public:
    // Sets the flag (start()), unless stop() came first: a worker stopped before its thread
    // ran start() must not begin its loop, or the stop would be lost.
    void setRunning();
    // Clears the flag and wakes a pause at once. Any thread.
    void stop();
    // Lock-free read; any thread.
    bool isRunning() const { return m_isRunning.load(std::memory_order_acquire); }
    // stop() was called (before or after start()); stays set. Any thread.
    bool stopRequested() const;
    // Waits until duration has passed or the flag is cleared, whichever comes first. Returns
    // whether the worker is still to run. A cleared flag returns at once.
    bool pause(std::chrono::milliseconds duration);
    // Waits until duration has passed or stop() is called, whether or not the flag was ever set
    // (a doWork() called without start() waits too). Returns !stopRequested().
    bool pauseUnlessStopped(std::chrono::milliseconds duration);

private:
    mutable QMutex m_mutex; // guards the changes of m_isRunning, so that a pause never misses a stop()
    QWaitCondition m_wake;
    std::atomic<bool> m_isRunning{false};
    bool m_stopRequested = false; // guarded by m_mutex
};

class Worker : public QObject
{
    Q_OBJECT
public:
    ~Worker() override;

    // What every worker's stop() slot does: clears the running flag and wakes the loop's pause.
    // Any thread.
    void requestStop() { m_switch->stop(); }
    bool isRunning() const { return m_switch->isRunning(); }
    // The switch, for the window side (WorkerHost) to stop the worker without touching it.
    std::shared_ptr<WorkerSwitch> runSwitch() const { return m_switch; }

protected:
    explicit Worker(QObject* parent = nullptr);

    // start(): sets the running flag.
    void setRunning() { m_switch->setRunning(); }
    // An interruptible sleep of the loop; returns whether the worker is still to run.
    bool pause(std::chrono::milliseconds duration) { return m_switch->pause(duration); }
    // stop() was called; a worker that must not begin a further step checks this.
    bool stopRequested() const { return m_switch->stopRequested(); }
    // A sleep that only stop() cuts short, running flag or not; returns !stopRequested().
    bool pauseUnlessStopped(std::chrono::milliseconds duration)
    {
        return m_switch->pauseUnlessStopped(duration);
    }

private:
    const std::shared_ptr<WorkerSwitch> m_switch;
};
