#include "scsiconnect.h"

#include "maclogging.h"

#include <QFileInfo>
#include <QThread>

#include <array>
#include <cstring>

bool MacScriptTarget::runCommandLine(const QByteArray& line)
{
    m_table.runCommand(m_slot, line.constData(), line.size());
    std::array<std::uint8_t, sstar::kStatusLength> word{};
    m_table.readStatus(m_slot, word.data(), int(word.size()));
    return sstar::statusGood(word.data());
}

void MacScriptTarget::runResetSequence()
{
    for (const char* text : macedition::kResetSequence)
        m_table.runCommand(m_slot, text, int(std::strlen(text)) + 1);
}

int MacScriptTarget::loadFile(const QString& path, std::uint32_t address)
{
    QByteArray image;
    if (!sstar::readLoadImage(path, &image))
        return -1;
    const QString name = QFileInfo(path).fileName();
    const std::array<std::uint8_t, sstar::kLoadHeaderLength> header = sstar::loadHeader(address, image);
    const auto size = static_cast<std::uint32_t>(image.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.constData());
    for (int attempt = 1; attempt <= sstar::kLoadAttempts; ++attempt) {
        if (m_table.sendLoadInfo(m_slot, header.data()) != 0) {
            qCWarning(lcMac).noquote() << QStringLiteral("send loadinfo fail: %1").arg(name);
            continue;
        }
        if (m_table.write(m_slot, bytes, size, sstar::kTftpChunk) != 0) {
            qCWarning(lcMac).noquote() << QStringLiteral("load fail: %1").arg(name);
            continue;
        }
        qCInfo(lcMac).noquote()
            << QStringLiteral(" USB_ScsiWrite= ====== end =======%1").arg(sstar::kLoadAttempts - attempt);
        // The device checks and stores the image meanwhile.
        QThread::usleep(size / macedition::kLoadPauseDivisorUs);
        std::array<std::uint8_t, sstar::kStatusLength> word{};
        m_table.readStatus(m_slot, word.data(), int(word.size()));
        if (sstar::statusGood(word.data()))
            return 0;
    }
    return -1;
}

bool SCSIConnect::upgradeStart()
{
    qCInfo(lcMac).noquote() << QString::asprintf("=============%04x %04x", m_vid, m_pid);
    m_slot = m_table.find(m_vid, m_pid);
    if (m_slot == sstarusb::kNoSlot) {
        qCWarning(lcMac).noquote() << QStringLiteral("22222-----exitexitexitexitexitexitexitexit");
        return false;
    }
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    if (m_table.inquiry(m_slot, answer.data()) != macedition::kInquiryAnswered) {
        m_table.close();
        m_slot = sstarusb::kNoSlot;
        qCWarning(lcMac).noquote() << QStringLiteral("1111-----exitexitexitexitexitexitexitexit");
        return false;
    }
    const char* vendor = reinterpret_cast<const char*>(answer.data()) + sstar::kOffsetVendor;
    bool accepted = false;
    for (const char* prefix : macedition::kAcceptedVendors)
        accepted = accepted || std::strncmp(vendor, prefix, std::strlen(prefix)) == 0;
    if (!accepted)
        return false;
    m_state = sstar::stateFromProduct(answer.data() + sstar::kOffsetProduct);
    return true;
}

void SCSIConnect::sendUpdateCmd()
{
    m_table.runCommand(m_slot, macedition::kUpdateCommand, macedition::kUpdateCommandLength);
}

void SCSIConnect::do_updater(const QString& file, const QString& folder)
{
    qCInfo(lcMac).noquote() << QStringLiteral("loadupdater");
    QByteArray image;
    if (!sstar::readLoadImage(folder + file, &image))
        return;
    m_table.write(m_slot, reinterpret_cast<const std::uint8_t*>(image.constData()),
                  static_cast<std::uint32_t>(image.size()), sstar::kUpdaterChunk);
    m_state = Updater;
}

bool SCSIConnect::do_Uboot(const QString& file, const QString& folder, const std::function<void()>& loaded)
{
    qCInfo(lcMac).noquote() << QStringLiteral("uboot updater");
    MacScriptTarget target(m_table, m_slot);
    if (target.loadFile(folder + file, sstar::kBootLoaderAddress) != 0)
        return false;
    if (loaded)
        loaded();
    bool back = false;
    for (int i = 0; i < m_returnTries && !back; ++i) {
        if (i > 0)
            QThread::msleep(static_cast<unsigned long>(m_returnWaitMs));
        back = upgradeStart();
    }
    if (!back)
        return false;
    if (m_state != UBoot)
        qCWarning(lcMac).noquote() << QStringLiteral("=====升级状态错误 %1").arg(int(m_state));
    return true;
}

bool SCSIConnect::autoUpdate(const QString& script, const QString& folder, const ScriptLineProgress& progress,
                             const QString& root)
{
    setUpgradeFileFolder(folder, root);
    MacScriptTarget target(m_table, m_slot);
    const int result = runUpgradeScript(script, 0, progress, target);
    if (result != 0) {
        qCWarning(lcMac).noquote() << QStringLiteral("升级失败！");
        usbDeviceCanclExit();
        return false;
    }
    usbDeviceCanclExit();
    qCInfo(lcMac).noquote() << QStringLiteral("升级成功！");
    return true;
}

void SCSIConnect::usbDeviceCanclExit()
{
    qCInfo(lcMac).noquote() << QStringLiteral("==============USB_ExitDevice 5====");
    m_table.close();
    m_slot = sstarusb::kNoSlot;
    qCInfo(lcMac).noquote() << QStringLiteral("exit exit exit ======1111");
}

BootStageWalk walkBootStageDevices(usbbulk::Bus& bus, SCSIConnect& connect)
{
    BootStageWalk walk;
    for (const usbbulk::UsbIds& ids : bus.listDevices()) {
        if (ids.vendorId != macedition::kBootStageVendorId)
            continue;
        connect.setG_vid(ids.vendorId);
        connect.setG_pid(ids.productId);
        if (connect.upgradeStart()) {
            ++walk.answered;
            walk.found = ids;
        }
    }
    if (walk.answered != 1)
        return walk;
    // Back to the device that answered: the walk may have gone on past it.
    connect.setG_vid(walk.found.vendorId);
    connect.setG_pid(walk.found.productId);
    if (!connect.upgradeStart())
        walk.answered = 0;
    return walk;
}

bool findUbootDevice(usbbulk::Bus& bus, SCSIConnect& connect)
{
    return walkBootStageDevices(bus, connect).answered == 1 && connect.g_dev_state() == UBoot;
}
