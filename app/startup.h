#pragma once

// Start-up helpers of the window program: language and font, translator, the restart decision
// and a clean shutdown on SIGTERM/SIGINT.

#include <QObject>
#include <QString>

#include <functional>

class QApplication;
class QTranslator;

// An event loop that ends with this code asks for the program to be started again.
constexpr int RestartExitCode = 773;

// The translation file loaded when the interface is Chinese.
inline const QString kTranslationFileName = QStringLiteral("zh_tr.qm");

// Starts a program detached, with no arguments; returns whether it started.
using DetachedLauncher = std::function<bool(const QString& program)>;

// What main() returns once the event loop ended with loopResult: after RestartExitCode it starts
// exactly one new copy of program and returns 0 (1 when it could not be started); any other code
// is returned unchanged.
int concludeEventLoop(int loopResult, const QString& program, const DetachedLauncher& launcher);
// The real launcher (QProcess::startDetached).
bool startDetachedProcess(const QString& program);

// Tells the font database which installed families stand in for the families the interface
// names ("Segoe UI", "Microsoft YaHei") when they are not installed.
void registerFontSubstitutions();
// The application font of the chosen language.
QString applicationFontFamily(bool languageCN);
constexpr int kApplicationFontPointSize = 12;

// Loads "zh_tr.qm" from the current (application) directory, or from the installed data
// directory, into translator. Returns false when neither holds it.
bool loadTranslation(QTranslator& translator, const QString& installedDataDir);

// Turns SIGTERM and SIGINT into a Qt signal delivered on the GUI thread, so that a logout or a
// Ctrl+C closes the window the normal way instead of killing the process mid-write.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();
};
