#pragma once

// Every Qt log message of every thread while a LogCapture exists; the previous handler comes back
// when it ends. One capture at a time.

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    enum class Form
    {
        Message, // the message as it is
        Kind,    // "<D|I|W> message"
    };
    // forwardWarnings: warnings and worse also reach the previous handler (the test output).
    explicit LogCapture(Form form = Form::Message, bool forwardWarnings = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    static QStringList lines();
    static void clear();
    // How many lines are line exactly.
    static int count(const QString& line);
    // Whether a line contains fragment.
    static bool contains(const QString& fragment);

    // The debugger sink's lines (app/logging's setDebuggerSink), collected the same way.
    static void recordDebuggerLine(QtMsgType type, const QString& line);
    static QStringList debuggerLines();
    static void clearDebuggerLines();

private:
    QtMessageHandler m_previous = nullptr;
};
