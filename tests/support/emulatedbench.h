#pragma once

// A umockdev testbed of emulated cameras, one per configuration (VirtualCamera::fromJson; "port"
// places it on the bus), with the journal of everything they received in a folder of its own.
// Only for programs that run under umockdev-wrapper.

#include "sim/umockdev/umockdevcamera.h"
#include "tests/support/journalreader.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QVector>

class VirtualRig;

// A raw descriptor on an emulated node, closed at the end of its scope.
struct Fd
{
    int fd;
    explicit Fd(const QString& node);
    ~Fd();
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

class EmulatedBench
{
public:
    explicit EmulatedBench(const QVector<QJsonObject>& configurations);

    EmulatedCameras& cameras() { return m_cameras; }
    const EmulatedCameras& cameras() const { return m_cameras; }
    VirtualRig& rig() { return m_cameras.rig(); }
    JournalReader& journalReader() { return m_journal; }
    const JournalReader& journalReader() const { return m_journal; }

private:
    QTemporaryDir m_directory;
    JournalReader m_journal;
    EmulatedCameras m_cameras; // last: destroyed first, while the journal directory exists
};
