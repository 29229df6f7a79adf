// The raw-USB edition's bulk-only host side against the virtual camera's boot stages: the
// wrappers byte for byte, the two tag counters, stalls in every phase, status wrappers of another
// tag or without their signature, and INQUIRY.

#include "device/botframing.h"
#include "mac/scsiconnect.h"
#include "mac/sstarbulkhost.h"
#include "mac/sstardevicetable.h"
#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"
#include "sim/virtualusb.h"
#include "tests/support/journalreader.h"
#include "tests/support/logcapture.h"
#include "upgrade/libsstarufu.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <memory>

namespace {

constexpr std::uint8_t kOutEndpoint = 0x02;

// Passes every transfer on to the virtual device and keeps the command wrappers sent.
class TapPipe : public bot::BulkPipe
{
public:
    explicit TapPipe(bot::BulkPipe& device) : m_device(device) {}
    int bulkTransfer(bot::Endpoint endpoint, std::uint8_t* data, int length, int* transferred,
                     int timeoutMs) override
    {
        if (endpoint == bot::Endpoint::Out && length == bot::kCommandWrapperLength)
            wrappers << QByteArray(reinterpret_cast<const char*>(data), length).toHex(' ');
        return m_device.bulkTransfer(endpoint, data, length, transferred, timeoutMs);
    }
    int clearHalt(bot::Endpoint endpoint) override
    {
        ++clears;
        return m_device.clearHalt(endpoint);
    }
    int resetRecovery() override
    {
        ++resets;
        return m_device.resetRecovery();
    }

    QStringList wrappers;
    int clears = 0;
    int resets = 0;

private:
    bot::BulkPipe& m_device;
};

std::unique_ptr<VirtualRig> rigWithStage(const QString& stage, const QByteArray& faults = QByteArray())
{
    QJsonObject camera{{QStringLiteral("model"), 7}, {QStringLiteral("stage"), stage}};
    if (!faults.isEmpty())
        camera.insert(QStringLiteral("loaderFaults"), QJsonDocument::fromJson(faults).object());
    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(
            QJsonDocument(QJsonObject{{QStringLiteral("cameras"), QJsonArray{camera}}}).toJson(), &cameras,
            &error))
        qWarning() << error;
    return std::make_unique<VirtualRig>(cameras);
}

// Cameras of model 7 with the product ids 0x1001, 0x1002, ... in these stages.
std::unique_ptr<VirtualRig> rigWithStages(const QStringList& stages, const QString& journal = QString(),
                                          const QByteArray& faults = QByteArray())
{
    QJsonArray entries;
    for (int i = 0; i < stages.size(); ++i)
        entries.append(QJsonObject{{QStringLiteral("model"), 7},
                                   {QStringLiteral("stage"), stages.at(i)},
                                   {QStringLiteral("vendorId"), 0x1d6b},
                                   {QStringLiteral("productId"), 0x1001 + i},
                                   {QStringLiteral("port"), QStringLiteral("1-%1").arg(i + 1)}});
    if (!faults.isEmpty()) {
        QJsonObject first = entries.at(0).toObject();
        first.insert(QStringLiteral("loaderFaults"), QJsonDocument::fromJson(faults).object());
        entries[0] = first;
    }
    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(
            QJsonDocument(QJsonObject{{QStringLiteral("cameras"), entries}}).toJson(), &cameras, &error))
        qWarning() << error;
    return std::make_unique<VirtualRig>(cameras, QString(), journal);
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// The command lines the device received: "text" or "text/length" for a terminated one.
QStringList commandLines(JournalReader& journal)
{
    QStringList lines;
    for (const QJsonObject& e : journal.fresh()) {
        if (e.value(QLatin1String("event")).toString() != QLatin1String("runcmd"))
            continue;
        QString line = e.value(QLatin1String("text")).toString();
        if (e.contains(QLatin1String("length")))
            line += QStringLiteral("/%1").arg(e.value(QLatin1String("length")).toInt());
        lines << line;
    }
    return lines;
}

int eventCount(const QVector<QJsonObject>& events, const QString& name)
{
    return int(std::count_if(events.begin(), events.end(), [&name](const QJsonObject& e) {
        return e.value(QLatin1String("event")).toString() == name;
    }));
}

const QByteArray kLine = "setenv a 1";

int runLine(SstarBulkHost& host, bot::BulkPipe& pipe)
{
    QByteArray line = kLine;
    return host.vendorCommand(pipe, kOutEndpoint, sstar::RUNCMD, sstar::Direction::ToDevice,
                              reinterpret_cast<std::uint8_t*>(line.data()), std::uint32_t(line.size()));
}

int readStatus(SstarBulkHost& host, bot::BulkPipe& pipe, QByteArray* word)
{
    *word = QByteArray(sstar::kStatusLength, '\xff');
    return host.vendorCommand(pipe, kOutEndpoint, sstar::STATUS, sstar::Direction::FromDevice,
                              reinterpret_cast<std::uint8_t*>(word->data()), sstar::kStatusLength);
}

} // namespace

class TstMacSstar : public QObject
{
    Q_OBJECT
private slots:
    void wrappersAndTags();
    void transportFaults_data();
    void transportFaults();
    void inquiry_data();
    void inquiry();
    void deviceTable();
    void slotCommands();
    void climbFromBootRom();
    void scriptRunner_data();
    void scriptRunner();
    void bootLoaderNeverReturns();
    void deviceWalk_data();
    void deviceWalk();
};

void TstMacSstar::wrappersAndTags()
{
    auto rig = rigWithStage(QStringLiteral("uboot"));
    VirtualBulkPipe device(*rig, 0);
    TapPipe pipe(device);
    SstarBulkHost host;
    LogCapture capture;

    QCOMPARE(runLine(host, pipe), 0);
    QByteArray word;
    QCOMPARE(readStatus(host, pipe, &word), 0);
    QCOMPARE(word.toHex(), QByteArray("0d000000"));
    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(host.inquiry(pipe, kOutEndpoint, answer.data()), 1);
    QCOMPARE(runLine(host, pipe), 0);

    // Vendor commands count 0, 1, 2; INQUIRY has its own counter from 0.
    const QStringList expected{
        "55 53 42 43 00 00 00 00 0a 00 00 00 00 00 0a e8 06 00 00 00 00 00 00 00 0a 00 00 00 00 00 00",
        "55 53 42 43 01 00 00 00 04 00 00 00 80 00 0a e8 02 00 00 00 00 00 00 00 04 00 00 00 00 00 00",
        "55 53 42 43 00 00 00 00 24 00 00 00 80 00 06 12 00 00 00 24 00 00 00 00 00 00 00 00 00 00 00",
        "55 53 42 43 02 00 00 00 0a 00 00 00 00 00 0a e8 06 00 00 00 00 00 00 00 0a 00 00 00 00 00 00",
    };
    QCOMPARE(pipe.wrappers, expected);
    QCOMPARE(host.nextVendorTag(), 3u);
    QCOMPARE(host.nextInquiryTag(), 1u);
    QCOMPARE(LogCapture::count(QStringLiteral("Send to endpoint_out(2) 31 bytes:")), 4);
    QCOMPARE(LogCapture::count(expected.first() + QLatin1Char(' ')), 1);
}

void TstMacSstar::transportFaults_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("clears");
    QTest::addColumn<QString>("logged");

    QTest::newRow("command wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "cbw", "count": 2}})") << 0 << 2
        << QString();
    QTest::newRow("command wrapper stalls three times")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "cbw", "count": 3}})") << -EPIPE << 2
        << QStringLiteral("Failed For:LIBUSB_ERROR_PIPE");
    QTest::newRow("status wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "csw", "count": 2}})") << 0 << 2
        << QString();
    // The data went only in part: the command fails, but the status wrapper is read, so the next
    // command finds the device in step.
    QTest::newRow("data phase stalls")
        << QByteArray(R"({"stall": {"command": "RUNCMD", "phase": "data", "count": 1}})") << -EIO << 1
        << QString();
    QTest::newRow("status wrapper of another tag")
        << QByteArray(R"({"wrongTag": {"command": "RUNCMD", "count": 1}})") << -EPROTO << 0 << QString();
    // Only the length and the tag of the status wrapper are judged.
    QTest::newRow("status wrapper without signature")
        << QByteArray(R"({"invalidWrapper": {"command": "RUNCMD", "count": 1, "field": "signature"}})") << 0
        << 0 << QString();
}

void TstMacSstar::transportFaults()
{
    QFETCH(QByteArray, faults);
    QFETCH(int, result);
    QFETCH(int, clears);
    QFETCH(QString, logged);

    auto rig = rigWithStage(QStringLiteral("uboot"), faults);
    VirtualBulkPipe device(*rig, 0);
    TapPipe pipe(device);
    SstarBulkHost host;
    LogCapture capture;

    QCOMPARE(runLine(host, pipe), result);
    QCOMPARE(pipe.clears, clears);
    QCOMPARE(pipe.resets, 0);
    if (!logged.isEmpty())
        QCOMPARE(LogCapture::count(logged), 1);
    else
        QVERIFY(!LogCapture::contains(QStringLiteral("Failed For:")));
    QCOMPARE(host.nextVendorTag(), 1u);

    // The device is in step for the next command, unless the command wrapper never got through.
    if (result != -EPIPE) {
        QByteArray word;
        QCOMPARE(readStatus(host, pipe, &word), 0);
        QCOMPARE(word.size(), sstar::kStatusLength);
    }
}

void TstMacSstar::inquiry_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<int>("result");

    QTest::newRow("answered") << QByteArray() << 1;
    QTest::newRow("command wrapper stalls twice")
        << QByteArray(R"({"stall": {"command": "INQUIRY", "phase": "cbw", "count": 2}})") << 1;
    QTest::newRow("command wrapper stalls three times")
        << QByteArray(R"({"stall": {"command": "INQUIRY", "phase": "cbw", "count": 3}})") << -1;
    QTest::newRow("status wrapper of another tag")
        << QByteArray(R"({"wrongTag": {"command": "INQUIRY", "count": 1}})") << -1;
}

void TstMacSstar::inquiry()
{
    QFETCH(QByteArray, faults);
    QFETCH(int, result);

    auto rig = rigWithStage(QStringLiteral("updater"), faults);
    VirtualBulkPipe pipe(*rig, 0);
    SstarBulkHost host;
    LogCapture capture;

    QCOMPARE(host.inquiry(pipe, kOutEndpoint, nullptr), 0);
    QCOMPARE(host.nextInquiryTag(), 0u);

    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(host.inquiry(pipe, kOutEndpoint, answer.data()), result);
    QCOMPARE(host.nextInquiryTag(), 1u);
    QCOMPARE(host.nextVendorTag(), 0u);
    if (result == 1) {
        const VirtualCamera camera = rig->cameras().first();
        const QByteArray product(reinterpret_cast<const char*>(answer.data()) + sstar::kOffsetProduct,
                                 sstar::kProductLength);
        QCOMPARE(product, camera.loader().product(camera));
    }
}

void TstMacSstar::deviceTable()
{
    auto rig = rigWithStages({QStringLiteral("uboot"), QStringLiteral("updater"), QStringLiteral("rom"),
                              QStringLiteral("normal")});
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    LogCapture capture;

    QCOMPARE(table.find(0x1d6b, 0x1001), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("libusb_init ok")), 1);
    QCOMPARE(table.inEndpoint(0), kVirtualBulkIn);
    QCOMPARE(table.outEndpoint(0), kVirtualBulkOut);
    QCOMPARE(table.find(0x1d6b, 0x1001), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("Already opened, return it.")), 1);
    QCOMPARE(table.find(0x1d6b, 0x1002), 1);
    // Two devices open: a third gets no slot.
    QCOMPARE(table.find(0x1d6b, 0x1003), sstarusb::kNoSlot);
    QCOMPARE(table.find(0x1d6b, 0x1001), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("libusb_init ok")), 1);

    // Closing frees the first slot and the next lookup starts afresh with both slots empty.
    table.close();
    QVERIFY(!table.isOpen(0));
    QVERIFY(table.isOpen(1));
    QCOMPARE(table.find(0x1d6b, 0x1003), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("libusb_init ok")), 2);
    QVERIFY(!table.isOpen(1));
    // Interface 0 without a bulk OUT endpoint (a camera's VideoControl interface), and no device.
    QCOMPARE(table.find(0x1d6b, 0x1004), sstarusb::kNoSlot);
    QCOMPARE(table.find(0x1d6b, 0x1005), sstarusb::kNoSlot);
    QVERIFY(!table.isOpen(1));
}

void TstMacSstar::slotCommands()
{
    auto rig = rigWithStages({QStringLiteral("uboot")});
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    LogCapture capture;

    std::array<std::uint8_t, sstar::kInquiryLength> answer{};
    QCOMPARE(table.inquiry(0, answer.data()), 0); // nothing open yet
    QCOMPARE(table.runCommand(0, "reset", 6), -1);
    QCOMPARE(table.find(0x1d6b, 0x1001), 0);
    QCOMPARE(table.inquiry(0, nullptr), 0);
    QCOMPARE(table.inquiry(0, answer.data()), 1);

    // The length counts the terminating zero; the log shows the text.
    QCOMPARE(table.runCommand(0, "saveenv", 8), 0);
    QCOMPARE(LogCapture::count(QStringLiteral("cmd:saveenv len:8")), 1);
    std::array<std::uint8_t, sstar::kStatusLength> word{};
    QCOMPARE(table.readStatus(0, word.data(), int(word.size())), 0);
    QVERIFY(sstar::statusGood(word.data()));

    // Zero bytes or no data fail; chunks are DATA then DATA_END.
    const QByteArray image(2500, 'x');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.constData());
    QCOMPARE(table.write(0, bytes, 0, 1024), -1);
    QCOMPARE(table.write(0, nullptr, 10, 1024), -1);
    const std::uint32_t before = table.host().nextVendorTag();
    QCOMPARE(table.write(0, bytes, std::uint32_t(image.size()), 1024), 0);
    QCOMPARE(table.host().nextVendorTag(), before + 3);

    // The first refused chunk ends the transfer.
    rig->modify([](QVector<VirtualCamera>& cameras) {
        cameras[0].loader().faults().wrongTagCommand = QStringLiteral("DATA");
        cameras[0].loader().faults().wrongTagCount = 1;
    });
    const std::uint32_t tag = table.host().nextVendorTag();
    QCOMPARE(table.write(0, bytes, std::uint32_t(image.size()), 1024), -1);
    QCOMPARE(table.host().nextVendorTag(), tag + 1);
}

void TstMacSstar::climbFromBootRom()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    writeFile(folder + QStringLiteral("updater.bin"), QByteArray(3000, 'u'));
    writeFile(folder + QStringLiteral("u-boot.bin"), QByteArray(70000, 'b'));
    writeFile(folder + QStringLiteral("kernel"), QByteArray(1000, 'k'));
    writeFile(folder + QStringLiteral("auto_update.txt"),
              "# camera\nsetenv bootargs quiet\ntftp 0x21000000 kernel\nreset\nsetenv never 1\n");
    const QString journalPath = dir.filePath(QStringLiteral("journal.jsonl"));
    auto rig = rigWithStages({QStringLiteral("rom")}, journalPath);
    JournalReader journal;
    journal.setPath(journalPath);
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    SCSIConnect connect(table);
    connect.setReturnWait(20, 10);
    LogCapture capture;

    connect.setG_vid(0x1d6b);
    connect.setG_pid(0x1001);
    QVERIFY(connect.upgradeStart());
    QCOMPARE(connect.g_dev_state(), ROM);
    QCOMPARE(LogCapture::count(QStringLiteral("=============1d6b 1001")), 1);
    connect.do_updater(QStringLiteral("updater.bin"), folder);
    QCOMPARE(connect.g_dev_state(), Updater);
    QCOMPARE(rig->cameras().first().stage(), QStringLiteral("updater"));
    QVERIFY(connect.do_Uboot(QStringLiteral("u-boot.bin"), folder));
    QCOMPARE(connect.g_dev_state(), UBoot);
    QVERIFY(!LogCapture::contains(QStringLiteral("=====升级状态错误")));
    connect.sendUpdateCmd();
    QVERIFY(connect.autoUpdate(QStringLiteral("auto_update.txt"), folder));

    QCOMPARE(commandLines(journal), QStringList({"setenv ota_upgrade_status 3/28", "setenv bootargs quiet",
                                                 "setenv ota_upgrade_status 0/28", "saveenv/8", "reset/6"}));
    QCOMPARE(rig->cameras().first().stage(), QStringLiteral("normal"));
    QCOMPARE(LogCapture::count(QStringLiteral(" USB_ScsiWrite= ====== end =======4")), 2);
    QCOMPARE(LogCapture::count(QStringLiteral("cmd:reset len:6")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("升级成功！")), 1);
    QCOMPARE(LogCapture::count(QStringLiteral("exit exit exit ======1111")), 1);
    QVERIFY(!table.isOpen(0));
}

void TstMacSstar::scriptRunner_data()
{
    QTest::addColumn<QByteArray>("faults");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("commandLines");
    QTest::addColumn<int>("loadHeaders");
    QTest::addColumn<QStringList>("logged");

    QTest::newRow("unconfirmed command line")
        << QByteArray(R"({"badStatus": {"match": "setenv a 1", "count": -1}})")
        << QByteArray("setenv a 1\nreset\n") << false << 5 << 0 << QStringList{QStringLiteral("升级失败！")};
    QTest::newRow("unconfirmed saveenv")
        << QByteArray(R"({"badStatus": {"match": "saveenv", "count": -1}})")
        << QByteArray("saveenv\nsetenv a 1\n") << true << 5 << 0 << QStringList{QStringLiteral("升级成功！")};
    QTest::newRow("refused load header")
        << QByteArray(R"({"wrongTag": {"command": "LOADINFO", "count": 1}})")
        << QByteArray("tftp 0x21000000 kernel\n") << true << 0 << 2
        << QStringList{QStringLiteral("send loadinfo fail: kernel"),
                       QStringLiteral(" USB_ScsiWrite= ====== end =======3")};
    QTest::newRow("refused image") << QByteArray(R"({"wrongTag": {"command": "DATA_END", "count": 1}})")
                                   << QByteArray("tftp 0x21000000 kernel\n") << true << 0 << 2
                                   << QStringList{QStringLiteral("load fail: kernel")};
    QTest::newRow("load never confirmed") << QByteArray(R"({"badStatus": {"match": "load", "count": -1}})")
                                          << QByteArray("tftp 0x21000000 kernel\nsetenv a 1\n") << false << 0
                                          << 5 << QStringList{QStringLiteral("升级失败！")};
    QTest::newRow("missing nested script") << QByteArray() << QByteArray("estar missing.txt\nsetenv a 1\n")
                                           << false << 0 << 0 << QStringList{QStringLiteral("升级失败！")};
}

void TstMacSstar::scriptRunner()
{
    QFETCH(QByteArray, faults);
    QFETCH(QByteArray, script);
    QFETCH(bool, succeeds);
    QFETCH(int, commandLines);
    QFETCH(int, loadHeaders);
    QFETCH(QStringList, logged);

    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    writeFile(folder + QStringLiteral("kernel"), QByteArray(1000, 'k'));
    writeFile(folder + QStringLiteral("auto_update.txt"), script);
    const QString journalPath = dir.filePath(QStringLiteral("journal.jsonl"));
    auto rig = rigWithStages({QStringLiteral("uboot")}, journalPath, faults);
    JournalReader journal;
    journal.setPath(journalPath);
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    SCSIConnect connect(table);
    LogCapture capture;

    connect.setG_vid(0x1d6b);
    connect.setG_pid(0x1001);
    QVERIFY(connect.upgradeStart());
    QCOMPARE(connect.autoUpdate(QStringLiteral("auto_update.txt"), folder), succeeds);
    const QVector<QJsonObject> events = journal.fresh();
    QCOMPARE(eventCount(events, QStringLiteral("runcmd")), commandLines);
    QCOMPARE(eventCount(events, QStringLiteral("loadinfo")), loadHeaders);
    for (const QString& line : logged)
        QCOMPARE(LogCapture::count(line), 1);
    // This edition's runner has none of the other edition's retry and outcome lines.
    for (const char* line :
         {"[retry", "Think ok.", "USB scsi run cmd timeout.", "parse script fail", "load file fail"})
        QVERIFY2(!LogCapture::contains(QLatin1String(line)), line);
}

void TstMacSstar::bootLoaderNeverReturns()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    writeFile(folder + QStringLiteral("u-boot.bin"), QByteArray(1000, 'b'));
    auto rig = rigWithStages({QStringLiteral("updater")}, QString(), R"({"neverReturn": true})");
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    SCSIConnect connect(table);
    connect.setReturnWait(5, 10);
    LogCapture capture;

    connect.setG_vid(0x1d6b);
    connect.setG_pid(0x1001);
    QVERIFY(connect.upgradeStart());
    QVERIFY(!connect.do_Uboot(QStringLiteral("u-boot.bin"), folder));
    QCOMPARE(LogCapture::count(QStringLiteral("=============1d6b 1001")), 6);
}

void TstMacSstar::deviceWalk_data()
{
    QTest::addColumn<QStringList>("stages");
    QTest::addColumn<bool>("found");
    QTest::addColumn<int>("productId");

    QTest::newRow("one in U-Boot") << QStringList{"uboot"} << true << 0x1001;
    // The camera walked after it does not answer: the device that did stays the one held.
    QTest::newRow("one in U-Boot, a camera after it") << QStringList{"uboot", "normal"} << true << 0x1001;
    QTest::newRow("a camera, one in U-Boot after it") << QStringList{"normal", "uboot"} << true << 0x1002;
    QTest::newRow("two answer") << QStringList{"uboot", "updater"} << false << -1;
    QTest::newRow("one in the updater") << QStringList{"updater"} << false << -1;
    QTest::newRow("none answers") << QStringList{"normal"} << false << -1;
}

void TstMacSstar::deviceWalk()
{
    QFETCH(QStringList, stages);
    QFETCH(bool, found);
    QFETCH(int, productId);

    auto rig = rigWithStages(stages);
    VirtualBulkUsbBus bus(*rig);
    sstarusb::DeviceTable table(bus);
    SCSIConnect connect(table);
    LogCapture capture;

    QCOMPARE(findUbootDevice(bus, connect), found);
    if (!found)
        return;
    QCOMPARE(connect.g_pid(), productId);
    QCOMPARE(connect.g_dev_state(), UBoot);
    QVERIFY(table.isOpen(connect.slot()));
    // The device held is the one that answered: its command lines reach it.
    QCOMPARE(table.runCommand(connect.slot(), "setenv a 1", 10), 0);
}

QTEST_GUILESS_MAIN(TstMacSstar)
#include "tst_mac_sstar.moc"
