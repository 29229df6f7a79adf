#pragma once

// deckctl-cli: the scriptable tool over the same device layer as the window.
//
//   deckctl-cli [--camera INDEX|ID|NAME] [--json] [--verbose] COMMAND [ARGS]
//
// Options may stand anywhere on the line (cliarguments.h); --help and --version print and end.
// Exit status: 0 success, 1 the camera refused or did not answer, 2 usage error or bad value.

#include <QStringList>
#include <QTextStream>

namespace cli {
class VirtualCameraState;

constexpr int kExitOk = 0;
constexpr int kExitDevice = 1;
constexpr int kExitUsage = 2;

// The environment switch that does what --verbose does (any value but empty or "0").
constexpr const char* kVerboseVariable = "DECKCTL_VERBOSE";

// Turns on the copy of the log's lines to standard error ("<category>: <text>") when the command
// line has --verbose among its options or the environment has the switch set; off otherwise.
// Call it once the log handler is installed, before anything that logs.
void applyVerbosity(const QStringList& arguments);

// Runs one command line (without the program name); writes results to out and reasons to err.
// virtualState is what `virtual plug` and `virtual unplug` change (clivirtual.h); they are refused
// without it.
int run(const QStringList& arguments, QTextStream& out, QTextStream& err,
        VirtualCameraState* virtualState = nullptr);
// The commands in the order the help lists them.
QStringList commandNames();
// The usage line and the pointer to --help.
QString usage();
} // namespace cli
