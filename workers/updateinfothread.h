#pragma once

// The query worker: while a camera is open it asks the camera every 3 seconds for its tracking
// mode and its anti-flicker setting, refreshes the standard-control table, and reports the two
// settings so that the window follows changes made on the camera itself (remote control,
// buttons).
//
// Values before the camera has answered: a setting whose query has never succeeded is reported as
// kUnknown (-1), a value that no option table holds, so the window selects no row for a value the
// camera never gave. A query that fails later leaves the last value read; the report comes every
// cycle either way.
//
// Thread: the worker's own (see app/worker.h). The extension-unit object is the window's
// and is shared; it serialises each exchange itself.

#include "device/dshowcamerawrapper.h"
#include "app/worker.h"

#include <chrono>

class UVCExtensionUnit;

class UpdateInfoThread : public Worker
{
    Q_OBJECT
public:
    static constexpr int kUnknown = -1;

    // model: the open camera's model index (held, not used by the loop); cameraIndex: its position
    // in the camera list (DShowCameraWrapper); uvc: the window's extension-unit object, not owned.
    UpdateInfoThread(int model, int cameraIndex, UVCExtensionUnit* uvc, QObject* parent = nullptr);

    // Before the worker starts; tests shorten it.
    void setQueryInterval(std::chrono::milliseconds interval) { m_interval = interval; }

    int model() const { return m_model; }
    int cameraIndex() const { return m_cameraIndex; }

signals:
    void workFinished();
    void workStart();
    // The camera's tracking mode (0 off, 1 auto framing, 2 speaker, 3 presenter tracking) and
    // anti-flicker state (1 = 50 Hz, 2 = 60 Hz); kUnknown until the camera answered.
    void onQueryReport(int trackingModeState, int flickerState);

public slots:
    void start();
    void doWork();
    void stop();

private:
    int m_model;
    int m_cameraIndex;
    UVCExtensionUnit* m_uvc;
    DShowCameraWrapper m_dshow; // a child, so it moves to the worker's thread with it
    std::chrono::milliseconds m_interval{3000};
    int m_trackingMode = kUnknown;
    int m_flickerState = kUnknown;
};
