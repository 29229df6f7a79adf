// The window shell (frameless window, initial size, theme, language, closing): placeholder
// bodies until the shell is built, so that the window links and runs.
#include "mainwindow.h"

#include "app/startup.h"

#include <QApplication>

#include <QCloseEvent>
#include <QMouseEvent>

void MainWindow::on_btnModeLight_clicked() {}

void MainWindow::changeStyle(const QString& path)
{
    Q_UNUSED(path)
}

void MainWindow::on_btnLanguage_clicked() {}
void MainWindow::slotRestartApp()
{
    QApplication::exit(RestartExitCode);
}
void MainWindow::slotResolutionChange() {}

void MainWindow::slotScreenCountChanged(int count)
{
    Q_UNUSED(count)
}

void MainWindow::setTheme(int index)
{
    Q_UNUSED(index)
}

void MainWindow::saveWindowSettings() {}

void MainWindow::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    QMainWindow::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event)
{
    QMainWindow::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event)
{
    QMainWindow::mouseReleaseEvent(event);
}

void MainWindow::setUpShell() {}
