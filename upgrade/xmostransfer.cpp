#include "xmostransfer.h"

#include "app/globals.h"
#include "app/logcategories.h"
#include "device/uvcextensionunit.h"
#include "device/xuprotocol.h"

#include <QDebug>
#include <QFile>
#include <QThread>
#include <QtEndian>

#include <array>

namespace {

const char* const kClosedCamera = "Tran Xmos file Failed--g_bOpenCamera!!!";

} // namespace

bool ExtensionUnitXmosLink::sendPacket(const std::uint8_t* packet)
{
    std::array<std::uint8_t, xu::kAudioPacketLength> copy{};
    std::copy(packet, packet + copy.size(), copy.begin());
    unsigned long returned = 0;
    return m_unit.SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_AUDIO_DATA, xu::kFlagsSet, copy.data(),
                                      copy.size(), &returned) == 0;
}

bool ExtensionUnitXmosLink::readStatus(std::uint8_t* status)
{
    unsigned long returned = 0;
    return m_unit.SetGetExtensionUnit(xu::kUnitGuid, xu::SELECTOR_AUDIO_STATUS, xu::kFlagsGet, status,
                                      xu::kBlockLength, &returned) == 0;
}

bool transXmosToDev(UVCExtensionUnit& unit, const QString& imagePath, const XmosTransferProgress& progress)
{
    ExtensionUnitXmosLink link(unit);
    return transXmosToDev(link, imagePath, progress);
}

bool queryXmosUpOver(UVCExtensionUnit& unit, const XmosPollTiming& timing)
{
    ExtensionUnitXmosLink link(unit);
    return queryXmosUpOver(link, timing);
}

bool transXmosToDev(XmosLink& link, const QString& imagePath, const XmosTransferProgress& progress)
{
    QFile file(imagePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcUpgrade, "Couldn't open file given as argument: '%s'\n", qPrintable(imagePath));
        return false;
    }
    const QByteArray image = file.readAll();
    file.close();
    if (image.isEmpty())
        return false;

    std::array<std::uint8_t, xu::kAudioPacketLength> packet{};
    for (int offset = 0; offset < image.size();) {
        const int length = std::min(xmos::kMaxPayload, image.size() - offset);
        packet.fill(0);
        packet[xmos::kOffsetMarker] = xmos::kPacketMarker;
        packet[xmos::kOffsetPayloadLength] = static_cast<std::uint8_t>(length);
        qToLittleEndian<quint32>(static_cast<quint32>(offset), packet.data() + xmos::kOffsetImageOffset);
        std::copy(image.constBegin() + offset, image.constBegin() + offset + length,
                  packet.begin() + xmos::kOffsetPayload);
        if (!g_bOpenCamera) {
            qCDebug(lcUpgrade, "%s", kClosedCamera);
            return false;
        }
        if (!link.sendPacket(packet.data())) {
            qCDebug(lcUpgrade, "Tran Xmos file Failed!!!");
            return false;
        }
        offset += length;
        if (progress)
            progress(offset, image.size());
    }
    packet.fill(0);
    packet[xmos::kOffsetMarker] = xmos::kPacketMarker;
    if (!link.sendPacket(packet.data())) {
        qCDebug(lcUpgrade, "Tran Xmos file Failed!!!");
        return false;
    }
    qCDebug(lcUpgrade, "begin upgrade xmos...");
    return true;
}

bool queryXmosUpOver(XmosLink& link, const XmosPollTiming& timing)
{
    if (!g_bOpenCamera) {
        qCDebug(lcUpgrade, "%s", kClosedCamera);
        return false;
    }
    for (int count = 0;;) {
        if (timing.cancelled && timing.cancelled())
            return false;
        std::array<std::uint8_t, xu::kBlockLength> status{};
        status[0] = xmos::kStatusPrefill;
        if (link.readStatus(status.data())) {
            const int result = status[xmos::kOffsetStatus];
            qCDebug(lcUpgrade) << "Upgrad Result:" << result;
            if (result == 0) {
                qCDebug(lcUpgrade, "Xmos Upgrade finished!!!");
                return true;
            }
            if (result > xmos::kStatusRunningMax) {
                qCDebug(lcUpgrade, "Xmos Upgrade failed!!!");
                return false;
            }
        }
        qCDebug(lcUpgrade, "Xmos Upgrade Checking...");
        qCDebug(lcUpgrade) << "Upgrad count:" << count;
        if (++count > timing.maxCount) {
            qCDebug(lcUpgrade, "Xmos Upgrade failed!!!");
            return false;
        }
        QThread::msleep(static_cast<unsigned long>(timing.intervalMs));
        if (!g_bOpenCamera) {
            qCDebug(lcUpgrade, "%s", kClosedCamera);
            return false;
        }
    }
}
