#pragma once

// deckctl-cli's command line: options anywhere on the line ("--" ends them), then the command and
// its arguments; the help text and the version line.

#include <QString>
#include <QStringList>

namespace cli {

struct Options
{
    QString camera; // index, id or name; empty: the first camera of a known model
    bool json = false;
    bool verbose = false; // the log's lines also go to standard error
    bool help = false;    // --help, -h or the command "help"
    bool version = false;
    QString command;
    QStringList arguments;
};

// Reads the command line (without the program name). Options may stand before, between and after
// the command's words; a word that starts with "-" followed by a digit is a value (a negative
// number), not an option. "--" ends the options: every later word is a command word. Returns
// false with a one-line *error for an unknown option, an option without its value or a missing
// command; *options then holds what was read up to the error.
bool parseArguments(const QStringList& arguments, Options* options, QString* error);

// The full help: commands, options, settings with their accepted values, environment, exit
// statuses.
QString helpText();
// "deckctl-cli <version>".
QString versionText();
// The pointer that follows a usage error.
QString helpPointer();

} // namespace cli
