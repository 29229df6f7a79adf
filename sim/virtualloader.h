#pragma once

// The boot stages of a virtual camera's system-on-chip as a USB mass-storage device: the boot
// ROM, the updater and the U-Boot boot loader, each answering the vendor command 0xE8 (and
// INQUIRY) over the bulk-only transport. The device side speaks wrapper bytes (botframing.h), so
// the host's transport code runs unchanged against it, in process or behind an emulated usbfs.
//
// Stages and their changes:
// - "rom" takes the updater image as DATA/DATA_END chunks (no header, no status) and goes on as
//   "updater" on the same USB device.
// - "updater" takes LOADINFO, DATA..., DATA_END and STATUS; the status is good when the image
//   matches the header's size and MD5. After the good status of a load at 0xFFFFFFFF (the boot
//   loader) it restarts and re-enumerates as "uboot".
// - "uboot" answers every RUNCMD with a good status, takes loads like the updater, and restarts
//   into normal operation after "reset" (the camera is back in the camera list), then with the
//   camera's "upgradedFirmware" version when one is configured.
// A re-enumeration gives the USB device a new generation; transfers for an older generation find
// the device gone (-ENODEV), as a closed handle to an unplugged device would.
//
// Journal events: "claim", "release", "inquiry", "runcmd" (text, and length when it had a terminating zero), "loadinfo", "load" (address,
// size, md5, ok), "status" (data), "stage", "reenumerate" (stage), "stall", "bot-reset", "unplug".
//
// Faults ("loaderFaults" in the camera's configuration), each used up by the commands it hits.
// Commands are named "INQUIRY", "DATA", "STATUS", "DATA_END", "LOADINFO", "RUNCMD" or "any":
// - "stall": {"command", "phase": "cbw"|"data"|"csw", "count"}: the endpoint stalls in that phase;
// - "wrongTag": {"command", "count"}: the status wrapper carries another tag;
// - "invalidWrapper": {"command", "count", "field"}: the status wrapper lacks its signature
//   ("field": "signature") or reports a reserved status value ("field": "status");
// - "badStatus" / "noStatus": {"match", "count"}: the status word after a command line equal to
//   match (or after a load when match is "load", after anything when "any") is bad, or is not
//   sent at all (an empty data phase); a count of -1 never runs out;
// - "unplug": {"command", "skip"}: the device vanishes when that command arrives, after skip of
//   them went through;
// - "neverReturn": true: a restart leaves the device unplugged;
// - "returnDelayMs": n: after every re-enumeration into a boot stage the device is missing from
//   the listing for n milliseconds of wall-clock time (a slow restart), also across processes.

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

#include <cstdint>

class JsonReader;
class VirtualCamera;
using JournalEvent = QJsonObject;

struct VirtualLoaderFaults
{
    QString stallCommand;
    QString stallPhase;
    int stallCount = 0;
    QString wrongTagCommand;
    int wrongTagCount = 0;
    QString invalidWrapperCommand;
    QString invalidWrapperField; // "signature" or "status"
    int invalidWrapperCount = 0;
    QString badStatusMatch;
    int badStatusCount = 0;
    QString noStatusMatch;
    int noStatusCount = 0;
    QString unplugCommand;
    int unplugSkip = -1; // -1: never
    bool neverReturn = false;
    int returnDelayMs = 0;

    QJsonObject toJson() const;
    // Reads reader's object; a bad value is an error in reader (jsonreader.h).
    static VirtualLoaderFaults fromJson(JsonReader& reader);
};

class VirtualLoader
{
public:
    enum class Endpoint
    {
        In,
        Out,
    };

    // The INQUIRY identification of the camera's current stage (8 and 16 bytes).
    QByteArray vendor(const VirtualCamera& camera) const;
    QByteArray product(const VirtualCamera& camera) const;
    // The USB device's generation: changes whenever the camera re-enumerates.
    int generation() const { return m_generation; }
    // The camera restarted (entered its loader or changed stage with a new USB device).
    void reenumerated();
    // Whether the device shows up in the listing yet (see "returnDelayMs").
    bool listed() const;

    // Transfers of the host that opened generation. 0 with *transferred set, -EPIPE for a stalled
    // endpoint, -ENODEV when the device is gone, -ETIMEDOUT when the device has nothing to send.
    int bulkTransfer(VirtualCamera& camera, int generation, Endpoint endpoint, std::uint8_t* data, int length,
                     int* transferred, QVector<JournalEvent>* journal);
    int clearHalt(VirtualCamera& camera, int generation, Endpoint endpoint, QVector<JournalEvent>* journal);
    int resetRecovery(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal);
    // The host let go of the device (released the interface).
    void release(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal);

    VirtualLoaderFaults& faults() { return m_faults; }
    const VirtualLoaderFaults& faults() const { return m_faults; }
    bool claimed() const { return m_claimed; }

    // State, and the configuration of the identification ("vendor", "product" override the
    // stage's own).
    QJsonObject toJson() const;
    // Reads the state from reader's object; a bad value is an error in reader.
    void fromJson(JsonReader& reader);

private:
    enum class Phase
    {
        Command,
        DataOut,
        DataIn,
        Status,
    };
    enum class Result
    {
        None,
        Good,
        Bad,
        Silent,
    };

    int checkDevice(VirtualCamera& camera, int generation, QVector<JournalEvent>* journal);
    int receive(VirtualCamera& camera, const std::uint8_t* data, int length, int* transferred,
                QVector<JournalEvent>* journal);
    int send(VirtualCamera& camera, std::uint8_t* data, int length, int* transferred,
             QVector<JournalEvent>* journal);
    // Runs the command of the current wrapper; its answer for the host goes to m_dataIn. Returns
    // the wrapper's SCSI status.
    std::uint8_t execute(VirtualCamera& camera, const QByteArray& dataOut, QVector<JournalEvent>* journal);
    // false when the stage does not take the sub-command.
    bool executeVendor(VirtualCamera& camera, int subCommand, const QByteArray& data,
                       QVector<JournalEvent>* journal);
    void completeLoad(VirtualCamera& camera, QVector<JournalEvent>* journal);
    void applyStatusFaults(const QString& subject);
    void restart(VirtualCamera& camera, const QString& stage, QVector<JournalEvent>* journal);
    QString commandName() const;
    bool takeStall(const QString& phase);
    void stall(Endpoint endpoint, const char* phase, QVector<JournalEvent>* journal);
    void resetTransport();

    int m_generation = 1;
    QString m_vendorOverride;
    QByteArray m_productOverride;
    VirtualLoaderFaults m_faults;

    // Transport (bulk-only) state of the current generation.
    Phase m_phase = Phase::Command;
    bool m_claimed = false;
    bool m_haltIn = false;
    bool m_haltOut = false;
    std::uint32_t m_tag = 0;
    std::uint32_t m_dataLength = 0;
    bool m_dataInDirection = false;
    QByteArray m_block;   // the command block
    QByteArray m_dataOut; // received so far
    QByteArray m_dataIn;  // the answer to send
    std::uint8_t m_status = 0;
    std::uint32_t m_residue = 0;
    bool m_wrongTag = false;
    QString m_invalidWrapper;      // the field the next status wrapper gets wrong, if any
    QString m_restartAfterWrapper; // the stage to restart into after this status wrapper, if any

    // Command state.
    Result m_result = Result::None;
    bool m_loading = false;
    std::uint32_t m_loadAddress = 0;
    std::uint32_t m_loadSize = 0;
    QByteArray m_loadMd5;
    QByteArray m_image;               // received image bytes
    QString m_restartAfterStatusRead; // the stage to restart into after the next STATUS
    int m_unplugSeen = 0;             // commands of the unplug fault's kind seen
    qint64 m_listedFrom = 0;          // wall-clock ms since the epoch; 0: at once
};
