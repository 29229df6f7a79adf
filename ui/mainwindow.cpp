#include "mainwindow.h"

#include "app/startup.h"

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Lumadeck"));
    setMinimumSize(1000, 400);

    m_labelDevices = new QLabel(tr("MY DEVICES"), this);
    m_labelDevices->setObjectName(QStringLiteral("labelDevices"));
    m_labelStatus = new QLabel(tr("No camera is connected."), this);
    m_labelStatus->setObjectName(QStringLiteral("labelStatus"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_labelDevices);
    layout->addWidget(m_labelStatus);
    layout->addStretch();
}

void MainWindow::slotRestartApp()
{
    QApplication::exit(RestartExitCode);
}
