#pragma once

// The raw-USB edition's camera control: UVC class requests on the camera's default control pipe,
// for the standard controls of the camera terminal (unit 1) and the processing unit (unit 3) and
// for the vendor extension unit (unit 6), whose 8-byte command blocks are those of
// device/xuprotocol.h. The edition's own tag, fallbacks and loader entry forms are in
// macedition.h.
//
// Getters never fail: a failed transfer gives the fallback of macedition.h (the camera's state
// is unknown, the caller shows a neutral value). Sets return true when the camera took the
// request. Not thread-safe: one caller thread.

#include "device/usbcontrolpipe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class UVCCameraDevices
{
public:
    // bus: where devices are listed and opened (not owned, outlives this object). random: the
    // source of command-block tags before the modulus (the C library's rand() when empty).
    explicit UVCCameraDevices(uvc::UsbBus& bus, std::function<int()> random = {});
    ~UVCCameraDevices();

    // Listing and opening.
    QStringList searchCameraDevice();
    static QString getDevicesUniqueID(const QString& prefix, int vendorId, int productId);
    // The last eight characters of uniqueId are the vendor and product ids in hexadecimal.
    bool createUSBInterface(const QString& uniqueId);
    bool initWithVendorID(int vendorId, int productId);
    // The same for the device at busPort, for machines with two cameras of one model.
    bool initAt(int vendorId, int productId, const QString& busPort);
    bool isOpen() const { return m_usbInterface != nullptr; }

    // Transfers.
    bool sendControlRequest(const uvc::SetupPacket& setup, std::uint8_t* data);
    bool setData(const std::uint8_t* payload, int length, int selector, int unit);
    // SET_CUR with the first length bytes of value, little-endian (zoom 2, pan/tilt 8).
    bool setDataset(std::int64_t value, int length, int selector, int unit);
    bool setDatadfu(const std::uint8_t* payload, int length, int selector, int unit);
    // The received bytes; nothing on failure. GET_INFO is always read with length 1.
    std::optional<QByteArray> getDataFor(std::uint8_t request, int length, int selector, int unit);
    // A command block's tag: 0..89.
    int random();

    // Vendor settings (command blocks of device/xuprotocol.h).
    bool sethdr(int on);
    int gethdr();
    bool setFlicker(int value);
    int getFlickerInfo();
    bool setMic(int on);
    int getMICInfo();
    bool setShutter(int closed);
    int getShutter();
    bool setMaxZoom(int factorTimes100);
    int getMAXZoomInfo();
    bool setMirror(int on);
    int getMirror();
    bool setPreset(int preset);
    bool setLoad(int preset);
    bool setHD(int on);
    int getHDInfo();
    bool setTrackingMode(int mode);
    int getTrackingMode();
    bool setTrackingffect(int effect);
    int getAutoframEffect();
    bool setTrackingSpeed(int speed);
    int getAutoFrameSpeed();
    int getTrackingEffect();
    int getTrackingSpeed();
    int getAngleInfo();
    bool setAudio(int value);
    int getAudio();
    bool setDefault();
    // "V<major>.<minor>.<patch>", or empty.
    QString getCameraVersion();
    QString getAudioVersion();
    bool getUBootVersion();
    // Loader entry blocks.
    bool setUpdateSSD222D();
    bool updateDev();
    bool setupdateXmosDev();
    // Audio-module transfer: one 32-byte packet, and the 8-byte status.
    bool sendAudioPacket(const std::uint8_t* packet);
    std::optional<QByteArray> getAudioStatus();

    // Standard controls.
    struct PanTilt
    {
        std::int32_t pan = 0;
        std::int32_t tilt = 0;
    };
    int getZoom();
    int getZoomMin();
    int getZoomMax();
    bool setZoom(int value);
    int getFocus();
    int getFocusMin();
    int getFocusMax();
    bool setFocus(int value);
    int getFocusAuto();
    bool setFocusAuto(int on);
    PanTilt getpanTilt();
    PanTilt getpanTiltMin();
    PanTilt getpanTiltMax();
    bool setPanTilt(std::int32_t pan, std::int32_t tilt);
    // Processing-unit controls by selector (uvc::PU_BRIGHTNESS, PU_CONTRAST, PU_HUE,
    // PU_SATURATION, PU_SHARPNESS).
    int getProcessing(int selector);
    int getProcessingMin(int selector);
    int getProcessingMax(int selector);
    int getProcessingDef(int selector);
    bool setProcessing(int selector, int value);
    int getHueAuto();
    bool setHueAuto(int on);

private:
    bool sendBlock(std::uint8_t code, std::uint8_t param = 0);
    bool sendBlock(const std::uint8_t* block);
    std::optional<QByteArray> query(std::uint8_t code);
    int queryByte(std::uint8_t code, int fallback);
    QString queryVersion(std::uint8_t code);
    std::optional<QByteArray> readCurrent(int unit, int selector, int length);
    std::optional<QByteArray> readRange(std::uint8_t request, int unit, int selector, int length);

    uvc::UsbBus& m_bus;
    std::function<int()> m_random;
    std::unique_ptr<uvc::ControlPipe> m_usbInterface;
};
