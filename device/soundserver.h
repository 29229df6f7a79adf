#pragma once

// The system sound server as the speaker volume needs it: a list of output sinks with their
// descriptions and volumes, and a volume setter. The Linux binding talks to the PulseAudio
// protocol (PulseAudio itself or PipeWire's pulse server); the virtual camera has its own.

#include <QString>
#include <QVector>

struct SinkInfo
{
    QString name;        // the server's identifier of the sink
    QString description; // the human-readable name, which carries the product name
    double volume = 0.0; // average over the channels; 1.0 is the server's nominal 100 %
};

class SoundServer
{
public:
    virtual ~SoundServer() = default;
    // Lists the sinks in the server's order. Returns false when the server cannot be reached.
    virtual bool listSinks(QVector<SinkInfo>* sinks) = 0;
    // Sets every channel of the sink to volume (1.0 = nominal 100 %). Returns false on failure.
    virtual bool setSinkVolume(const QString& sinkName, double volume) = 0;
};
