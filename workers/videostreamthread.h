#pragma once

// The live preview: on its own thread the worker opens the selected camera through FFmpeg (the
// "v4l2" input on the camera's capture node, asking for MJPEG at 1920x1080 and 30 frames per
// second), decodes every picture, converts it to 32-bit colour and hands it to the window as a
// pixmap by queued signal. A virtual camera shows a generated moving test picture through the same
// decoding and conversion.
//
// Pixmaps on the worker's thread: Qt allows QPixmap outside the GUI thread on platforms that
// announce threaded pixmaps (their pixmaps are plain images in memory), and the platform plugins
// we run on do (checked: xcb, offscreen, minimal, vnc), so the signal carries a QPixmap as the
// window expects; it is made from the converted picture without copying it. On a platform
// without that capability Qt hands back null pixmaps; the worker then logs it once and the
// window's null-picture rule applies.
//
// Pictures in flight: at most kMaxPicturesInFlight pictures are on their way to the window
// (emitted, not yet taken up by the window's thread). While the window is that far behind, the
// pictures of a live source are dropped (not decoded at all when the codec's pictures stand alone,
// as MJPEG's do), so memory and delay stay bounded; a recorded source (a file) waits instead.
//
// Picture size: by default every picture keeps the stream's full size and the window scales it.
// A window that tells the worker its preview area (setTargetSize()) gets pictures already fitted
// into that area, keeping the aspect ratio, which costs far less (see workers/previewdecoder.h).
//
// Ending:
// - stop() from any thread: the loop ends after the read in progress (reads that wait for data
//   are interrupted), releases everything and emits workFinished().
// - The stream ends or the device is gone: the loop stops reading and releases everything at
//   once, logs "Video stream ended." or "Video device is gone.", and waits for the window's
//   stop() before it emits workFinished(), so the window's pointers stay valid until it stops.
// - The opening fails (the messages of openPacketSource() and PreviewDecoder::open()), or
//   decoding keeps failing: everything opened so far is released and doWork() returns without
//   workFinished(); the worker stays idle until the window stops it (WorkerHost then deletes it).
// A failed read is retried after a short wait (a source with nothing ready) or a back-off (a read
// error), never in a busy loop. A picture that fails to decode is dropped ("Decode Error.\n" is
// logged once for a run of such pictures); only kMaxDecodeErrorsInRow failures in a row end the
// preview as a decoding failure.

#include "workers/previewsource.h"
#include "app/worker.h"

#include <QPixmap>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <memory>

class PreviewDecoder;

class VideoStreamThread : public Worker
{
    Q_OBJECT
public:
    static constexpr int kMaxPicturesInFlight = 2;
    static constexpr int kMaxDecodeErrorsInRow = 30; // one second of a camera's pictures
    static constexpr std::chrono::milliseconds kRetryWait{5};
    static constexpr std::chrono::milliseconds kReadBackOff{100};

    struct Statistics
    {
        int read = 0;    // packets of the video stream read
        int decoded = 0; // pictures decoded
        int emitted = 0; // pictures handed to the window
        int dropped = 0; // pictures left out while the window was behind
        int readFailures = 0;
    };

    // The camera listed with this friendly name (cameraStreamSource()). Create it on the
    // window's thread, which must be the application's main thread.
    explicit VideoStreamThread(const QString& deviceName, QObject* parent = nullptr);
    // Any source (tests, measurements).
    explicit VideoStreamThread(StreamSource source, QObject* parent = nullptr);
    ~VideoStreamThread() override;

    QString url() const { return m_url; }
    // The window's preview area; pictures are fitted into it. An empty size keeps the full size.
    // Any thread.
    void setTargetSize(QSize area);
    QSize targetSize() const;
    // Any thread.
    Statistics statistics() const;

signals:
    void workFinished();
    void workStart();
    void onReader(QPixmap picture);

public slots:
    void start();
    void doWork();
    void stop();

private:
    enum class Ending
    {
        Stopped,
        StreamEnded,
        Failed,
    };
    Ending readLoop(PacketSource& source, PreviewDecoder& decoder);
    bool roomForPicture();
    void emitPicture(PreviewDecoder& decoder);

    StreamSource m_source;
    QString m_url;
    std::atomic<quint64> m_targetSize{0}; // width << 32 | height
    // Pictures emitted and not yet taken up by the window's thread; shared with the queued
    // acknowledgement, which may run after the worker is gone.
    std::shared_ptr<std::atomic<int>> m_inFlight;
    bool m_pixmapFailureLogged = false;

    std::atomic<int> m_read{0};
    std::atomic<int> m_decoded{0};
    std::atomic<int> m_emitted{0};
    std::atomic<int> m_dropped{0};
    std::atomic<int> m_readFailures{0};
};
