#pragma once

// The sound server on Linux, spoken to through libpulse: PulseAudio itself or PipeWire's pulse
// server. Every call opens its own connection on a private main loop, waits for the answer with a
// bounded timeout and closes the connection again, so calls may come from any thread and a missing
// server never blocks the caller for more than a few seconds.

#include "soundserver.h"

#include <QByteArray>
#include <QString>

class PulseSoundServer : public SoundServer
{
public:
    // server: a server address in libpulse's notation (e.g. "unix:/run/user/1000/pulse/native").
    // Empty means the server libpulse finds by itself (PULSE_SERVER, client.conf, the user's
    // runtime directory). The server is never started on demand.
    explicit PulseSoundServer(const QString& server = QString());

    bool listSinks(QVector<SinkInfo>* sinks) override;
    bool setSinkVolume(const QString& sinkName, double volume) override;

private:
    QByteArray m_server;
};
