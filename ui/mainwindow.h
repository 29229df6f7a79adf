#pragma once

#include <QWidget>

class QLabel;

// The program's main window.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

public slots:
    // Ends the event loop with the restart code; main() then starts a fresh copy.
    void slotRestartApp();

private:
    QLabel* m_labelDevices = nullptr;
    QLabel* m_labelStatus = nullptr;
};
