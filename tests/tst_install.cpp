// The tree `cmake --install` lays out (installed into a DESTDIR by the test's fixture): every file
// in its place, the desktop entry, the metainfo, the udev rule and the man page as the desktop's
// own tools read them, and the rule and the metainfo covering every USB id of the model table.

#include "app/catalogue.h"
#include "cli/clisettings.h"

#include <QtTest>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>

namespace {

const QString kRoot = QStringLiteral(DECKCTL_INSTALL_ROOT);

QString installed(const QString& path)
{
    return kRoot + QLatin1Char('/') + path;
}

QString readText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

struct Result
{
    int status = -1;
    QString out;
    QString err;
};

Result runTool(const QString& program, const QStringList& arguments)
{
    // The installed programs write their log under HOME: a folder of the test's own.
    static QTemporaryDir home;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// A tool the test needs: found, or the test is skipped with what to install.
#define REQUIRE_TOOL(variable, name)                                                                         \
    const QString variable = QStandardPaths::findExecutable(QStringLiteral(name));                           \
    if (variable.isEmpty())                                                                                  \
        QSKIP(name " is not installed (scripts/install-deps.sh installs it)");

QString hex4(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// Every USB id of the model table: the cameras' and their boot stages'.
QSet<QString> modelTableIds()
{
    QSet<QString> ids;
    for (const CameraModel& model : modelTable()) {
        ids.insert(hex4(model.vendorId) + QLatin1Char(':') + hex4(model.productId));
        if (!model.identifier.isEmpty())
            ids.insert(hex4(model.vendorId) + QLatin1Char(':') + hex4(model.identifierProductId));
    }
    return ids;
}

// One key of a udev rule line: KEY, KEY{attribute}, its operator and its value.
struct RuleKey
{
    QString key;
    QString op;
    QString value;
};

// Parses one rule line as udev does: comma-separated KEY op "value" pairs. False for anything
// else.
bool parseRuleLine(const QString& line, QVector<RuleKey>* keys)
{
    static const QRegularExpression pair(
        QStringLiteral("\\s*([A-Z]+(?:\\{[A-Za-z_]+\\})?)\\s*(==|!=|\\+=|-=|:=|=)\\s*\"([^\"]*)\"\\s*(,|$)"));
    int position = 0;
    while (position < line.size()) {
        const QRegularExpressionMatch match = pair.match(line, position, QRegularExpression::NormalMatch,
                                                         QRegularExpression::AnchoredMatchOption);
        if (!match.hasMatch())
            return false;
        keys->append({match.captured(1), match.captured(2), match.captured(3)});
        position = match.capturedEnd(0);
    }
    return !keys->isEmpty();
}

} // namespace

class TstInstall : public QObject
{
    Q_OBJECT
private slots:
    void filesInPlace_data();
    void filesInPlace();
    void installedProgramRunsFromItsPlace();
    void desktopEntryValidates();
    void metainfoValidatesAndProvidesEveryId();
    void udevRuleGrantsEveryId();
    void manPageRendersWithoutWarnings();
    void completionsParseAndKnowTheSettings_data();
    void completionsParseAndKnowTheSettings();
    void bashCompletes_data();
    void bashCompletes();
};

void TstInstall::filesInPlace_data()
{
    QTest::addColumn<QString>("path");
    const QStringList paths = {
        "bin/deckctl",
        "bin/deckctl-cli",
        "share/deckctl/translations/zh_tr.qm",
        "share/applications/com.lumadeck.deckctl.desktop",
        "share/metainfo/com.lumadeck.deckctl.metainfo.xml",
        "share/icons/hicolor/scalable/apps/deckctl.svg",
        "share/man/man1/deckctl-cli.1",
        "share/bash-completion/completions/deckctl-cli",
        "share/zsh/vendor-completions/_deckctl-cli",
        "share/doc/deckctl/README.md",
        QStringLiteral("lib/udev/rules.d/") + QStringLiteral(DECKCTL_UDEV_RULE),
    };
    for (const QString& path : paths)
        QTest::newRow(qPrintable(path)) << path;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        QTest::newRow(qPrintable(QStringLiteral("icon %1").arg(size)))
            << QStringLiteral("share/icons/hicolor/%1x%1/apps/deckctl.png").arg(size);
}

void TstInstall::filesInPlace()
{
    QFETCH(QString, path);
    const QFileInfo info(installed(path));
    QVERIFY2(info.isFile() && info.size() > 0, qPrintable(info.filePath()));
    if (path.startsWith(QLatin1String("bin/")))
        QVERIFY(info.isExecutable());
    if (path.endsWith(QLatin1String(".png"))) {
        const QImage image(info.filePath());
        const int size = path.section(QLatin1Char('/'), 3, 3).section(QLatin1Char('x'), 0, 0).toInt();
        QCOMPARE(image.size(), QSize(size, size));
    }
}

void TstInstall::installedProgramRunsFromItsPlace()
{
    const Result version =
        runTool(installed(QStringLiteral("bin/deckctl-cli")), {QStringLiteral("--version")});
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, QStringLiteral("deckctl-cli " DECKCTL_VERSION "\n"));
    // The window program looks for its translation at this place relative to its own folder.
    QVERIFY(QFile::exists(installed(QStringLiteral("bin/")) + QStringLiteral(DECKCTL_TRANSLATIONS_FROM_BIN) +
                          QStringLiteral("/zh_tr.qm")));
}

void TstInstall::desktopEntryValidates()
{
    const QString entry = installed(QStringLiteral("share/applications/com.lumadeck.deckctl.desktop"));
    REQUIRE_TOOL(validator, "desktop-file-validate");
    const Result result = runTool(validator, {entry});
    QVERIFY2(result.status == 0 && result.out.isEmpty() && result.err.isEmpty(),
             qPrintable(result.out + result.err));
    const QString text = readText(entry);
    QVERIFY(text.contains(QLatin1String("\nExec=deckctl\n")));
    QVERIFY(text.contains(QLatin1String("\nIcon=deckctl\n")));
}

void TstInstall::metainfoValidatesAndProvidesEveryId()
{
    const QString metainfo = installed(QStringLiteral("share/metainfo/com.lumadeck.deckctl.metainfo.xml"));
    QXmlStreamReader xml(readText(metainfo));
    QSet<QString> provided;
    QString launchable;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("modalias")) {
            const QRegularExpressionMatch match =
                QRegularExpression(QStringLiteral("^usb:v([0-9A-F]{4})p([0-9A-F]{4})d\\*$"))
                    .match(xml.readElementText());
            QVERIFY2(match.hasMatch(), qPrintable(match.captured(0)));
            provided.insert(match.captured(1).toLower() + QLatin1Char(':') + match.captured(2).toLower());
        } else if (xml.name() == QLatin1String("launchable")) {
            launchable = xml.readElementText();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(provided, modelTableIds());
    QVERIFY(QFile::exists(installed(QStringLiteral("share/applications/")) + launchable));

    REQUIRE_TOOL(appstreamcli, "appstreamcli");
    const Result result =
        runTool(appstreamcli, {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
    QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
}

void TstInstall::udevRuleGrantsEveryId()
{
    const QString rule = installed(QStringLiteral("lib/udev/rules.d/") + QStringLiteral(DECKCTL_UDEV_RULE));
    QSet<QString> granted;
    int lineNumber = 0;
    for (const QString& line : readText(rule).split(QLatin1Char('\n'))) {
        ++lineNumber;
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#')))
            continue;
        QVector<RuleKey> keys;
        QVERIFY2(parseRuleLine(line, &keys),
                 qPrintable(QStringLiteral("line %1: %2").arg(lineNumber).arg(line)));
        QMap<QString, QString> matches;
        bool uaccess = false;
        for (const RuleKey& key : keys) {
            if (key.op == QLatin1String("=="))
                matches.insert(key.key, key.value);
            if (key.key == QLatin1String("TAG") && key.op == QLatin1String("+=") &&
                key.value == QLatin1String("uaccess"))
                uaccess = true;
        }
        if (uaccess && matches.value(QStringLiteral("SUBSYSTEM")) == QLatin1String("usb") &&
            matches.value(QStringLiteral("ENV{DEVTYPE}")) == QLatin1String("usb_device"))
            granted.insert(matches.value(QStringLiteral("ATTR{idVendor}")) + QLatin1Char(':') +
                           matches.value(QStringLiteral("ATTR{idProduct}")));
    }
    QCOMPARE(granted, modelTableIds());

    // udev's own check where this system's udevadm has it (systemd 253 and later).
    const QString udevadm = QStandardPaths::findExecutable(QStringLiteral("udevadm"));
    if (udevadm.isEmpty() ||
        runTool(udevadm, {QStringLiteral("verify"), QStringLiteral("--help")}).status != 0)
        QSKIP("udevadm verify is not available here; the rule was checked by the parser above");
    const Result result = runTool(udevadm, {QStringLiteral("verify"), rule});
    QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
}

void TstInstall::manPageRendersWithoutWarnings()
{
    const QString page = installed(QStringLiteral("share/man/man1/deckctl-cli.1"));
    REQUIRE_TOOL(man, "man");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
    environment.insert(QStringLiteral("MAN_KEEP_FORMATTING"), QString());
    process.setProcessEnvironment(environment);
    process.start(man, {QStringLiteral("--warnings"), QStringLiteral("-l"), page});
    QVERIFY(process.waitForFinished(60000));
    const QString rendered = QString::fromUtf8(process.readAllStandardOutput());
    const QString warnings = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings));
    QVERIFY(rendered.contains(QLatin1String("deckctl-cli")));
    // The page names every command and setting the tool knows.
    for (const CliSetting& setting : cliSettings())
        QVERIFY2(rendered.contains(setting.name), qPrintable(setting.name));
    for (const char* section : {"SYNOPSIS", "COMMANDS", "OPTIONS", "ENVIRONMENT", "EXIT STATUS"})
        QVERIFY2(rendered.contains(QLatin1String(section)), section);
}

void TstInstall::completionsParseAndKnowTheSettings_data()
{
    QTest::addColumn<QString>("shell");
    QTest::addColumn<QString>("path");
    QTest::newRow("bash") << "bash"
                          << "share/bash-completion/completions/deckctl-cli";
    QTest::newRow("zsh") << "zsh"
                         << "share/zsh/vendor-completions/_deckctl-cli";
}

void TstInstall::completionsParseAndKnowTheSettings()
{
    QFETCH(QString, shell);
    QFETCH(QString, path);
    const QString script = installed(path);
    const QString text = readText(script);
    // Every placeholder filled in.
    QVERIFY2(!text.contains(QRegularExpression(QStringLiteral("@[A-Z_]+@"))), qPrintable(text));
    for (const CliSetting& setting : cliSettings()) {
        QVERIFY2(text.contains(setting.name), qPrintable(setting.name));
        QStringList words;
        for (const ValueWord& word : setting.words)
            words << word.word;
        // The values that complete after "set SETTING", on the setting's own line.
        if (!words.isEmpty())
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\\b%1\\) values=.%2.")
                                                          .arg(QRegularExpression::escape(setting.name),
                                                               QRegularExpression::escape(words.join(' '))))),
                     qPrintable(setting.name));
    }
    const QString program = QStandardPaths::findExecutable(shell);
    if (program.isEmpty())
        QSKIP("the shell is not installed; only the contents were checked");
    const Result result = runTool(program, {QStringLiteral("-n"), script});
    QVERIFY2(result.status == 0 && result.err.isEmpty(), qPrintable(result.err));
}

void TstInstall::bashCompletes_data()
{
    QTest::addColumn<QStringList>("words"); // after the program name; the last is being completed
    QTest::addColumn<QString>("expected");
    QTest::newRow("commands") << QStringList{"c"} << "controls";
    QTest::newRow("command after options") << QStringList{"--json", "--camera", "1", "pr"} << "preset";
    QTest::newRow("settings") << QStringList{"get", "tr"} << "tracking-mode";
    QTest::newRow("setting values") << QStringList{"set", "tracking-mode", ""}
                                    << "off auto-framing speaker-tracking presenter-tracking";
    QTest::newRow("values after an option") << QStringList{"set", "--json", "mirror", "o"} << "on off";
    QTest::newRow("zoom factors") << QStringList{"set", "max-zoom", "1"} << "1.5";
    QTest::newRow("integer setting") << QStringList{"set", "pan", ""} << "";
    QTest::newRow("preset actions") << QStringList{"preset", ""} << "save recall";
    QTest::newRow("preset numbers") << QStringList{"preset", "recall", ""} << "1 2";
    QTest::newRow("options") << QStringList{"list", "--v"} << "--verbose --version";
}

void TstInstall::bashCompletes()
{
    QFETCH(QStringList, words);
    QFETCH(QString, expected);
    REQUIRE_TOOL(bash, "bash");
    QStringList quoted;
    for (const QString& word : QStringList{QStringLiteral("deckctl-cli")} + words)
        quoted << QLatin1Char('\'') + word + QLatin1Char('\'');
    const QString script =
        QStringLiteral(
            "source '%1' && COMP_WORDS=(%2) && COMP_CWORD=%3 && _deckctl_cli && echo \"${COMPREPLY[*]}\"")
            .arg(installed(QStringLiteral("share/bash-completion/completions/deckctl-cli")), quoted.join(' '))
            .arg(words.size());
    const Result result = runTool(bash, {QStringLiteral("-c"), script});
    QVERIFY2(result.status == 0 && result.err.isEmpty(), qPrintable(result.err));
    QCOMPARE(result.out.trimmed(), expected);
}

QTEST_GUILESS_MAIN(TstInstall)
#include "tst_install.moc"
