#include "upgradeprogress.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>

namespace {

enum class Count
{
    None,
    Lines, // current is the line being run, 1-based
    Bytes, // current is the bytes done so far
};

struct StepInfo
{
    UpgradeStep step;
    // Share of the run: roughly how long the step takes on a real camera, relative to the others
    // (the audio image is sent 24 bytes per request and installed in up to 2.5 minutes; the
    // scripts write the firmware images; the boot stages take a few seconds each).
    int weight;
    Count count;
    const char* text; // with %1 (and %2) for the count
};

const char* const kContext = "UpgradeStep";

// In the order a run goes through them (a plan's order is this order).
const std::array<StepInfo, 11> kSteps = {{
    {UpgradeStep::None, 0, Count::None, nullptr},
    {UpgradeStep::AudioTransfer, 15, Count::Bytes,
     QT_TRANSLATE_NOOP("UpgradeStep", "Sending the audio module firmware: %1%")},
    {UpgradeStep::AudioInstall, 15, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Installing the audio module firmware")},
    {UpgradeStep::MainBoardLoader, 5, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Restarting the main board in upgrade mode")},
    {UpgradeStep::MainBoardScript, 35, Count::Lines,
     QT_TRANSLATE_NOOP("UpgradeStep", "Upgrading the main board: step %1 of %2")},
    {UpgradeStep::CameraLoader, 5, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Restarting the camera in upgrade mode")},
    {UpgradeStep::RomStage, 3, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Boot ROM: starting the updater")},
    {UpgradeStep::UpdaterStage, 3, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Updater: loading the boot loader")},
    {UpgradeStep::BootLoaderWait, 4, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Waiting for the camera to come back in its boot loader")},
    {UpgradeStep::CameraScript, 60, Count::Lines,
     QT_TRANSLATE_NOOP("UpgradeStep", "Upgrading the camera: step %1 of %2")},
    {UpgradeStep::Done, 0, Count::None,
     QT_TRANSLATE_NOOP("UpgradeStep", "Upgrade done, the camera restarts")},
}};

const StepInfo& info(UpgradeStep step)
{
    const auto index = static_cast<size_t>(step);
    return index < kSteps.size() ? kSteps[index] : kSteps[0];
}

constexpr unsigned bit(UpgradeStep step)
{
    return 1u << static_cast<unsigned>(step);
}

// The whole percent of a byte count.
int bytePercent(qint64 current, qint64 total)
{
    if (total <= 0)
        return 0;
    return static_cast<int>(std::clamp<qint64>(current, 0, total) * 100 / total);
}

struct ProgressTypeRegistration
{
    ProgressTypeRegistration() { qRegisterMetaType<UpgradeProgress>(); }
};

} // namespace

QString upgradeStepText(const UpgradeProgress& progress)
{
    const StepInfo& step = info(progress.step);
    if (!step.text)
        return QString();
    const QString text = QCoreApplication::translate(kContext, step.text);
    switch (step.count) {
    case Count::Lines:
        return text.arg(progress.current).arg(std::max(progress.current, progress.total));
    case Count::Bytes:
        return text.arg(bytePercent(progress.current, progress.total));
    case Count::None:
        break;
    }
    return text;
}

bool sameUpgradeStep(const UpgradeProgress& a, const UpgradeProgress& b)
{
    return a.step == b.step && (info(a.step).count != Count::Lines || a.current == b.current);
}

void UpgradeProgressTracker::setPlan(Plan plan)
{
    switch (plan) {
    case Plan::AudioThenCamera:
        m_planned = bit(UpgradeStep::AudioTransfer) | bit(UpgradeStep::AudioInstall) |
                    bit(UpgradeStep::CameraLoader) | bit(UpgradeStep::CameraScript);
        break;
    case Plan::MainBoardThenCamera:
        m_planned = bit(UpgradeStep::MainBoardLoader) | bit(UpgradeStep::MainBoardScript) |
                    bit(UpgradeStep::CameraLoader) | bit(UpgradeStep::CameraScript);
        break;
    case Plan::FromRom:
        m_planned = bit(UpgradeStep::RomStage) | bit(UpgradeStep::UpdaterStage) |
                    bit(UpgradeStep::BootLoaderWait) | bit(UpgradeStep::CameraScript);
        break;
    case Plan::FromUpdater:
        m_planned = bit(UpgradeStep::UpdaterStage) | bit(UpgradeStep::BootLoaderWait) |
                    bit(UpgradeStep::CameraScript);
        break;
    case Plan::FromBootLoader:
        m_planned = bit(UpgradeStep::CameraScript);
        break;
    case Plan::CameraOnly:
        m_planned = bit(UpgradeStep::CameraLoader) | bit(UpgradeStep::CameraScript);
        break;
    }
}

int UpgradeProgressTracker::percentFor(UpgradeStep step, qint64 current, qint64 total) const
{
    if (step == UpgradeStep::Done)
        return 100;
    if (!(m_planned & bit(step)))
        return m_last.percent;
    int before = 0;
    int all = 0;
    for (const StepInfo& planned : kSteps) {
        if (!(m_planned & bit(planned.step)))
            continue;
        all += planned.weight;
        if (planned.step < step)
            before += planned.weight;
    }
    const StepInfo& entered = info(step);
    double fraction = 0.0;
    if (total > 0 && entered.count == Count::Lines)
        fraction = double(std::clamp<qint64>(current - 1, 0, total)) / double(total);
    else if (total > 0 && entered.count == Count::Bytes)
        fraction = double(std::clamp<qint64>(current, 0, total)) / double(total);
    // 100 is the end of the run alone.
    const int percent = all > 0 ? static_cast<int>((before + fraction * entered.weight) * 100.0 / all) : 0;
    return std::max(m_last.percent, std::min(percent, 99));
}

void UpgradeProgressTracker::enter(UpgradeStep step, qint64 current, qint64 total)
{
    UpgradeProgress next;
    next.step = step;
    next.current = current;
    next.total = total;
    next.percent = percentFor(step, current, total);
    if (info(step).count == Count::Bytes) {
        // Per whole percent of the bytes, not per packet.
        const int stepPercent = bytePercent(current, total);
        if (step == m_last.step && stepPercent == m_lastStepPercent)
            return;
        m_lastStepPercent = stepPercent;
    } else if (next == m_last) {
        return;
    }
    m_last = next;
    if (m_sink)
        m_sink(m_last);
}

UpgradeProgressNotifier::UpgradeProgressNotifier(QObject* parent) : QObject(parent)
{
    static const ProgressTypeRegistration registration;
}
