#include "clisettings.h"

#include "device/dshowcamerawrapper.h"
#include "device/uvcextensionunit.h"

namespace {
const QVector<ValueWord> kOnOff = {{QStringLiteral("on"), 1}, {QStringLiteral("off"), 0}};
} // namespace

const QVector<CliSetting>& cliSettings()
{
    using U = UVCExtensionUnit;
    static const QVector<CliSetting> settings = {
        {QStringLiteral("tracking-mode"),
         SettingKind::Vendor,
         {{QStringLiteral("off"), 0},
          {QStringLiteral("auto-framing"), 1},
          {QStringLiteral("speaker-tracking"), 2},
          {QStringLiteral("presenter-tracking"), 3}},
         0,
         0,
         &U::setTrackingMode,
         &U::getTrackingMode},
        {QStringLiteral("framing-effect"),
         SettingKind::Vendor,
         {{QStringLiteral("smooth"), 1}, {QStringLiteral("immediate"), 0}},
         0,
         0,
         &U::setTrackingffect,
         &U::getAutoframEffect},
        {QStringLiteral("framing-speed"),
         SettingKind::Vendor,
         {{QStringLiteral("slow"), 0}, {QStringLiteral("normal"), 1}, {QStringLiteral("fast"), 2}},
         0,
         0,
         &U::setTrackingSpeed,
         &U::getAutoFrameSpeed},
        {QStringLiteral("anti-flicker"),
         SettingKind::Vendor,
         {{QStringLiteral("50"), 1}, {QStringLiteral("60"), 2}},
         0,
         0,
         &U::setFlicker,
         &U::getFlickerInfo},
        {QStringLiteral("mirror"), SettingKind::Vendor, kOnOff, 0, 0, &U::setMirror, &U::getMirror},
        {QStringLiteral("hdr"), SettingKind::Vendor, kOnOff, 0, 0, &U::sethdr, &U::gethdr},
        {QStringLiteral("hd-mode"), SettingKind::Vendor, kOnOff, 0, 0, &U::setHD, &U::getHDInfo},
        {QStringLiteral("shutter"), SettingKind::Vendor, kOnOff, 0, 0, &U::setShutter, &U::getShutter},
        {QStringLiteral("mic"), SettingKind::Vendor, kOnOff, 0, 0, &U::setMic, &U::getMICInfo},
        {QStringLiteral("max-zoom"),
         SettingKind::MaxZoom,
         {{QStringLiteral("1.5"), 150},
          {QStringLiteral("2"), 200},
          {QStringLiteral("3"), 300},
          {QStringLiteral("4"), 400},
          {QStringLiteral("5"), 500},
          {QStringLiteral("8"), 800}}},
        {QStringLiteral("audio"), SettingKind::Vendor, {}, 0, 255, &U::setAudio, &U::getAudio},
        {QStringLiteral("pan"),
         SettingKind::CameraCtrl,
         {},
         -180,
         180,
         nullptr,
         nullptr,
         camera_control_id::Pan},
        {QStringLiteral("tilt"),
         SettingKind::CameraCtrl,
         {},
         -180,
         180,
         nullptr,
         nullptr,
         camera_control_id::Tilt},
        {QStringLiteral("zoom"),
         SettingKind::CameraCtrl,
         {},
         0,
         100000,
         nullptr,
         nullptr,
         camera_control_id::Zoom},
        {QStringLiteral("brightness"),
         SettingKind::PictureCtrl,
         {},
         -100000,
         100000,
         nullptr,
         nullptr,
         video_proc_amp_id::Brightness},
        {QStringLiteral("contrast"),
         SettingKind::PictureCtrl,
         {},
         -100000,
         100000,
         nullptr,
         nullptr,
         video_proc_amp_id::Contrast},
        {QStringLiteral("hue"),
         SettingKind::PictureCtrl,
         {},
         -100000,
         100000,
         nullptr,
         nullptr,
         video_proc_amp_id::Hue},
        {QStringLiteral("saturation"),
         SettingKind::PictureCtrl,
         {},
         -100000,
         100000,
         nullptr,
         nullptr,
         video_proc_amp_id::Saturation},
        {QStringLiteral("sharpness"),
         SettingKind::PictureCtrl,
         {},
         -100000,
         100000,
         nullptr,
         nullptr,
         video_proc_amp_id::Sharpness},
        {QStringLiteral("volume"), SettingKind::Volume, {}, 0, 100},
    };
    return settings;
}

const CliSetting* findSetting(const QString& name)
{
    for (const CliSetting& setting : cliSettings()) {
        if (setting.name == name)
            return &setting;
    }
    return nullptr;
}

QStringList settingNames()
{
    QStringList names;
    for (const CliSetting& setting : cliSettings())
        names << setting.name;
    return names;
}

std::optional<int> parseSettingValue(const CliSetting& setting, const QString& text)
{
    if (!setting.words.isEmpty()) {
        for (const ValueWord& word : setting.words) {
            if (word.word == text.toLower())
                return word.value;
        }
        return std::nullopt;
    }
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok || value < setting.minimum || value > setting.maximum)
        return std::nullopt;
    return value;
}

QString settingValueText(const CliSetting& setting, int value)
{
    for (const ValueWord& word : setting.words) {
        if (word.value == value)
            return word.word;
    }
    return QString::number(value);
}

QString acceptedValues(const CliSetting& setting)
{
    if (setting.words.isEmpty())
        return QStringLiteral("an integer from %1 to %2").arg(setting.minimum).arg(setting.maximum);
    QStringList words;
    for (const ValueWord& word : setting.words)
        words << word.word;
    return words.join(QStringLiteral(", "));
}

QString settingHelp(const CliSetting& setting)
{
    const QString accepted = acceptedValues(setting);
    if (setting.kind == SettingKind::MaxZoom)
        return accepted + QStringLiteral(" (times)");
    if (setting.kind == SettingKind::Volume)
        return accepted + QStringLiteral(" (percent)");
    if (setting.kind == SettingKind::CameraCtrl && setting.controlId != camera_control_id::Zoom)
        return accepted + QStringLiteral(" (degrees)");
    return accepted;
}
