// deckctl-installdata TEMPLATE OUTPUT: copies TEMPLATE to OUTPUT with its placeholders filled in
// from the model table and deckctl-cli's settings:
//
//   @UDEV_RULES@          one uaccess rule per USB id of the model table (cameras and boot stages)
//   @MODALIASES@          one AppStream <modalias> per USB id
//   @VERSION@             the program's version
//   @COMMANDS@            deckctl-cli's commands, blank-separated
//   @SETTING_NAMES@       the settings, blank-separated
//   @BASH_SETTING_VALUES@ a bash case arm per setting with words: name) values="..." ;;
//   @ZSH_SETTING_VALUES@  a zsh case arm per setting with words: (name) values=(...) ;;
//
// Exit status 0, or 1 with the reason on standard error.

#include "app/catalogue.h"
#include "cli/cli.h"
#include "cli/clisettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QMap>
#include <QTextStream>

#include <cstdio>

namespace {

// One USB id and the models that use it: as a camera, and for their boot stages.
struct UsbId
{
    int vendorId = 0;
    int productId = 0;
    QStringList cameras;
    QStringList bootStages;
};

// Every USB id of the model table in table order, each once: the camera's own id and the id that
// the model lists with its identifier, which its boot stages show up with (often the same).
QVector<UsbId> usbIds()
{
    QVector<UsbId> ids;
    auto entry = [&](int vendorId, int productId) -> UsbId& {
        for (UsbId& id : ids) {
            if (id.vendorId == vendorId && id.productId == productId)
                return id;
        }
        ids.append({vendorId, productId, {}, {}});
        return ids.last();
    };
    for (const CameraModel& model : modelTable()) {
        const QString name = QStringLiteral("%1 (model %2)").arg(model.name).arg(model.modelIndex);
        entry(model.vendorId, model.productId).cameras << name;
        if (!model.identifier.isEmpty() && model.identifierProductId != 0)
            entry(model.vendorId, model.identifierProductId).bootStages << name;
    }
    return ids;
}

QString hex4(int value, bool upper)
{
    const QString text = QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
    return upper ? text.toUpper() : text;
}

QString udevRules()
{
    QStringList lines;
    for (const UsbId& id : usbIds()) {
        QStringList uses;
        if (!id.cameras.isEmpty())
            uses << QStringLiteral("camera: ") + id.cameras.join(QStringLiteral(", "));
        if (!id.bootStages.isEmpty())
            uses << QStringLiteral("boot stages: ") + id.bootStages.join(QStringLiteral(", "));
        lines << QStringLiteral("# ") + uses.join(QStringLiteral("; "));
        // The USB device itself: the vendor requests, the boot stages' mass-storage transport.
        lines << QStringLiteral("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"%1\", "
                                "ATTR{idProduct}==\"%2\", TAG+=\"uaccess\"")
                     .arg(hex4(id.vendorId, false), hex4(id.productId, false));
        // A camera's video nodes, where the system's own rules do not grant them already.
        if (!id.cameras.isEmpty())
            lines << QStringLiteral(
                         "SUBSYSTEM==\"video4linux\", ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\", "
                         "TAG+=\"uaccess\"")
                         .arg(hex4(id.vendorId, false), hex4(id.productId, false));
    }
    return lines.join(QLatin1Char('\n'));
}

QString modaliases()
{
    QStringList lines;
    for (const UsbId& id : usbIds())
        lines << QStringLiteral("    <modalias>usb:v%1p%2d*</modalias>")
                     .arg(hex4(id.vendorId, true), hex4(id.productId, true));
    return lines.join(QLatin1Char('\n'));
}

QString settingValues(bool zsh)
{
    QStringList lines;
    for (const CliSetting& setting : cliSettings()) {
        if (setting.words.isEmpty())
            continue;
        QStringList words;
        for (const ValueWord& word : setting.words)
            words << word.word;
        lines << (zsh ? QStringLiteral("        (%1) values=(%2) ;;")
                      : QStringLiteral("        %1) values=\"%2\" ;;"))
                     .arg(setting.name, words.join(QLatin1Char(' ')));
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (arguments.size() != 3) {
        err << "usage: deckctl-installdata TEMPLATE OUTPUT\n";
        return 1;
    }
    QFile input(arguments.at(1));
    if (!input.open(QIODevice::ReadOnly)) {
        err << "deckctl-installdata: cannot read " << input.fileName() << ": " << input.errorString() << '\n';
        return 1;
    }
    QString text = QString::fromUtf8(input.readAll());
    const QMap<QString, QString> values = {
        {QStringLiteral("@UDEV_RULES@"), udevRules()},
        {QStringLiteral("@MODALIASES@"), modaliases()},
        {QStringLiteral("@COMMANDS@"), cli::commandNames().join(QLatin1Char(' '))},
        {QStringLiteral("@VERSION@"), QStringLiteral(DECKCTL_VERSION)},
        {QStringLiteral("@SETTING_NAMES@"), settingNames().join(QLatin1Char(' '))},
        {QStringLiteral("@BASH_SETTING_VALUES@"), settingValues(false)},
        {QStringLiteral("@ZSH_SETTING_VALUES@"), settingValues(true)},
    };
    for (auto it = values.begin(); it != values.end(); ++it)
        text.replace(it.key(), it.value());
    QFile output(arguments.at(2));
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate) || output.write(text.toUtf8()) < 0) {
        err << "deckctl-installdata: cannot write " << output.fileName() << ": " << output.errorString()
            << '\n';
        return 1;
    }
    return 0;
}
