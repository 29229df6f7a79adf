// The upgrade script runner (runUpgradeScript): script lines, "tftp" addresses and file names,
// "estar" nesting, against a recording mass-storage device.
//
// The input is up to three scripts separated by lines "===": the package's auto_update.txt,
// s1.txt and sub/s2.txt, so that "estar" lines can name each other. A first line "#mode1" runs
// the top script in mode 1 (the main board's script). The upgrade folder also holds a few files,
// links that stay inside it and links that lead out of it; beside it lie files that no script
// may reach (nor may the files of the process's current directory, the fuzzer's).
//
// Oracles, over everything that reached the device:
// - every image loaded (load header and data chunks) has the bytes of a file inside the upgrade
//   folder, and the header's size and MD5 are those of the bytes sent;
// - every load address is the hexadecimal address of some "tftp" line in the scripts;
// - every command line sent is at most 1,023 bytes, normalised (no tabs, no blank at either end,
//   no two blanks in a row, not a comment) and is a line of a file inside the folder or a step of
//   the local reset sequence.

#include "device/deviceplatform.h"
#include "device/massstorage.h"
#include "device/previewbackend.h"
#include "device/soundserver.h"
#include "device/videobackend.h"
#include "fuzz/fuzzsupport.h"
#include "upgrade/libsstarufu.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QSet>
#include <QTemporaryDir>
#include <QVector>

namespace {

struct Sent
{
    int subCommand;
    QByteArray data;
};

// What the device received during one run.
QVector<Sent> g_sent;

// A boot loader that takes everything: a good status word, except after a command line that
// contains "!" (so that the runner's retries and its restart rules run too).
class RecordingDevice : public MassStorageDevice
{
public:
    int scsiCommand(const std::uint8_t* cdb, int cdbLength, ScsiDirection direction, std::uint8_t* data,
                    std::uint32_t length, int) override
    {
        if (cdbLength < 1)
            return -EINVAL;
        if (cdb[0] == sstar::kInquiryOpcode) {
            const QByteArray answer =
                QByteArray("\0\0\0\0\0\0\0\0GC      UBOOT           ", sstar::kInquiryLength);
            std::copy(answer.begin(), answer.begin() + std::min<int>(int(length), answer.size()), data);
            return 0;
        }
        if (cdb[0] != sstar::kOpcode || cdbLength != sstar::kCommandLength)
            return -EINVAL;
        const int subCommand = cdb[sstar::kOffsetSubCommand];
        if (subCommand == sstar::STATUS && direction == ScsiDirection::FromDevice) {
            if (length >= 2) {
                data[0] = sstar::kStatusGood0;
                data[1] = m_lastCommandBad ? 0x01 : sstar::kStatusGood1;
            }
            return 0;
        }
        const QByteArray bytes(reinterpret_cast<const char*>(data), int(length));
        if (subCommand == sstar::RUNCMD)
            m_lastCommandBad = bytes.contains('!');
        else if (subCommand == sstar::LOADINFO)
            m_lastCommandBad = false;
        g_sent.append({subCommand, bytes});
        return 0;
    }

private:
    bool m_lastCommandBad = false;
};

class RecordingBackend : public MassStorageBackend
{
public:
    QVector<MassStorageCandidate> listDevices() override
    {
        return {{QStringLiteral("rec"), "GC      ", "UBOOT"}};
    }
    std::unique_ptr<MassStorageDevice> open(const QString&, int*) override
    {
        return std::make_unique<RecordingDevice>();
    }
};

class NoVideo : public VideoBackend
{
public:
    QVector<VideoDeviceInfo> listCaptureDevices() override { return {}; }
    std::unique_ptr<VideoDeviceHandle> open(const VideoDeviceInfo&, int* error) override
    {
        *error = -ENODEV;
        return nullptr;
    }
};

class NoSound : public SoundServer
{
public:
    bool listSinks(QVector<SinkInfo>*) override { return false; }
    bool setSinkVolume(const QString&, double) override { return false; }
};

class RecordingPlatform : public DevicePlatform
{
public:
    VideoBackend& video() override { return m_video; }
    SoundServer& sound() override { return m_sound; }
    MassStorageBackend& massStorage() override { return m_massStorage; }
    PreviewBackend& preview() override { return m_preview; }

private:
    NoVideo m_video;
    CaptureNodePreviewBackend m_preview{m_video};
    NoSound m_sound;
    RecordingBackend m_massStorage;
};

QTemporaryDir* g_root = nullptr;
QString g_work;
const QStringList kScriptNames = {QStringLiteral("auto_update.txt"), QStringLiteral("s1.txt"),
                                  QStringLiteral("sub/s2.txt")};

void link(const QString& target, const QString& path)
{
    if (!QFile::link(target, path))
        fuzz::fail("cannot set up the fuzz folder", path.toUtf8());
}

// The input's parts between separator lines "===".
QList<QByteArray> splitScripts(const QByteArray& input)
{
    QList<QByteArray> parts;
    int start = 0;
    for (;;) {
        const int separator = input.indexOf("\n===\n", start);
        if (separator < 0)
            break;
        parts.append(input.mid(start, separator + 1 - start));
        start = separator + 5;
    }
    parts.append(input.mid(start));
    return parts;
}

// The file's lines as the runner sees them: blanks and tabs trimmed, inner runs made one blank.
QList<QByteArray> linesOf(const QByteArray& content)
{
    QList<QByteArray> lines;
    for (QByteArray line : content.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        QByteArray text;
        bool blank = false;
        for (const char c : line) {
            if (c == ' ' || c == '\t') {
                blank = !text.isEmpty();
                continue;
            }
            if (blank)
                text.append(' ');
            blank = false;
            text.append(c);
        }
        lines.append(text);
    }
    return lines;
}

bool referenceAddress(const QByteArray& word, quint64* address)
{
    QByteArray digits = word;
    if (digits.startsWith("0x") || digits.startsWith("0X"))
        digits = digits.mid(2);
    if (digits.isEmpty())
        return false;
    for (const char c : digits) {
        if (!QByteArray("0123456789abcdefABCDEF").contains(c))
            return false;
    }
    // Leading zeros are fine: the value must fit in 32 bits, not the text in eight digits.
    bool ok = false;
    *address = digits.toULongLong(&ok, 16);
    return ok && *address <= 0xFFFFFFFFu;
}

std::uint32_t le32(const QByteArray& bytes, int offset)
{
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.constData() + offset);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
           std::uint32_t(b[3]) << 24;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    g_root = new QTemporaryDir();
    if (!g_root->isValid())
        fuzz::fail("no temporary folder");
    const QString root = g_root->path();
    g_work = root + QStringLiteral("/work");
    fuzz::putFile(g_work + QStringLiteral("/a.bin"), "inside a\n");
    fuzz::putFile(g_work + QStringLiteral("/sub/b.bin"), "inside b\nsetenv b 1\n");
    fuzz::putFile(g_work + QStringLiteral("/sub/deeper/c.bin"), QByteArray(20000, 'c'));
    fuzz::putFile(g_work + QStringLiteral("/empty.bin"), QByteArray());
    fuzz::putFile(root + QStringLiteral("/outside/secret.bin"), "outside secret\n");
    fuzz::putFile(root + QStringLiteral("/outside/a.bin"), "outside a\n");
    fuzz::putFile(root + QStringLiteral("/work2/a.bin"), "outside sibling\n");
    fuzz::putFile(root + QStringLiteral("/secret.bin"), "outside root\n");
    link(QStringLiteral("sub"), g_work + QStringLiteral("/link-in"));
    link(QStringLiteral("../a.bin"), g_work + QStringLiteral("/sub/up-link"));
    link(QStringLiteral("../outside"), g_work + QStringLiteral("/link-out"));
    link(QStringLiteral("../../outside/secret.bin"), g_work + QStringLiteral("/sub/file-out"));
    link(root + QStringLiteral("/secret.bin"), g_work + QStringLiteral("/abs-out"));
    link(QStringLiteral("../work2"), g_work + QStringLiteral("/sibling"));

    installDevicePlatform(std::make_unique<RecordingPlatform>());
    setUpgradeFileFolder(g_work);
    DeviceState state = Other;
    if (!USB_ScsiFindDevice(0, state))
        fuzz::fail("the recording device is not found");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const int mode = input.startsWith("#mode1\n") ? 1 : 0;
    const QList<QByteArray> scripts = splitScripts(input);
    for (int i = 0; i < kScriptNames.size(); ++i)
        fuzz::putFile(g_work + QLatin1Char('/') + kScriptNames.at(i), scripts.value(i));

    // What the folder holds, by content: the only images that may reach the device, and the only
    // command lines (scripts run with "estar" may be any file of the folder).
    QSet<QByteArray> inside;
    QSet<QByteArray> lines = {"setenv ota_upgrade_status 0", "saveenv", "reset"};
    QSet<quint64> addresses;
    QDirIterator files(g_work, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.open(QIODevice::ReadOnly))
            fuzz::fail("cannot read the fuzz folder", file.fileName().toUtf8());
        const QByteArray content = file.readAll();
        inside.insert(content);
        for (const QByteArray& line : linesOf(content)) {
            lines.insert(line);
            const QList<QByteArray> words = line.split(' ');
            quint64 address = 0;
            if (words.first() == "tftp" && referenceAddress(words.value(1), &address))
                addresses.insert(address);
        }
    }

    g_sent.clear();
    runUpgradeScript(kScriptNames.first(), mode);

    QByteArray detail = "sent:";
    for (const Sent& s : g_sent)
        detail += "\n  " + QByteArray::number(s.subCommand) + " " + s.data.left(80).toHex(' ');
    for (int i = 0; i < g_sent.size(); ++i) {
        const Sent& s = g_sent.at(i);
        if (s.subCommand == sstar::RUNCMD) {
            const QByteArray& text = s.data;
            fuzz::check(text.size() <= sstar::kMaxCommandLine, "a command line is at most 1,023 bytes",
                        detail);
            fuzz::check(!text.contains('\t') && !text.contains("  ") && !text.startsWith(' ') &&
                            !text.endsWith(' ') && !text.isEmpty() && !text.startsWith('#') &&
                            !text.startsWith('%') && !text.contains('\n'),
                        "a command line is normalised and no comment", detail);
            fuzz::check(lines.contains(text), "a command line comes from a file inside the folder",
                        detail + "\nline: " + text);
            continue;
        }
        fuzz::check(s.subCommand == sstar::LOADINFO, "data follows a load header", detail);
        fuzz::check(s.data.size() == sstar::kLoadHeaderLength, "a load header is 24 bytes", detail);
        QByteArray image;
        int next = i + 1;
        bool ended = false;
        while (!ended && next < g_sent.size() &&
               (g_sent.at(next).subCommand == sstar::DATA || g_sent.at(next).subCommand == sstar::DATA_END)) {
            ended = g_sent.at(next).subCommand == sstar::DATA_END;
            image += g_sent.at(next++).data;
        }
        i = next - 1;
        fuzz::check(le32(s.data, sstar::kOffsetLoadSize) == std::uint32_t(image.size()),
                    "the load header's size is the image's", detail);
        fuzz::check(s.data.mid(sstar::kOffsetLoadMd5, 16) ==
                        QCryptographicHash::hash(image, QCryptographicHash::Md5),
                    "the load header's MD5 is the image's", detail);
        fuzz::check(inside.contains(image), "every image loaded is a file inside the upgrade folder",
                    detail + "\nimage: " + image.left(80));
        fuzz::check(addresses.contains(le32(s.data, sstar::kOffsetLoadAddress)),
                    "every load address is a tftp line's address", detail);
    }
    return 0;
}
