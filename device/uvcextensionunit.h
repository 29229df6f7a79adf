#pragma once

// The vendor-control channel of the opened camera: 8-byte command blocks and their answers
// through the camera's UVC extension unit, plus the operations built on them.
//
// Thread-safety: the window and the query worker share one instance. One lock is held across
// each whole exchange (a single set, or a query's set and get), so no other thread's block can
// fall between a question and its answer. The lock is recursive: a request issued while the
// caller already holds it (a query's two transfers) does not deadlock.

#include "device/xuprotocol.h"

#include <QObject>
#include <QRecursiveMutex>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class VideoBackend;
class VideoDeviceHandle;

class UVCExtensionUnit : public QObject
{
    Q_OBJECT
public:
    // backend nullptr: the process's platform (devicePlatform().video()).
    explicit UVCExtensionUnit(VideoBackend* backend = nullptr, QObject* parent = nullptr);
    ~UVCExtensionUnit() override;

    // Opens the first listed capture device whose device path contains devicePath (an empty
    // one matches every path) and whose friendly name equals friendlyName. The previous device,
    // if any, is closed first.
    bool InitVideoDevice(const QString& devicePath, const QString& friendlyName);
    // Closes the device and restarts the transaction tags.
    void CloseVideoDevice();
    bool isOpen() const;

    // One transfer on the unit whose GUID is propertySet: flags xu::kFlagsSet or xu::kFlagsGet.
    // Returns 0 on success, xu::kErrorNoUnit when the camera has no such unit, or the failing
    // step's code (a negative errno for a failed request, which also emits reInitUvc()).
    long SetGetExtensionUnit(const std::array<std::uint8_t, 16>& propertySet, unsigned long selector,
                             unsigned long flags, std::uint8_t* data, unsigned long length,
                             unsigned long* bytesReturned);

    // Settings. Sets return true when the camera accepted the block; queries return true and
    // store the answer, or return false and leave the out value untouched.
    bool sethdr(int on);
    bool gethdr(int& value);
    bool setFlicker(int value);
    bool getFlickerInfo(int& value);
    bool setMic(int on);
    bool getMICInfo(int& value);
    bool setShutter(int closed);
    bool getShutter(int& value);
    bool setMaxZoom(std::uint16_t factorTimes100);
    bool getMAXZoomInfo(std::uint16_t& factorTimes100);
    bool setMirror(int on);
    bool getMirror(int& value);
    bool setPreset(int preset);
    bool setLoad(int preset);
    bool setHD(int on);
    bool getHDInfo(int& value);
    bool setTrackingMode(int mode);
    bool getTrackingMode(int& mode);
    bool setTrackingffect(int effect);
    bool getAutoframEffect(int& effect);
    bool setTrackingSpeed(int speed);
    bool getAutoFrameSpeed(int& speed);
    bool getTrackingEffect(int& effect);
    bool getTrackingSpeed(int& speed);
    bool getAngleInfo(int& value);
    bool setAudio(int value);
    bool getAudio(int& value);
    bool setDefault();
    // Versions as "major.minor.patch".
    bool getCameraVersion(QString& version);
    bool getAudioVersion(QString& version);
    // True when the upgrade loader answers (byte 0 of the answer is 0xFF).
    bool getUBootVersion(bool& loaderAnswers);

    // Upgrade entry blocks.
    bool setUpdateSSD222D(); // restart the main SoC into its mass-storage loader
    bool setUpdateCamera();  // restart the camera into its loader (selector 4, no tag)
    bool setUpdateXmos();    // announce an audio-module transfer

    // How many setting blocks the camera has accepted so far. A reader that asked the camera
    // for settings compares it before and after: a change means its answers may predate a
    // setting written meanwhile. Any thread.
    quint64 settingChanges() const { return m_settingChanges.load(); }
    // Runs fn while no exchange of another thread can run: fn may compare settingChanges() and
    // act on the result before any setting is written. fn may use this object.
    void runExclusive(const std::function<void()>& fn);

    // The tag the next block will carry (advances the counter). Exposed for the audio transfer.
    std::uint8_t nextTag();

signals:
    // A request itself failed: the window closes and reopens the camera.
    void reInitUvc();

private:
    bool sendBlock(const xu::Block& block, int selector = xu::SELECTOR_COMMAND);
    bool sendSet(std::uint8_t code, std::uint8_t param);
    // Sends a setting block and counts it when the camera accepted it.
    bool sendSetting(const xu::Block& block);
    bool query(std::uint8_t code, xu::Block& answer);
    bool queryByte(std::uint8_t code, int& value);
    bool queryVersion(std::uint8_t code, QString& version);
    xu::Block makeBlock(std::uint8_t code);

    VideoBackend* m_backend;
    // Guards m_device and m_tag, and is held across whole exchanges.
    mutable QRecursiveMutex m_lock;
    std::unique_ptr<VideoDeviceHandle> m_device;
    int m_tag = 0;
    std::atomic<quint64> m_settingChanges{0};
};

// "info: Function: %s, %s failed, Error code: 0x%.2x \n" with the function, step and code.
void logXuFailure(const char* function, const char* step, long code);
