#include "cliarguments.h"

#include "cli/cli.h"
#include "cli/clisettings.h"

#include <QCommandLineParser>

namespace cli {
namespace {

const QString kProgram = QStringLiteral("deckctl-cli");

// A word that stands for a value although it starts with "-": a negative number ("-12", "-0.5").
bool isNegativeNumber(const QString& word)
{
    return word.size() > 1 && word.at(0) == QLatin1Char('-') &&
           (word.at(1).isDigit() || (word.at(1) == QLatin1Char('.') && word.size() > 2));
}

// The options' names as the parser knows them, with the value name of those that take one.
struct OptionSpec
{
    QStringList names;
    QString valueName;
};

const QVector<OptionSpec>& optionSpecs()
{
    static const QVector<OptionSpec> specs = {
        {{QStringLiteral("c"), QStringLiteral("camera")}, QStringLiteral("INDEX|ID|NAME")},
        {{QStringLiteral("json")}, QString()},
        {{QStringLiteral("verbose")}, QString()},
        {{QStringLiteral("h"), QStringLiteral("help")}, QString()},
        {{QStringLiteral("version")}, QString()},
    };
    return specs;
}

QString dashed(const QString& name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

} // namespace

bool parseArguments(const QStringList& arguments, Options* options, QString* error)
{
    // The words are sorted first: options (with the value of --camera joined to it, so that a
    // value that starts with "-" stays a value) and command words. The parser then reads the
    // options; "--" before the command words keeps it from reading any of them as an option.
    QStringList optionWords;
    QStringList commandWords;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& word = arguments.at(i);
        if (optionsEnded || word == QLatin1String("-") || !word.startsWith(QLatin1Char('-')) ||
            isNegativeNumber(word)) {
            commandWords << word;
        } else if (word == QLatin1String("--")) {
            optionsEnded = true;
        } else if (word == QLatin1String("--camera") || word == QLatin1String("-c")) {
            if (i + 1 >= arguments.size()) {
                *error = QStringLiteral("%1 needs an index, an id or a name").arg(word);
                return false;
            }
            optionWords << QStringLiteral("--camera=") + arguments.at(++i);
        } else {
            optionWords << word;
        }
    }

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    for (const OptionSpec& spec : optionSpecs())
        parser.addOption(QCommandLineOption(spec.names, QString(), spec.valueName));
    if (!parser.parse(QStringList{kProgram} + optionWords + QStringList{QStringLiteral("--")} +
                      commandWords)) {
        const QStringList unknown = parser.unknownOptionNames();
        *error = unknown.isEmpty() ? parser.errorText()
                                   : QStringLiteral("unknown option %1").arg(dashed(unknown.first()));
        return false;
    }
    options->camera = parser.value(QStringLiteral("camera"));
    options->json = parser.isSet(QStringLiteral("json"));
    options->verbose = parser.isSet(QStringLiteral("verbose"));
    options->help = parser.isSet(QStringLiteral("help"));
    options->version = parser.isSet(QStringLiteral("version"));
    const QStringList words = parser.positionalArguments();
    if (!words.isEmpty()) {
        options->command = words.first();
        options->arguments = words.mid(1);
    }
    if (options->command == QLatin1String("help"))
        options->help = true; // "help COMMAND" too: the help covers every command
    if (options->command.isEmpty() && !options->help && !options->version) {
        *error = QStringLiteral("no command given");
        return false;
    }
    return true;
}

QString helpPointer()
{
    return QStringLiteral("Try \"%1 --help\" for the commands, settings and values.").arg(kProgram);
}

QString versionText()
{
    return QStringLiteral("%1 %2").arg(kProgram, QStringLiteral(DECKCTL_VERSION));
}

QString helpText()
{
    QString settings;
    int width = 0;
    for (const CliSetting& setting : cliSettings())
        width = std::max(width, int(setting.name.size()));
    for (const CliSetting& setting : cliSettings())
        settings += QStringLiteral("  %1  %2\n").arg(setting.name, -width).arg(settingHelp(setting));

    return QStringLiteral(
               "Usage: %1 [OPTION...] COMMAND [ARGUMENT...]\n"
               "Reads and changes the settings of USB conference cameras and upgrades or repairs their\n"
               "firmware. Options may stand anywhere on the line; \"--\" ends them.\n"
               "\n"
               "Commands:\n"
               "  list                     one line per camera: index, name, id, vid:pid, model index;\n"
               "                           a camera waiting in a boot stage: index, stage, id, vid:pid,\n"
               "                           \"needs recover\"\n"
               "  info                     model index and name, firmware version, audio version\n"
               "  controls                 every setting with its value, range, step and default\n"
               "  get SETTING              prints the value\n"
               "  set SETTING VALUE        sets the value and prints the value the camera then has\n"
               "  preset save N            stores the camera's position as preset N (1 or 2)\n"
               "  preset recall N          moves the camera to preset N (1 or 2)\n"
               "  factory-reset            restores the camera's factory settings\n"
               "  upgrade PACKAGE.zip      upgrades the firmware of the selected camera\n"
               "  recover PACKAGE.zip      repairs a camera waiting in a boot stage\n"
               "  virtual plug MODEL [KEY=VALUE...]\n"
               "                           attaches a virtual camera of model index MODEL (keys as in\n"
               "                           the virtual camera's configuration)\n"
               "  virtual unplug INDEX     unplugs the virtual camera at INDEX\n"
               "  help                     prints this help\n"
               "\n"
               "Options:\n"
               "  -c, --camera INDEX|ID|NAME\n"
               "                           the camera to use: the index or the id that \"list\" prints,\n"
               "                           the name, or a part of the name that only one camera has;\n"
               "                           without it, the first camera of a known model\n"
               "      --json               prints the result, or the error and the exit status, as one\n"
               "                           JSON object on standard output (upgrade and recover add\n"
               "                           \"steps\": the steps taken, with text and percent)\n"
               "      --verbose            also shows the log's lines on standard error\n"
               "  -h, --help               prints this help\n"
               "      --version            prints the program's version\n"
               "\n"
               "Settings (SETTING) and their values (VALUE):\n"
               "%2"
               "\n"
               "The camera's own ranges apply where they are narrower; \"controls\" shows them.\n"
               "\n"
               "Environment:\n"
               "  DECKCTL_VERBOSE          any value but empty or 0: as --verbose\n"
               "  DECKCTL_VIRTUAL_CAMERA   1, or a JSON configuration file: virtual cameras instead of\n"
               "                           the connected ones (for tests and demonstrations)\n"
               "  DECKCTL_VIRTUAL_STATE    a file that holds the virtual cameras' state between runs;\n"
               "                           \"virtual plug\" and \"virtual unplug\" need it\n"
               "  DECKCTL_VIRTUAL_JOURNAL  a file that records what reached the virtual cameras\n"
               "\n"
               "Exit status:\n"
               "  %3  success\n"
               "  %4  the camera refused, did not answer or cannot be reached\n"
               "  %5  usage error or bad value\n"
               "\n"
               "The log is written to ~/.ld/ld.log. See deckctl-cli(1).\n")
        .arg(kProgram, settings)
        .arg(kExitOk)
        .arg(kExitDevice)
        .arg(kExitUsage);
}

} // namespace cli
