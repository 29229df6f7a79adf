#pragma once

// The settings deckctl-cli reads and writes, with the words a script uses for their values.

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

class UVCExtensionUnit;
class DShowCameraWrapper;

enum class SettingKind
{
    Vendor,      // a byte setting of the extension unit
    MaxZoom,     // the 16-bit maximum-zoom setting of the extension unit
    CameraCtrl,  // pan, tilt, zoom
    PictureCtrl, // brightness, contrast, hue, saturation, sharpness
    Volume,      // the speaker volume
};

struct ValueWord
{
    QString word;
    int value;
};

struct CliSetting
{
    QString name;
    SettingKind kind;
    QVector<ValueWord> words; // accepted words; empty for integer settings
    int minimum = 0;          // integer settings: accepted range (when words is empty)
    int maximum = 0;
    bool (UVCExtensionUnit::*set)(int) = nullptr;
    bool (UVCExtensionUnit::*get)(int&) = nullptr;
    int controlId = -1; // DirectShow-style id for camera and picture controls
};

const QVector<CliSetting>& cliSettings();
const CliSetting* findSetting(const QString& name);
QStringList settingNames();

// Parses a value word or integer for the setting; nullopt when it is not accepted.
std::optional<int> parseSettingValue(const CliSetting& setting, const QString& text);
// The word for a device value, or the number itself for integer settings.
QString settingValueText(const CliSetting& setting, int value);
// "off, auto-framing, ..." or "an integer from 0 to 255" for the usage error.
QString acceptedValues(const CliSetting& setting);
// The accepted values with the unit they are counted in, for the help.
QString settingHelp(const CliSetting& setting);
