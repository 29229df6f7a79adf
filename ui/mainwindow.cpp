#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "app/catalogue.h"
#include "app/globals.h"
#include "app/logcategories.h"
#include "app/settings.h"
#include "device/deviceplatform.h"
#include "device/hotplug.h"
#include "device/speakervolume.h"
#include "device/videobackend.h"
#include "upgrade/libsstarufu.h"
#include "workers/abnormaldetectthread.h"
#include "workers/updateinfothread.h"
#include "workers/videostreamthread.h"

#include <QCursor>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QIcon>
#include <QKeyEvent>
#include <QListWidgetItem>
#include <QMouseEvent>
#include <QMovie>
#include <QResizeEvent>
#include <QScrollArea>
#include <QTimer>

namespace {

// Item data of a camera-list entry.
constexpr int kRoleIndex = Qt::UserRole;    // 256: the entry's list position (int)
constexpr int kRoleName = Qt::UserRole + 1; // 257: the friendly name
constexpr int kRoleId = Qt::UserRole + 2;   // 258: the id (device-path middle part)

const QSize kItemSizeHint(150, 54);
const QSize kListIconSize(60, 36);
const QSize kCurrentIconSize(66, 36);

const QString kIconNormalLight = QStringLiteral(":/qss/light/ld-icon-normal.png");
const QString kIconNormalDark = QStringLiteral(":/qss/dark/ld-icon-dark.png");
const QString kIconCurrent = QStringLiteral(":/qss/light/ld-icon-blue.png");
const QString kLoadingLight = QStringLiteral(":/qss/light/loading.gif");
const QString kLoadingDark = QStringLiteral(":/qss/dark/loading.gif");
constexpr int kLoadingSpeedPercent = 300;

// The camera picture beside the open camera's name.
const QString kCameraIconStyle =
    QStringLiteral("QLabel{background-image:url(:/qss/light/qb-17-pic.png);center no-repeat;}");
const QString kStateConnectedStyle = QStringLiteral("color: #42a5f5;");
const QString kStateOtherStyle = QStringLiteral("color: #f2813b;");
const QString kTipsStyle = QStringLiteral("background-image:url(:/qss/light/camera_disable.png)");
const QString kTipsHoverStyle = QStringLiteral("background-image:url(:/qss/light/camera_disable-hover.png)");
const QString kStopStyle = QStringLiteral("background-image:url(:/qss/light/icon-stop.png)");
const QString kStopHoverStyle = QStringLiteral("background-image:url(:/qss/light/icon-stop-hover.png)");

// Which friendly names a brand lists.
const QString kExcludedName = QStringLiteral("RKT-QB17");
const QStringList kBrand0Names = {QStringLiteral("QB17"), QStringLiteral("QB18")};
const QStringList kBrand1Names = {QStringLiteral("TM40")};

// A device name of a capture interface: "\\?\usb#<ids>#<instance>#<class>\global", the
// instance with four "&" fields of which the last is "0000" for a camera's first interface.
constexpr int kDeviceNameParts = 4;
constexpr int kInstancePart = 2;
constexpr int kInstanceFields = 4;
constexpr int kInterfaceField = 3;
const QString kFirstInterface = QStringLiteral("0000");

// The connection states the camera header shows.
constexpr int kStateConnected = 0;
constexpr int kStateDisconnected = 1;

// Preview area: the width left beside the list and the control panel, at 16:9.
constexpr int kPreviewWidthOffset = 802;
// The smallest preview: it holds the start icon (96 x 96) and a picture that can still be seen.
// Only a window narrower than its minimum width (on a screen narrower than that) needs it; the
// window's content then scrolls sideways to reach the preview.
constexpr int kMinimumPreviewWidth = 192;
constexpr int kStartPreviewDelayMs = 500;
// The start icon's look while no camera is open.
constexpr double kDisabledStartIconOpacity = 0.4;

// A friendly name longer than 15 characters with a space shows from its first space on.
QString displayName(const QString& friendlyName)
{
    const int space = friendlyName.indexOf(QLatin1Char(' '));
    if (friendlyName.size() > 15 && space >= 0)
        return friendlyName.mid(space).trimmed();
    return friendlyName;
}

bool brandListsName(int brandIndex, const QString& name)
{
    const QStringList* names = brandIndex == 0 ? &kBrand0Names : brandIndex == 1 ? &kBrand1Names : nullptr;
    if (!names)
        return false;
    for (const QString& part : *names) {
        if (name.contains(part))
            return true;
    }
    return false;
}

bool cursorOver(const QWidget* widget)
{
    return widget->rect().contains(widget->mapFromGlobal(QCursor::pos()));
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    // 1. The form.
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Lumadeck"));
    m_loadingLight = new QMovie(kLoadingLight, QByteArray(), this);
    m_loadingDark = new QMovie(kLoadingDark, QByteArray(), this);
    m_loadingLight->setSpeed(kLoadingSpeedPercent);
    m_loadingDark->setSpeed(kLoadingSpeedPercent);

    // 2. What this window never shows (and the audio-version button until a version is read).
    ui->btnAudioVersionPrompt->hide();
    ui->progressBarUpdate->hide(); // shown while an upgrade runs
    ui->labelUpgradeStep->hide();  // the upgrade's step under the bar, likewise
    for (QWidget* widget :
         {static_cast<QWidget*>(ui->labelAuto), static_cast<QWidget*>(ui->checkBoxBrightnessAuto),
          static_cast<QWidget*>(ui->checkBoxContractAuto), static_cast<QWidget*>(ui->checkBoxHueAuto),
          static_cast<QWidget*>(ui->checkBoxSaturationAuto), static_cast<QWidget*>(ui->checkBoxSharpnessAuto),
          static_cast<QWidget*>(ui->labelHDR), static_cast<QWidget*>(ui->btnHDR),
          static_cast<QWidget*>(ui->widgetHDR), static_cast<QWidget*>(ui->label_xmos),
          static_cast<QWidget*>(ui->label_xmosVer), static_cast<QWidget*>(ui->labelHyperlinksQuickStartGuide),
          static_cast<QWidget*>(ui->labelHyperlinksUserGuide)})
        widget->hide();

    setUpSupportPage();

    // 3. Screen scaling and the shell, then the panels, all controls disabled.
    setUpShell();
    setUpControlPanel();
    setUpPreviewArea();
    setControlsEnabled(false);

    // 4. The page buttons.
    m_navButtons = {ui->btnNavControl, ui->btnNavSupport};
    m_pageButtons = {ui->btnVideoControl, ui->btnColorControl};
    for (QToolButton* button : m_navButtons) {
        button->setCheckable(true);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        connect(button, &QToolButton::clicked, this, &MainWindow::buttonClickedNavTop);
    }
    for (QToolButton* button : m_pageButtons) {
        button->setCheckable(true);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        connect(button, &QToolButton::clicked, this, &MainWindow::buttonColorControl);
    }
    ui->btnNavControl->click();
    ui->btnVideoControl->click();

    // 5. The overlay is the shell's (setUpShell()).

    // 6. Brand, geometry and style from the settings file.
    readSettings();

    // 7.-9. Camera arrival and removal, the connection state and the list.
    connect(this, &MainWindow::onCameraPlugged, this, &MainWindow::slotOnCameraPlugged, Qt::DirectConnection);
    m_hotplug = devicePlatform().createHotplugMonitor();
    connect(m_hotplug.get(), &HotplugMonitor::devicePlugged, this, &MainWindow::slotOnDeviceChange);
    if (!m_hotplug->start())
        qCWarning(lcUi) << "register device event failt!";
    connect(this, &MainWindow::onCameraState, this, &MainWindow::slotOnCameraState, Qt::DirectConnection);
    connect(ui->listWidgetCamera, &QListWidget::itemClicked, this,
            &MainWindow::slotOnSingleClickedCameraItem);
    connect(ui->listWidgetCamera, &QListWidget::currentItemChanged, this, &MainWindow::slotIconChangge);

    // 10. The cameras, and the watcher for cameras stuck in a boot stage.
    refreshCameraList();
    startAbnormalWorker();

    // 11. A failed request makes the window reopen the extension unit.
    connect(&m_uvc, &UVCExtensionUnit::reInitUvc, this, &MainWindow::slotReInitUvcEx);

    // 12. Keyboard focus.
    setUpKeyboardFocus();
}

MainWindow::~MainWindow()
{
    // The workers use m_uvc and the window: they end before the members go.
    m_hotplug.reset();
    m_stream.stop();
    m_query.stop();
    m_upgrade.stop();
    m_abnormal.stop();
    // The unit closes with the window: no camera stays marked open for the rest of the process.
    g_bOpenCamera = false;
    delete ui;
}

void MainWindow::readSettings()
{
    const SettingsStore& settings = SettingsStore::application();
    m_manufacturer = settings.brandIndex();
    m_manufacturerVid = selectBrand(m_manufacturer).vendorId;
    ui->labLogo->setVisible(m_manufacturer != 0);

    const QRect geometry = settings.windowGeometry();
    qCInfo(lcUi).noquote() << "pre main window pos:"
                           << QStringLiteral("%1 %2 %3 %4")
                                  .arg(geometry.x())
                                  .arg(geometry.y())
                                  .arg(geometry.width())
                                  .arg(geometry.height());
    m_styleIndex = settings.styleIndex();
    m_darkOn = m_styleIndex != 0;
    qCInfo(lcUi) << "pre ui style:" << m_styleIndex;
    setTheme(m_styleIndex);
}

void MainWindow::setUpPreviewArea()
{
    // The window's content below the title bar scrolls sideways when the window is narrower than
    // the list, the panel and the smallest preview (a screen narrower than the window's minimum
    // width); at any other width it fits exactly and shows no scroll bar.
    // The content keeps the area's height (its own pages scroll up and down); fitBody() sizes it.
    m_bodyScroll = new QScrollArea(ui->centralwidget);
    m_bodyScroll->setObjectName(QStringLiteral("scrollAreaBody"));
    m_bodyScroll->setFrameShape(QFrame::NoFrame);
    m_bodyScroll->setFocusPolicy(Qt::NoFocus);
    m_bodyScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_bodyScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_bodyScroll->setWidgetResizable(false);
    delete ui->verticalLayoutCentral->replaceWidget(ui->widgetBody, m_bodyScroll);
    m_bodyScroll->setWidget(ui->widgetBody);
    m_bodyScroll->viewport()->installEventFilter(this);

    ui->listWidgetCamera->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ui->listWidgetCamera->setIconSize(kListIconSize);

    ui->labPreview_up->setText(tr("Click the icon to start preview."));
    ui->labPreview_down->setText(tr("Other apps can't access the camera while you preview it on this app."));
    ui->labelTips->setStyleSheet(kTipsStyle);
    auto* dim = new QGraphicsOpacityEffect(ui->labelTips);
    dim->setOpacity(kDisabledStartIconOpacity);
    ui->labelTips->setGraphicsEffect(dim);
    ui->labelStop->setStyleSheet(kStopStyle);
    ui->labelStop->hide();
    ui->labelloading->hide();
    ui->labelIcon->hide();
    // The camera header never asks for more width than the column has: the picture is cut at its
    // sides, the name and state wrap.
    for (QLabel* label : {ui->labelIcon, ui->labelDevice, ui->labelState}) {
        label->setMinimumWidth(0);
        QSizePolicy policy = label->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        label->setSizePolicy(policy);
    }
    ui->labelState->setWordWrap(true);
    for (QWidget* label : {static_cast<QWidget*>(ui->labPreview), static_cast<QWidget*>(ui->labelTips),
                           static_cast<QWidget*>(ui->labelStop)}) {
        label->setMouseTracking(true);
        label->installEventFilter(this);
    }
    updatePreviewSize();
}

// ---- camera list ----------------------------------------------------------------------------

QIcon MainWindow::normalItemIcon() const
{
    return QIcon(m_styleIndex == 0 ? kIconNormalLight : kIconNormalDark);
}

QIcon MainWindow::currentItemIcon()
{
    QIcon icon;
    icon.addFile(kIconCurrent, kCurrentIconSize, QIcon::Selected, QIcon::Off);
    return icon;
}

void MainWindow::refreshCameraList()
{
    reportDeniedDevices();
    QVector<CameraEntry> entries;
    if (m_dshow.listVideoDevices(entries) == 0) {
        if (!m_upgrading) {
            m_noCamera = true;
            m_cameraOpen = false;
            g_bOpenCamera = false;
            setControlsEnabled(false);
        }
        return;
    }
    fillCameraList(entries);
    QListWidgetItem* first = ui->listWidgetCamera->item(0);
    if (first) {
        ui->listWidgetCamera->setCurrentRow(0);
        first->setIcon(currentItemIcon());
    }
    openListedCamera(first);
}

bool MainWindow::reportDeniedDevices()
{
    // During an upgrade the camera passes through its boot stages, and the upgrade reports its own
    // failures: nothing of that device is probed here.
    if (m_upgrading)
        return false;
    // A device is named again only after it was gone (unplugged, or opened fine) in between.
    QSet<QString> denied;
    QStringList named;
    bool bootStageDenied = false;
    const auto note = [&](const QString& key, const QString& device) {
        denied.insert(key);
        if (m_deniedReported.contains(key))
            return;
        qCWarning(lcUi).noquote() << "No permission to open" << device;
        named << device;
    };
    const auto ids = [](int vendorId, int productId) {
        return QStringLiteral("%1:%2")
            .arg(vendorId, 4, 16, QLatin1Char('0'))
            .arg(productId, 4, 16, QLatin1Char('0'));
    };
    for (const InaccessibleVideoDevice& device : devicePlatform().video().listInaccessibleDevices()) {
        const QString product =
            device.product.isEmpty()
                ? ids(device.vendorId, device.productId)
                : QStringLiteral("%1, %2").arg(device.product, ids(device.vendorId, device.productId));
        note(device.node + QLatin1Char('#') + ids(device.vendorId, device.productId),
             QStringLiteral("%1 (%2)").arg(device.node, product));
    }
    for (const BootStageDevice& device : listBootStageDevices(m_manufacturer)) {
        if (device.accessError == 0)
            continue;
        bootStageDenied = true;
        note(device.key,
             tr("the camera waiting in its boot stage (%1)").arg(ids(device.vendorId, device.productId)));
    }
    m_deniedReported = denied;
    if (named.isEmpty())
        return bootStageDenied;
    const QString text = tr("No permission to open %1. The udev rule %2 that gives access to the camera is "
                            "missing or not yet applied: install it, then replug the camera or run "
                            "\"udevadm trigger\".")
                             .arg(named.join(QStringLiteral(", ")), QStringLiteral(DECKCTL_UDEV_RULE));
    // The list is refreshed while the window is built and from device events: the box opens
    // once that is done.
    QTimer::singleShot(0, this, [this, text] { showMessage(text, false); });
    return bootStageDenied;
}

void MainWindow::fillCameraList(const QVector<CameraEntry>& entries)
{
    for (const CameraEntry& entry : entries) {
        int vid = 0;
        int pid = 0;
        if (!DShowCameraWrapper::parseVidPid(entry.id, vid, pid) || vid != m_manufacturerVid)
            continue;
        qCDebug(lcUi).noquote() << "Camera name:" << entry.name;
        if (entry.name.contains(kExcludedName) || !brandListsName(m_manufacturer, entry.name))
            continue;
        auto* item = new QListWidgetItem(displayName(entry.name));
        item->setSizeHint(kItemSizeHint);
        item->setIcon(normalItemIcon());
        item->setData(kRoleIndex, entry.index);
        item->setData(kRoleName, QStringLiteral("%1").arg(entry.name));
        item->setData(kRoleId, QStringLiteral("%1").arg(entry.id));
        ui->listWidgetCamera->addItem(item);
    }
}

void MainWindow::openListedCamera(QListWidgetItem* item)
{
    if (!item)
        return;
    const int position = item->data(kRoleIndex).toInt();
    const QString name = item->data(kRoleName).toString();
    const QString id = item->data(kRoleId).toString();
    if (position == -1 || name.isEmpty() || id.isEmpty())
        return;
    if (name == m_cameraName && id == m_cameraPath && m_cameraOpen)
        return;

    m_cameraName = name;
    m_cameraPath = id;
    m_model = identifyModel(name);
    closeCamera();
    if (openCamera(id, name)) {
        m_noCamera = false;
        m_cameraOpen = true;
        g_bOpenCamera = true;
        setControlsEnabled(true);
    }
}

void MainWindow::slotOnSingleClickedCameraItem(QListWidgetItem* item)
{
    openListedCamera(item);
}

void MainWindow::slotIconChangge(QListWidgetItem* current, QListWidgetItem* previous)
{
    if (previous)
        previous->setIcon(normalItemIcon());
    if (current)
        current->setIcon(currentItemIcon());
}

// ---- arrival and removal --------------------------------------------------------------------

void MainWindow::slotOnDeviceChange(bool arrival, const QString& deviceName)
{
    const QStringList parts = deviceName.split(QLatin1Char('#'));
    if (parts.size() != kDeviceNameParts) {
        qCDebug(lcUi) << "camera logic error";
        return;
    }
    const QStringList fields = parts.at(kInstancePart).split(QLatin1Char('&'));
    if (fields.size() != kInstanceFields) {
        qCDebug(lcUi) << "camera logic error";
        return;
    }
    // A composite camera announces each of its capture interfaces; only the first one counts.
    if (fields.at(kInterfaceField) != kFirstInterface)
        return;
    qCDebug(lcUi) << (arrival ? "usb camera in" : "usb camera out");
    emit onCameraPlugged(arrival, deviceName.toLower());
}

void MainWindow::slotOnCameraPlugged(bool plug, const QString& path)
{
    if (!plug && path.contains(m_cameraPath, Qt::CaseInsensitive)) {
        emit onCameraState(kStateDisconnected, m_cameraName);
        closeCamera();
        qCDebug(lcUi) << "plug out reset param";
        m_cameraPath.clear();
        m_cameraName.clear();
    }
    clearCameraList();
    refreshCameraList();
}

void MainWindow::clearCameraList()
{
    QListWidget* list = ui->listWidgetCamera;
    const QSignalBlocker blocker(list);
    while (list->count() > 0)
        delete list->takeItem(0);
}

// ---- opening and closing --------------------------------------------------------------------

bool MainWindow::openCamera(const QString& path, const QString& name)
{
    if (path.isEmpty() || name.isEmpty())
        return false;
    const bool filterBound = m_dshow.openCameraFilter(path, name, m_cameraIndex);
    qCDebug(lcUi) << "dshow detect camera :" << filterBound;
    m_openingCamera = true;
    if (!m_uvc.InitVideoDevice(path, name)) {
        m_openingCamera = false;
        qCDebug(lcUi) << "UVC init failed!";
        return false;
    }
    emit onCameraState(filterBound ? kStateConnected : kStateDisconnected, name);
    initControlsFromCamera();
    m_openingCamera = false;
    startQueryWorker();
    return true;
}

void MainWindow::closeCamera()
{
    stopQueryWorker();
    qCDebug(lcUi) << "Close camera!";
    stopPreviewWorker();
    // The last picture of a stopped preview belongs to this camera: it goes with it.
    if (m_previewing || !ui->labPreview->pixmap(Qt::ReturnByValue).isNull())
        showPreviewPlaceholders();
    m_previewing = false;
    m_uvc.CloseVideoDevice();
    m_cameraOpen = false;
    g_bOpenCamera = false;
    m_dshow.releaseCameraFilter();
    setControlsEnabled(false);
}

void MainWindow::slotOnCameraState(int state, const QString& name)
{
    const QString shown = displayName(name);
    ui->labelIcon->setStyleSheet(kCameraIconStyle);
    ui->labelIcon->show();
    ui->labelDevice->setText(shown);
    ui->labelState->setText(connectionStateText(state, languageCN));
    if (state == kStateConnected) {
        ui->labelState->setStyleSheet(kStateConnectedStyle);
        return;
    }
    ui->labelState->setStyleSheet(kStateOtherStyle);
    if (state != kStateDisconnected)
        return;
    ui->labelDevModel->clear();
    ui->labelDevVer->clear();
    ui->label_xmosVer->clear();
    ui->labelDevice->clear();
    ui->labelIcon->hide();
    ui->btnAudioVersionPrompt->hide();
    // An upgrade takes the camera away (into its loader) and back: its bar stays meanwhile.
    if (!m_upgrading)
        ui->progressBarUpdate->hide();
    if (m_prompt) {
        m_prompt->close();
        delete m_prompt.data();
    }
    m_noCamera = true;
    m_cameraOpen = false;
    g_bOpenCamera = false;
}

// ---- workers --------------------------------------------------------------------------------

void MainWindow::startAbnormalWorker()
{
    m_abnormal.start(new AbnormalDetectThread(m_manufacturer), [this](AbnormalDetectThread* worker) {
        connect(worker, &AbnormalDetectThread::onDeviceAbnormal, this, &MainWindow::slotOnDeviceAbnormal,
                Qt::QueuedConnection);
    });
}

void MainWindow::startQueryWorker()
{
    m_query.start(new UpdateInfoThread(m_model, m_cameraIndex, &m_uvc), [this](UpdateInfoThread* worker) {
        connect(worker, &UpdateInfoThread::onQueryReport, this, &MainWindow::slotOnQueryReport,
                Qt::QueuedConnection);
    });
}

void MainWindow::stopQueryWorker()
{
    m_query.stop();
}

void MainWindow::slotReInitUvcEx()
{
    qCDebug(lcUi) << "MainWindow::slotReInitUvcEx";
    if (m_upgrading)
        return;
    // A request that failed after the camera was closed (a report still on its way) reopens
    // nothing.
    if (!m_cameraOpen && !m_openingCamera)
        return;
    // Reports of further failed requests while the camera's presence is being checked add
    // nothing.
    if (m_goneCheckPending)
        return;
    m_uvc.CloseVideoDevice();
    if (m_uvc.InitVideoDevice(m_cameraPath, m_cameraName))
        return;
    qCDebug(lcUi) << "UVC reinit failed!";
    // The camera may be gone before its removal is reported: look once the request that failed
    // has returned (this slot may run inside it), and close the camera as unplugged if so.
    m_goneCheckPending = true;
    QTimer::singleShot(0, this, &MainWindow::closeCameraIfGone);
}

void MainWindow::closeCameraIfGone()
{
    m_goneCheckPending = false;
    if (!m_cameraOpen || m_cameraPath.isEmpty())
        return;
    QVector<CameraEntry> entries;
    m_dshow.listVideoDevices(entries);
    for (const CameraEntry& entry : entries) {
        if (entry.id == m_cameraPath && entry.name == m_cameraName)
            return;
    }
    slotOnCameraPlugged(false, m_cameraPath);
}

// ---- preview --------------------------------------------------------------------------------

QMovie* MainWindow::loadingMovie() const
{
    return m_styleIndex == 0 ? m_loadingLight : m_loadingDark;
}

void MainWindow::stopLoadingAnimation()
{
    m_loadingLight->stop();
    m_loadingDark->stop();
    ui->labelloading->hide();
}

void MainWindow::stopPreviewWorker()
{
    if (!m_stream.isActive())
        return;
    qCDebug(lcUi) << "stop camera!";
    m_stream.stop();
}

void MainWindow::showPreviewPlaceholders()
{
    ui->labPreview->clear();
    ui->labPreview_up->show();
    ui->labPreview_down->show();
    ui->labPreview->repaint();
}

void MainWindow::slotStartPreview()
{
    if (!m_cameraOpen) {
        m_previewing = false;
        stopLoadingAnimation();
        ui->labelTips->show();
        return;
    }
    refreshControlValues();
    auto* stream = m_stream.start(new VideoStreamThread(m_cameraName), [this](VideoStreamThread* worker) {
        connect(worker, &VideoStreamThread::onReader, this, &MainWindow::slotOnReader, Qt::QueuedConnection);
    });
    stream->setTargetSize(QSize(m_previewW, m_previewH));
    ui->labPreview_up->hide();
    ui->labPreview_down->hide();
    m_previewing = true;
    stopLoadingAnimation();
    setControlsEnabled(true);
}

void MainWindow::stopCameraPreView()
{
    stopPreviewWorker();
    // Without its worker the preview is off: the start icon comes back, so it can be restarted.
    m_previewing = false;
    setControlsEnabled(true);
}

void MainWindow::slotOnReader(const QPixmap& pixmap)
{
    if (!pixmap.isNull() && !m_noCamera && m_previewing) {
        ui->labPreview->setPixmap(
            pixmap.scaled(m_previewW, m_previewH, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        return;
    }
    qCDebug(lcUi) << "Discarding the data";
    showPreviewPlaceholders();
}

void MainWindow::requestPreviewStart()
{
    ui->labelTips->hide();
    QMovie* movie = loadingMovie();
    ui->labelloading->setMovie(movie);
    movie->start();
    ui->labelloading->show();
    QTimer::singleShot(kStartPreviewDelayMs, this, &MainWindow::slotStartPreview);
}

void MainWindow::requestPreviewStop()
{
    m_previewing = false;
    stopPreviewWorker();
    setControlsEnabled(true);
    ui->labelTips->show();
}

void MainWindow::fitBody()
{
    const QSize viewport = m_bodyScroll->viewport()->size();
    const int width = qMax(viewport.width(), ui->widgetBody->minimumSizeHint().width());
    ui->widgetBody->resize(width, viewport.height());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (m_bodyScroll && watched == m_bodyScroll->viewport()) {
        if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest)
            fitBody();
        return QMainWindow::eventFilter(watched, event);
    }
    const bool onTips = watched == ui->labelTips;
    const bool onStop = watched == ui->labelStop;
    const bool onPreview = watched == ui->labPreview;
    if (!onTips && !onStop && !onPreview)
        return QMainWindow::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::Enter:
    case QEvent::MouseMove:
        if (onPreview && m_previewing)
            ui->labelStop->show();
        if (onTips)
            ui->labelTips->setStyleSheet(kTipsHoverStyle);
        if (onStop)
            ui->labelStop->setStyleSheet(kStopHoverStyle);
        break;
    case QEvent::Leave:
        // The stop icon lies over the picture: moving onto it leaves the picture but not the
        // preview area.
        if ((onPreview && !cursorOver(ui->labelStop)) || (onStop && !cursorOver(ui->labPreview)))
            ui->labelStop->hide();
        if (onTips)
            ui->labelTips->setStyleSheet(kTipsStyle);
        if (onStop)
            ui->labelStop->setStyleSheet(kStopStyle);
        break;
    case QEvent::MouseButtonPress:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            break;
        qCDebug(lcUi) << "label mouse clicked";
        if (onTips)
            requestPreviewStart();
        else if (onStop)
            requestPreviewStop();
        return true;
    case QEvent::KeyPress: {
        // Keyboard users start and stop the preview with Space or Enter on the focused icon.
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((onTips || onStop) && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
            if (onTips)
                requestPreviewStart();
            else
                requestPreviewStop();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::updatePreviewSize()
{
    m_previewW = qMax(kMinimumPreviewWidth, frameGeometry().width() - kPreviewWidthOffset);
    m_previewH = m_previewW * 9 / 16;
    ui->labPreview->setFixedSize(m_previewW, m_previewH);
    // The column takes the width left beside the list and the panel, whatever its widgets ask
    // for: wider, it would cover part of the panel.
    ui->widgetPreviewArea->setFixedWidth(m_previewW);
    if (m_bodyScroll)
        fitBody();
    if (auto* stream = qobject_cast<VideoStreamThread*>(m_stream.worker()))
        stream->setTargetSize(QSize(m_previewW, m_previewH));
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    updatePreviewSize();
    qCDebug(lcUi) << "preview_w:" << m_previewW << "width:" << frameGeometry().width()
                  << "preview_h:" << m_previewH << "height:" << frameGeometry().height();
    qCDebug(lcUi) << "window size change";
    if (m_prompt) {
        m_prompt->close();
        delete m_prompt.data();
    }
}
