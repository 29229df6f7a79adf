#include "virtualaudiomodule.h"

#include "sim/jsonreader.h"

#include "sim/virtualcamera.h"
#include "upgrade/xmostransfer.h"

#include <QCryptographicHash>
#include <QtEndian>

#include <cerrno>

namespace {

constexpr int kRunning = 64;
constexpr int kFailedImage = 200;

JournalEvent event(const char* name)
{
    JournalEvent e;
    e.insert(QStringLiteral("event"), QString::fromLatin1(name));
    return e;
}

} // namespace

void VirtualAudioModule::announce(QVector<JournalEvent>* journal)
{
    m_armed = true;
    m_image.clear();
    m_packets = 0;
    m_imageValid = true;
    m_result = 0;
    m_runningLeft = 0;
    journal->append(event("audio-announce"));
}

int VirtualAudioModule::packet(const std::uint8_t* data, int size, QVector<JournalEvent>* journal)
{
    JournalEvent e = event("audio-packet");
    e.insert(QStringLiteral("data"), QString(hexBytes(data, size)).remove(QLatin1Char(' ')));
    journal->append(e);
    if (m_packets++ == m_faults.refusePacket || data[xmos::kOffsetMarker] != xmos::kPacketMarker)
        return -EPIPE;
    const int length = data[xmos::kOffsetPayloadLength];
    const std::uint32_t offset = qFromLittleEndian<quint32>(data + xmos::kOffsetImageOffset);
    if (length == 0 && offset == 0) {
        // The end packet: the module checks what it collected and starts flashing.
        const bool valid = m_armed && m_imageValid && !m_image.isEmpty();
        JournalEvent image = event("audio-image");
        image.insert(QStringLiteral("size"), m_image.size());
        image.insert(QStringLiteral("md5"),
                     QString::fromLatin1(QCryptographicHash::hash(m_image, QCryptographicHash::Md5).toHex()));
        image.insert(QStringLiteral("valid"), valid);
        journal->append(image);
        m_result = !valid ? kFailedImage : m_faults.failWith;
        m_runningLeft = m_faults.runningReads;
        if (m_result == 0)
            m_upgradedVersion = QStringLiteral("1.0.%1").arg(m_image.size() % 1000);
        m_armed = false;
        return 0;
    }
    if (length > xmos::kMaxPayload || offset != std::uint32_t(m_image.size()))
        m_imageValid = false; // a gap, an overlap or an oversized payload spoils the image
    else
        m_image.append(reinterpret_cast<const char*>(data + xmos::kOffsetPayload), length);
    return 0;
}

void VirtualAudioModule::status(std::uint8_t* data, int size, QVector<JournalEvent>* journal)
{
    std::fill(data, data + size, 0);
    int value = m_result;
    if (m_runningLeft > 0) {
        --m_runningLeft;
        value = kRunning;
    }
    data[xmos::kOffsetStatus] = static_cast<std::uint8_t>(value);
    JournalEvent e = event("audio-status");
    e.insert(QStringLiteral("value"), value);
    journal->append(e);
}

QJsonObject VirtualAudioModule::toJson() const
{
    QJsonObject json;
    json.insert(QStringLiteral("armed"), m_armed);
    json.insert(QStringLiteral("image"), QString::fromLatin1(m_image.toBase64()));
    json.insert(QStringLiteral("packets"), m_packets);
    json.insert(QStringLiteral("result"), m_result);
    json.insert(QStringLiteral("runningLeft"), m_runningLeft);
    json.insert(QStringLiteral("imageValid"), m_imageValid);
    json.insert(QStringLiteral("upgradedVersion"), m_upgradedVersion);
    QJsonObject faults;
    faults.insert(QStringLiteral("failWith"), m_faults.failWith);
    faults.insert(QStringLiteral("runningReads"), m_faults.runningReads);
    faults.insert(QStringLiteral("refusePacket"), m_faults.refusePacket);
    json.insert(QStringLiteral("faults"), faults);
    return json;
}

void VirtualAudioModule::fromJson(JsonReader& reader)
{
    reader.flag("armed", m_armed);
    QString image = QString::fromLatin1(m_image.toBase64());
    reader.text("image", image);
    m_image = QByteArray::fromBase64(image.toLatin1());
    if (m_image.toBase64() != image.toLatin1())
        reader.fail(QStringLiteral("image"), QStringLiteral("must be Base64 bytes"));
    reader.integer("packets", 0, INT_MAX, m_packets);
    reader.integer("result", 0, UINT8_MAX, m_result);
    reader.integer("runningLeft", 0, INT_MAX, m_runningLeft);
    reader.flag("imageValid", m_imageValid);
    reader.text("upgradedVersion", m_upgradedVersion);
    readFaults(reader.child("faults"));
}

void VirtualAudioModule::readFaults(JsonReader reader)
{
    reader.integer("failWith", 0, UINT8_MAX, m_faults.failWith);
    reader.integer("runningReads", 0, INT_MAX, m_faults.runningReads);
    reader.integer("refusePacket", -1, INT_MAX, m_faults.refusePacket);
}
