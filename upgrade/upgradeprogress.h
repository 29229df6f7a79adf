#pragma once

// The progress of one upgrade run, reported by the worker beside its result: the step it is in
// and an overall percentage that only grows. The steps, their texts and their weights are all
// defined here; the worker only says which step it enters and how far into it it is, and the
// window and the command-line tool show upgradeStepText().

#include <QMetaType>
#include <QObject>
#include <QString>

#include <functional>

enum class UpgradeStep
{
    None = 0,        // nothing reported yet
    AudioTransfer,   // the audio module's image goes to the camera (count: bytes)
    AudioInstall,    // the camera installs the image on its audio module
    MainBoardLoader, // the main board restarts into its upgrade mode; waiting for it
    MainBoardScript, // the main board's upgrade script (count: lines)
    CameraLoader,    // the camera restarts into its upgrade mode; waiting for it
    RomStage,        // the boot ROM takes the updater
    UpdaterStage,    // the updater takes the boot loader
    BootLoaderWait,  // waiting for the camera to come back in its boot loader (U-Boot)
    CameraScript,    // the camera's upgrade script (count: lines)
    Done,            // the script ended with the restart into the new firmware
};

struct UpgradeProgress
{
    UpgradeStep step = UpgradeStep::None;
    qint64 current = 0; // lines: the line being run (1-based); bytes: the bytes sent so far
    qint64 total = 0;   // lines in all, or bytes in all; 0: the step has no count
    int percent = 0;    // of the whole run, 0..100; never less than the one reported before

    bool operator==(const UpgradeProgress& other) const
    {
        return step == other.step && current == other.current && total == other.total &&
               percent == other.percent;
    }
    bool operator!=(const UpgradeProgress& other) const { return !(*this == other); }
};
Q_DECLARE_METATYPE(UpgradeProgress)

// The step in plain words for the user, translated in the context "UpgradeStep"; with its count
// ("line 3 of 12", "45 %") where the step has one. Empty for UpgradeStep::None.
QString upgradeStepText(const UpgradeProgress& progress);

// Whether two reports belong to one step as a person follows it: the same step and, for a script,
// the same line (a transfer's growing byte count is the same step).
bool sameUpgradeStep(const UpgradeProgress& a, const UpgradeProgress& b);

// Turns "the worker entered step s, and is this far into it" into reports with an overall
// percentage, and hands on only the reports that change something a person sees: a transfer is
// reported per whole percent of its bytes, not per packet.
//
// The percentage follows a plan: the steps the run is expected to go through, each with its
// weight (the table in the source file), scaled so that the plan adds up to 100. A step that is
// not in the plan (one the run did not expect) shows its text at the percentage reached so far;
// a step that the run skips is jumped over. The percentage never goes back (a script that is run
// again starts at line 1, but its percentage stays), and the end of the run (Done) is 100.
class UpgradeProgressTracker
{
public:
    using Sink = std::function<void(const UpgradeProgress&)>;

    explicit UpgradeProgressTracker(Sink sink = Sink()) : m_sink(std::move(sink)) {}

    enum class Plan
    {
        AudioThenCamera,     // a camera in normal operation: audio module, then the camera board
        MainBoardThenCamera, // the model with a separate main board
        FromRom,             // a camera found in the boot ROM
        FromUpdater,         // a camera found in its updater
        FromBootLoader,      // a camera found in its boot loader
        CameraOnly,          // a camera in normal operation without an audio-module step
    };
    void setPlan(Plan plan);

    // Enters step (count current of total, 0 of 0 for none).
    void enter(UpgradeStep step, qint64 current = 0, qint64 total = 0);
    // Moves on within the current step.
    void advance(qint64 current, qint64 total) { enter(m_last.step, current, total); }
    // The run ended with success: Done at 100.
    void finish() { enter(UpgradeStep::Done); }

    const UpgradeProgress& last() const { return m_last; }

private:
    int percentFor(UpgradeStep step, qint64 current, qint64 total) const;

    Sink m_sink;
    unsigned m_planned = 0; // bit per UpgradeStep of the plan
    UpgradeProgress m_last;
    int m_lastStepPercent = -1; // of a byte-counted step: the whole percent of its bytes last reported
};

// The worker's side of the queued signal: the worker owns one as its child, so that it moves
// to the worker's thread with it; a receiver connects to progressChanged() with a queued
// connection.
class UpgradeProgressNotifier : public QObject
{
    Q_OBJECT
public:
    explicit UpgradeProgressNotifier(QObject* parent = nullptr);

signals:
    void progressChanged(const UpgradeProgress& progress);
};
