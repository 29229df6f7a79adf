#include "cli.h"

#include "app/catalogue.h"
#include "app/logging.h"
#include "app/settings.h"
#include "cli/cliarguments.h"
#include "cli/clisettings.h"
#include "cli/cliupgrade.h"
#include "cli/clivirtual.h"
#include "device/deviceplatform.h"
#include "device/dshowcamerawrapper.h"
#include "device/speakervolume.h"
#include "device/uvcextensionunit.h"
#include "device/videobackend.h"
#include "upgrade/libsstarufu.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace cli {
namespace {

// Where a command ended: its exit status and, on failure, the reason.
struct Outcome
{
    int status = kExitOk;
    QString reason;
    QJsonObject result;
    QString text;
    // Lines for standard error (and "warnings" in JSON) that do not make the command fail.
    QStringList warnings;
    // An upgrade worker still runs (it could not be stopped in time): once the outcome is
    // printed the process ends at once, without destructors that would pull the device and the
    // package from under it.
    bool endProcess = false;
};

Outcome failure(int status, const QString& reason)
{
    Outcome outcome;
    outcome.status = status;
    outcome.reason = reason;
    return outcome;
}

struct ListedCamera
{
    CameraEntry entry;
    int vid = 0;
    int pid = 0;
    int model = kUnknownModel;
    // A camera waiting in a boot stage of its chip: it shows up as a mass-storage device and
    // takes nothing but "recover".
    bool bootStage = false;
    DeviceState stage = Other;
    int accessError = 0; // -EACCES: the boot-stage device cannot be opened by this user
};

QString hex4(int value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// What a user who may not open a device is told: the device, and what gives the access.
QString permissionMessage(const QString& device)
{
    return QStringLiteral("no permission to open %1: the udev rule that gives the logged-in user access "
                          "(%2) is missing or not yet applied; install it, then replug the camera or run "
                          "\"udevadm trigger\"")
        .arg(device, QStringLiteral(DECKCTL_UDEV_RULE));
}

QString deniedDeviceName(const InaccessibleVideoDevice& device)
{
    return QStringLiteral("%1 (%2, %3:%4)")
        .arg(device.node, device.product.isEmpty() ? QStringLiteral("USB camera") : device.product,
             hex4(device.vendorId), hex4(device.productId));
}

QString bootStageName(const ListedCamera& camera)
{
    return QStringLiteral("the boot-stage device %1:%2").arg(hex4(camera.vid), hex4(camera.pid));
}

// The cameras in the order "list" prints them: the capture devices, then the cameras waiting in a
// boot stage (those the configured brand's discovery accepts).
QVector<ListedCamera> listCameras()
{
    DShowCameraWrapper wrapper;
    QVector<CameraEntry> entries;
    wrapper.listVideoDevices(entries);
    QVector<ListedCamera> cameras;
    for (const CameraEntry& entry : entries) {
        ListedCamera camera;
        camera.entry = entry;
        DShowCameraWrapper::parseVidPid(entry.id, camera.vid, camera.pid);
        camera.model = modelIndexFromFriendlyName(entry.name);
        cameras.append(camera);
    }
    for (const BootStageDevice& device : listBootStageDevices(SettingsStore::application().brandIndex())) {
        ListedCamera camera;
        camera.bootStage = true;
        camera.stage = device.state;
        camera.entry.id = device.key;
        camera.entry.name = QStringLiteral("boot stage %1").arg(deviceStateName(device.state));
        camera.vid = device.vendorId;
        camera.pid = device.productId;
        camera.accessError = device.accessError;
        cameras.append(camera);
    }
    return cameras;
}

// The camera the options name: by position in the list, by the id that list prints (in any case),
// by exact name, or by a part of the name that only one camera has. A name that several cameras
// have (two cameras of one model) is ambiguous, as a part of a name is. Without --camera: the
// first camera of a known model, else the first camera waiting in a boot stage.
bool selectCamera(const Options& options, ListedCamera* selected, Outcome* error)
{
    const QVector<ListedCamera> cameras = listCameras();
    if (cameras.isEmpty()) {
        // A camera whose node this user may not open is not listed: say so instead of "none".
        const QVector<InaccessibleVideoDevice> denied = devicePlatform().video().listInaccessibleDevices();
        *error = failure(kExitDevice, denied.isEmpty() ? QStringLiteral("no camera is connected")
                                                       : permissionMessage(deniedDeviceName(denied.first())));
        return false;
    }
    if (options.camera.isEmpty()) {
        for (const ListedCamera& camera : cameras) {
            if (!camera.bootStage && camera.model != kUnknownModel) {
                *selected = camera;
                return true;
            }
        }
        for (const ListedCamera& camera : cameras) {
            if (camera.bootStage) {
                *selected = camera;
                return true;
            }
        }
        *error = failure(kExitDevice,
                         QStringLiteral("no supported camera is connected; choose one with --camera"));
        return false;
    }
    bool isNumber = false;
    const int index = options.camera.toInt(&isNumber);
    if (isNumber) {
        if (index < 0 || index >= cameras.size()) {
            *error = failure(
                kExitUsage,
                QStringLiteral("no camera with index %1 (there are %2)").arg(index).arg(cameras.size()));
            return false;
        }
        *selected = cameras.at(index);
        return true;
    }
    QVector<ListedCamera> byId;
    QVector<ListedCamera> exact;
    QVector<ListedCamera> partial;
    for (const ListedCamera& camera : cameras) {
        if (!camera.entry.id.isEmpty() && camera.entry.id.compare(options.camera, Qt::CaseInsensitive) == 0)
            byId.append(camera);
        if (camera.entry.name == options.camera)
            exact.append(camera);
        if (camera.entry.name.contains(options.camera, Qt::CaseInsensitive))
            partial.append(camera);
    }
    // The most precise kind of match that finds anything decides.
    const QVector<ListedCamera>& matches = !byId.isEmpty() ? byId : !exact.isEmpty() ? exact : partial;
    if (matches.size() == 1) {
        *selected = matches.first();
        return true;
    }
    *error = failure(kExitUsage, matches.isEmpty()
                                     ? QStringLiteral("no camera is named \"%1\"").arg(options.camera)
                                     : QStringLiteral("\"%1\" names %2 cameras; use the index or the id")
                                           .arg(options.camera)
                                           .arg(matches.size()));
    return false;
}

QString recoverCommand()
{
    return programName() + QStringLiteral(" recover PACKAGE.zip");
}

Outcome listCommand()
{
    Outcome outcome;
    QJsonArray array;
    QStringList lines;
    const QVector<ListedCamera> cameras = listCameras();
    for (int i = 0; i < cameras.size(); ++i) {
        const ListedCamera& camera = cameras.at(i);
        QJsonObject object;
        object.insert(QStringLiteral("index"), i);
        object.insert(QStringLiteral("name"), camera.entry.name);
        object.insert(QStringLiteral("id"), camera.entry.id);
        object.insert(QStringLiteral("vid"), hex4(camera.vid));
        object.insert(QStringLiteral("pid"), hex4(camera.pid));
        object.insert(QStringLiteral("model"), camera.model);
        if (camera.bootStage) {
            object.insert(QStringLiteral("bootStage"), deviceStateName(camera.stage));
            object.insert(QStringLiteral("needsRecover"), true);
            if (camera.accessError != 0)
                outcome.warnings << permissionMessage(bootStageName(camera));
        }
        array.append(object);
        lines << QStringLiteral("%1\t%2\t%3\t%4:%5\t%6")
                     .arg(i)
                     .arg(camera.entry.name, camera.entry.id, hex4(camera.vid), hex4(camera.pid),
                          camera.bootStage ? QStringLiteral("needs recover") : QString::number(camera.model));
    }
    for (const InaccessibleVideoDevice& device : devicePlatform().video().listInaccessibleDevices())
        outcome.warnings << permissionMessage(deniedDeviceName(device));
    outcome.result.insert(QStringLiteral("cameras"), array);
    outcome.text = lines.join(QLatin1Char('\n'));
    return outcome;
}

// A camera waiting in a boot stage: what it is and how to repair it.
Outcome bootStageInfo(const ListedCamera& camera)
{
    Outcome outcome;
    outcome.result.insert(QStringLiteral("bootStage"), deviceStateName(camera.stage));
    outcome.result.insert(QStringLiteral("vid"), hex4(camera.vid));
    outcome.result.insert(QStringLiteral("pid"), hex4(camera.pid));
    outcome.result.insert(QStringLiteral("needsRecover"), true);
    outcome.result.insert(QStringLiteral("recover"), recoverCommand());
    outcome.text =
        QStringLiteral("state: waiting in boot stage %1 (%2:%3)\nneeds recover: %4")
            .arg(deviceStateName(camera.stage), hex4(camera.vid), hex4(camera.pid), recoverCommand());
    if (camera.accessError != 0)
        outcome.warnings << permissionMessage(bootStageName(camera));
    return outcome;
}

Outcome bootStageRefusal(const ListedCamera& camera, const QString& command)
{
    return failure(kExitDevice, QStringLiteral("%1: the camera waits in boot stage %2 (%3:%4) and takes no "
                                               "settings; repair it with \"%5\"")
                                    .arg(command, deviceStateName(camera.stage), hex4(camera.vid),
                                         hex4(camera.pid), recoverCommand()));
}

// An opened camera: the extension unit and the standard controls.
class OpenedCamera
{
public:
    bool open(const ListedCamera& camera, Outcome* error)
    {
        if (!m_unit.InitVideoDevice(camera.entry.id, camera.entry.name)) {
            *error = failure(kExitDevice, QStringLiteral("cannot open %1").arg(camera.entry.name));
            return false;
        }
        int index = 0;
        m_controlsBound = m_controls.openCameraFilter(camera.entry.id, camera.entry.name, index);
        return true;
    }
    ~OpenedCamera() { m_controls.releaseCameraFilter(); }

    UVCExtensionUnit m_unit;
    DShowCameraWrapper m_controls;
    bool m_controlsBound = false;
};

const QString kNoAnswer = QStringLiteral("the camera did not answer");

Outcome infoCommand(const ListedCamera& camera)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    QString firmware;
    QString audio;
    if (!opened.m_unit.getCameraVersion(firmware) || !opened.m_unit.getAudioVersion(audio))
        return failure(kExitDevice, kNoAnswer + QStringLiteral(" (version query)"));
    const std::optional<ModelEntry> model = modelEntry(camera.model);
    const QString modelName = model ? model->name : QStringLiteral("unknown");
    outcome.result.insert(QStringLiteral("model"), camera.model);
    outcome.result.insert(QStringLiteral("modelName"), modelName);
    outcome.result.insert(QStringLiteral("firmware"), firmware);
    outcome.result.insert(QStringLiteral("audio"), audio);
    outcome.text = QStringLiteral("model: %1 %2\nfirmware: %3\naudio: %4")
                       .arg(QString::number(camera.model), modelName, firmware, audio);
    return outcome;
}

Outcome valueOutcome(const CliSetting& setting, int value)
{
    Outcome outcome;
    const QString text = settingValueText(setting, value);
    outcome.result.insert(QStringLiteral("setting"), setting.name);
    if (setting.words.isEmpty())
        outcome.result.insert(QStringLiteral("value"), value);
    else
        outcome.result.insert(QStringLiteral("value"), text);
    outcome.text = text;
    return outcome;
}

// Why the speaker volume could not be read or set.
QString speakerFailure(SpeakerStatus status)
{
    switch (status) {
    case SpeakerStatus::NoSpeaker:
        return QStringLiteral("no camera speaker found on the sound server");
    case SpeakerStatus::Unreachable:
        return QStringLiteral("the sound server cannot be reached");
    case SpeakerStatus::Refused:
        return QStringLiteral("the sound server refused the speaker volume");
    case SpeakerStatus::Ok:
        break;
    }
    return QString();
}

// Reads a setting; false with *error when the camera did not answer.
bool readSetting(OpenedCamera& camera, const CliSetting& setting, int* value, Outcome* error)
{
    bool ok = false;
    switch (setting.kind) {
    case SettingKind::Vendor:
        ok = (camera.m_unit.*setting.get)(*value);
        break;
    case SettingKind::MaxZoom: {
        std::uint16_t zoom = 0;
        ok = camera.m_unit.getMAXZoomInfo(zoom);
        *value = zoom;
        break;
    }
    case SettingKind::CameraCtrl:
        ok = camera.m_controlsBound && camera.m_controls.getCameraControl(setting.controlId, *value);
        break;
    case SettingKind::PictureCtrl:
        ok = camera.m_controlsBound && camera.m_controls.getVideoProcAmp(setting.controlId, *value);
        break;
    case SettingKind::Volume: {
        const SpeakerReading reading = SpeakerVolume(names::kSpeakerDeviceName).readVolume();
        if (reading.status != SpeakerStatus::Ok) {
            *error = failure(kExitDevice, speakerFailure(reading.status));
            return false;
        }
        *value = reading.percent;
        ok = true;
        break;
    }
    }
    if (!ok)
        *error = failure(kExitDevice, kNoAnswer);
    return ok;
}

bool writeSetting(OpenedCamera& camera, const CliSetting& setting, int value, Outcome* error)
{
    bool ok = false;
    switch (setting.kind) {
    case SettingKind::Vendor:
        ok = (camera.m_unit.*setting.set)(value);
        break;
    case SettingKind::MaxZoom:
        ok = camera.m_unit.setMaxZoom(static_cast<std::uint16_t>(value));
        break;
    case SettingKind::CameraCtrl:
        ok = camera.m_controlsBound && camera.m_controls.setCameraControl(setting.controlId, value);
        break;
    case SettingKind::PictureCtrl:
        ok = camera.m_controlsBound && camera.m_controls.setVideoProcAmp(setting.controlId, value);
        break;
    case SettingKind::Volume: {
        const SpeakerStatus status = SpeakerVolume(names::kSpeakerDeviceName).writeVolume(value);
        if (status != SpeakerStatus::Ok) {
            *error = failure(kExitDevice, speakerFailure(status));
            return false;
        }
        ok = true;
        break;
    }
    }
    if (!ok)
        *error = failure(kExitDevice, QStringLiteral("the camera refused the setting or did not answer"));
    return ok;
}

Outcome getCommand(const ListedCamera& camera, const CliSetting& setting)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    int value = 0;
    if (!readSetting(opened, setting, &value, &outcome))
        return outcome;
    return valueOutcome(setting, value);
}

// Every setting with its value and what it accepts, as `v4l2-ctl -l` lists controls: the range,
// step and default of the camera's standard controls come from the camera, those of the other
// integer settings from the tool's table. A setting that cannot be read is listed without its
// value, with the reason; the command fails only when the camera answered none.
Outcome controlsCommand(const ListedCamera& camera)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    int width = 0;
    for (const CliSetting& setting : cliSettings())
        width = std::max(width, int(setting.name.size()));
    QJsonObject controls;
    QStringList lines;
    int answered = 0;
    for (const CliSetting& setting : cliSettings()) {
        QJsonObject object;
        int value = 0;
        Outcome unread;
        const bool read = readSetting(opened, setting, &value, &unread);
        const QString valueText =
            read ? settingValueText(setting, value) : QStringLiteral("unavailable (%1)").arg(unread.reason);
        QString line = setting.name.leftJustified(width) + QLatin1Char(' ');
        if (!setting.words.isEmpty()) {
            QStringList words;
            QJsonArray values;
            for (const ValueWord& word : setting.words) {
                words << word.word;
                values.append(word.word);
            }
            object.insert(QStringLiteral("type"), QStringLiteral("menu"));
            object.insert(QStringLiteral("values"), values);
            if (read)
                object.insert(QStringLiteral("value"), valueText);
            line +=
                QStringLiteral("(menu) : value=%1 values=%2").arg(valueText, words.join(QLatin1Char(',')));
        } else {
            ControlRange range;
            range.minimum = setting.minimum;
            range.maximum = setting.maximum;
            range.step = 1;
            bool fromCamera = false;
            if (setting.kind == SettingKind::CameraCtrl && opened.m_controlsBound)
                fromCamera = opened.m_controls.getCameraControlRange(setting.controlId, range);
            else if (setting.kind == SettingKind::PictureCtrl && opened.m_controlsBound)
                fromCamera = opened.m_controls.getVideoProcAmpRange(setting.controlId, range);
            object.insert(QStringLiteral("type"), QStringLiteral("integer"));
            object.insert(QStringLiteral("minimum"), range.minimum);
            object.insert(QStringLiteral("maximum"), range.maximum);
            object.insert(QStringLiteral("step"), range.step);
            if (fromCamera)
                object.insert(QStringLiteral("default"), range.defaultValue);
            if (read)
                object.insert(QStringLiteral("value"), value);
            line += QStringLiteral("(int)  : min=%1 max=%2 step=%3")
                        .arg(range.minimum)
                        .arg(range.maximum)
                        .arg(range.step);
            if (fromCamera)
                line += QStringLiteral(" default=%1").arg(range.defaultValue);
            line += QStringLiteral(" value=%1").arg(valueText);
        }
        if (read)
            ++answered;
        else
            object.insert(QStringLiteral("error"), unread.reason);
        controls.insert(setting.name, object);
        lines << line;
    }
    if (answered == 0)
        return failure(kExitDevice, kNoAnswer);
    outcome.result.insert(QStringLiteral("controls"), controls);
    outcome.text = lines.join(QLatin1Char('\n'));
    return outcome;
}

// The camera's two stored positions: save stores where it looks now, recall moves it there and
// reports the position it then has.
Outcome presetCommand(const ListedCamera& camera, bool save, int number)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    if (save ? !opened.m_unit.setPreset(number) : !opened.m_unit.setLoad(number))
        return failure(kExitDevice, QStringLiteral("the camera refused the preset or did not answer"));
    outcome.result.insert(QStringLiteral("preset"), number);
    outcome.result.insert(QStringLiteral("action"), save ? QStringLiteral("save") : QStringLiteral("recall"));
    outcome.text = save ? QStringLiteral("preset %1 saved").arg(number)
                        : QStringLiteral("preset %1 recalled").arg(number);
    if (!save) {
        QStringList position;
        for (const char* name : {"pan", "tilt", "zoom"}) {
            const CliSetting* setting = findSetting(QLatin1String(name));
            int value = 0;
            Outcome unread;
            if (setting && readSetting(opened, *setting, &value, &unread)) {
                outcome.result.insert(setting->name, value);
                position << QStringLiteral("%1 %2").arg(setting->name).arg(value);
            }
        }
        if (!position.isEmpty())
            outcome.text += QStringLiteral(": ") + position.join(QStringLiteral(", "));
    }
    return outcome;
}

const QString kPresetUsage = QStringLiteral("preset takes save N or recall N (N: 1 or 2)");

Outcome keptFailure(int kept)
{
    return failure(
        kExitDevice,
        QStringLiteral("the camera kept %1: Any change in the setting takes effect only if the camera is "
                       "working.")
            .arg(kept));
}

Outcome setCommand(const ListedCamera& camera, const CliSetting& setting, int value)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    const bool written = writeSetting(opened, setting, value, &outcome);
    // A picture control that the camera did not take (it refuses a change while it does not
    // stream) is told as the window tells it, by the value read back.
    int readBack = 0;
    if (!written) {
        Outcome unread;
        if (setting.kind == SettingKind::PictureCtrl && readSetting(opened, setting, &readBack, &unread) &&
            readBack != value)
            return keptFailure(readBack);
        return outcome;
    }
    if (!readSetting(opened, setting, &readBack, &outcome))
        return outcome;
    if (setting.kind == SettingKind::PictureCtrl && readBack != value)
        return keptFailure(readBack);
    return valueOutcome(setting, readBack);
}

Outcome factoryResetCommand(const ListedCamera& camera)
{
    OpenedCamera opened;
    Outcome outcome;
    if (!opened.open(camera, &outcome))
        return outcome;
    if (!opened.m_unit.setDefault())
        return failure(kExitDevice, QStringLiteral("the camera refused the factory reset or did not answer"));
    outcome.result.insert(QStringLiteral("factoryReset"), true);
    outcome.text = QStringLiteral("factory settings restored");
    return outcome;
}

Outcome upgradeOutcome(const UpgradeResult& upgrade)
{
    Outcome outcome;
    outcome.status = upgrade.status;
    outcome.reason = upgrade.message;
    outcome.text = upgrade.message;
    outcome.result.insert(QStringLiteral("success"), upgrade.success);
    outcome.result.insert(QStringLiteral("message"), upgrade.message);
    if (upgrade.interruptedBy != 0)
        outcome.result.insert(QStringLiteral("interrupted"), true);
    QJsonArray steps;
    for (const UpgradeProgress& step : upgrade.steps) {
        QJsonObject object;
        object.insert(QStringLiteral("text"), upgradeStepText(step));
        object.insert(QStringLiteral("percent"), step.percent);
        steps.append(object);
    }
    outcome.result.insert(QStringLiteral("steps"), steps);
    outcome.endProcess = upgrade.workerAbandoned;
    return outcome;
}

Outcome upgradeCommand(const ListedCamera& camera, const QString& archive, QTextStream& progress)
{
    auto opened = std::make_unique<OpenedCamera>();
    Outcome outcome;
    if (!opened->open(camera, &outcome))
        return outcome;
    opened->m_controls.releaseCameraFilter();
    UpgradeRequest request;
    request.archive = archive;
    request.unit = &opened->m_unit;
    request.cameraModel = camera.model;
    request.cameraName = camera.entry.name;
    request.cameraId = camera.entry.id;
    const UpgradeResult upgrade = runUpgrade(request, progress);
    if (upgrade.workerAbandoned)
        static_cast<void>(opened.release()); // the worker still uses the extension unit
    return upgradeOutcome(upgrade);
}

const QString kVirtualUsage = QStringLiteral("virtual takes plug MODEL [KEY=VALUE...] or unplug INDEX");

Outcome virtualCommand(const QStringList& arguments, VirtualCameraState* state)
{
    const QString subcommand = arguments.value(0);
    const bool plug = subcommand == QLatin1String("plug");
    if (!plug && subcommand != QLatin1String("unplug"))
        return failure(kExitUsage, kVirtualUsage);
    if ((plug && arguments.size() < 2) || (!plug && arguments.size() != 2))
        return failure(kExitUsage, kVirtualUsage);
    bool isNumber = false;
    const int number = arguments.at(1).toInt(&isNumber);
    if (!isNumber)
        return failure(kExitUsage, QStringLiteral("%1 is not a %2")
                                       .arg(arguments.at(1), plug ? QStringLiteral("model index")
                                                                  : QStringLiteral("camera index")));
    QJsonObject entry;
    if (plug) {
        QString error;
        if (!parseKeyValues(arguments.mid(2), &entry, &error))
            return failure(kExitUsage, error);
        if (entry.contains(QLatin1String("model")))
            return failure(kExitUsage, QStringLiteral("the model is MODEL, not a KEY=VALUE"));
        entry.insert(QStringLiteral("model"), number);
    }
    if (!state)
        return failure(kExitUsage,
                       QStringLiteral("virtual %1 changes the shared state of the virtual cameras: set "
                                      "DECKCTL_VIRTUAL_CAMERA and DECKCTL_VIRTUAL_STATE")
                           .arg(subcommand));
    QString error;
    const int index = plug ? state->plug(entry, &error) : (state->unplug(number, &error) ? number : -1);
    if (index < 0)
        return failure(kExitUsage, QStringLiteral("virtual %1: %2").arg(subcommand, error));
    Outcome outcome;
    outcome.result.insert(QStringLiteral("camera"), index);
    outcome.result.insert(QStringLiteral("plugged"), plug);
    outcome.text = QStringLiteral("camera %1 %2")
                       .arg(index)
                       .arg(plug ? QStringLiteral("plugged in") : QStringLiteral("unplugged"));
    return outcome;
}

Outcome dispatch(const Options& options, QTextStream& progress, VirtualCameraState* virtualState)
{
    const QString& command = options.command;
    if (command == QLatin1String("virtual"))
        return virtualCommand(options.arguments, virtualState);
    const bool withPackage = command == QLatin1String("upgrade") || command == QLatin1String("recover");
    const int expected = command == QLatin1String("get") || withPackage                          ? 1
                         : command == QLatin1String("set") || command == QLatin1String("preset") ? 2
                                                                                                 : 0;
    const QStringList known = commandNames();
    if (!known.contains(command))
        return failure(kExitUsage, QStringLiteral("unknown command %1").arg(command));
    if (command == QLatin1String("preset") && options.arguments.size() != expected)
        return failure(kExitUsage, kPresetUsage);
    if (options.arguments.size() != expected)
        return failure(kExitUsage, QStringLiteral("%1 takes %2 argument(s)").arg(command).arg(expected));
    bool presetSave = false;
    int presetNumber = 0;
    if (command == QLatin1String("preset")) {
        const QString action = options.arguments.at(0);
        presetSave = action == QLatin1String("save");
        presetNumber = options.arguments.at(1) == QLatin1String("1")   ? 1
                       : options.arguments.at(1) == QLatin1String("2") ? 2
                                                                       : 0;
        if ((!presetSave && action != QLatin1String("recall")) || presetNumber == 0)
            return failure(kExitUsage, kPresetUsage);
    }
    if (command == QLatin1String("list"))
        return listCommand();
    if (withPackage) {
        const QString archive = options.arguments.at(0);
        if (!QFileInfo(archive).isFile())
            return failure(kExitUsage, QStringLiteral("no package file %1").arg(archive));
        if (command == QLatin1String("recover")) {
            // A device that this user may not open would only fail deep in the upgrade.
            const QVector<BootStageDevice> devices =
                listBootStageDevices(SettingsStore::application().brandIndex());
            if (!devices.isEmpty() &&
                std::all_of(devices.begin(), devices.end(),
                            [](const BootStageDevice& d) { return d.accessError != 0; })) {
                ListedCamera first;
                first.vid = devices.first().vendorId;
                first.pid = devices.first().productId;
                return failure(kExitDevice, permissionMessage(bootStageName(first)));
            }
            UpgradeRequest request;
            request.archive = archive;
            request.cameraModel = kUnknownModel;
            return upgradeOutcome(runUpgrade(request, progress));
        }
    }

    const CliSetting* setting = nullptr;
    int value = 0;
    if (expected > 0 && !withPackage && command != QLatin1String("preset")) {
        setting = findSetting(options.arguments.at(0));
        if (!setting)
            return failure(kExitUsage,
                           QStringLiteral("unknown setting %1; settings: %2")
                               .arg(options.arguments.at(0), settingNames().join(QStringLiteral(", "))));
        if (expected == 2) {
            const std::optional<int> parsed = parseSettingValue(*setting, options.arguments.at(1));
            if (!parsed)
                return failure(kExitUsage,
                               QStringLiteral("bad value %1 for %2; accepted: %3")
                                   .arg(options.arguments.at(1), setting->name, acceptedValues(*setting)));
            value = *parsed;
        }
    }
    ListedCamera camera;
    Outcome error;
    if (!selectCamera(options, &camera, &error))
        return error;
    if (camera.bootStage)
        return command == QLatin1String("info") ? bootStageInfo(camera) : bootStageRefusal(camera, command);
    if (command == QLatin1String("info"))
        return infoCommand(camera);
    if (command == QLatin1String("controls"))
        return controlsCommand(camera);
    if (command == QLatin1String("preset"))
        return presetCommand(camera, presetSave, presetNumber);
    if (command == QLatin1String("get"))
        return getCommand(camera, *setting);
    if (command == QLatin1String("set"))
        return setCommand(camera, *setting, value);
    if (command == QLatin1String("upgrade"))
        return upgradeCommand(camera, options.arguments.at(0), progress);
    return factoryResetCommand(camera);
}

// Writes the outcome: results to out, the reason of a failure to err (and as JSON to out).
int print(const Outcome& outcome, const Options& options, QTextStream& out, QTextStream& err)
{
    if (outcome.status != kExitOk) {
        err << programName() << ": " << outcome.reason << '\n';
        if (outcome.status == kExitUsage && !options.json)
            err << helpPointer() << '\n';
        if (options.json) {
            QJsonObject object;
            object.insert(QStringLiteral("error"), outcome.reason);
            object.insert(QStringLiteral("status"), outcome.status);
            // A failed upgrade still tells how far it got.
            if (outcome.result.contains(QStringLiteral("steps")))
                object.insert(QStringLiteral("steps"), outcome.result.value(QStringLiteral("steps")));
            out << QJsonDocument(object).toJson(QJsonDocument::Compact) << '\n';
        }
        return outcome.status;
    }
    for (const QString& warning : outcome.warnings)
        err << programName() << ": " << warning << '\n';
    if (options.json) {
        QJsonObject result = outcome.result;
        if (!outcome.warnings.isEmpty())
            result.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(outcome.warnings));
        out << QJsonDocument(result).toJson(QJsonDocument::Compact) << '\n';
    } else if (!outcome.text.isEmpty())
        out << outcome.text << '\n';
    return kExitOk;
}

} // namespace

QStringList commandNames()
{
    return {QStringLiteral("list"),          QStringLiteral("info"),    QStringLiteral("controls"),
            QStringLiteral("get"),           QStringLiteral("set"),     QStringLiteral("preset"),
            QStringLiteral("factory-reset"), QStringLiteral("upgrade"), QStringLiteral("recover"),
            QStringLiteral("virtual"),       QStringLiteral("help")};
}

QString usage()
{
    return QStringLiteral("usage: %1 [OPTION...] COMMAND [ARGUMENT...]\n").arg(programName()) + helpPointer();
}

void applyVerbosity(const QStringList& arguments)
{
    const QString variable = qEnvironmentVariable(kVerboseVariable);
    Options options;
    QString error;
    // Options are read as far as they go: a usage error is reported by run().
    static_cast<void>(parseArguments(arguments, &options, &error));
    setLogEchoToStandardError(options.verbose || (!variable.isEmpty() && variable != QLatin1String("0")));
}

int run(const QStringList& arguments, QTextStream& out, QTextStream& err, VirtualCameraState* virtualState)
{
    Options options;
    QString parseError;
    Outcome outcome;
    if (!parseArguments(arguments, &options, &parseError)) {
        outcome = failure(kExitUsage, parseError);
        // Whether the caller asked for JSON, as far as the words tell it.
        const int end = arguments.indexOf(QStringLiteral("--"));
        options.json = arguments.mid(0, end < 0 ? arguments.size() : end).contains(QStringLiteral("--json"));
    } else if (options.help) {
        out << helpText();
        return kExitOk;
    } else if (options.version) {
        outcome.text = versionText();
        outcome.result.insert(QStringLiteral("program"), programName());
        outcome.result.insert(QStringLiteral("version"), QStringLiteral(DECKCTL_VERSION));
    } else {
        outcome = dispatch(options, err, virtualState);
        // What the user can do about a camera that could not be reached, when the device layer
        // knows (the raw-USB edition: a kernel driver holds the camera's interface).
        if (outcome.status == kExitDevice) {
            const QString hint = devicePlatform().video().failureHint();
            if (!hint.isEmpty())
                outcome.reason += QStringLiteral(" (%1)").arg(hint);
        }
    }

    const int status = print(outcome, options, out, err);
    if (outcome.endProcess) {
        // The upgrade worker could not be stopped and still runs: end here, after the output,
        // without the destructors and exit handlers that would release what it uses.
        out.flush();
        err.flush();
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

} // namespace cli
