// Package model detection: modelInSearchWindow on any window, and detectPackageModel on a
// miservice.ubifs made from the input.
//
// Oracles:
// - the model found is the one a plain reference search gives: the first pattern, in table order,
//   that matches at any start offset up to 0x4FFFEB (the wildcard byte of the Zephyr pattern
//   matching any byte);
// - an input that starts with the byte 0xFD is also written as the image (without that byte), and
//   detectPackageModel finds the same model (and leaves the model untouched when there is none);
// - an input that starts with 0xFF describes an image longer than one read block: a
//   first block (the input's first half, zero-padded to 5 MiB) and a last block (the second
//   half); the search window is then the last block followed by the rest of the first. One that
//   starts with 0xFE is an image of exactly one block that ends with the input, so that patterns
//   lie around the last offset searched.

#include "fuzz/fuzzsupport.h"
#include "upgrade/package.h"

#include <QTemporaryDir>

#include <algorithm>
#include <optional>

namespace {

struct Pattern
{
    QByteArray bytes;
    int wildcard;
    int model;
};

const Pattern kPatterns[] = {
    {"PX-K27-000", -1, 0}, {"ARDEN 320", -1, 2}, {"ARDEN 330", -1, 3}, {"QB17-000", -1, 4},
    {"Orbi+TM40", -1, 5},  {"QB18Z", -1, 6},     {"QB18", -1, 7},      {"Zephyr?TM45", 6, 8},
};

// A search window that holds content from offset base on and zeros everywhere else.
std::optional<int> referenceModel(const QByteArray& content, qint64 base = 0)
{
    const auto at = [&](qint64 offset) {
        return offset >= base && offset < base + content.size() ? content.at(int(offset - base)) : '\0';
    };
    for (const Pattern& pattern : kPatterns) {
        // Every pattern byte but the wildcard is non-zero, so a match lies within the content.
        for (qint64 offset = std::max<qint64>(0, base - pattern.bytes.size());
             offset <= kModelSearchLastOffset && offset < base + content.size(); ++offset) {
            bool match = true;
            for (int i = 0; i < pattern.bytes.size() && match; ++i)
                match = i == pattern.wildcard || at(offset + i) == pattern.bytes.at(i);
            if (match)
                return pattern.model;
        }
    }
    return std::nullopt;
}

QTemporaryDir* g_folder = nullptr;

QByteArray describe(std::optional<int> model)
{
    return model ? QByteArray::number(*model) : QByteArray("none");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    g_folder = new QTemporaryDir();
    if (!g_folder->isValid())
        fuzz::fail("no temporary folder");
    setUpgradeWorkFolder(g_folder->path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input = fuzz::bytes(data, size);
    const std::optional<int> expected = referenceModel(input);
    const std::optional<int> found =
        modelInSearchWindow(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size)));
    const QByteArray detail = "found " + describe(found) + ", expected " + describe(expected);
    fuzz::check(found == expected, "the search finds the first pattern in table order", detail);

    // The same through the image file, for inputs that ask for it (a read of the image costs a
    // 5 MiB window, too slow for every input).
    QByteArray image;
    std::optional<int> expectedFromFile;
    if (input.startsWith('\xFD')) {
        image = input.mid(1);
        expectedFromFile = referenceModel(image);
    } else if (input.startsWith('\xFF')) {
        // Two blocks: the window is the last block followed by the rest of the first.
        const QByteArray first = input.mid(1, (input.size() - 1) / 2);
        const QByteArray last = input.mid(1 + first.size());
        image = first + QByteArray(int(kModelSearchWindow) - first.size(), '\0') + last;
        QByteArray window = first.size() > last.size() ? first : last;
        window.replace(0, last.size(), last);
        expectedFromFile = referenceModel(window);
    } else if (input.startsWith('\xFE')) {
        // One block that ends with the input: its patterns lie near the last offsets searched.
        const QByteArray tail = input.mid(1);
        image = QByteArray(int(kModelSearchWindow) - tail.size(), '\0') + tail;
        expectedFromFile = referenceModel(tail, kModelSearchWindow - tail.size());
    } else {
        return 0;
    }
    if (!fuzz::writeFile(g_folder->filePath(QStringLiteral("miservice.ubifs")), image))
        fuzz::fail("cannot write the image");
    int model = -7;
    const bool detected = detectPackageModel(model);
    fuzz::check(detected == bool(expectedFromFile) && (detected ? model == *expectedFromFile : model == -7),
                "detectPackageModel on the image finds the reference's model",
                "detected " + QByteArray::number(model) + ", expected " + describe(expectedFromFile));
    return 0;
}
