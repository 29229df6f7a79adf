// Throughput of a firmware load through the real transport code (script runner, SCSI commands,
// bulk-only framing) against the in-process virtual device, next to the time the same bytes take
// on a USB 2.0 wire at 40 MB/s. Prints figures; it is not a test.
//
//   upgrade_bench [MiB]        (default 64)

#include "device/deviceplatform.h"
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
    installDevicePlatform(std::make_unique<VirtualPlatform>(
        std::make_unique<VirtualRig>(QVector<VirtualCamera>{VirtualCamera::fromJson(camera)})));
    DeviceState state = Other;
    if (!USB_ScsiFindDevice(0, state) || state != UBoot) {
        std::fprintf(stderr, "the virtual device is not in its boot loader\n");
        return 1;
    }
    setUpgradeFileFolder(dir.path());

    QElapsedTimer timer;
    const double cpuBefore = cpuSeconds();
    timer.start();
    const int result = loadFileToAddress(QStringLiteral("image.bin"), 0x21000000);
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    USB_ExitDevice();
    if (result != 0) {
        std::fprintf(stderr, "the load failed\n");
        return 1;
    }

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
    return 0;
}
