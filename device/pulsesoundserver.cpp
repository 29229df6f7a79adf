#include "pulsesoundserver.h"

#include "app/logcategories.h"

#include <QDebug>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/volume.h>

#include <chrono>
#include <cmath>

namespace {

using Clock = std::chrono::steady_clock;

// How long connecting and each request may take. A local server answers within milliseconds; the
// bound only matters when the server hangs or its socket leads nowhere.
constexpr std::chrono::milliseconds kConnectTimeout{2000};
constexpr std::chrono::milliseconds kRequestTimeout{2000};

// One connection to the server on a private main loop, closed again on destruction.
class PulseConnection
{
public:
    PulseConnection() = default;
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    ~PulseConnection()
    {
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop)
            pa_mainloop_free(m_loop);
    }

    // Connects to server (nullptr: the default server). Logs the reason and returns false on failure.
    bool open(const char* server)
    {
        m_loop = pa_mainloop_new();
        if (!m_loop) {
            qCDebug(lcDevice) << "PulseAudio main loop could not be created";
            return false;
        }
        m_context = pa_context_new(pa_mainloop_get_api(m_loop), "deckctl");
        if (!m_context) {
            qCDebug(lcDevice) << "PulseAudio context could not be created";
            return false;
        }
        if (pa_context_connect(m_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            qCDebug(lcDevice) << "PulseAudio connection failed:" << pa_strerror(pa_context_errno(m_context));
            return false;
        }
        const Clock::time_point deadline = Clock::now() + kConnectTimeout;
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY)
                return true;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                qCDebug(lcDevice) << "PulseAudio connection failed:"
                                  << pa_strerror(pa_context_errno(m_context));
                return false;
            }
            if (!iterate(deadline)) {
                qCDebug(lcDevice) << "PulseAudio connection timed out";
                return false;
            }
        }
    }

    pa_context* context() const { return m_context; }

    // Waits until operation has finished, then releases it. what names the request in the log.
    // Returns false, after logging why, when the request did not complete.
    bool finish(pa_operation* operation, const char* what)
    {
        if (!operation) {
            qCDebug(lcDevice) << "PulseAudio request failed:" << what
                              << pa_strerror(pa_context_errno(m_context));
            return false;
        }
        const Clock::time_point deadline = Clock::now() + kRequestTimeout;
        bool ok = true;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context))) {
                qCDebug(lcDevice) << "PulseAudio connection lost during request:" << what
                                  << pa_strerror(pa_context_errno(m_context));
                ok = false;
                break;
            }
            if (!iterate(deadline)) {
                qCDebug(lcDevice) << "PulseAudio request timed out:" << what;
                ok = false;
                break;
            }
        }
        if (ok && pa_operation_get_state(operation) != PA_OPERATION_DONE) {
            qCDebug(lcDevice) << "PulseAudio request cancelled:" << what;
            ok = false;
        }
        // Cancelling drops the callback, whose data lives on the caller's stack.
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
            pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return ok;
    }

private:
    // Runs one round of the main loop, waiting at most until deadline. False once the deadline has
    // passed or the loop fails.
    bool iterate(Clock::time_point deadline)
    {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (remaining <= 0)
            return false;
        if (pa_mainloop_prepare(m_loop, static_cast<int>(remaining)) < 0)
            return false;
        if (pa_mainloop_poll(m_loop) < 0)
            return false;
        return pa_mainloop_dispatch(m_loop) >= 0;
    }

    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

struct SinkListRequest
{
    QVector<SinkInfo>* sinks = nullptr;
    bool failed = false;
};

void onSinkListed(pa_context*, const pa_sink_info* info, int eol, void* userdata)
{
    auto* request = static_cast<SinkListRequest*>(userdata);
    if (eol < 0) {
        request->failed = true;
        return;
    }
    if (eol > 0 || !info)
        return;
    SinkInfo sink;
    sink.name = QString::fromUtf8(info->name);
    sink.description = QString::fromUtf8(info->description);
    sink.volume = static_cast<double>(pa_cvolume_avg(&info->volume)) / PA_VOLUME_NORM;
    request->sinks->append(sink);
}

struct ChannelCountRequest
{
    uint8_t channels = 0;
    bool found = false;
};

void onSinkFound(pa_context*, const pa_sink_info* info, int eol, void* userdata)
{
    auto* request = static_cast<ChannelCountRequest*>(userdata);
    if (eol != 0 || !info)
        return;
    request->channels = info->volume.channels;
    request->found = true;
}

void onSuccess(pa_context*, int success, void* userdata)
{
    *static_cast<bool*>(userdata) = success != 0;
}

// The raw volume for a fraction of the nominal volume. Rounded up, so that a whole percentage set
// here reads back as the same percentage when the reader truncates.
pa_volume_t toRawVolume(double volume)
{
    const double raw = std::ceil(volume * PA_VOLUME_NORM - 1e-6);
    if (raw <= PA_VOLUME_MUTED)
        return PA_VOLUME_MUTED;
    if (raw >= PA_VOLUME_MAX)
        return PA_VOLUME_MAX;
    return static_cast<pa_volume_t>(raw);
}

} // namespace

PulseSoundServer::PulseSoundServer(const QString& server) : m_server(server.toUtf8()) {}

bool PulseSoundServer::listSinks(QVector<SinkInfo>* sinks)
{
    sinks->clear();
    PulseConnection connection;
    if (!connection.open(m_server.isEmpty() ? nullptr : m_server.constData()))
        return false;
    SinkListRequest request;
    request.sinks = sinks;
    if (!connection.finish(pa_context_get_sink_info_list(connection.context(), onSinkListed, &request),
                           "list sinks"))
        return false;
    if (request.failed) {
        qCDebug(lcDevice) << "PulseAudio sink list failed:"
                          << pa_strerror(pa_context_errno(connection.context()));
        sinks->clear();
        return false;
    }
    return true;
}

bool PulseSoundServer::setSinkVolume(const QString& sinkName, double volume)
{
    if (std::isnan(volume)) {
        qCDebug(lcDevice) << "Sink volume is not a number";
        return false;
    }
    PulseConnection connection;
    if (!connection.open(m_server.isEmpty() ? nullptr : m_server.constData()))
        return false;
    const QByteArray name = sinkName.toUtf8();

    // The volume carries one value per channel, so the sink's channel count comes first.
    ChannelCountRequest sink;
    if (!connection.finish(
            pa_context_get_sink_info_by_name(connection.context(), name.constData(), onSinkFound, &sink),
            "look up sink"))
        return false;
    if (!sink.found || sink.channels == 0) {
        qCDebug(lcDevice) << "PulseAudio sink not found:" << sinkName;
        return false;
    }

    pa_cvolume channelVolumes;
    pa_cvolume_set(&channelVolumes, sink.channels, toRawVolume(volume));
    bool success = false;
    if (!connection.finish(pa_context_set_sink_volume_by_name(connection.context(), name.constData(),
                                                              &channelVolumes, onSuccess, &success),
                           "set sink volume"))
        return false;
    if (!success) {
        qCDebug(lcDevice) << "PulseAudio refused the sink volume:" << sinkName
                          << pa_strerror(pa_context_errno(connection.context()));
        return false;
    }
    return true;
}
