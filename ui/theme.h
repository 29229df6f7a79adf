#pragma once

// The two themes of the window and the application of a style sheet file.

#include <QColor>
#include <QString>

struct ThemeResources
{
    QString styleSheet;    // resource path of the style sheet
    QString linkColour;    // colour of the support page's links
    QString listIcon;      // icon of the camera-list items that are not current
    QString disabledArrow; // the "-disable" picture of a pan/tilt arrow, %1 its direction
};

namespace theme {
constexpr int kLight = 0;
constexpr int kDark = 1;
// Index 0 is the light theme; any other index the dark one.
const ThemeResources& resources(int index);
// The "-disable" image of one pan/tilt arrow ("up", "down", "left", "right") in the theme.
QString disabledArrow(int index, const QString& direction);
// The style sheet that shows image as a button's picture.
QString arrowStyle(const QString& image);
} // namespace theme

// Applies style sheet files to the application. The last text applied is remembered for the
// process, so that applying the same text again changes nothing.
class StyleSheetApplier
{
public:
    enum class Outcome
    {
        NoPath, // empty path: nothing done
        ReadFailed,
        Unchanged, // the same text as the one applied last
        Applied,
    };
    // Reads path (UTF-8) and applies it: an application palette built from the colour of the
    // sheet's first rule (its button colour), then the text as the application style sheet.
    static Outcome apply(const QString& path);
    // The colour of the sheet's first rule: the seven characters from position 20 on
    // ("QPalette{background:#F5F5F5;}" gives #F5F5F5).
    static QColor firstRuleColour(const QString& text);
    static QString lastPath();
    static QString lastText();
};
