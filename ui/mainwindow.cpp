#include "mainwindow.h"
#include "app/logcategories.h"

#include "app/catalogue.h"
#include "app/settings.h"
#include "app/startup.h"
#include "device/dshowcamerawrapper.h"
#include "workers/abnormaldetectthread.h"
#include "workers/videostreamthread.h"

#include <QApplication>
#include <QDebug>
#include <QLabel>
#include <QVBoxLayout>

MainWindow::MainWindow(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Lumadeck"));
    setMinimumSize(1000, 400);
    resize(1280, 720);

    m_labelDevices = new QLabel(tr("MY DEVICES"), this);
    m_labelDevices->setObjectName(QStringLiteral("labelDevices"));
    m_labelStatus = new QLabel(tr("No camera is connected."), this);
    m_labelStatus->setObjectName(QStringLiteral("labelStatus"));
    m_labelPreview = new QLabel(this);
    m_labelPreview->setObjectName(QStringLiteral("labelPreview"));
    m_labelPreview->setAlignment(Qt::AlignCenter);
    m_labelPreview->setMinimumSize(320, 180);
    m_labelPreview->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_labelDevices);
    layout->addWidget(m_labelStatus);
    layout->addWidget(m_labelPreview, 1);

    const int brandIndex = SettingsStore::application().brandIndex();
    selectBrand(brandIndex);
    m_watcher.start(new AbnormalDetectThread(brandIndex), [this](AbnormalDetectThread* worker) {
        connect(worker, &AbnormalDetectThread::onDeviceAbnormal, this, &MainWindow::slotOnDeviceAbnormal);
    });
    startPreview();
}

MainWindow::~MainWindow()
{
    m_preview.stop();
    m_watcher.stop();
}

void MainWindow::startPreview()
{
    DShowCameraWrapper cameras;
    QVector<CameraEntry> entries;
    if (cameras.listVideoDevices(entries) == 0)
        return;
    const CameraEntry& camera = entries.first();
    m_labelStatus->setText(camera.name);
    identifyModel(camera.name);
    auto* stream = m_preview.start(new VideoStreamThread(camera.name), [this](VideoStreamThread* worker) {
        connect(worker, &VideoStreamThread::onReader, this, &MainWindow::slotOnReader);
    });
    stream->setTargetSize(m_labelPreview->size());
}

void MainWindow::slotOnReader(const QPixmap& picture)
{
    if (picture.isNull() || !m_labelPreview->isVisible())
        return;
    m_labelPreview->setPixmap(
        picture.size() == m_labelPreview->size()
            ? picture
            : picture.scaled(m_labelPreview->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void MainWindow::slotOnDeviceAbnormal(int state)
{
    qCInfo(lcUi) << "A camera waits in boot stage" << state << "for a repair";
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (auto* stream = qobject_cast<VideoStreamThread*>(m_preview.worker()))
        stream->setTargetSize(m_labelPreview->size());
}

void MainWindow::slotRestartApp()
{
    QApplication::exit(RestartExitCode);
}
