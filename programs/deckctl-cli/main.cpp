#include "app/catalogue.h"
#include "app/logging.h"
#include "cli/cli.h"
#include "sim/virtualplatform.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("deckctl"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    // The device layer logs to the program's log file, as the window does; the tool's own
    // output stays clean for scripts.
    setLogFilePath(ensureFilePath(names::kLogFilePath));
    qInstallMessageHandler(logMessageHandler);
    cli::applyVerbosity(QCoreApplication::arguments().mid(1));

    QString error;
    if (!installVirtualPlatformIfRequested(&error)) {
        err << "deckctl-cli: " << error << '\n';
        return cli::kExitUsage;
    }
    return cli::run(QCoreApplication::arguments().mid(1), out, err);
}
