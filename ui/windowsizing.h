#pragma once

// The main window's size and place at start, after a change of the screen resolution and when
// the number of screens drops to one. The screen facts come in as a ScreenMetrics value, so any
// display can be described without having it.

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <functional>
#include <optional>

class QWidget;

struct ScreenMetrics
{
    QSize logical;              // W x H: the primary screen's size in device-independent pixels
    qreal devicePixelRatio = 1; // physical = logical x ratio
    QRect windowScreen;         // geometry of the screen that holds the window
    QList<QRect> screens;       // geometry of every screen, in the toolkit's order
    QRect primary;              // geometry of the primary screen
    QPoint cursor;              // the mouse cursor, global
    QSize desktop;              // size of the whole (virtual) desktop

    QSize physical() const;
    // The metrics of the running system, for window (its screen); those of the source set with
    // setSource() while one is set.
    static ScreenMetrics current(const QWidget* window);

    // Replaces the running system's metrics (a display the machine does not have); an empty
    // function restores them.
    using Source = std::function<ScreenMetrics(const QWidget* window)>;
    static void setSource(Source source);
};

struct SizeFactors
{
    double width;
    double height;
};

class WindowSizing
{
public:
    static constexpr int kMinimumWidth = 1000;
    static constexpr int kMinimumHeight = 400;
    static constexpr QSize kSingleScreenSize{900, 600};

    // PW / W with two decimals, read back as a number (so 1.25, 1.5, 1.75 and 2 compare exactly).
    static double scale(int logicalWidth, int physicalWidth);
    // The share of the logical screen the window takes for scale s and physical size PW x PH;
    // none when the window keeps its size.
    static std::optional<SizeFactors> factors(double s, int physicalWidth, int physicalHeight);
    // The window size for the metrics; none when the window keeps its size. A logical screen
    // narrower than the minimum width gives the window screen's size.
    static std::optional<QSize> initialSize(const ScreenMetrics& metrics);
    // The screen that holds the cursor: the last in the list whose geometry contains it, the
    // primary screen when none does.
    static QRect cursorScreen(const ScreenMetrics& metrics);
    // Top-left that centres size on area (integer halves).
    static QPoint centred(const QRect& area, const QSize& size);

    // Sizes and places window by the metrics, logging what it measured. withMinimum: the
    // start-up pass that also sets the 1000 x 400 minimum. centre: place it on the cursor's
    // screen (not while the user drags the window).
    static void apply(QWidget* window, const ScreenMetrics& metrics, bool withMinimum, bool centre);
    // One screen left: 900 x 600 in the middle of the desktop.
    static void applySingleScreen(QWidget* window, const ScreenMetrics& metrics);
};
