// The control panel of the main window (Controls page): placeholder bodies until the panel is
// built, so that the window links and runs.
#include "mainwindow.h"

void MainWindow::showMessage(const QString& text, bool autoClose)
{
    Q_UNUSED(text)
    Q_UNUSED(autoClose)
}

void MainWindow::on_comboBoxTrackMode_currentIndexChanged(int index)
{
    Q_UNUSED(index)
}

void MainWindow::on_comboBoxTrackEffect_currentIndexChanged(int index)
{
    Q_UNUSED(index)
}

void MainWindow::on_comboBoxTrackSpeend_currentIndexChanged(int index)
{
    Q_UNUSED(index)
}

void MainWindow::on_comboBoxAntiFlicker_currentIndexChanged(int index)
{
    Q_UNUSED(index)
}

void MainWindow::on_btnMirror_clicked() {}
void MainWindow::on_btnHD_clicked() {}
void MainWindow::on_btnHDR_clicked() {}
void MainWindow::on_btnPreset1Set_clicked() {}
void MainWindow::on_btnPreset1Load_clicked() {}
void MainWindow::on_btnPreset2Set_clicked() {}
void MainWindow::on_btnPreset2Load_clicked() {}
void MainWindow::on_btnCameraUp_clicked() {}
void MainWindow::on_btnCameraDown_clicked() {}
void MainWindow::on_btnCameraLeft_clicked() {}
void MainWindow::on_btnCameraRight_clicked() {}

void MainWindow::slotOnSetZoomValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::slotOnSetBrightnessValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::slotOnSetContractValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::slotOnSetHueValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::slotOnSetSaturationValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::slotOnSetSharpnessValue(int value)
{
    Q_UNUSED(value)
}

void MainWindow::on_btnDefaultColor_clicked() {}
void MainWindow::slotShowTips() {}
void MainWindow::slotTipsTimeout() {}

void MainWindow::slotUpdateSliderValue(bool isQuery)
{
    Q_UNUSED(isQuery)
}

void MainWindow::slotRemeberYuntaiValue() {}
void MainWindow::slotOnUpdateYuntaiValue() {}

void MainWindow::slotOnQueryReport(int trackingModeState, int flickerState)
{
    Q_UNUSED(trackingModeState)
    Q_UNUSED(flickerState)
}

void MainWindow::buttonClickedNavTop() {}
void MainWindow::buttonColorControl() {}

void MainWindow::setControlsEnabled(bool enable)
{
    Q_UNUSED(enable)
}

void MainWindow::initControlsFromCamera() {}
void MainWindow::initSliders() {}
void MainWindow::refreshControlValues() {}

void MainWindow::setPtzEnabled(bool enable, int zoom)
{
    Q_UNUSED(enable)
    Q_UNUSED(zoom)
}

void MainWindow::updatePanArrows(int value)
{
    Q_UNUSED(value)
}

void MainWindow::updateTiltArrows(int value)
{
    Q_UNUSED(value)
}

void MainWindow::showSpeedRow(bool show)
{
    Q_UNUSED(show)
}

void MainWindow::setUpControlPanel() {}
