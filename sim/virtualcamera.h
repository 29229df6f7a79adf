#pragma once

// The device model of one virtual camera: what a camera of this family answers on its vendor
// extension unit and its standard controls, with presets, factory reset, a speaker, and faults
// to inject. It is plain data plus behaviour, without any I/O of its own: the in-process
// backend and the emulated kernel nodes both drive it, and a VirtualRig stores it and writes
// the journal.
//
// Requests use the kernel's view: extension-unit requests by unit, selector and UVC request
// code; standard controls by V4L2 id in the kernel's units (pan and tilt in arc-seconds).
// Results are 0 or a negative errno, as the uvcvideo driver would return them.

#include "device/usbcontrolpipe.h"
#include "sim/virtualaudiomodule.h"
#include "sim/virtualloader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>

struct VirtualControl
{
    std::uint32_t id = 0;
    std::int32_t minimum = 0;
    std::int32_t maximum = 0;
    std::int32_t step = 1;
    std::int32_t defaultValue = 0;
    std::int32_t value = 0;
    bool pictureControl = false; // takes effect only while the camera streams
};

// Faults, each counted down by the requests it hits.
struct VirtualFaults
{
    int refuseNext = 0;   // requests answered with a stall (EPIPE)
    int failNext = 0;     // requests that fail with an I/O error (EIO)
    int silentNext = 0;   // requests the camera never answers (ETIMEDOUT)
    int vanishAfter = -1; // the camera unplugs itself after this many more requests (-1: never)
};

// One event of the journal: "event" plus its fields.
using JournalEvent = QJsonObject;

class VirtualCamera
{
public:
    // A camera of a model of the model table with factory settings.
    explicit VirtualCamera(int model = 7);

    // Configuration and state, as stored in the state file and read from a configuration entry.
    QJsonObject toJson() const;
    // Reads a camera; a value of the wrong type or out of range is refused with *error naming
    // its key ("<path>.<key> ..."), and *camera is left as it was.
    static bool fromJson(const QJsonObject& json, VirtualCamera* camera, QString* error,
                         const QString& path = QStringLiteral("camera"));
    // The same for input known to be good (tests, a state this program wrote): a refused entry
    // is logged as critical and gives a camera of model 7 with factory settings.
    static VirtualCamera fromJson(const QJsonObject& json);
    // The keys a camera entry of a configuration may have.
    static QStringList configurationKeys();

    int model() const { return m_model; }
    int vendorId() const { return m_vendorId; }
    int productId() const { return m_productId; }
    QString friendlyName() const { return m_friendlyName; }
    QString serial() const { return m_serial; }
    QString busPort() const { return m_busPort; }
    void setBusPort(const QString& port) { m_busPort = port; }
    bool hasMicrophoneNode() const { return m_microphoneNode; }
    // Its device nodes (video and, in a boot stage, mass storage) refuse this user, as they do
    // before a udev rule gives access: opening them fails with EACCES.
    bool deniedToUser() const { return m_denied; }
    // Whether the kernel's video driver (uvcvideo) binds the camera's video function on a machine
    // (true, as it does wherever the driver is installed); false: its interfaces are free, as
    // where uvcvideo is not loaded. Only the emulated kernel face (sim/umockdev) shows it.
    bool kernelDriverBound() const { return m_kernelDriver; }
    int extensionUnitId() const { return m_unitId; } // -1: the camera has no vendor unit
    // The USB interface of the camera's VideoControl interface (its video function takes it and
    // the next one): 0, or 2 when another video function comes first in the descriptors.
    int videoControlInterface() const { return m_leadingFunctionUnit >= 0 ? 2 : 0; }
    // Attached and answering as a camera (not unplugged, not in a boot stage).
    bool present() const { return m_present && m_stage == QLatin1String("normal"); }
    bool attached() const { return m_present; }
    QString stage() const { return m_stage; }
    // Attached and answering as a mass-storage device in a boot stage ("rom", "updater", "uboot").
    bool inBootStage() const;
    // The boot stages' mass-storage face (virtualloader.h).
    VirtualLoader& loader() { return m_loader; }
    const VirtualLoader& loader() const { return m_loader; }
    VirtualAudioModule& audioModule() { return m_audioModule; }
    bool streaming() const { return m_streaming; }
    void setStreaming(bool on) { m_streaming = on; }
    VirtualFaults& faults() { return m_faults; }
    void unplug() { m_present = false; }
    double speakerVolume() const { return m_speakerVolume; }
    void setSpeakerVolume(double volume) { m_speakerVolume = volume; }

    // The USB descriptors as the kernel exposes them (device descriptor, then configuration 1).
    // With a leading function ("leadingFunctionUnit" in the configuration) the configuration
    // starts with another video function on interfaces 0 and 1 whose extension unit, with the
    // same GUID, has that id: a device with two video functions of which only the camera's own
    // is presented.
    QByteArray usbDescriptors() const;

    // Extension unit. Events that the request causes are appended to journal.
    int xuRequest(int unit, int selector, std::uint8_t request, std::uint8_t* data, int size,
                  QVector<JournalEvent>* journal);
    // Standard controls.
    int queryControl(std::uint32_t id, VirtualControl* control) const;
    int getControl(std::uint32_t id, std::int32_t* value, QVector<JournalEvent>* journal);
    int setControl(std::uint32_t id, std::int32_t value, QVector<JournalEvent>* journal);
    QVector<std::uint32_t> controlIds() const;
    // One UVC class request on the default control pipe, as the raw-USB edition sends it: the
    // extension unit's requests reach xuRequest(), the camera terminal's and processing unit's
    // the standard controls. Journals {"event": "control-transfer", ...}. Returns the bytes
    // transferred, -EPIPE for a request the camera stalls, or another negative errno.
    int controlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data, QVector<JournalEvent>* journal);

    // Vendor settings by set code (0x01 HDR, 0x10 tracking mode, ...).
    int setting(std::uint8_t code) const { return m_settings.value(code, 0); }

    // Applies the faults to one request: 0 to go on, or the error to answer.
    int takeFault(QVector<JournalEvent>* journal);

private:
    friend class VirtualLoader; // changes the stage and the presence as the boot stages restart

    int handleCommandBlock(const std::uint8_t* block, QVector<JournalEvent>* journal);
    int handleBootCommand(const std::uint8_t* block, QVector<JournalEvent>* journal);
    void factoryReset();
    void enterLoader(const char* reason, QVector<JournalEvent>* journal);
    VirtualControl* control(std::uint32_t id);
    // The control a request for id reaches: 0 with *found set, or the error to answer (the camera
    // is gone, has no such control, or a fault takes the request).
    int controlForRequest(std::uint32_t id, QVector<JournalEvent>* journal, VirtualControl** found);
    std::int32_t fitToControl(const VirtualControl& control, std::int32_t value) const;
    static int selectorLength(int selector);
    static std::uint8_t selectorInfo(int selector);
    int standardControlTransfer(const uvc::SetupPacket& setup, std::uint8_t* data,
                                QVector<JournalEvent>* journal);

    int m_model = 7;
    int m_vendorId = 0;
    int m_productId = 0;
    QString m_friendlyName;
    QString m_serial;
    QString m_busPort = QStringLiteral("1-1");
    QString m_firmwareVersion = QStringLiteral("1.2.10");
    QString m_audioVersion = QStringLiteral("1.0.3");
    // The firmware version after an upgrade: the boot loader restarting the camera into normal
    // operation (the end of the upgrade script) makes it the camera's version. Empty: unchanged.
    QString m_upgradedFirmwareVersion;
    int m_unitId = 6;
    int m_leadingFunctionUnit = -1; // -1: no other video function before the camera's own
    bool m_microphoneNode = true;
    bool m_denied = false;
    bool m_kernelDriver = true;
    bool m_present = true;
    QString m_stage = QStringLiteral("normal");
    bool m_streaming = false;
    double m_speakerVolume = 0.5;
    QMap<std::uint8_t, int> m_settings; // by set code
    QVector<VirtualControl> m_controls;
    // Presets 1 and 2: pan, tilt, zoom; empty until stored.
    QMap<int, QVector<std::int32_t>> m_presets;
    QByteArray m_response; // the answer to the block sent last
    VirtualFaults m_faults;
    VirtualLoader m_loader;
    VirtualAudioModule m_audioModule;
};

// "01 a0 ff" for the journal.
QString hexBytes(const std::uint8_t* data, int size);
