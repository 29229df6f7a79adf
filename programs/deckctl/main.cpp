#include "app/catalogue.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/settings.h"
#include "app/startup.h"
#include "sim/virtualplatform.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QTranslator>

#ifndef DECKCTL_TRANSLATIONS_DIR
#define DECKCTL_TRANSLATIONS_DIR ""
#endif

int main(int argc, char* argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // Icons and style-sheet images (list items, page buttons, check marks) take their double-size
    // pictures (NAME@2x.png) on screens with a device-pixel ratio of 2, as border images already do.
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("deckctl"));
    // Watch for SIGTERM/SIGINT from the start; a signal that arrives early waits in the watcher's
    // pipe and closes the window once the event loop runs.
    UnixSignalWatcher signalWatcher;

    languageCN = SettingsStore::application().languageCN();

    registerFontSubstitutions();
    QApplication::setFont(QFont(applicationFontFamily(languageCN), kApplicationFontPointSize));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/main.ico")));
    QDir::setCurrent(QCoreApplication::applicationDirPath());

    const QString logPath = ensureFilePath(names::kLogFilePath);
    qDebug().noquote() << "log filepath:" << logPath;
    setLogFilePath(logPath);
    qInstallMessageHandler(logMessageHandler);

    const char* const rule = "---------------------------------------------------";
    qInfo() << rule;
    qInfo() << "- System Start!";
    qInfo() << rule;

    // DECKCTL_VIRTUAL_CAMERA runs the program on virtual cameras (demonstrations, tests).
    QString virtualError;
    if (!installVirtualPlatformIfRequested(&virtualError))
        qWarning().noquote() << "Virtual camera not started:" << virtualError;

    QTranslator translator;
    // Beside the executable (a build tree), else where the install put it relative to bin/.
    const bool translationLoaded = loadTranslation(
        translator,
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(DECKCTL_TRANSLATIONS_DIR)));
    if (languageCN && translationLoaded)
        QApplication::installTranslator(&translator);

    int result = 0;
    {
        MainWindow window;
        window.show();
        QObject::connect(&signalWatcher, &UnixSignalWatcher::terminationRequested, &window, &QWidget::close);
        result = QApplication::exec();
    }
    return concludeEventLoop(result, QCoreApplication::applicationFilePath(), startDetachedProcess);
}
