#pragma once

// The camera's audio module as seen through the extension unit: after the announcement block
// it collects 32-byte packets into an image, checks the image when the end packet arrives, and
// reports "running" for a few status reads, then "done" (0) or "failed" (above 128).

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <cstdint>

using JournalEvent = QJsonObject;

struct VirtualAudioFaults
{
    int failWith = 0;      // 129..255: the module reports this failure after the image arrived
    int runningReads = 2;  // status reads that still report "running" after the end packet
    int refusePacket = -1; // the packet with this number (0-based) is stalled
};

class JsonReader;

class VirtualAudioModule
{
public:
    void announce(QVector<JournalEvent>* journal);
    // One transfer packet; 0 or -EPIPE for a packet the module refuses.
    int packet(const std::uint8_t* data, int size, QVector<JournalEvent>* journal);
    // Fills the 8-byte status answer.
    void status(std::uint8_t* data, int size, QVector<JournalEvent>* journal);

    VirtualAudioFaults& faults() { return m_faults; }
    // The version the module reports after a successful upgrade (empty: unchanged).
    QString upgradedVersion() const { return m_upgradedVersion; }

    QJsonObject toJson() const;
    // Reads the state from reader's object; a bad value is an error in reader (jsonreader.h).
    void fromJson(JsonReader& reader);
    // Reads fault settings ("failWith", "runningReads", "refusePacket") from reader's object.
    void readFaults(JsonReader reader);

private:
    bool m_armed = false;
    QByteArray m_image;
    int m_packets = 0;
    int m_result = 0;         // the status byte once the image was checked
    int m_runningLeft = 0;    // status reads that still say "running"
    bool m_imageValid = true; // the packets arrived in order, without gaps
    QString m_upgradedVersion;
    VirtualAudioFaults m_faults;
};
