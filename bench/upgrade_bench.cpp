// Throughput of a firmware load through the real transport code (script runner, SCSI commands,
// bulk-only framing) against the in-process virtual device, next to the time the same bytes take
// on a USB 2.0 wire at 40 MB/s. Prints figures; it is not a test.
//
//   upgrade_bench [MiB]        (default 64)

#include "device/botframing.h"
#include "device/deviceplatform.h"
#include "device/massstorage.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"
#include "upgrade/libsstarufu.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

namespace {

// A device that only speaks the wire: it takes every command wrapper and data phase and answers
// with a passed status wrapper (and a good status word), doing none of a device's work. Loading
// through it measures the host's own cost.
class WireSink : public MassStorageDevice, private bot::BulkPipe
{
public:
    int scsiCommand(const std::uint8_t* cdb, int cdbLength, ScsiDirection direction, std::uint8_t* data,
                    std::uint32_t length, int timeoutMs) override
    {
        return m_transport.command(*this, cdb, cdbLength, direction, data, length, timeoutMs);
    }

private:
    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred, int) override
    {
        *transferred = length;
        if (endpoint == bot::Endpoint::Out) {
            bot::CommandWrapper command;
            if (!m_inData && bot::decodeCommand(data, length, &command)) {
                m_tag = command.tag;
                m_inData = command.dataLength > 0;
                m_dataIn = command.dataIn;
            } else {
                m_inData = false;
            }
            return 0;
        }
        if (m_inData && m_dataIn) { // a STATUS read: a good word
            std::fill(data, data + length, 0);
            data[0] = sstar::kStatusGood0;
            m_inData = false;
            return 0;
        }
        bot::StatusWrapper status;
        status.tag = m_tag;
        const auto bytes = bot::encodeStatus(status);
        std::copy(bytes.begin(), bytes.end(), data);
        *transferred = bot::kStatusWrapperLength;
        return 0;
    }
    int clearHalt(bot::Endpoint) override { return 0; }
    int resetRecovery() override { return 0; }

    bot::HostTransport m_transport;
    std::uint32_t m_tag = 0;
    bool m_inData = false;
    bool m_dataIn = false;
};

class SinkBackend : public MassStorageBackend
{
public:
    QVector<MassStorageCandidate> listDevices() override
    {
        return {{QStringLiteral("sink"), QByteArray("QB18_001"), QByteArray("UBOOT USB DISK  ")}};
    }
    std::unique_ptr<MassStorageDevice> open(const QString&, int*) override
    {
        return std::make_unique<WireSink>();
    }
};

// The virtual camera's platform with the wire sink as its mass-storage side.
class SinkPlatform : public DevicePlatform
{
public:
    explicit SinkPlatform(std::unique_ptr<VirtualPlatform> base) : m_base(std::move(base)) {}
    VideoBackend& video() override { return m_base->video(); }
    SoundServer& sound() override { return m_base->sound(); }
    MassStorageBackend& massStorage() override { return m_sink; }
    PreviewBackend& preview() override { return m_base->preview(); }

private:
    std::unique_ptr<VirtualPlatform> m_base;
    SinkBackend m_sink;
};

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    const int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 64;
    const qint64 size = qint64(mib) * 1024 * 1024;

    QTemporaryDir dir;
    QByteArray image(int(size), '\0');
    for (qint64 i = 0; i < size; ++i)
        image[int(i)] = char((i * 2654435761u) >> 13);
    QFile file(dir.filePath(QStringLiteral("image.bin")));
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != size) {
        std::fprintf(stderr, "cannot write the test image\n");
        return 1;
    }
    file.close();
    // One MD5 pass over the image: the host must compute it for the load header, the device model
    // computes it again to check the load.
    QElapsedTimer md5Timer;
    md5Timer.start();
    QCryptographicHash::hash(image, QCryptographicHash::Md5);
    const double md5 = double(md5Timer.nsecsElapsed()) / 1e9;
    image.clear();

    QJsonObject camera;
    camera.insert(QStringLiteral("model"), 7);
    camera.insert(QStringLiteral("stage"), QStringLiteral("uboot"));
    setUpgradeFileFolder(dir.path());

    // One load against the virtual device (the device model's work included), one against the
    // wire sink (the host alone).
    struct Run
    {
        double wall = 0;
        double cpu = 0;
    };
    auto load = [&](std::unique_ptr<DevicePlatform> platform, Run* run) {
        installDevicePlatform(std::move(platform));
        DeviceState state = Other;
        if (!USB_ScsiFindDevice(0, state) || state != UBoot)
            return false;
        QElapsedTimer timer;
        const double cpuBefore = cpuSeconds();
        timer.start();
        const int result = loadFileToAddress(QStringLiteral("image.bin"), 0x21000000);
        run->wall = double(timer.nsecsElapsed()) / 1e9;
        run->cpu = cpuSeconds() - cpuBefore;
        USB_ExitDevice();
        return result == 0;
    };
    auto virtualPlatform = [&camera] {
        return std::make_unique<VirtualPlatform>(
            std::make_unique<VirtualRig>(QVector<VirtualCamera>{VirtualCamera::fromJson(camera)}));
    };
    Run withModel;
    Run hostOnly;
    if (!load(virtualPlatform(), &withModel) ||
        !load(std::make_unique<SinkPlatform>(virtualPlatform()), &hostOnly)) {
        std::fprintf(stderr, "the load failed\n");
        return 1;
    }
    const double wall = withModel.wall;
    const double cpu = withModel.cpu;

    // The pause the protocol takes after the data for the device to check and store the image.
    const double pause = double(size / 20480) / 1000.0;
    const double host = wall - pause;
    const double wire = double(size) / 40e6;
    std::printf("tftp load of %d MiB through the bulk-only transport (virtual device in process)\n", mib);
    std::printf("  wall time             %8.3f s (of which the protocol's pause %.3f s)\n", wall, pause);
    std::printf("  host time per MiB     %8.3f ms (CPU %.3f ms, device model included)\n", host * 1000 / mib,
                cpu * 1000 / mib);
    std::printf("  one MD5 pass per MiB  %8.3f ms (the host's for the header; the device model's again)\n",
                md5 * 1000 / mib);
    std::printf("  USB 2.0 wire per MiB  %8.3f ms at 40 MB/s\n", wire * 1000 / mib);
    std::printf("  host / wire           %8.1f %%\n", 100.0 * host / wire);
    const double hostAlone = hostOnly.wall - pause;
    std::printf("host alone (the same load against a device that only speaks the wire)\n");
    std::printf("  host time per MiB     %8.3f ms (CPU %.3f ms; one MD5 pass included)\n",
                hostAlone * 1000 / mib, (hostOnly.cpu) * 1000 / mib);
    std::printf("  host / wire           %8.1f %%\n", 100.0 * hostAlone / wire);
    std::printf("  host / wire, MD5 of the header left out %.1f %%\n", 100.0 * (hostAlone - md5) / wire);
    return 0;
}
