#include "windowsizing.h"
#include "app/logcategories.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QString>
#include <QWidget>

#include <cmath>

namespace {

// What the start log reports as the window's intended share of the screen.
constexpr double kLoggedScaleWidth = 0.75;
constexpr double kLoggedScaleHeight = 0.7148148148148148;

struct FactorRow
{
    double scale;
    int physicalWidth;
    int physicalHeight; // 0: any height
    SizeFactors factors;
};

// Displays with a scale other than 1 and a physical width of 1920, by scale.
const FactorRow kFullHdRows[] = {
    {1.25, 1920, 0, {0.86, 0.82}},
    {1.5, 1920, 0, {0.94, 0.92}},
    {1.75, 1920, 0, {0.96, 0.82}},
};

// Further displays, by scale and physical size; the first match wins.
const FactorRow kOtherRows[] = {
    {1.75, 2560, 1080, {0.8, 0.82}},  {2, 2560, 1080, {0.9, 0.98}},  {2, 2560, 1440, {0.94, 0.92}},
    {1.75, 2560, 1440, {0.84, 0.84}}, {1, 3440, 1440, {0.7, 0.89}},  {2, 3440, 1440, {0.84, 0.92}},
    {1, 3840, 2160, {0.66, 0.66}},    {3, 3840, 2160, {0.94, 0.92}},
};

constexpr SizeFactors kDefaultFactors{0.8, 0.7448148148148148};

ScreenMetrics::Source& metricsSource()
{
    static ScreenMetrics::Source source;
    return source;
}

} // namespace

QSize ScreenMetrics::physical() const
{
    return QSize(qRound(logical.width() * devicePixelRatio), qRound(logical.height() * devicePixelRatio));
}

void ScreenMetrics::setSource(Source source)
{
    metricsSource() = std::move(source);
}

ScreenMetrics ScreenMetrics::current(const QWidget* window)
{
    if (metricsSource())
        return metricsSource()(window);
    ScreenMetrics metrics;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return metrics;
    metrics.logical = primary->size();
    metrics.devicePixelRatio = primary->devicePixelRatio();
    metrics.primary = primary->geometry();
    const QScreen* own = window ? window->screen() : nullptr;
    metrics.windowScreen = own ? own->geometry() : primary->geometry();
    const auto screens = QGuiApplication::screens();
    for (const QScreen* screen : screens)
        metrics.screens << screen->geometry();
    metrics.cursor = QCursor::pos();
    metrics.desktop = primary->virtualSize();
    return metrics;
}

double WindowSizing::scale(int logicalWidth, int physicalWidth)
{
    if (logicalWidth <= 0)
        return 0;
    const double ratio = double(physicalWidth) / double(logicalWidth);
    return QString::number(ratio, 'f', 2).toDouble();
}

std::optional<SizeFactors> WindowSizing::factors(double s, int physicalWidth, int physicalHeight)
{
    if (s != 1 && physicalWidth == 1920) {
        for (const FactorRow& row : kFullHdRows) {
            if (s == row.scale)
                return row.factors;
        }
        return std::nullopt;
    }
    for (const FactorRow& row : kOtherRows) {
        if (s == row.scale && physicalWidth == row.physicalWidth && physicalHeight == row.physicalHeight)
            return row.factors;
    }
    return kDefaultFactors;
}

std::optional<QSize> WindowSizing::initialSize(const ScreenMetrics& metrics)
{
    const int w = metrics.logical.width();
    const int h = metrics.logical.height();
    if (w < kMinimumWidth)
        return metrics.windowScreen.size();
    const QSize physical = metrics.physical();
    const auto chosen = factors(scale(w, physical.width()), physical.width(), physical.height());
    if (!chosen)
        return std::nullopt;
    return QSize(int(w * chosen->width), int(h * chosen->height));
}

QRect WindowSizing::cursorScreen(const ScreenMetrics& metrics)
{
    QRect found = metrics.primary;
    for (const QRect& screen : metrics.screens) {
        if (screen.contains(metrics.cursor))
            found = screen;
    }
    return found;
}

QPoint WindowSizing::centred(const QRect& area, const QSize& size)
{
    return QPoint(area.x() + (area.width() - size.width()) / 2,
                  area.y() + (area.height() - size.height()) / 2);
}

void WindowSizing::apply(QWidget* window, const ScreenMetrics& metrics, bool withMinimum, bool centre)
{
    const int w = metrics.logical.width();
    const int h = metrics.logical.height();
    const QSize physical = metrics.physical();
    if (withMinimum)
        window->setMinimumSize(kMinimumWidth, kMinimumHeight);

    const double s = scale(w, physical.width());
    qCDebug(lcUi) << "nScreenWidth:" << w << "width" << physical.width() << "screen_scale" << s;
    qCDebug(lcUi) << "app_scale_w:" << kLoggedScaleWidth << "app_scale_h" << kLoggedScaleHeight;
    qCDebug(lcUi) << "minimumSizeHint:" << window->minimumSizeHint();
    qCDebug(lcUi) << "app_w:" << kLoggedScaleWidth * w << "app_h" << kLoggedScaleHeight * h;

    const std::optional<QSize> size = initialSize(metrics);
    if (w < kMinimumWidth) {
        // A small screen: the window fills it and cannot be made smaller.
        window->setMinimumSize(*size);
        window->resize(*size);
    } else if (size) {
        window->resize(*size);
    }

    if (centre)
        window->move(centred(cursorScreen(metrics), window->size()));
}

void WindowSizing::applySingleScreen(QWidget* window, const ScreenMetrics& metrics)
{
    window->resize(kSingleScreenSize);
    window->move((metrics.desktop.width() - window->width()) / 2,
                 (metrics.desktop.height() - window->height()) / 2);
}
