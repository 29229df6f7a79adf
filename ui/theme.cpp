#include "theme.h"
#include "app/logcategories.h"

#include <QApplication>
#include <QFile>
#include <QPalette>

namespace {

// Where in a style sheet the colour of its first rule "QPalette{background:#RRGGBB;}" stands.
constexpr int kFirstRuleColourPos = 20;
constexpr int kFirstRuleColourLength = 7;

const ThemeResources kLightTheme{QStringLiteral(":/qss/light.css"), QStringLiteral("#000000"),
                                 QStringLiteral(":/qss/light/ld-icon-normal.png"),
                                 QStringLiteral(":/qss/light/icon-arrow-%1-disable.png")};
const ThemeResources kDarkTheme{QStringLiteral(":/qss/dark.css"), QStringLiteral("#F2F2F2"),
                                QStringLiteral(":/qss/dark/ld-icon-dark.png"),
                                QStringLiteral(":/qss/dark/icon-arrow-%1-disable.png")};

// The style sheet applied last in this process, and the file it came from. GUI thread only.
QString g_lastPath;
QString g_lastText;

} // namespace

const ThemeResources& theme::resources(int index)
{
    return index == kLight ? kLightTheme : kDarkTheme;
}

QString theme::disabledArrow(int index, const QString& direction)
{
    return resources(index).disabledArrow.arg(direction);
}

QString theme::arrowStyle(const QString& image)
{
    return QStringLiteral("border-image:url(%1) center no-repeat;").arg(image);
}

QColor StyleSheetApplier::firstRuleColour(const QString& text)
{
    return QColor(text.mid(kFirstRuleColourPos, kFirstRuleColourLength));
}

StyleSheetApplier::Outcome StyleSheetApplier::apply(const QString& path)
{
    if (path.isEmpty())
        return Outcome::NoPath;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcUi).noquote() << "read style failed." << path;
        return Outcome::ReadFailed;
    }
    // fromUtf8 drops nothing but keeps a byte-order mark as U+FEFF; it is not part of the text.
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    g_lastPath = path;
    if (text == g_lastText)
        return Outcome::Unchanged;
    g_lastText = text;
    QApplication::setPalette(QPalette(firstRuleColour(text)));
    qApp->setStyleSheet(text);
    return Outcome::Applied;
}

QString StyleSheetApplier::lastPath()
{
    return g_lastPath;
}

QString StyleSheetApplier::lastText()
{
    return g_lastText;
}
