#pragma once

#include "app/workerhost.h"

#include <QWidget>

class QLabel;

// The program's main window (for now: the camera list's first camera and its live preview).
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

public slots:
    // Ends the event loop with the restart code; main() then starts a fresh copy.
    void slotRestartApp();
    void slotOnReader(const QPixmap& picture);
    void slotOnDeviceAbnormal(int state);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void startPreview();

    QLabel* m_labelDevices = nullptr;
    QLabel* m_labelStatus = nullptr;
    QLabel* m_labelPreview = nullptr;
    WorkerHost m_preview;
    WorkerHost m_watcher;
};
