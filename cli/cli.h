#pragma once

// deckctl-cli: the scriptable tool over the same device layer as the window.
//
//   deckctl-cli [--camera INDEX|ID|NAME] [--json] COMMAND [ARGS]
//
// Exit status: 0 success, 1 the camera refused or did not answer, 2 usage error or bad value.

#include <QStringList>
#include <QTextStream>

namespace cli {
constexpr int kExitOk = 0;
constexpr int kExitDevice = 1;
constexpr int kExitUsage = 2;

// Runs one command line (without the program name); writes results to out and reasons to err.
int run(const QStringList& arguments, QTextStream& out, QTextStream& err);
QString usage();
} // namespace cli
