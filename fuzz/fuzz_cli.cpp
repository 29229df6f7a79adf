// The command line of deckctl-cli: cli::run on any argument list (the input's lines), against two
// virtual cameras that every run gets afresh.
//
// Oracles:
// - the exit status is 0, 1 or 2, and a failure says why on standard error ("deckctl-cli: ...");
// - with --json first (and no request for the help), standard output is exactly one line holding one JSON
// object, which on
//   failure carries "error" and the exit status as "status";
// - a "set" that succeeded reads back: "get" of the same setting then prints what "set" printed.
// Package commands ("upgrade", "recover") whose package names an existing file are left out: they
// would unpack and upgrade, which the package and script targets fuzz on their own.

#include "cli/cli.h"
#include "cli/cliarguments.h"
#include "fuzz/fuzzsupport.h"
#include "sim/virtualcamera.h"
#include "sim/virtualplatform.h"
#include "sim/virtualrig.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run run(const QStringList& arguments)
{
    Run result;
    QTextStream out(&result.out);
    QTextStream err(&result.err);
    result.status = cli::run(arguments, out, err);
    out.flush();
    err.flush();
    return result;
}

void checkRun(const QStringList& arguments, const Run& result)
{
    const QByteArray detail = "arguments: " + arguments.join(QStringLiteral(" | ")).toUtf8() +
                              "\nstatus: " + QByteArray::number(result.status) +
                              "\nout: " + result.out.toUtf8() + "\nerr: " + result.err.toUtf8();
    fuzz::check(result.status == cli::kExitOk || result.status == cli::kExitDevice ||
                    result.status == cli::kExitUsage,
                "the exit status is 0, 1 or 2", detail);
    if (result.status != cli::kExitOk)
        fuzz::check(result.err.startsWith(QLatin1String("deckctl-cli: ")), "a failure says why", detail);
    cli::Options options;
    QString parseError;
    // The help is text whatever else the line asks for.
    const bool help = cli::parseArguments(arguments, &options, &parseError) && options.help;
    if (arguments.value(0) == QLatin1String("--json") && !help) {
        fuzz::check(result.out.endsWith(QLatin1Char('\n')) && result.out.count(QLatin1Char('\n')) == 1,
                    "--json prints one line", detail);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(result.out.toUtf8(), &error);
        fuzz::check(error.error == QJsonParseError::NoError && document.isObject(),
                    "--json prints a JSON object", detail);
        if (result.status != cli::kExitOk) {
            const QJsonObject object = document.object();
            fuzz::check(object.value(QLatin1String("error")).isString() &&
                            object.value(QLatin1String("status")).toInt(-1) == result.status,
                        "--json reports a failure with its reason and status", detail);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QStringList arguments = QString::fromUtf8(fuzz::bytes(data, size)).split(QLatin1Char('\n'));
    if (arguments.size() > 8)
        return -1;
    for (const QString& argument : arguments) {
        if ((arguments.contains(QLatin1String("upgrade")) || arguments.contains(QLatin1String("recover"))) &&
            QFileInfo(argument).isFile())
            return -1;
    }

    QVector<VirtualCamera> cameras;
    QString error;
    if (!VirtualRig::parseConfiguration(R"({"cameras": [{"model": 7}, {"model": 2, "port": "1-2"}]})",
                                        &cameras, &error))
        fuzz::fail("the virtual cameras cannot be configured", error.toUtf8());
    installDevicePlatform(std::make_unique<VirtualPlatform>(std::make_unique<VirtualRig>(cameras)));

    const Run result = run(arguments);
    checkRun(arguments, result);

    cli::Options options;
    if (result.status == cli::kExitOk && cli::parseArguments(arguments, &options, &error) && !options.help &&
        !options.version && options.command == QLatin1String("set") && options.arguments.size() == 2) {
        QStringList get = {QStringLiteral("--camera=") + options.camera};
        if (options.json)
            get << QStringLiteral("--json");
        get << QStringLiteral("get") << QStringLiteral("--") << options.arguments.at(0);
        const Run readBack = run(get);
        checkRun(get, readBack);
        fuzz::check(readBack.status == cli::kExitOk && readBack.out == result.out,
                    "a setting that was set reads back",
                    "set: " + arguments.join(QLatin1Char(' ')).toUtf8() + " -> " + result.out.toUtf8() +
                        "\nget: " + readBack.out.toUtf8() + readBack.err.toUtf8());
    }
    installDevicePlatform(nullptr);
    return 0;
}
