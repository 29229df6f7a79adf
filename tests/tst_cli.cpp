// deckctl-cli as a script sees it: the real program against virtual cameras whose state lives
// in a file, so successive calls talk to one camera.

#ifndef DECKCTL_CLI_PROGRAM
#define DECKCTL_CLI_PROGRAM "deckctl-cli" // the program under test
#endif

#include "tests/support/journalreader.h"
#include "tests/support/packagebuilder.h"

#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <sys/types.h>

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

} // namespace

class TstCli : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void listsCamerasWithoutMicrophones();
    void infoReportsModelAndVersions();
    void settingsRoundTrip_data();
    void settingsRoundTrip();
    void blocksReachTheCamera();
    void pictureControlNeedsStreaming();
    void selectsCameraByIndexOrName();
    void usageErrors_data();
    void usageErrors();
    void helpAndVersion_data();
    void helpAndVersion();
    void optionsAnywhere_data();
    void optionsAnywhere();
    void cameraFailures();
    void controlsListsEverySetting();
    void presetsSaveAndRecall();
    void factoryReset();
    void noCameraAndBadConfiguration();
    void upgradeAndRecover();
    void bootStageCameras_data();
    void bootStageCameras();
    void deniedDevicesNamed_data();
    void deniedDevicesNamed();
    void refusedPackages_data();
    void refusedPackages();
    void selectsAmongCamerasOfOneName_data();
    void selectsAmongCamerasOfOneName();
    void speakerVolumeFailures_data();
    void speakerVolumeFailures();
    void upgradeInterruptedBySignal_data();
    void upgradeInterruptedBySignal();
    void upgradeNeedsNoArchiverProgram();
    void configurationValuesRefused_data();
    void configurationValuesRefused();
    void stateAndJournalMustBeUsable();
    void verboseShowsTheLogOnStandardError_data();
    void verboseShowsTheLogOnStandardError();
    void virtualPlugAndUnplug();
    void virtualCommandsRefused_data();
    void virtualCommandsRefused();

private:
    void configure(const QByteArray& json);
    Run cli(const QStringList& arguments);
    // cli() with some of the virtual camera's variables replaced.
    Run cliWithEnvironment(const QStringList& arguments, const QMap<QString, QString>& variables);
    QStringList journalLines();

    QScopedPointer<QTemporaryDir> m_dir;
};

void TstCli::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    configure(R"({"cameras": [{"model": 7}, {"model": 6, "serial": "", "streaming": true}]})");
}

void TstCli::configure(const QByteArray& json)
{
    QFile::remove(m_dir->filePath(QStringLiteral("state.json")));
    QFile file(m_dir->filePath(QStringLiteral("cameras.json")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(json);
}

Run TstCli::cli(const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir->path());
    env.remove(QStringLiteral("DECKCTL_VERBOSE")); // quiet unless a test asks
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_CAMERA"), m_dir->filePath(QStringLiteral("cameras.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_STATE"), m_dir->filePath(QStringLiteral("state.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_JOURNAL"), m_dir->filePath(QStringLiteral("journal.jsonl")));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DECKCTL_BIN_DIR "/" DECKCTL_CLI_PROGRAM), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

Run TstCli::cliWithEnvironment(const QStringList& arguments, const QMap<QString, QString>& variables)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir->path());
    env.remove(QStringLiteral("DECKCTL_VERBOSE")); // quiet unless a test asks
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_CAMERA"), m_dir->filePath(QStringLiteral("cameras.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_STATE"), m_dir->filePath(QStringLiteral("state.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_JOURNAL"), m_dir->filePath(QStringLiteral("journal.jsonl")));
    for (auto it = variables.begin(); it != variables.end(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DECKCTL_BIN_DIR "/" DECKCTL_CLI_PROGRAM), arguments);
    Run run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QStringList TstCli::journalLines()
{
    return JournalReader(m_dir->filePath(QStringLiteral("journal.jsonl"))).lines();
}

void TstCli::listsCamerasWithoutMicrophones()
{
    const Run text = cli({"list"});
    QCOMPARE(text.status, 0);
    QCOMPARE(text.err, QString());
    const QStringList lines = text.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    const QStringList first = lines.at(0).split(QLatin1Char('\t'));
    QCOMPARE(first.size(), 5);
    QCOMPARE(first.at(0), QStringLiteral("0"));
    QCOMPARE(first.at(1), QStringLiteral("PX QB18"));
    QVERIFY(first.at(2).startsWith(QLatin1String("vid_1d6b&pid_c015&mi_00#")));
    QCOMPARE(first.at(3), QStringLiteral("1d6b:c015"));
    QCOMPARE(first.at(4), QStringLiteral("7"));
    QVERIFY(lines.at(1).startsWith(QLatin1String("1\tPX QB18Z\t")));
    QVERIFY(lines.at(1).endsWith(QLatin1String("\t1d6b:0113\t6")));
    QVERIFY(!text.out.contains(QLatin1String("MIC")));

    const Run json = cli({"--json", "list"});
    QCOMPARE(json.status, 0);
    const QJsonArray cameras = QJsonDocument::fromJson(json.out.toUtf8()).object().value("cameras").toArray();
    QCOMPARE(cameras.size(), 2);
    QCOMPARE(cameras.at(1).toObject().value("model").toInt(), 6);
    QCOMPARE(cameras.at(1).toObject().value("pid").toString(), QStringLiteral("0113"));
    QCOMPARE(cameras.at(0).toObject().value("id").toString(), first.at(2));
}

void TstCli::infoReportsModelAndVersions()
{
    const Run text = cli({"info"});
    QCOMPARE(text.status, 0);
    QCOMPARE(text.out, QStringLiteral("model: 7 QB18\nfirmware: 1.2.10\naudio: 1.0.3\n"));
    const Run json = cli({"--camera", "1", "--json", "info"});
    QCOMPARE(json.status, 0);
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object.value("model").toInt(), 6);
    QCOMPARE(object.value("modelName").toString(), QStringLiteral("QB18Z"));
    QCOMPARE(object.value("firmware").toString(), QStringLiteral("1.2.10"));
}

void TstCli::settingsRoundTrip_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("before");
    QTest::newRow("tracking mode") << "tracking-mode"
                                   << "presenter-tracking"
                                   << "auto-framing";
    QTest::newRow("framing effect") << "framing-effect"
                                    << "immediate"
                                    << "smooth";
    QTest::newRow("framing speed") << "framing-speed"
                                   << "fast"
                                   << "normal";
    QTest::newRow("anti-flicker") << "anti-flicker"
                                  << "60"
                                  << "50";
    QTest::newRow("mirror") << "mirror"
                            << "on"
                            << "off";
    QTest::newRow("hdr") << "hdr"
                         << "on"
                         << "off";
    QTest::newRow("hd mode") << "hd-mode"
                             << "on"
                             << "off";
    QTest::newRow("shutter") << "shutter"
                             << "on"
                             << "off";
    QTest::newRow("microphone") << "mic"
                                << "off"
                                << "on";
    QTest::newRow("maximum zoom") << "max-zoom"
                                  << "1.5"
                                  << "5";
    QTest::newRow("audio") << "audio"
                           << "200"
                           << "0";
    QTest::newRow("pan in degrees") << "pan"
                                    << "-12"
                                    << "0";
    QTest::newRow("tilt") << "tilt"
                          << "7"
                          << "0";
    QTest::newRow("zoom") << "zoom"
                          << "250"
                          << "100";
    QTest::newRow("brightness") << "brightness"
                                << "80"
                                << "50";
    QTest::newRow("sharpness") << "sharpness"
                               << "10"
                               << "128";
    QTest::newRow("speaker volume") << "volume"
                                    << "33"
                                    << "50";
}

void TstCli::settingsRoundTrip()
{
    QFETCH(QString, setting);
    QFETCH(QString, value);
    QFETCH(QString, before);
    // Camera 1 streams, so its picture controls take effect.
    QCOMPARE(cli({"--camera", "1", "get", setting}).out, before + '\n');
    const Run set = cli({"--camera", "1", "set", setting, value});
    QCOMPARE(set.status, 0);
    QCOMPARE(set.out, value + '\n');
    QCOMPARE(cli({"--camera", "1", "get", setting}).out, value + '\n');
    const Run json = cli({"--camera", "1", "--json", "get", setting});
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object.value("setting").toString(), setting);
    QCOMPARE(object.value("value").toVariant().toString(), value);
    // The other camera kept its value.
    if (setting != QLatin1String("volume"))
        QCOMPARE(cli({"--camera", "0", "get", setting}).out, before + '\n');
}

void TstCli::blocksReachTheCamera()
{
    QCOMPARE(cli({"set", "tracking-mode", "speaker-tracking"}).status, 0);
    QCOMPARE(cli({"set", "pan", "5"}).status, 0);
    const QString journal = journalLines().join(QLatin1Char('\n'));
    QVERIFY(journal.contains(QLatin1String("\"data\":\"10 01 02 00 00 00 00 00\"")));
    // Pan travels in arc-seconds.
    QVERIFY2(journal.contains(QLatin1String("\"control\":10094856,\"event\":\"ctrl-set\",\"value\":18000")),
             qPrintable(journal));
}

void TstCli::pictureControlNeedsStreaming()
{
    const Run run = cli({"--camera", "0", "set", "contrast", "70"});
    QCOMPARE(run.status, 1);
    QVERIFY(run.err.contains(
        QLatin1String("Any change in the setting takes effect only if the camera is working.")));
    QCOMPARE(cli({"--camera", "0", "get", "contrast"}).out, QStringLiteral("50\n"));
}

void TstCli::selectsCameraByIndexOrName()
{
    QCOMPARE(cli({"--camera", "PX QB18", "info"}).out.section('\n', 0, 0), QStringLiteral("model: 7 QB18"));
    QCOMPARE(cli({"--camera", "qb18z", "info"}).out.section('\n', 0, 0), QStringLiteral("model: 6 QB18Z"));
    QCOMPARE(cli({"--camera=1", "info"}).out.section('\n', 0, 0), QStringLiteral("model: 6 QB18Z"));
    const Run ambiguous = cli({"--camera", "QB", "info"});
    QCOMPARE(ambiguous.status, 2);
    QVERIFY(ambiguous.err.contains(QLatin1String("names 2 cameras")));
    QCOMPARE(cli({"--camera", "Webcam", "info"}).status, 2);
    QCOMPARE(cli({"--camera", "2", "info"}).status, 2);
}

void TstCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList() << "no command given";
    QTest::newRow("unknown command") << QStringList{"reboot"} << "unknown command reboot";
    QTest::newRow("unknown option") << QStringList{"--fast", "list"} << "unknown option --fast";
    QTest::newRow("camera without value") << QStringList{"--camera"} << "--camera needs";
    QTest::newRow("unknown setting") << QStringList{"get", "focus"}
                                     << "unknown setting focus; settings: tracking-mode";
    QTest::newRow("bad word") << QStringList{"set", "tracking-mode", "auto"}
                              << "accepted: off, auto-framing, speaker-tracking, presenter-tracking";
    QTest::newRow("bad zoom") << QStringList{"set", "max-zoom", "6"} << "accepted: 1.5, 2, 3, 4, 5, 8";
    QTest::newRow("volume out of range") << QStringList{"set", "volume", "101"} << "an integer from 0 to 100";
    QTest::newRow("audio not a number") << QStringList{"set", "audio", "loud"} << "an integer from 0 to 255";
    QTest::newRow("missing value") << QStringList{"set", "hdr"} << "set takes 2 argument(s)";
    QTest::newRow("extra argument") << QStringList{"list", "all"} << "list takes 0 argument(s)";
    QTest::newRow("unknown option after the command")
        << QStringList{"list", "--fast"} << "unknown option --fast";
    QTest::newRow("unknown short option") << QStringList{"info", "-x"} << "unknown option -x";
    QTest::newRow("camera without value at the end") << QStringList{"info", "--camera"} << "--camera needs";
    QTest::newRow("-c without value") << QStringList{"info", "-c"} << "-c needs";
    QTest::newRow("option after --") << QStringList{"--", "--json", "list"} << "unknown command --json";
    QTest::newRow("option word after -- is an argument")
        << QStringList{"list", "--", "--verbose"} << "list takes 0 argument(s)";
    QTest::newRow("value for a switch") << QStringList{"--json=yes", "list"} << "--json";
    QTest::newRow("preset without number")
        << QStringList{"preset", "save"} << "preset takes save N or recall N";
    QTest::newRow("preset 3") << QStringList{"preset", "recall", "3"} << "preset takes save N or recall N";
    QTest::newRow("preset load") << QStringList{"preset", "load", "1"} << "preset takes save N or recall N";
    QTest::newRow("controls with an argument")
        << QStringList{"controls", "pan"} << "controls takes 0 argument(s)";
}

void TstCli::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const Run run = cli(arguments);
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    // One line for the error, one that points to the help.
    const QStringList lines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith(QLatin1String(DECKCTL_CLI_PROGRAM ": ")), qPrintable(run.err));
    QCOMPARE(lines.at(1),
             QStringLiteral("Try \"" DECKCTL_CLI_PROGRAM " --help\" for the commands, settings and values."));
    const Run json = cli(QStringList{"--json"} + arguments);
    QCOMPARE(json.status, 2);
    QCOMPARE(QJsonDocument::fromJson(json.out.toUtf8()).object().value("status").toInt(), 2);
}

void TstCli::helpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--help") << QStringList{"--help"};
    QTest::newRow("-h") << QStringList{"-h"};
    QTest::newRow("help") << QStringList{"help"};
    QTest::newRow("help COMMAND") << QStringList{"help", "set"};
    QTest::newRow("--help after a command") << QStringList{"set", "hdr", "--help"};
    QTest::newRow("--help with --json") << QStringList{"--json", "-h"};
}

void TstCli::helpAndVersion()
{
    QFETCH(QStringList, arguments);
    configure(R"({"cameras": []})"); // the help needs no camera
    const Run help = cli(arguments);
    QCOMPARE(help.status, 0);
    QCOMPARE(help.err, QString());
    QVERIFY(help.out.startsWith(
        QLatin1String("Usage: " DECKCTL_CLI_PROGRAM " [OPTION...] COMMAND [ARGUMENT...]\n")));
    for (const char* command : {"list", "info", "controls", "get SETTING", "set SETTING VALUE",
                                "preset save N", "preset recall N", "factory-reset", "upgrade PACKAGE.zip",
                                "recover PACKAGE.zip", "virtual plug MODEL", "virtual unplug INDEX"})
        QVERIFY2(help.out.contains(QLatin1String("\n  ") + QLatin1String(command)), command);
    // Every setting with its values or range.
    const QStringList settings = {"tracking-mode   off, auto-framing, speaker-tracking, presenter-tracking",
                                  "max-zoom        1.5, 2, 3, 4, 5, 8 (times)",
                                  "pan             an integer from -180 to 180 (degrees)",
                                  "volume          an integer from 0 to 100 (percent)",
                                  "mirror          on, off",
                                  "sharpness       an integer from -100000 to 100000"};
    for (const QString& setting : settings)
        QVERIFY2(help.out.contains(QLatin1String("\n  ") + setting + QLatin1Char('\n')), qPrintable(setting));
    for (const char* variable :
         {"DECKCTL_VERBOSE", "DECKCTL_VIRTUAL_CAMERA", "DECKCTL_VIRTUAL_STATE", "DECKCTL_VIRTUAL_JOURNAL"})
        QVERIFY2(help.out.contains(QLatin1String("\n  ") + QLatin1String(variable) + QLatin1Char(' ')),
                 variable);
    QVERIFY(help.out.contains(QLatin1String("Exit status:\n  0  success\n  1  the camera refused")));
    QVERIFY(help.out.contains(QLatin1String("\n  2  usage error or bad value\n")));

    const Run version = cli({"--version"});
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, QStringLiteral(DECKCTL_CLI_PROGRAM " " DECKCTL_VERSION "\n"));
    QCOMPARE(version.err, QString());
    const Run jsonVersion = cli({"info", "--version", "--json"});
    QCOMPARE(jsonVersion.status, 0);
    QCOMPARE(QJsonDocument::fromJson(jsonVersion.out.toUtf8()).object().value("version").toString(),
             QStringLiteral(DECKCTL_VERSION));
}

void TstCli::optionsAnywhere_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out"); // the first line of standard output
    QTest::newRow("--camera after the command") << QStringList{"info", "--camera", "1"} << "model: 6 QB18Z";
    QTest::newRow("-c") << QStringList{"-c", "1", "info"} << "model: 6 QB18Z";
    QTest::newRow("-c joined") << QStringList{"info", "-c1"} << "model: 6 QB18Z";
    QTest::newRow("--camera= after the command") << QStringList{"info", "--camera=qb18z"} << "model: 6 QB18Z";
    QTest::newRow("--json between the words")
        << QStringList{"get", "--json", "mirror"} << R"({"setting":"mirror","value":"off"})";
    QTest::newRow("negative value then an option")
        << QStringList{"set", "pan", "-12", "--camera", "1"} << "-12";
    QTest::newRow("options after --") << QStringList{"--camera", "1", "set", "--", "tilt", "-7"} << "-7";
    QTest::newRow("camera index -1 is a value") << QStringList{"--camera", "-1", "info"} << QString();
    QTest::newRow("id that list prints")
        << QStringList{"info", "--camera", "<id of camera 1>"} << "model: 6 QB18Z";
    QTest::newRow("id in upper case")
        << QStringList{"info", "--camera", "<ID OF CAMERA 1>"} << "model: 6 QB18Z";
}

void TstCli::optionsAnywhere()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    const QString id = cli({"list"}).out.section(QLatin1Char('\n'), 1, 1).section(QLatin1Char('\t'), 2, 2);
    QVERIFY(id.startsWith(QLatin1String("vid_1d6b&pid_0113&")));
    arguments.replaceInStrings(QStringLiteral("<id of camera 1>"), id);
    arguments.replaceInStrings(QStringLiteral("<ID OF CAMERA 1>"), id.toUpper());
    const Run run = cli(arguments);
    if (out.isEmpty()) {
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(QLatin1String("no camera with index -1")), qPrintable(run.err));
        return;
    }
    QCOMPARE(run.status, 0);
    QCOMPARE(run.out.section(QLatin1Char('\n'), 0, 0), out);
}

void TstCli::cameraFailures()
{
    configure(R"({"cameras": [{"model": 7, "faults": {"fail": 1}}]})");
    const Run failed = cli({"get", "hdr"});
    QCOMPARE(failed.status, 1);
    QVERIFY(failed.err.contains(QLatin1String("the camera did not answer")));
    QCOMPARE(cli({"get", "hdr"}).status, 0); // the fault was used up

    configure(R"({"cameras": [{"model": 7, "faults": {"refuse": 1}}]})");
    const Run refused = cli({"--json", "set", "mirror", "on"});
    QCOMPARE(refused.status, 1);
    QVERIFY(
        QJsonDocument::fromJson(refused.out.toUtf8()).object().value("error").toString().contains("refused"));

    configure(R"({"cameras": [{"model": 7, "extensionUnit": null}]})");
    QCOMPARE(cli({"info"}).status, 1);
    QCOMPARE(cli({"get", "zoom"}).status, 0); // standard controls still work
}

void TstCli::controlsListsEverySetting()
{
    QCOMPARE(cli({"--camera", "1", "set", "mirror", "on"}).status, 0);
    QCOMPARE(cli({"--camera", "1", "set", "brightness", "80"}).status, 0);
    const Run text = cli({"controls", "--camera", "1"});
    QCOMPARE(text.status, 0);
    QCOMPARE(text.err, QString());
    const QStringList lines = text.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 20); // every setting that get and set know
    auto line = [&](const QString& name) {
        for (const QString& l : lines) {
            if (l.startsWith(name + QLatin1Char(' ')))
                return l.simplified();
        }
        return QString();
    };
    QCOMPARE(line("tracking-mode"),
             QStringLiteral("tracking-mode (menu) : value=auto-framing "
                            "values=off,auto-framing,speaker-tracking,presenter-tracking"));
    QCOMPARE(line("mirror"), QStringLiteral("mirror (menu) : value=on values=on,off"));
    QCOMPARE(line("max-zoom"), QStringLiteral("max-zoom (menu) : value=5 values=1.5,2,3,4,5,8"));
    // The standard controls' ranges are the camera's, pan and tilt in degrees.
    QCOMPARE(line("pan"), QStringLiteral("pan (int) : min=-30 max=30 step=1 default=0 value=0"));
    QCOMPARE(line("brightness"),
             QStringLiteral("brightness (int) : min=0 max=100 step=1 default=50 value=80"));
    QCOMPARE(line("sharpness"),
             QStringLiteral("sharpness (int) : min=0 max=255 step=1 default=128 value=128"));
    QCOMPARE(line("audio"), QStringLiteral("audio (int) : min=0 max=255 step=1 value=0"));
    QCOMPARE(line("volume"), QStringLiteral("volume (int) : min=0 max=100 step=1 value=50"));

    const Run json = cli({"--json", "controls", "--camera", "1"});
    QCOMPARE(json.status, 0);
    QCOMPARE(json.out.count(QLatin1Char('\n')), 1);
    const QJsonObject controls =
        QJsonDocument::fromJson(json.out.toUtf8()).object().value("controls").toObject();
    QCOMPARE(controls.size(), 20);
    const QJsonObject zoom = controls.value("zoom").toObject();
    QCOMPARE(zoom.value("type").toString(), QStringLiteral("integer"));
    QCOMPARE(zoom.value("minimum").toInt(), 100);
    QCOMPARE(zoom.value("maximum").toInt(), 800);
    QCOMPARE(zoom.value("step").toInt(), 1);
    QCOMPARE(zoom.value("default").toInt(), 100);
    QCOMPARE(zoom.value("value").toInt(), 100);
    const QJsonObject mode = controls.value("framing-speed").toObject();
    QCOMPARE(mode.value("type").toString(), QStringLiteral("menu"));
    QCOMPARE(mode.value("value").toString(), QStringLiteral("normal"));
    QCOMPARE(mode.value("values").toArray().size(), 3);

    // A camera that does not answer its vendor settings still shows its standard controls, and
    // says which settings it could not read.
    configure(R"({"cameras": [{"model": 7, "faults": {"fail": 1}}]})");
    const Run partly = cli({"--json", "controls"});
    QCOMPARE(partly.status, 0);
    const QJsonObject some =
        QJsonDocument::fromJson(partly.out.toUtf8()).object().value("controls").toObject();
    QCOMPARE(some.value("tracking-mode").toObject().value("error").toString(),
             QStringLiteral("the camera did not answer"));
    QVERIFY(!some.value("tracking-mode").toObject().contains("value"));
    QCOMPARE(some.value("pan").toObject().value("value").toInt(-1), 0);
}

void TstCli::presetsSaveAndRecall()
{
    QCOMPARE(cli({"set", "pan", "5"}).status, 0);
    QCOMPARE(cli({"set", "zoom", "300"}).status, 0);
    const Run save = cli({"preset", "save", "2"});
    QCOMPARE(save.status, 0);
    QCOMPARE(save.out, QStringLiteral("preset 2 saved\n"));
    QCOMPARE(cli({"set", "pan", "-8"}).status, 0);
    QCOMPARE(cli({"set", "zoom", "100"}).status, 0);
    const Run recall = cli({"preset", "recall", "2"});
    QCOMPARE(recall.status, 0);
    QCOMPARE(recall.out, QStringLiteral("preset 2 recalled: pan 5, tilt 0, zoom 300\n"));
    QCOMPARE(cli({"get", "pan"}).out, QStringLiteral("5\n"));
    const QString journal = journalLines().join(QLatin1Char('\n'));
    QVERIFY2(journal.contains(QLatin1String("\"data\":\"0a 01 02 00 00 00 00 00\"")), qPrintable(journal));
    QVERIFY2(journal.contains(QLatin1String("\"data\":\"0b 01 02 00 00 00 00 00\"")), qPrintable(journal));
    const Run json = cli({"--json", "preset", "recall", "2"});
    const QJsonObject object = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QCOMPARE(object.value("preset").toInt(), 2);
    QCOMPARE(object.value("action").toString(), QStringLiteral("recall"));
    QCOMPARE(object.value("zoom").toInt(), 300);

    configure(R"({"cameras": [{"model": 7, "faults": {"refuse": 1}}]})");
    const Run refused = cli({"preset", "save", "1"});
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.err.contains(QLatin1String("the camera refused the preset or did not answer")),
             qPrintable(refused.err));
}

void TstCli::factoryReset()
{
    QCOMPARE(cli({"set", "mirror", "on"}).status, 0);
    QCOMPARE(cli({"set", "tracking-mode", "off"}).status, 0);
    const Run reset = cli({"factory-reset"});
    QCOMPARE(reset.status, 0);
    QVERIFY(journalLines().join('\n').contains(QLatin1String("\"data\":\"7f 01 00 00 00 00 00 00\"")));
    QCOMPARE(cli({"get", "mirror"}).out, QStringLiteral("off\n"));
    QCOMPARE(cli({"get", "tracking-mode"}).out, QStringLiteral("auto-framing\n"));
}

void TstCli::noCameraAndBadConfiguration()
{
    configure(R"({"cameras": []})");
    QCOMPARE(cli({"list"}).status, 0);
    const Run none = cli({"info"});
    QCOMPARE(none.status, 1);
    QVERIFY(none.err.contains(QLatin1String("no camera is connected")));

    configure("{not json");
    const Run bad = cli({"list"});
    QCOMPARE(bad.status, 2);
    QVERIFY(bad.err.contains(QLatin1String("virtual camera configuration")));
    configure(R"({"cameras": [{"model": 11}]})");
    QCOMPARE(cli({"list"}).status, 2);
}

namespace {

QString writePackage(const QString& path, const QByteArray& modelText, bool withLoaders)
{
    QVector<ZipTestEntry> entries = {
        {"auto_update.txt", "# camera\ntftp 0x21000000 kernel\nsaveenv\nreset\n"},
        {"scripts/readme", "s"},
        {"kernel", QByteArray(4000, 'k')},
        // deckctl-mac's model scan ends 21 bytes before the end of the image.
        {"miservice.ubifs", "image of " + modelText + " firmware" + QByteArray(32, '\0')},
        {"xmos.dfu", QByteArray(50, 'x')},
    };
    if (withLoaders) {
        entries.append({"usb_updater.bin", QByteArray(1200, 'p')});
        entries.append({"u-boot.bin", QByteArray(1800, 'u')});
    }
    return writeStoredZip(path, entries) ? path : QString();
}

// The step texts of the progress lines that deckctl-cli writes to standard error when that is no
// terminal ("deckctl-cli: [ 42%] text"); *percentages receives their percentages.
QStringList progressSteps(const QString& err, QVector<int>* percentages)
{
    static const QRegularExpression line(QStringLiteral("^" DECKCTL_CLI_PROGRAM ": \\[ *(\\d+)%\\] (.*)$"));
    QStringList steps;
    for (const QString& text : err.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch())
            continue;
        percentages->append(match.captured(1).toInt());
        steps << match.captured(2);
    }
    return steps;
}

// What the upgrade working folder under home holds.
QStringList workFolderEntries(const QString& home)
{
    return QDir(home + QStringLiteral("/.local/share/deckctl/upgrade"))
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

void TstCli::upgradeAndRecover()
{
    configure(R"({"cameras": [{"model": 7}]})");
    const QString package = writePackage(m_dir->filePath("qb18.zip"), "QB18", false);
    QVERIFY(!package.isEmpty());
    const Run upgrade = cli({"upgrade", package});
    QCOMPARE(upgrade.status, 0);
    QCOMPARE(upgrade.out, QStringLiteral("Upgrade done.\n"));
    QVERIFY(upgrade.err.contains(QLatin1String("upgrading")));
    // Standard error is no terminal here: one line for each step, with the run's percentage, which
    // only grows and ends at 100.
    const QStringList script = {"Upgrading the camera: step 1 of 3", "Upgrading the camera: step 2 of 3",
                                "Upgrading the camera: step 3 of 3", "Upgrade done, the camera restarts"};
    QVector<int> percentages;
    QCOMPARE(progressSteps(upgrade.err, &percentages),
             QStringList({"Sending the audio module firmware: 0%", "Installing the audio module firmware",
                          "Restarting the camera in upgrade mode"}) +
                 script);
    QVERIFY(!upgrade.err.contains(QLatin1Char('\r')));
    QVERIFY(std::is_sorted(percentages.begin(), percentages.end()));
    QCOMPARE(percentages.last(), 100);
    const QString journal = journalLines().join('\n');
    QVERIFY(journal.contains(QLatin1String("\"event\":\"audio-image\"")));
    QVERIFY(journal.contains(QLatin1String("\"text\":\"setenv ota_upgrade_status 0\"")));
    // The camera is back, the working folder is clean again.
    QCOMPARE(cli({"info"}).status, 0);
    QVERIFY(!QFile::exists(m_dir->filePath(".local/share/deckctl/upgrade/auto_update.txt")));

    // A camera left in its boot ROM is repaired from a package that carries the loaders.
    configure(R"({"cameras": [{"model": 7, "stage": "rom"}]})");
    // Listed as a camera waiting in its boot stage, not as a camera.
    QVERIFY2(cli({"list"}).out.startsWith(QLatin1String("0\tboot stage ROM\t")),
             qPrintable(cli({"list"}).out));
    const QString full = writePackage(m_dir->filePath("full.zip"), "QB18", true);
    const Run recover = cli({"--json", "recover", full});
    QCOMPARE(recover.status, 0);
    QCOMPARE(QJsonDocument::fromJson(recover.out.toUtf8()).object().value("message").toString(),
             QStringLiteral("Upgrade done."));
    percentages.clear();
    QCOMPARE(progressSteps(recover.err, &percentages),
             QStringList({"Boot ROM: starting the updater", "Updater: loading the boot loader",
                          "Waiting for the camera to come back in its boot loader"}) +
                 script);
    QVERIFY(std::is_sorted(percentages.begin(), percentages.end()));
    QCOMPARE(percentages.last(), 100);
    // --json: the final object also holds the steps taken, the same as the progress lines.
    const QJsonArray steps = QJsonDocument::fromJson(recover.out.toUtf8()).object().value("steps").toArray();
    QStringList stepTexts;
    QVector<int> stepPercentages;
    for (const QJsonValue& step : steps) {
        stepTexts << step.toObject().value("text").toString();
        stepPercentages << step.toObject().value("percent").toInt(-1);
    }
    QVector<int> linePercentages;
    QCOMPARE(stepTexts, progressSteps(recover.err, &linePercentages));
    QCOMPARE(stepPercentages, linePercentages);
    QVERIFY(cli({"list"}).out.contains(QLatin1String("PX QB18")));
    // Nothing of the package is left, the loaders included.
    QCOMPARE(workFolderEntries(m_dir->path()), QStringList());

    // Nothing to repair.
    const Run nothing = cli({"recover", full});
    QCOMPARE(nothing.status, 1);
    QVERIFY(nothing.err.contains(QLatin1String("No device detected")));
}

void TstCli::deniedDevicesNamed_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<QString>("device"); // as the message names it
    QTest::addColumn<int>("infoStatus");
    // deckctl-mac names the USB device, deckctl-cli the video node.
    const bool rawUsb = QLatin1String(DECKCTL_CLI_PROGRAM) == QLatin1String("deckctl-mac");
    QTest::newRow("camera") << QByteArray(R"({"cameras": [{"model": 7, "denied": true}]})")
                            << (rawUsb ? "virtual:usb-1-1 (PX QB18, 1d6b:c015)"
                                       : "virtual:video0 (PX QB18, 1d6b:c015)")
                            << 1;
    QTest::newRow("boot stage") << QByteArray(
                                       R"({"cameras": [{"model": 7, "stage": "rom", "denied": true}]})")
                                << "the boot-stage device " << 0;
}

// The virtual camera's nodes refuse this user, as without the udev rule: the tool names the
// device and the rule instead of "no camera is connected".
void TstCli::deniedDevicesNamed()
{
    QFETCH(QByteArray, configuration);
    QFETCH(QString, device);
    QFETCH(int, infoStatus);
    configure(configuration);
    const Run list = cli({"list"});
    QCOMPARE(list.status, 0);
    const QString message = QStringLiteral(DECKCTL_CLI_PROGRAM ": no permission to open ") + device;
    QVERIFY2(list.err.startsWith(message) && list.err.contains(QLatin1String("udevadm trigger")),
             qPrintable(list.err));
    const Run info = cli({"info"});
    QCOMPARE(info.status, infoStatus);
    if (infoStatus != 0)
        QVERIFY2(info.err.startsWith(message), qPrintable(info.err));
}

void TstCli::bootStageCameras_data()
{
    QTest::addColumn<QString>("stage"); // as the virtual camera's configuration names it
    QTest::addColumn<QString>("shown"); // as list and info show it
    QTest::newRow("boot ROM") << "rom"
                              << "ROM";
    QTest::newRow("updater") << "updater"
                             << "Updater";
    QTest::newRow("U-Boot") << "uboot"
                            << "U-Boot";
}

void TstCli::bootStageCameras()
{
    QFETCH(QString, stage);
    QFETCH(QString, shown);
    configure(
        QStringLiteral(R"({"cameras": [{"model": 7}, {"model": 6, "stage": "%1"}]})").arg(stage).toUtf8());
    const Run list = cli({"list"});
    QCOMPARE(list.status, 0);
    QCOMPARE(list.err, QString());
    const QStringList lines = list.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).startsWith(QLatin1String("0\tPX QB18\t"))); // cameras first, as before
    const QStringList row = lines.at(1).split(QLatin1Char('\t'));
    QCOMPARE(row.size(), 5);
    QCOMPARE(row.at(0), QStringLiteral("1"));
    QCOMPARE(row.at(1), QStringLiteral("boot stage ") + shown);
    QCOMPARE(row.at(3), QStringLiteral("1d6b:0113"));
    QCOMPARE(row.at(4), QStringLiteral("needs recover"));

    const QJsonArray cameras =
        QJsonDocument::fromJson(cli({"list", "--json"}).out.toUtf8()).object().value("cameras").toArray();
    QCOMPARE(cameras.size(), 2);
    const QJsonObject boot = cameras.at(1).toObject();
    QCOMPARE(boot.value("bootStage").toString(), shown);
    QCOMPARE(boot.value("needsRecover").toBool(), true);
    QCOMPARE(boot.value("id").toString(), row.at(2));
    QVERIFY(!cameras.at(0).toObject().contains("bootStage"));

    // Chosen by index or by the id that list prints, info says what the camera waits for and
    // names the command that repairs it.
    for (const QString& camera : {QStringLiteral("1"), row.at(2)}) {
        const Run info = cli({"info", "--camera", camera});
        QCOMPARE(info.status, 0);
        QCOMPARE(info.out, QStringLiteral("state: waiting in boot stage %1 (1d6b:0113)\n"
                                          "needs recover: " DECKCTL_CLI_PROGRAM " recover PACKAGE.zip\n")
                               .arg(shown));
    }
    // Settings are refused with the same hint.
    const Run get = cli({"--camera", "1", "get", "hdr"});
    QCOMPARE(get.status, 1);
    QVERIFY2(get.err.contains(QStringLiteral("waits in boot stage %1").arg(shown)) &&
                 get.err.contains(QLatin1String(DECKCTL_CLI_PROGRAM " recover PACKAGE.zip")),
             qPrintable(get.err));

    // With no other camera, info finds the waiting one without --camera.
    configure(QStringLiteral(R"({"cameras": [{"model": 6, "stage": "%1"}]})").arg(stage).toUtf8());
    const Run alone = cli({"--json", "info"});
    QCOMPARE(alone.status, 0);
    const QJsonObject object = QJsonDocument::fromJson(alone.out.toUtf8()).object();
    QCOMPARE(object.value("bootStage").toString(), shown);
    QCOMPARE(object.value("recover").toString(), QStringLiteral(DECKCTL_CLI_PROGRAM " recover PACKAGE.zip"));
}

void TstCli::refusedPackages_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("another model") << "mismatch" << 1 << "The upgrade version does not match this device.";
    QTest::newRow("another model, with loaders")
        << "mismatch with loaders" << 1 << "The upgrade version does not match this device.";
    QTest::newRow("no model inside") << "corrupted" << 1 << "The upgrade file is corrupted.";
    QTest::newRow("not a package") << "format" << 1 << "The format of firmware file is not correct.";
    QTest::newRow("no such file") << "missing" << 2 << "no package file";
}

void TstCli::refusedPackages()
{
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, message);
    QString package = m_dir->filePath(QStringLiteral("package.zip"));
    if (kind.startsWith(QLatin1String("mismatch")))
        writePackage(package, "Orbi+TM40", kind.endsWith(QLatin1String("with loaders")));
    else if (kind == QLatin1String("corrupted"))
        writePackage(package, "nothing known", false);
    else if (kind == QLatin1String("format"))
        QVERIFY(writeStoredZip(package, {{"readme.txt", "hello"}}));
    else
        package = m_dir->filePath(QStringLiteral("absent.zip"));
    const Run run = cli({"upgrade", package});
    QCOMPARE(run.status, status);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(!journalLines().join('\n').contains(QLatin1String("reenumerate"))); // the camera was left alone
    QCOMPARE(workFolderEntries(m_dir->path()), QStringList());
}

void TstCli::selectsAmongCamerasOfOneName_data()
{
    // The value of --camera; "<id N>" stands for the id that list prints for camera N.
    QTest::addColumn<QString>("camera");
    QTest::addColumn<int>("status");
    // On success the firmware line of info, otherwise a part of the reason.
    QTest::addColumn<QString>("text");
    QTest::newRow("name of two cameras") << "PX QB18" << 2 << "\"PX QB18\" names 2 cameras";
    QTest::newRow("part of the names of three") << "qb18" << 2 << "\"qb18\" names 3 cameras";
    QTest::newRow("name of one camera") << "PX QB18Z" << 0 << "firmware: 1.2.10";
    QTest::newRow("id of the first") << "<id 0>" << 0 << "firmware: 1.0.1";
    QTest::newRow("id of the second") << "<id 1>" << 0 << "firmware: 2.0.5";
    QTest::newRow("id of the third") << "<id 2>" << 0 << "firmware: 1.2.10";
    QTest::newRow("index of the second") << "1" << 0 << "firmware: 2.0.5";
    QTest::newRow("part of an id") << "vid_1d6b&pid_c015" << 2 << "no camera is named";
}

void TstCli::selectsAmongCamerasOfOneName()
{
    QFETCH(QString, camera);
    QFETCH(int, status);
    QFETCH(QString, text);
    // Two cameras of one model, told apart only by their port (and here their firmware).
    configure(R"({"cameras": [{"model": 7, "firmware": "1.0.1"}, {"model": 7, "firmware": "2.0.5"},
                              {"model": 6}]})");
    const Run list = cli({"--json", "list"});
    QCOMPARE(list.status, 0);
    const QJsonArray cameras = QJsonDocument::fromJson(list.out.toUtf8()).object().value("cameras").toArray();
    QCOMPARE(cameras.size(), 3);
    QCOMPARE(cameras.at(0).toObject().value("name"), cameras.at(1).toObject().value("name"));
    for (int i = 0; i < cameras.size(); ++i)
        camera.replace(QStringLiteral("<id %1>").arg(i), cameras.at(i).toObject().value("id").toString());

    const Run run = cli({"--camera", camera, "info"});
    QCOMPARE(run.status, status);
    if (status == 0)
        QVERIFY2(run.out.split('\n').contains(text), qPrintable(run.out));
    else
        QVERIFY2(run.err.contains(text), qPrintable(run.err));
    // The other spelling of the option selects the same way.
    QCOMPARE(cli({"--camera=" + camera, "info"}).status, status);
}

void TstCli::speakerVolumeFailures_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    // On success the output, otherwise a part of the reason.
    QTest::addColumn<QString>("text");
    const QByteArray unreachable = R"({"soundServer": "unreachable", "cameras": [{"model": 7}]})";
    const QByteArray refusing = R"({"soundServer": "refusing", "cameras": [{"model": 7}]})";
    QTest::newRow("set, server unreachable")
        << unreachable << QStringList{"set", "volume", "40"} << 1 << "the sound server cannot be reached";
    QTest::newRow("get, server unreachable")
        << unreachable << QStringList{"get", "volume"} << 1 << "the sound server cannot be reached";
    QTest::newRow("set, server refuses") << refusing << QStringList{"set", "volume", "40"} << 1
                                         << "the sound server refused the speaker volume";
    QTest::newRow("get, server refuses changes") << refusing << QStringList{"get", "volume"} << 0 << "50\n";
    QTest::newRow("get, speaker boosted above 100 %")
        << QByteArray(R"({"cameras": [{"model": 7, "speakerVolume": 1.5}]})") << QStringList{"get", "volume"}
        << 0 << "100\n";
    QTest::newRow("bad sound server mode")
        << QByteArray(R"({"soundServer": "asleep", "cameras": [{"model": 7}]})")
        << QStringList{"get", "volume"} << 2 << "soundServer is one of";
}

void TstCli::speakerVolumeFailures()
{
    QFETCH(QByteArray, configuration);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, text);
    configure(configuration);
    const Run run = cli(arguments);
    QCOMPARE(run.status, status);
    if (status == 0) {
        QCOMPARE(run.out, text);
        return;
    }
    QVERIFY2(run.err.contains(text), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    if (status == 1) {
        const Run json = cli(QStringList{"--json"} + arguments);
        QCOMPARE(json.status, 1);
        QCOMPARE(QJsonDocument::fromJson(json.out.toUtf8()).object().value("error").toString(),
                 run.err.section(QStringLiteral(DECKCTL_CLI_PROGRAM ": "), 1).trimmed());
    }
}

void TstCli::upgradeInterruptedBySignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("name");
    QTest::newRow("Ctrl-C") << int(SIGINT) << "SIGINT";
    QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
}

void TstCli::upgradeInterruptedBySignal()
{
    QFETCH(int, signal);
    QFETCH(QString, name);
    // After its loader entry the camera takes 6 s to show up as a mass-storage device: the tool is
    // waiting for it when the signal comes.
    constexpr int kReturnDelayMs = 6000;
    configure(QStringLiteral(R"({"cameras": [{"model": 7, "loaderFaults": {"returnDelayMs": %1}}]})")
                  .arg(kReturnDelayMs)
                  .toUtf8());
    const QString package = writePackage(m_dir->filePath("qb18.zip"), "QB18", false);
    QVERIFY(!package.isEmpty());

    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir->path());
    env.remove(QStringLiteral("DECKCTL_VERBOSE")); // quiet unless a test asks
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_CAMERA"), m_dir->filePath(QStringLiteral("cameras.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_STATE"), m_dir->filePath(QStringLiteral("state.json")));
    env.insert(QStringLiteral("DECKCTL_VIRTUAL_JOURNAL"), m_dir->filePath(QStringLiteral("journal.jsonl")));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(DECKCTL_BIN_DIR "/" DECKCTL_CLI_PROGRAM),
                  {QStringLiteral("--json"), QStringLiteral("upgrade"), package});
    QVERIFY(process.waitForStarted());

    // The upgrade is under way: the audio module is done and the camera entered its loader.
    QTRY_VERIFY_WITH_TIMEOUT(journalLines().join('\n').contains(QLatin1String("\"reason\":\"camera\"")),
                             30000);
    QElapsedTimer sinceLoaderEntry;
    sinceLoaderEntry.start();
    QCOMPARE(process.state(), QProcess::Running);
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signal), 0);
    QVERIFY(process.waitForFinished(30000));
    const qint64 elapsed = sinceSignal.elapsed();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY2(elapsed < 3000, qPrintable(QStringLiteral("ended %1 ms after the signal").arg(elapsed)));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(err.contains(QLatin1String("upgrading")), qPrintable(err));
    QVERIFY2(
        err.contains(
            QStringLiteral(DECKCTL_CLI_PROGRAM ": interrupted by %1: the upgrade was stopped").arg(name)),
        qPrintable(err));
    QVERIFY2(err.contains(QLatin1String(DECKCTL_CLI_PROGRAM " recover")), qPrintable(err));
    // The JSON error tells how far the upgrade got: the steps up to the loader entry.
    const QJsonObject object = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    QCOMPARE(object.value("status").toInt(), 1);
    QStringList stepTexts;
    for (const QJsonValue& step : object.value("steps").toArray())
        stepTexts << step.toObject().value("text").toString();
    QVector<int> percentages;
    // One entry a step, as the plain lines; a transfer's entry as it was last reported.
    QCOMPARE(stepTexts.size(), progressSteps(err, &percentages).size());
    QCOMPARE(stepTexts.value(0), QStringLiteral("Sending the audio module firmware: 100%"));
    QCOMPARE(stepTexts.value(stepTexts.size() - 1), QStringLiteral("Restarting the camera in upgrade mode"));
    QVERIFY(!journalLines().join('\n').contains(QLatin1String("\"event\":\"runcmd\"")));
    QVERIFY(!QFile::exists(m_dir->filePath(".local/share/deckctl/upgrade/auto_update.txt")));

    // The camera is left in its loader; once it shows up there, recover repairs it.
    QTest::qWait(int(std::max<qint64>(0, kReturnDelayMs + 300 - sinceLoaderEntry.elapsed())));
    const Run recover = cli({"recover", package});
    QCOMPARE(recover.status, 0);
    QCOMPARE(recover.out, QStringLiteral("Upgrade done.\n"));
    QCOMPARE(cli({"info"}).status, 0); // a camera again
}

// No 7-Zip program anywhere: the package is unpacked in process. Strays in the working folder go
// before the package is unpacked, and whatever the package brought goes after the run.
void TstCli::upgradeNeedsNoArchiverProgram()
{
    configure(R"({"cameras": [{"model": 7}]})");
    const QString work = m_dir->filePath(QStringLiteral(".local/share/deckctl/upgrade"));
    QVERIFY(writeFile(work + QStringLiteral("/second.DFU"), "a stray audio image"));
    QVERIFY(writeFile(work + QStringLiteral("/.stray/rootfs.img"), QByteArray(10000, 'r')));
    const QString package = m_dir->filePath(QStringLiteral("package.zip"));
    QVERIFY(
        writeStoredZip(package, {{"auto_update.txt", "# camera\ntftp 0x21000000 kernel\nsaveenv\nreset\n"},
                                 {"scripts\\readme", "s"},
                                 {"kernel", QByteArray(4000, 'k')},
                                 {"miservice.ubifs", "image of QB18 firmware" + QByteArray(32, '\0')},
                                 {"xmos.dfu", QByteArray(50, 'x')},
                                 {"firmware/rootfs.img", QByteArray(20000, 'f'), 0100644, false, true}}));
    const QString hostile = m_dir->filePath(QStringLiteral("hostile.zip"));
    // Complete by its entry names (as deckctl-mac checks first), refused by the unpacking.
    QVERIFY(writeStoredZip(hostile, {{"auto_update.txt", "reset\n"},
                                     {"scripts/readme", "s"},
                                     {"kernel", "k"},
                                     {"miservice.ubifs", "m"},
                                     {"..\\evil.txt", "evil"}}));

    const QString emptyBin = m_dir->filePath(QStringLiteral("empty-bin"));
    QVERIFY(QDir().mkpath(emptyBin));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", emptyBin.toLocal8Bit());
    const Run upgrade = cli({"upgrade", package});
    const Run refused = cli({"upgrade", hostile});
    qputenv("PATH", path);

    QCOMPARE(upgrade.status, 0);
    QCOMPARE(upgrade.out, QStringLiteral("Upgrade done.\n"));
    // One audio image only, so the audio module was upgraded.
    QVERIFY(journalLines().join('\n').contains(QLatin1String("\"event\":\"audio-image\"")));
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.err.contains(QLatin1String("The format of firmware file is not correct.")),
             qPrintable(refused.err));
    QVERIFY2(refused.err.contains(QLatin1String("refused: entry with a parent-folder (..) component")),
             qPrintable(refused.err));
    QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             QStringList());
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral(".local/share/deckctl/evil.txt"))));
}

QTEST_GUILESS_MAIN(TstCli)
void TstCli::configurationValuesRefused_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<QString>("message"); // names the entry and the key
    auto row = [](const char* name, const char* camera, const char* message) {
        QTest::newRow(name) << (QByteArray(R"({"cameras": [)") + camera + "]}")
                            << QString::fromLatin1(message);
    };
    row("unit id over 255", R"({"model": 7, "extensionUnit": 256})",
        R"("cameras[0].extensionUnit" must be an integer from 1 to 255, not 256)");
    row("unit id 0", R"({"model": 7, "extensionUnit": 0})",
        R"("cameras[0].extensionUnit" must be an integer)");
    row("unit id as text", R"({"model": 7, "extensionUnit": "6"})", R"("cameras[0].extensionUnit" must be)");
    row("model 1e308", R"({"model": 1e308})", R"("cameras[0].model" must be an integer from 0 to 10)");
    row("model with a fraction", R"({"model": 6.5})", R"("cameras[0].model")");
    row("negative vendor id", R"({"vendorId": -1})", R"("cameras[0].vendorId")");
    row("negative tag", R"({"loader": {"tag": -1}})",
        R"("cameras[0].loader.tag" must be an integer from 0 to 4294967295)");
    row("data length 1e308", R"({"loader": {"dataLength": 1e308}})", R"("cameras[0].loader.dataLength")");
    row("residue over 32 bits", R"({"loader": {"residue": 4294967296}})", R"("cameras[0].loader.residue")");
    row("loader phase", R"({"loader": {"phase": "later"}})", R"("cameras[0].loader.phase")");
    row("loader not an object", R"({"loader": 3})", R"("cameras[0].loader" must be an object)");
    row("streaming as text", R"({"streaming": "yes"})", R"("cameras[0].streaming" must be true or false)");
    row("speaker volume over 1.5", R"({"speakerVolume": 2})", R"("cameras[0].speakerVolume")");
    row("negative fault count", R"({"faults": {"refuse": -3}})", R"("cameras[0].faults.refuse")");
    row("fault count 1e308", R"({"faults": {"fail": 1e308}})", R"("cameras[0].faults.fail")");
    row("audio fault", R"({"audioFaults": {"failWith": 1000}})", R"("cameras[0].audioFaults.failWith")");
    row("loader fault count", R"({"loaderFaults": {"stall": {"count": -2}}})",
        R"("cameras[0].loaderFaults.stall.count")");
    row("control value 1e308", R"({"controls": {"9963776": 1e308}})", R"("cameras[0].controls.9963776")");
    row("unknown control", R"({"controls": {"1": 5}})", R"("cameras[0].controls.1" is not a control)");
    row("setting code over 255", R"({"settings": {"300": 1}})", R"("cameras[0].settings.300")");
    row("preset 3", R"({"presets": {"3": [0, 0, 100]}})", R"("cameras[0].presets.3")");
    row("preset of two values", R"({"presets": {"1": [0, 100]}})", R"("cameras[0].presets.1")");
    row("firmware version", R"({"firmware": "1.2.x"})", R"("cameras[0].firmware" must be a version)");
    row("firmware number over 16 bits", R"({"firmware": "1.2.70000"})", R"("cameras[0].firmware")");
    row("firmware after an upgrade", R"({"upgradedFirmware": "next"})",
        R"("cameras[0].upgradedFirmware" must be a version)");
    row("response of 7 bytes", R"({"response": "00112233445566"})", R"("cameras[0].response")");
    row("stage", R"({"stage": "flash"})", R"("cameras[0].stage")");
    row("port name", R"({"port": "usb1"})", R"("cameras[0].port" must be a USB port name)");
    row("second camera's key", R"({"model": 7}, {"model": 2, "micNode": 1})", R"("cameras[1].micNode")");
    row("two cameras on one port", R"({"model": 7, "port": "1-2"}, {"model": 6})",
        R"("cameras[1].port": cameras[0] is on port 1-2 already)");
    row("camera not an object", R"(7)", R"("cameras[0]" must be an object)");
    QTest::newRow("cameras not a list")
        << QByteArray(R"({"cameras": {"model": 7}})") << QStringLiteral(R"("cameras" must be an array)");
}

void TstCli::configurationValuesRefused()
{
    QFETCH(QByteArray, configuration);
    QFETCH(QString, message);
    configure(configuration);
    const Run run = cli({"list"});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(QLatin1String("virtual camera configuration")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("state.json"))));
}

void TstCli::stateAndJournalMustBeUsable()
{
    QCOMPARE(cli({"set", "tracking-mode", "off"}).status, 0);
    const QString statePath = m_dir->filePath(QStringLiteral("state.json"));

    // A corrupt state is an error, and the file stays as it is: nothing is reset.
    for (const QByteArray& corrupt : {QByteArray("{\"cameras\": [{\"model\": 7"),
                                      QByteArray(R"({"cameras": [{"model": 7, "loader": {"tag": -5}}]})")}) {
        QFile state(statePath);
        QVERIFY(state.open(QIODevice::WriteOnly | QIODevice::Truncate));
        state.write(corrupt);
        state.close();
        const Run run = cli({"get", "tracking-mode"});
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains(QLatin1String("virtual camera state")) && run.err.contains(statePath) &&
                     run.err.contains(QLatin1String("corrupt")),
                 qPrintable(run.err));
        QVERIFY(state.open(QIODevice::ReadOnly));
        QCOMPARE(state.readAll(), corrupt);
    }

    // A state or a journal that cannot be written (its folder is a file) is an error.
    QFile blocker(m_dir->filePath(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString unwritable = blocker.fileName() + QStringLiteral("/file");
    Run run = cliWithEnvironment({"list"}, {{QStringLiteral("DECKCTL_VIRTUAL_STATE"), unwritable}});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(QLatin1String("cannot write the virtual camera state ") + unwritable),
             qPrintable(run.err));
    run = cliWithEnvironment({"list"},
                             {{QStringLiteral("DECKCTL_VIRTUAL_STATE"), m_dir->filePath("fresh.json")},
                              {QStringLiteral("DECKCTL_VIRTUAL_JOURNAL"), unwritable}});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(QLatin1String("cannot write the virtual camera journal ") + unwritable),
             qPrintable(run.err));
    // A state that is a folder cannot be read.
    run = cliWithEnvironment({"list"}, {{QStringLiteral("DECKCTL_VIRTUAL_STATE"), m_dir->path()}});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(QLatin1String("cannot read the virtual camera state")), qPrintable(run.err));
}

void TstCli::verboseShowsTheLogOnStandardError_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("variable"); // DECKCTL_VERBOSE; empty: not set
    QTest::addColumn<bool>("shown");
    QTest::newRow("quiet") << QStringList() << QString() << false;
    QTest::newRow("--verbose") << QStringList{"--verbose"} << QString() << true;
    QTest::newRow("--verbose after --json") << QStringList{"--json", "--verbose"} << QString() << true;
    QTest::newRow("DECKCTL_VERBOSE=1") << QStringList() << "1" << true;
    QTest::newRow("DECKCTL_VERBOSE=0") << QStringList() << "0" << false;
}

void TstCli::verboseShowsTheLogOnStandardError()
{
    QFETCH(QStringList, options);
    QFETCH(QString, variable);
    QFETCH(bool, shown);
    // A corrupt state: the virtual camera logs the reason before the tool refuses to go on.
    const QString statePath = m_dir->filePath(QStringLiteral("state.json"));
    QFile state(statePath);
    QVERIFY(state.open(QIODevice::WriteOnly | QIODevice::Truncate));
    state.write("{\"cameras\": [{\"model\": 7");
    state.close();
    QMap<QString, QString> variables;
    if (!variable.isEmpty())
        variables.insert(QStringLiteral("DECKCTL_VERBOSE"), variable);
    const Run run = cliWithEnvironment(options + QStringList{"list"}, variables);
    QCOMPARE(run.status, 2);
    const QString logged = QStringLiteral("virtual camera state %1 is corrupt").arg(statePath);
    const QStringList lines = run.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(std::any_of(
                 lines.begin(), lines.end(),
                 [&](const QString& line) { return line.startsWith("" DECKCTL_CLI_PROGRAM ": " + logged); }),
             qPrintable(run.err));
    const bool logLine = std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
        return line.startsWith("deckctl.sim: " + logged);
    });
    QVERIFY2(logLine == shown, qPrintable(run.err));
    if (!shown) {
        // Without the switch standard error holds the tool's own lines only.
        for (const QString& line : lines)
            QVERIFY2(line.startsWith(QLatin1String(DECKCTL_CLI_PROGRAM ": ")), qPrintable(run.err));
    }
    // The log file gets the line either way.
    QFile log(m_dir->filePath(QStringLiteral(".ld/ld.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(log.readAll()).contains(logged));
}

void TstCli::virtualPlugAndUnplug()
{
    const QString firstId = cli({"list"}).out.section('\t', 2, 2);
    const Run plug = cli({"virtual", "plug", "2", "serial=\"X1\"", "micNode=false"});
    QCOMPARE(plug.status, 0);
    QCOMPARE(plug.out, QStringLiteral("camera 2 plugged in\n"));
    QStringList lines = cli({"list"}).out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(2),
             QStringLiteral("2\tKestrelix ARDEN 320\tvid_343b&pid_0305&mi_00#x1&1-3&0&0000\t343b:0305\t2"));

    const Run unplug = cli({"--json", "virtual", "unplug", "0"});
    QCOMPARE(unplug.status, 0);
    const QJsonObject result = QJsonDocument::fromJson(unplug.out.toUtf8()).object();
    QCOMPARE(result.value("camera").toInt(), 0);
    QCOMPARE(result.value("plugged").toBool(true), false);
    lines = cli({"list"}).out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).startsWith(QLatin1String("0\tPX QB18Z\t")));
    const Run again = cli({"virtual", "unplug", "0"});
    QCOMPARE(again.status, 2);
    QVERIFY2(again.err.contains(QLatin1String("camera 0 is unplugged already")), qPrintable(again.err));

    // Plugged in again on its port: the unplugged camera's place, and the id it had.
    const Run back = cli({"virtual", "plug", "7", "port=1-1"});
    QCOMPARE(back.status, 0);
    QCOMPARE(back.out, QStringLiteral("camera 0 plugged in\n"));
    lines = cli({"list"}).out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0).section('\t', 2, 2), firstId);
    QCOMPARE(cli({"--camera", "0", "info"}).status, 0);

    QStringList events;
    for (const QJsonObject& event :
         JournalReader(m_dir->filePath(QStringLiteral("journal.jsonl"))).events()) {
        const QString name = event.value(QLatin1String("event")).toString();
        if (name == QLatin1String("plug") || name == QLatin1String("unplug"))
            events << name + QString::number(event.value(QLatin1String("camera")).toInt());
    }
    QCOMPARE(events, (QStringList{"plug2", "unplug0", "plug0"}));
}

void TstCli::virtualCommandsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("state"); // DECKCTL_VIRTUAL_STATE; "<file>": the test's state file
    QTest::addColumn<QString>("message");
    const QString file = QStringLiteral("<file>");
    QTest::newRow("model out of range") << QStringList{"virtual", "plug", "11"} << file
                                        << R"("model" must be an integer from 0 to 10, not 11)";
    QTest::newRow("model not a number")
        << QStringList{"virtual", "plug", "qb18"} << file << "qb18 is not a model index";
    QTest::newRow("model as a key") << QStringList{"virtual", "plug", "7", "model=2"} << file
                                    << "the model is MODEL";
    QTest::newRow("unknown key") << QStringList{"virtual", "plug", "7", "focus=1"} << file
                                 << R"(unknown key "focus"; keys: audio, audioFaults)";
    QTest::newRow("bad value") << QStringList{"virtual", "plug", "7", "micNode=maybe"} << file
                               << R"("micNode" must be true or false, not "maybe")";
    QTest::newRow("no value") << QStringList{"virtual", "plug", "7", "serial"} << file
                              << "serial is not KEY=VALUE";
    QTest::newRow("key twice") << QStringList{"virtual", "plug", "7", "serial=a", "serial=b"} << file
                               << "serial is given twice";
    QTest::newRow("port of an attached camera")
        << QStringList{"virtual", "plug", "7", "port=1-2"} << file << "port 1-2 holds camera 1 already";
    QTest::newRow("index past the last")
        << QStringList{"virtual", "unplug", "2"} << file << "no camera with index 2 (there are 2)";
    QTest::newRow("negative index") << QStringList{"virtual", "unplug", "-1"} << file
                                    << "no camera with index -1";
    QTest::newRow("index not a number")
        << QStringList{"virtual", "unplug", "first"} << file << "first is not a camera index";
    QTest::newRow("two indices") << QStringList{"virtual", "unplug", "0", "1"} << file
                                 << "virtual takes plug MODEL [KEY=VALUE...] or unplug INDEX";
    QTest::newRow("no subcommand") << QStringList{"virtual"} << file << "virtual takes plug MODEL";
    QTest::newRow("unknown subcommand")
        << QStringList{"virtual", "replug", "0"} << file << "virtual takes plug MODEL";
    QTest::newRow("no shared state") << QStringList{"virtual", "unplug", "0"} << QString()
                                     << "set DECKCTL_VIRTUAL_CAMERA and DECKCTL_VIRTUAL_STATE";
}

void TstCli::virtualCommandsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, state);
    QFETCH(QString, message);
    const QString statePath = m_dir->filePath(QStringLiteral("state.json"));
    const Run before = cli({"list"});
    QCOMPARE(before.out.count('\n'), 2);
    const Run run = cliWithEnvironment(arguments, {{QStringLiteral("DECKCTL_VIRTUAL_STATE"),
                                                    state == QLatin1String("<file>") ? statePath : state}});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QCOMPARE(cli({"list"}).out, before.out); // nothing changed
}

#include "tst_cli.moc"
